#pragma once
// Real x86 port I/O (ioperm/iopl, inb/outb) for PCs with legacy COM, LPT and game ports and a PC
// speaker. Needs root or CAP_SYS_RAWIO. The permission belongs to the thread that asked for it
// and to threads it starts afterwards: open the bus on the main thread before the keyer timer
// starts.
#include <memory>
#include <string>

#include "engine/port_bus.h"

namespace telkey {

class RawPortBus : public PortBus {
  public:
    // Ports below this are reachable with ioperm alone; the rest need iopl.
    static constexpr unsigned kIopermLimit = 0x400;

    // Asks the kernel for port access. Null with `error` set when it is refused or when this
    // machine has no port I/O.
    static std::unique_ptr<RawPortBus> Open(std::string& error);

    // Ports outside the granted range read 0xFF and ignore writes.
    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    // The guardian takes its own permission for the legacy range.
    void GuardLines(LineGuard& guard) noexcept override;

    bool AllPorts() const noexcept { return allPorts_; }

  private:
    explicit RawPortBus(bool allPorts) noexcept : allPorts_(allPorts) {}
    bool Reachable(std::uint16_t port) const noexcept { return allPorts_ || port < kIopermLimit; }

    bool allPorts_;
};

}  // namespace telkey
