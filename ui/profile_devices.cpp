#include "ui/profile_devices.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <utility>

namespace telkey {

namespace {

std::string ComKey(std::size_t i) {
    return "COM" + std::to_string(i + 1);
}

std::string SharedKey(std::size_t i) {
    return ComKey(i) + "Shared";
}

std::string LptKey(std::size_t i) {
    return "LPT" + std::to_string(i + 1);
}

constexpr std::string_view kGamePortKey = "GamePort";
constexpr std::string_view kPaddleKeysKey = "PaddleKeys";
constexpr std::string_view kSpeakerKey = "Speaker";
constexpr std::string_view kVolumeKey = "Volume";
constexpr std::string_view kRigPttKey = "RigPtt";
constexpr std::string_view kRigKeyKey = "RigKey";
constexpr std::string_view kRigKindKey = "Rig";  // "rigctld" or "serial"
constexpr std::string_view kRigctldKey = "Rigctld";
constexpr std::string_view kRigModelKey = "RigModel";
constexpr std::string_view kRigPortKey = "RigPort";
constexpr std::string_view kRigBaudKey = "RigBaud";
constexpr std::string_view kWinkeyerKey = "WinKeyer";
constexpr std::string_view kSerialRig = "serial";
constexpr std::string_view kRigctldRig = "rigctld";

int Number(const std::string& text, int fallback) {
    int value = fallback;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() ? value : fallback;
}

// An option given on the command line replaces the file's.
void Prefer(std::string& into, const std::string& given) {
    if (!given.empty()) into = given;
}

}  // namespace

DevicesConfig ReadDeviceChoices(const ProfileFile& file) {
    DevicesConfig choices;
    for (std::size_t i = 0; i < choices.com.size(); ++i) {
        choices.com[i] = file.ReadString(kSectionDevices, ComKey(i), "");
        choices.comShared[i] = Number(file.ReadString(kSectionDevices, SharedKey(i), "0"), 0) != 0;
    }
    for (std::size_t i = 0; i < choices.lpt.size(); ++i) {
        choices.lpt[i] = file.ReadString(kSectionDevices, LptKey(i), "");
    }
    choices.gameport = file.ReadString(kSectionDevices, kGamePortKey, "");
    choices.paddleKeys = file.ReadString(kSectionDevices, kPaddleKeysKey, "");
    choices.speaker = file.ReadString(kSectionDevices, kSpeakerKey, "");
    // A value mistyped by hand must not keep Telkey from starting.
    std::string ignored;
    PaddleKeyCodes codes{};
    if (!choices.paddleKeys.empty() && !ParsePaddleKeys(choices.paddleKeys, codes, ignored)) {
        choices.paddleKeys.clear();
    }
    if (!CheckSpeakerOption(choices.speaker, ignored)) choices.speaker.clear();
    choices.volume = std::clamp(
        Number(file.ReadString(kSectionDevices, kVolumeKey, ""), kFullVolume), 0, kFullVolume);
    return choices;
}

SectionKeys DeviceChoiceKeys(const DevicesConfig& choices) {
    SectionKeys keys;
    for (std::size_t i = 0; i < choices.com.size(); ++i) {
        keys.emplace_back(ComKey(i), choices.com[i]);
        keys.emplace_back(SharedKey(i), choices.comShared[i] ? "1" : "0");
    }
    for (std::size_t i = 0; i < choices.lpt.size(); ++i) {
        keys.emplace_back(LptKey(i), choices.lpt[i]);
    }
    keys.emplace_back(kGamePortKey, choices.gameport);
    keys.emplace_back(kPaddleKeysKey, choices.paddleKeys);
    keys.emplace_back(kSpeakerKey, choices.speaker);
    keys.emplace_back(kVolumeKey, std::to_string(choices.volume));
    return keys;
}

void WriteDeviceChoices(ProfileFile& file, const DevicesConfig& choices) {
    WriteChangedKeys(file, {}, DeviceChoiceKeys(choices));
}

void WriteChangedKeys(ProfileFile& file, const SectionKeys& before, const SectionKeys& now) {
    for (const auto& [key, value] : now) {
        const auto was = std::find_if(before.begin(), before.end(),
                                      [&key](const auto& old) { return old.first == key; });
        if (was == before.end() || was->second != value) {
            file.WriteString(kSectionDevices, key, value);
        }
    }
}

rig::RigChoice ReadRigChoice(const ProfileFile& file) {
    rig::RigChoice choice;
    const auto read = [&](std::string_view key) {
        return file.ReadString(kSectionDevices, key, "");
    };
    choice.ptt = rig::ParsePttVia(read(kRigPttKey)).value_or(rig::PttVia::Line);
    choice.key = rig::ParseKeyVia(read(kRigKeyKey)).value_or(rig::KeyVia::Line);
    std::string ignored;
    if (const std::string address = read(kRigctldKey); !address.empty()) {
        rig::RigTarget target;
        if (rig::ParseRigctldAddress(address, target, ignored)) choice.target = target;
    }
    if (read(kRigKindKey) == kSerialRig) {
        choice.target.kind = rig::RigTarget::Kind::Serial;
        choice.target.model = Number(read(kRigModelKey), 0);
        choice.target.device = read(kRigPortKey);
        choice.target.baud = std::max(0, Number(read(kRigBaudKey), 0));
    }
    return choice;
}

std::string ReadWinkeyerChoice(const ProfileFile& file) {
    return file.ReadString(kSectionDevices, kWinkeyerKey, "");
}

SectionKeys WinkeyerChoiceKeys(const std::string& choice) {
    return {{std::string(kWinkeyerKey), choice}};
}

SectionKeys RigChoiceKeys(const rig::RigChoice& choice) {
    const rig::RigTarget& target = choice.target;
    const bool serial = target.kind == rig::RigTarget::Kind::Serial;
    SectionKeys keys;
    keys.emplace_back(kRigPttKey, rig::PttViaWord(choice.ptt));
    keys.emplace_back(kRigKeyKey, rig::KeyViaWord(choice.key));
    keys.emplace_back(kRigKindKey, serial ? kSerialRig : kRigctldRig);
    if (!serial) keys.emplace_back(kRigctldKey, rig::RigctldAddress(target));
    if (serial) {
        keys.emplace_back(kRigModelKey, std::to_string(target.model));
        keys.emplace_back(kRigPortKey, target.device);
        keys.emplace_back(kRigBaudKey, std::to_string(target.baud));
    }
    return keys;
}

void WriteRigChoice(ProfileFile& file, const rig::RigChoice& choice) {
    WriteChangedKeys(file, {}, RigChoiceKeys(choice));
}

PortBusOptions MergeDeviceChoices(const PortBusOptions& commandLine, const DevicesConfig& file) {
    PortBusOptions merged = commandLine;
    merged.com = file.com;
    merged.comShared = file.comShared;
    merged.lpt = file.lpt;
    merged.gameport = file.gameport;
    merged.paddleKeys = file.paddleKeys;
    merged.speaker = file.speaker;
    merged.volume = file.volume;
    for (std::size_t i = 0; i < merged.com.size(); ++i) {
        if (commandLine.com[i].empty()) continue;
        merged.com[i] = commandLine.com[i];
        merged.comShared[i] = false;  // a port named on the command line is Telkey's alone
    }
    for (std::size_t i = 0; i < merged.lpt.size(); ++i) Prefer(merged.lpt[i], commandLine.lpt[i]);
    if (!commandLine.gameport.empty()) {
        // The file's keys belong to the file's device.
        merged.gameport = commandLine.gameport;
        merged.paddleKeys = commandLine.paddleKeys;
    }
    Prefer(merged.paddleKeys, commandLine.paddleKeys);
    Prefer(merged.speaker, commandLine.speaker);
    return merged;
}

}  // namespace telkey
