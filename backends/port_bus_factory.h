#pragma once
// Choosing the PortBus backend from the command line (--ports= and its companions).
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backends/devices_speaker.h"
#include "engine/port_bus.h"

namespace telkey {

class DeviceSupervision;  // backends/port_bus_devices.h

struct PortBusOptions {
    std::string ports = "devices";  // none | sim | raw | devices
    std::string portTrace;          // --port-trace=FILE (sim)
    // Today's devices behind the legacy registers.
    std::array<std::string, 4> com;  // --com1= .. --com4=
    std::array<std::string, 3> lpt;  // --lpt1= .. --lpt3=
    std::string gameport;            // --gameport=
    std::string paddleKeys;          // --paddle-keys=
    std::string speaker;             // --speaker= (empty: the backend's default)
    // Kept in the settings file, not on the command line.
    std::array<bool, 4> comShared{};  // COM1..COM4 shared with another program
    int volume = kFullVolume;         // sidetone loudness on the sound card, percent
};

// Takes one command-line argument if it is a port option. Returns false when the argument is
// not one; on a bad value returns true and sets `error`.
bool ParsePortBusOption(std::string_view arg, PortBusOptions& options, std::string& error);

struct PortBusResult {
    std::unique_ptr<PortBus> bus;       // null when the backend cannot run at all
    std::string error;                  // why it cannot run, and what the user can do
    std::vector<std::string> warnings;  // devices that are missing or refused; Telkey runs on
    // The devices backend and --speaker: the keyer watchdog and the notices for the window
    // (points into bus; null for backends without them).
    DeviceSupervision* devices = nullptr;
};

PortBusResult MakePortBus(const PortBusOptions& options);

}  // namespace telkey
