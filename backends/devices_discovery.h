#pragma once
// Finding the station's devices (serial adapters, parallel ports, input devices) and telling,
// in words an operator understands, what keeps one from being used and how to fix it.
#include <string>
#include <vector>

#include "backends/devices_layer.h"

namespace telkey {

enum class DeviceKind { Serial, Parallel, Input };

// Where messages send the operator for wiring, permissions and udev rules.
inline constexpr char kHardwareGuideWords[] =
    "the hardware guide: /usr/share/doc/telkey/docs/hardware.md, docs/hardware.md in the source";

// Where the device nodes and the process table are; tests put their own trees there.
struct DeviceRoots {
    std::string dev = "/dev";
    std::string proc = "/proc";
    std::string sys = "/sys";
};

struct FoundDevice {
    std::string path;   // what to open: the stable name where there is one
    std::string label;  // what the operator sees in a list
};

// Serial adapters by their stable names (serial/by-id), then the plain ttyUSB and ttyACM
// names that no stable name points to, then the built-in ttyS ports that have a UART (the
// kernel makes nodes for ports that are not there). Sorted within each group.
std::vector<FoundDevice> FindSerialDevices(const DeviceRoots& roots);
// parport0, parport1, ...
std::vector<FoundDevice> FindParallelDevices(const DeviceRoots& roots);
// Event devices under input/by-id: joysticks and keyboard-style paddle adapters.
std::vector<FoundDevice> FindInputDevices(const DeviceRoots& roots);

// The other programs that hold `path` open, as "name (pid N)": this process and the ones it
// started (the guardian) left out.
std::vector<std::string> ProgramsHolding(const std::string& path, const DeviceRoots& roots);

enum class DeviceProblem {
    None,
    Unplugged,
    NoPermission,
    Busy,
    NotModemLines,
    NotParallel,
    NotInput,
    Other
};

struct DeviceCheck {
    DeviceProblem problem = DeviceProblem::None;
    std::string message;  // "" when there is no problem
};

// Opens the device as Telkey would, looks, and closes it again; nothing is switched. `shared`:
// a serial port that another program may keep open. A device that Telkey itself holds open
// now must not be checked this way (its lock would read as busy).
DeviceCheck CheckDevice(DeviceLayer& layer, DeviceKind kind, const std::string& path, bool shared,
                        const DeviceRoots& roots);

}  // namespace telkey
