#pragma once
// The station's devices as kept in the settings file, section [Devices]: which device is behind
// each legacy port, whether a serial port is shared, the paddle adapter's keys and the
// sidetone's output. A file without the section keeps every port unmapped, as before.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backends/port_bus_devices.h"
#include "backends/port_bus_factory.h"
#include "backends/port_bus_speaker.h"
#include "profile/profile_file.h"
#include "rig/rig_choice.h"

namespace telkey {

inline constexpr std::string_view kSectionDevices = "Devices";

// The devices `file` names (a missing key leaves the port unmapped, the volume full; a value
// that cannot be used is left out).
DevicesConfig ReadDeviceChoices(const ProfileFile& file);
// The section's keys with their values, in the order they are written.
using SectionKeys = std::vector<std::pair<std::string, std::string>>;
SectionKeys DeviceChoiceKeys(const DevicesConfig& choices);
// Writes every key of the section; throws ProfileWriteError like the other settings.
void WriteDeviceChoices(ProfileFile& file, const DevicesConfig& choices);
// Writes the keys of `now` whose values are not those of `before` (a key `before` lacks counts
// as changed): the rest of the file, a value only a command-line option set included, stays.
void WriteChangedKeys(ProfileFile& file, const SectionKeys& before, const SectionKeys& now);
// The options of this run: what the command line names wins over what the file says.
PortBusOptions MergeDeviceChoices(const PortBusOptions& commandLine, const DevicesConfig& file);

// The rig in the same section: PTT and Key, and rigctld's address or the serial rig. A value
// that cannot be used keeps its default (line, localhost:4532).
rig::RigChoice ReadRigChoice(const ProfileFile& file);
SectionKeys RigChoiceKeys(const rig::RigChoice& choice);
// [Devices] WinKeyer: the emulated WinKeyer's link path, "on" for the default one; empty: off.
std::string ReadWinkeyerChoice(const ProfileFile& file);
inline constexpr char kWinkeyerDefaultChoice[] = "on";
SectionKeys WinkeyerChoiceKeys(const std::string& choice);
void WriteRigChoice(ProfileFile& file, const rig::RigChoice& choice);

}  // namespace telkey
