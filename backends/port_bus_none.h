#pragma once
// No hardware: reads give 0xFF, what a bus with no device behind the address returns; writes go
// nowhere.
#include "engine/port_bus.h"

namespace telkey {

class NonePortBus : public PortBus {
  public:
    static constexpr std::uint8_t kFloatingBus = 0xFF;

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    bool InputAnnounced(std::uint16_t /*port*/) const noexcept override { return true; }
};

}  // namespace telkey
