#pragma once
// The PC I/O port space as the engine sees it: bytes in and out at 16-bit addresses.
// A backend decides where they go (nothing, memory, real ports, today's devices).
#include <cstdint>

namespace telkey {

class LineGuard;  // engine/line_guard.h

class PortBus {
  public:
    virtual ~PortBus() = default;
    virtual std::uint8_t in(std::uint16_t port) = 0;
    virtual void out(std::uint16_t port, std::uint8_t value) = 0;
    // Hands the output devices to the guardian, now and whenever one is opened again later.
    virtual void GuardLines(LineGuard& /*guard*/) noexcept {}
};

}  // namespace telkey
