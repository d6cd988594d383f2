#include "backends/port_bus_none.h"

namespace telkey {

std::uint8_t NonePortBus::in(std::uint16_t /*port*/) {
    return kFloatingBus;
}

void NonePortBus::out(std::uint16_t /*port*/, std::uint8_t /*value*/) {}

}  // namespace telkey
