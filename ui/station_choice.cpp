#include "ui/station_choice.h"

#include <optional>

#include "backends/devices_input.h"
#include "backends/devices_parallel.h"
#include "backends/devices_serial.h"

namespace telkey {

namespace {

constexpr std::int32_t kFirstLpt = kFirstLptKeyPort;
constexpr std::string_view kPcSpeaker = "pcspkr";
constexpr std::uint8_t kInverted = 0xFF;
constexpr std::uint8_t kButton1 = 0x10;  // game port button 1, CTS in the modem status
constexpr std::uint8_t kButton2 = 0x20;  // game port button 2, DSR in the modem status

int LowestLine(std::uint8_t mask) {
    for (int bit = 0; bit < kDataLines; ++bit) {
        if (mask & (1u << bit)) return bit;
    }
    return kNoLine;
}

std::uint8_t LineMask(int line) {
    return line == kNoLine ? 0 : static_cast<std::uint8_t>(1u << line);
}

std::uint16_t ModemStatusPort(std::size_t com) {
    return static_cast<std::uint16_t>(kComBase[com] + kModemStatusOffset);
}

// The COM port whose registers hold `address`.
std::optional<std::size_t> ComOf(std::uint16_t address) {
    for (std::size_t i = 0; i < kComBase.size(); ++i) {
        if (address >= kComBase[i] && address < kComBase[i] + kSerialRegisters) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> LptOf(std::uint16_t address) {
    for (std::size_t i = 0; i < kLptBase.size(); ++i) {
        if (address >= kLptBase[i] && address < kLptBase[i] + kParallelRegisters) return i;
    }
    return std::nullopt;
}

// A port for `path`: the one it is behind already, else `preferred` when free, else the first
// free one.
template <std::size_t N>
std::size_t PortFor(const std::array<std::string, N>& mapped, const std::string& path,
                    std::optional<std::size_t> preferred, const std::array<bool, N>& taken) {
    for (std::size_t i = 0; i < N; ++i) {
        if (mapped[i] == path && !taken[i]) return i;
    }
    if (preferred && *preferred < N && !taken[*preferred]) return *preferred;
    for (std::size_t i = 0; i < N; ++i) {
        if (!taken[i]) return i;
    }
    return 0;
}

}  // namespace

StationSettings ReadStationSettings(const PortSettings& s) noexcept {
    StationSettings v;
    v.DotPort = s.DotPort.load();
    v.DotXorMask = s.DotXorMask.load();
    v.DotAndMask = s.DotAndMask.load();
    v.DashPort = s.DashPort.load();
    v.DashXorMask = s.DashXorMask.load();
    v.DashAndMask = s.DashAndMask.load();
    v.KeyPortNumber = s.KeyPortNumber.load();
    v.KeyMask = s.KeyMask.load();
    v.TxMask = s.TxMask.load();
    v.AllMask = s.AllMask.load();
    v.UseSpeaker = s.UseSpeaker.load();
    v.SpeakerTone = s.SpeakerTone.load();
    return v;
}

void WriteStationSettings(PortSettings& s, const StationSettings& v) noexcept {
    s.DotPort.store(v.DotPort);
    s.DotXorMask.store(v.DotXorMask);
    s.DotAndMask.store(v.DotAndMask);
    s.DashPort.store(v.DashPort);
    s.DashXorMask.store(v.DashXorMask);
    s.DashAndMask.store(v.DashAndMask);
    s.KeyPortNumber.store(v.KeyPortNumber);
    s.KeyMask.store(v.KeyMask);
    s.TxMask.store(v.TxMask);
    s.AllMask.store(v.AllMask);
    s.UseSpeaker.store(v.UseSpeaker);
    s.SpeakerTone.store(v.SpeakerTone);
    s.ToneDivisor.store(ToneDivisor(v.SpeakerTone));
}

DeviceKind KindOfKeyDevice(const std::string& path) {
    return path.find("parport") != std::string::npos ? DeviceKind::Parallel : DeviceKind::Serial;
}

DeviceKind KindOfKeyPort(std::int32_t keyPortNumber) {
    return keyPortNumber >= kFirstLpt ? DeviceKind::Parallel : DeviceKind::Serial;
}

StationChoice ChoiceFromState(const StationState& state) {
    const StationSettings& s = state.settings;
    const DevicesConfig& d = state.devices;
    StationChoice c;
    const std::int32_t key = s.KeyPortNumber;
    if (key >= 1 && key <= static_cast<std::int32_t>(kComBase.size())) {
        const auto com = static_cast<std::size_t>(key - 1);
        c.keyDevice = d.com[com];
        c.keyKind = DeviceKind::Serial;
        c.keyShared = d.comShared[com];
    } else if (key >= kFirstLpt && key < kFirstLpt + static_cast<std::int32_t>(kLptBase.size())) {
        c.keyDevice = d.lpt[static_cast<std::size_t>(key - kFirstLpt)];
        c.keyKind = DeviceKind::Parallel;
    }
    if (c.keyDevice.empty() && key >= 1 && key <= kLastKeyPort) {
        c.keyPort = key;  // a port with no device behind it
        c.keyKind = KindOfKeyPort(key);
    }
    c.keyLine = LowestLine(s.KeyMask);
    c.pttLine = LowestLine(s.TxMask);
    if (c.keyKind == DeviceKind::Serial) {
        if (c.keyLine > kLineRts) c.keyLine = kNoLine;
        if (c.pttLine > kLineRts) c.pttLine = kNoLine;
    }

    if (s.DotPort == 0 && s.DashPort == 0) {
        c.paddle = PaddleChoice::None;
    } else if (s.DotPort == kGamePort && s.DashPort == kGamePort) {
        c.paddle = PaddleChoice::Input;
        c.paddleDevice = d.gameport;
        c.paddleKeys = d.paddleKeys;
    } else if (const auto com = ComOf(s.DotPort);
               com && s.DotPort == ModemStatusPort(*com) && s.DashPort == s.DotPort) {
        c.paddle = PaddleChoice::Serial;
        c.paddleDevice = d.com[*com];
        c.paddleShared = d.comShared[*com];
    } else {
        c.paddle = PaddleChoice::Other;
    }

    if (s.UseSpeaker == 0) {
        c.sidetone = SidetoneChoice::None;
    } else {
        c.sidetone =
            d.speaker == kPcSpeaker ? SidetoneChoice::PcSpeaker : SidetoneChoice::SoundCard;
    }
    c.tone = s.SpeakerTone;
    c.volume = d.volume;
    return c;
}

StationState ApplyChoice(const StationChoice& c, const StationState& current) {
    StationState next = current;
    StationSettings& s = next.settings;
    DevicesConfig& d = next.devices;
    std::array<bool, 4> comTaken{};
    std::array<bool, 3> lptTaken{};

    // Key and PTT.
    if (c.keyDevice.empty()) {
        s.KeyPortNumber = c.keyPort;
    } else if (c.keyKind == DeviceKind::Serial) {
        std::optional<std::size_t> preferred;
        if (current.settings.KeyPortNumber >= 1 && current.settings.KeyPortNumber <= 4) {
            preferred = static_cast<std::size_t>(current.settings.KeyPortNumber - 1);
        }
        const std::size_t com = PortFor(current.devices.com, c.keyDevice, preferred, comTaken);
        comTaken[com] = true;
        d.com[com] = c.keyDevice;
        d.comShared[com] = c.keyShared;
        s.KeyPortNumber = static_cast<std::int32_t>(com + 1);
    } else {
        std::optional<std::size_t> preferred;
        if (current.settings.KeyPortNumber >= kFirstLpt) {
            preferred = static_cast<std::size_t>(current.settings.KeyPortNumber - kFirstLpt);
        }
        const std::size_t lpt = PortFor(current.devices.lpt, c.keyDevice, preferred, lptTaken);
        lptTaken[lpt] = true;
        d.lpt[lpt] = c.keyDevice;
        s.KeyPortNumber = static_cast<std::int32_t>(kFirstLpt + lpt);
    }
    if (s.KeyPortNumber != 0) {
        s.KeyMask = LineMask(c.keyLine);
        s.TxMask = LineMask(c.pttLine);
    }

    // Paddle.
    switch (c.paddle) {
        case PaddleChoice::None:
            s.DotPort = 0;
            s.DashPort = 0;
            break;
        case PaddleChoice::Input:
            s.DotPort = kGamePort;
            s.DashPort = kGamePort;
            s.DotXorMask = kInverted;
            s.DashXorMask = kInverted;
            s.DotAndMask = kButton1;
            s.DashAndMask = kButton2;
            d.gameport = c.paddleDevice;
            d.paddleKeys = c.paddleKeys;
            break;
        case PaddleChoice::Serial: {
            std::size_t com = 0;
            if (!c.keyDevice.empty() && c.keyKind == DeviceKind::Serial &&
                c.paddleDevice == c.keyDevice) {
                com = static_cast<std::size_t>(s.KeyPortNumber - 1);
            } else {
                std::optional<std::size_t> preferred;
                if (const auto was = ComOf(current.settings.DotPort)) preferred = was;
                com = PortFor(current.devices.com, c.paddleDevice, preferred, comTaken);
                d.com[com] = c.paddleDevice;
                d.comShared[com] = c.paddleShared;
            }
            comTaken[com] = true;
            s.DotPort = ModemStatusPort(com);
            s.DashPort = s.DotPort;
            s.DotXorMask = 0;
            s.DashXorMask = 0;
            s.DotAndMask = kButton1;
            s.DashAndMask = kButton2;
            break;
        }
        case PaddleChoice::Other:
            break;
    }

    // Ports no setting points at any more are let go.
    const auto keeps = [&s](std::uint16_t address) {
        return address != 0 && (address == s.DotPort || address == s.DashPort);
    };
    for (std::size_t i = 0; i < d.com.size(); ++i) {
        const bool used = s.KeyPortNumber == static_cast<std::int32_t>(i + 1) ||
                          (ComOf(s.DotPort) == i && keeps(s.DotPort)) ||
                          (ComOf(s.DashPort) == i && keeps(s.DashPort));
        if (!used) {
            d.com[i].clear();
            d.comShared[i] = false;
        }
    }
    for (std::size_t i = 0; i < d.lpt.size(); ++i) {
        const bool used = s.KeyPortNumber == static_cast<std::int32_t>(kFirstLpt + i) ||
                          (LptOf(s.DotPort) == i && keeps(s.DotPort)) ||
                          (LptOf(s.DashPort) == i && keeps(s.DashPort));
        if (!used) d.lpt[i].clear();
    }
    if (s.DotPort != kGamePort && s.DashPort != kGamePort) {
        d.gameport.clear();
        d.paddleKeys.clear();
    }

    // Sidetone.
    s.UseSpeaker = c.sidetone == SidetoneChoice::None ? 0 : 1;
    if (c.sidetone == SidetoneChoice::PcSpeaker) d.speaker = std::string(kPcSpeaker);
    if (c.sidetone == SidetoneChoice::SoundCard && d.speaker == kPcSpeaker) d.speaker.clear();
    s.SpeakerTone = c.tone;
    d.volume = c.volume;
    return next;
}

}  // namespace telkey
