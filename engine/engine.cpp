#include "engine/engine.h"

namespace telkey {

Engine::Engine(PortBus& bus, TickDriver& driver) noexcept
    : ports(bus, portSettings, flags),
      keyer(ports, keyerSettings, mailbox, ring, flags, notifications),
      timer(driver, keyer, keyerSettings) {}

void Engine::ResetHandover() noexcept {
    flags.Transmitting.store(0, std::memory_order_relaxed);
    flags.Paused.store(0, std::memory_order_relaxed);
    mailbox.Reset();
    ring.Reset();
}

}  // namespace telkey
