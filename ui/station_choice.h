#pragma once
// What the station set-up dialog shows (the key and PTT device and lines, the paddle, the
// sidetone) worked out from the settings words and the devices behind the ports, and back.
// No widgets here.
#include <cstdint>
#include <string>

#include "backends/devices_discovery.h"
#include "backends/port_bus_devices.h"
#include "engine/ports.h"

namespace telkey {

// The settings words the dialog reads and writes.
struct StationSettings {
    std::uint16_t DotPort = 0;
    std::uint8_t DotXorMask = 0;
    std::uint8_t DotAndMask = 0;
    std::uint16_t DashPort = 0;
    std::uint8_t DashXorMask = 0;
    std::uint8_t DashAndMask = 0;
    std::int32_t KeyPortNumber = 0;
    std::uint8_t KeyMask = 0;
    std::uint8_t TxMask = 0;
    std::uint8_t AllMask = 0;
    std::int32_t UseSpeaker = 0;
    std::int32_t SpeakerTone = 0;

    bool operator==(const StationSettings&) const = default;
};

StationSettings ReadStationSettings(const PortSettings& settings) noexcept;
// Each word with one store; the tone's divisor follows the tone.
void WriteStationSettings(PortSettings& settings, const StationSettings& values) noexcept;

// Everything the dialog changes.
struct StationState {
    StationSettings settings;
    DevicesConfig devices;
};

// A line of the key port: for a serial port 0 is DTR and 1 RTS, for a parallel port the data
// line D0..D7; kNoLine for none.
inline constexpr int kNoLine = -1;
inline constexpr int kLineDtr = 0;
inline constexpr int kLineRts = 1;
inline constexpr int kDataLines = 8;

enum class PaddleChoice { None, Serial, Input, Other };
enum class SidetoneChoice { SoundCard, PcSpeaker, None };

struct StationChoice {
    std::string keyDevice;  // "" for none
    // The key port (KeyPortNumber) when no device is behind it: without devices (--ports=sim,
    // none) the port itself is what the operator picks; 0 for none.
    std::int32_t keyPort = 0;
    DeviceKind keyKind = DeviceKind::Serial;
    bool keyShared = false;
    int keyLine = kLineDtr;
    int pttLine = kLineRts;
    PaddleChoice paddle = PaddleChoice::None;
    std::string paddleDevice;
    bool paddleShared = false;
    std::string paddleKeys;  // input device: "DOT,DASH", "" for its own buttons
    SidetoneChoice sidetone = SidetoneChoice::None;
    std::int32_t tone = 0;
    int volume = 0;

    bool operator==(const StationChoice&) const = default;
};

// A typed-in name: a parallel port when it looks like one, else a serial port.
DeviceKind KindOfKeyDevice(const std::string& path);
// KeyPortNumber 5 to 7 are the parallel ports, 1 to 4 the serial ones.
DeviceKind KindOfKeyPort(std::int32_t keyPortNumber);
inline constexpr std::int32_t kFirstLptKeyPort = 5;
inline constexpr std::int32_t kLastKeyPort = 7;

StationChoice ChoiceFromState(const StationState& state);
// The state that carries out `choice`, starting from `current`: ports the choice does not
// use are unmapped, unless a setting still points at them.
StationState ApplyChoice(const StationChoice& choice, const StationState& current);

}  // namespace telkey
