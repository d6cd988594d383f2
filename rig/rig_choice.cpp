#include "rig/rig_choice.h"

#include <array>
#include <charconv>
#include <utility>

namespace telkey::rig {
namespace {

constexpr std::array<std::pair<PttVia, std::string_view>, 3> kPttWords = {
    {{PttVia::Line, "line"}, {PttVia::Rig, "rig"}, {PttVia::Both, "both"}}};
constexpr std::array<std::pair<KeyVia, std::string_view>, 2> kKeyWords = {
    {{KeyVia::Line, "line"}, {KeyVia::Rig, "rig"}}};
constexpr int kLastTcpPort = 65535;

template <typename Via, std::size_t N>
std::optional<Via> Find(const std::array<std::pair<Via, std::string_view>, N>& words,
                        std::string_view word) {
    for (const auto& [via, name] : words) {
        if (name == word) return via;
    }
    return std::nullopt;
}

template <typename Via, std::size_t N>
std::string_view Word(const std::array<std::pair<Via, std::string_view>, N>& words, Via via) {
    for (const auto& [v, name] : words) {
        if (v == via) return name;
    }
    return words[0].second;
}

}  // namespace

std::string_view PttViaWord(PttVia via) {
    return Word(kPttWords, via);
}
std::optional<PttVia> ParsePttVia(std::string_view word) {
    return Find(kPttWords, word);
}
std::string_view KeyViaWord(KeyVia via) {
    return Word(kKeyWords, via);
}
std::optional<KeyVia> ParseKeyVia(std::string_view word) {
    return Find(kKeyWords, word);
}

bool ParseRigctldAddress(std::string_view text, RigTarget& target, std::string& error) {
    const std::size_t colon = text.rfind(':');
    const std::string_view host = colon == std::string_view::npos ? text : text.substr(0, colon);
    int port = kRigctldDefaultPort;
    if (colon != std::string_view::npos) {
        const std::string_view digits = text.substr(colon + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
            port < 1 || port > kLastTcpPort) {
            error = "'" + std::string(text) + "' has no usable port: give HOST:PORT, as in " +
                    kRigctldDefaultHost + ":" + std::to_string(kRigctldDefaultPort);
            return false;
        }
    }
    if (host.empty()) {
        error = "'" + std::string(text) + "' names no host: give HOST:PORT, as in " +
                kRigctldDefaultHost + ":" + std::to_string(kRigctldDefaultPort);
        return false;
    }
    target.kind = RigTarget::Kind::Rigctld;
    target.host = std::string(host);
    target.port = port;
    return true;
}

bool ParseRigOption(std::string_view arg, RigOptions& options, std::string& error) {
    const std::size_t equals = arg.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view name = arg.substr(0, equals);
    const std::string_view value = arg.substr(equals + 1);
    const auto bad = [&](const std::string& what) {
        error = std::string(name) + "=" + std::string(value) + ": " + what;
        return true;
    };
    if (name == "--ptt") {
        options.ptt = ParsePttVia(value);
        if (!options.ptt) return bad("PTT goes by line, rig or both");
    } else if (name == "--key") {
        options.key = ParseKeyVia(value);
        if (!options.key) return bad("the text is keyed by line or rig");
    } else if (name == "--rig") {
        RigTarget target;
        std::string why;
        if (!ParseRigctldAddress(value, target, why)) return bad(why);
        options.rig = target;
    } else if (name == "--rig-model") {
        int model = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), model);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || model < 1) {
            return bad("give Hamlib's model number (rigctl -l lists them)");
        }
        options.model = model;
    } else if (name == "--rig-baud") {
        int baud = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), baud);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || baud < 1) {
            return bad("give the serial port's speed in baud, as in 19200");
        }
        options.baud = baud;
    } else if (name == "--rig-port") {
        if (value.empty()) return bad("give the rig's serial port, as in /dev/ttyUSB0");
        options.device = std::string(value);
    } else {
        return false;
    }
    return true;
}

bool FinishRigOptions(RigOptions& options, std::string& error) {
    if (options.model == 0 && options.device.empty()) {
        if (options.baud == 0) return true;
        error =
            "--rig-baud sets the speed of a rig on a serial port: give --rig-model=N and "
            "--rig-port=DEV with it";
        return false;
    }
    if (options.model == 0 || options.device.empty()) {
        error = options.model == 0 ? "--rig-port needs --rig-model=N (rigctl -l lists them)"
                                   : "--rig-model needs --rig-port=DEV, the rig's serial port";
        return false;
    }
    if (options.rig) {
        error = "--rig names rigctld, --rig-model a rig on a serial port: give one of them";
        return false;
    }
    RigTarget target;
    target.kind = RigTarget::Kind::Serial;
    target.model = options.model;
    target.device = options.device;
    target.baud = options.baud;
    options.rig = target;
    return true;
}

RigChoice MergeRigChoice(const RigOptions& commandLine, RigChoice file) {
    if (commandLine.ptt) file.ptt = *commandLine.ptt;
    if (commandLine.key) file.key = *commandLine.key;
    if (commandLine.rig) file.target = *commandLine.rig;
    return file;
}

std::string RigctldAddress(const RigTarget& target) {
    return target.host + ":" + std::to_string(target.port);
}

}  // namespace telkey::rig
