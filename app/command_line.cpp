#include "app/command_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "profile/profile_file.h"
#include "ui/settings_values.h"
#include "ui/version.h"

namespace telkey {
namespace {

constexpr std::string_view kSettingsDirOption = "--settings-dir";
constexpr std::string_view kWinkeyerOption = "--winkeyer";

// Takes --settings-dir[=DIR]. False when the argument is not that option.
bool ParseSettingsDirOption(std::string_view arg, CommandLine& line, std::string& error) {
    if (!arg.starts_with(kSettingsDirOption)) return false;
    const std::string_view rest = arg.substr(kSettingsDirOption.size());
    if (rest.empty()) {
        // Desktop entries cannot expand variables: the bare option means the user's directory.
        line.settingsDir = UserConfigDirectory();
    } else if (rest == "=") {
        error = "--settings-dir= needs a directory";
    } else if (rest.front() == '=') {
        line.settingsDir = std::string(rest.substr(1));
    } else {
        return false;
    }
    return true;
}

// Takes --winkeyer[=PATH]. False when the argument is not that option.
bool ParseWinkeyerOption(std::string_view arg, CommandLine& line, std::string& error) {
    if (!arg.starts_with(kWinkeyerOption)) return false;
    const std::string_view rest = arg.substr(kWinkeyerOption.size());
    if (rest.empty()) {
        line.winkeyer = true;
    } else if (rest == "=") {
        error = "--winkeyer= needs a path";
    } else if (rest.front() == '=') {
        line.winkeyer = true;
        line.winkeyerLink = std::string(rest.substr(1));
    } else {
        return false;
    }
    return true;
}

// What the options that take a value want after their '=', by the start of their names.
struct ValueName {
    std::string_view option;
    std::string_view value;
};
constexpr ValueName kValueNames[] = {
    {"--com", "DEVICE"},           {"--lpt", "DEVICE"},
    {"--gameport", "DEVICE"},      {"--ports", "none, sim, raw or devices"},
    {"--port-trace", "FILE"},      {"--speaker", "OUTPUT"},
    {"--paddle-keys", "DOT,DASH"}, {"--cwdaemon-bind", "ADDRESS"},
    {"--cwdaemon-allow", "any"},   {"--ptt", "line, rig or both"},
    {"--key", "line or rig"},      {"--rig-model", "N"},
    {"--rig-port", "DEVICE"},      {"--rig-baud", "N"},
    {"--rig", "HOST:PORT"},
};

// The error for an option given without '=' (as "--com1 /dev/ttyUSB0"): empty when `arg` is not
// an option that takes a value. `next` is the argument after it, if any.
std::string MissingValueError(const std::string& arg, const std::string* next) {
    if (arg.find('=') != std::string::npos) return {};
    // An option takes a value when its parser knows it with '=' after it.
    PortBusOptions ports;
    CwdaemonOptions cwdaemon;
    rig::RigOptions rig;
    std::string ignored;
    const std::string probe = arg + "=";
    if (!ParsePortBusOption(probe, ports, ignored) &&
        !ParseCwdaemonOption(probe, cwdaemon, ignored) &&
        !rig::ParseRigOption(probe, rig, ignored)) {
        return {};
    }
    std::string_view value = "VALUE";
    for (const ValueName& name : kValueNames) {
        if (arg.starts_with(name.option)) {
            value = name.value;
            break;
        }
    }
    std::string error = arg + " needs =" + std::string(value);
    if (next != nullptr && !next->starts_with("-")) error += ", as in " + probe + *next;
    return error;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (std::string cwdaemonError;
                   ParseCwdaemonOption(arg, line.cwdaemon, cwdaemonError)) {
            if (!cwdaemonError.empty()) {
                error = cwdaemonError;
                return false;
            }
        } else if (std::string rigError; rig::ParseRigOption(arg, line.rig, rigError)) {
            if (!rigError.empty()) {
                error = rigError;
                return false;
            }
        } else if (std::string winkeyerError; ParseWinkeyerOption(arg, line, winkeyerError)) {
            if (!winkeyerError.empty()) {
                error = winkeyerError;
                return false;
            }
        } else if (std::string dirError; ParseSettingsDirOption(arg, line, dirError)) {
            if (!dirError.empty()) {
                error = dirError;
                return false;
            }
        } else if (arg.starts_with("--")) {
            std::string optionError;
            if (!ParsePortBusOption(arg, line.ports, optionError)) {
                error = MissingValueError(arg, i + 1 < args.size() ? &args[i + 1] : nullptr);
                if (error.empty()) error = "unknown option '" + arg + "'";
                return false;
            }
            if (!optionError.empty()) {
                error = optionError;
                return false;
            }
        } else {
            line.others.push_back(arg);
        }
    }
    return rig::FinishRigOptions(line.rig, error);
}

bool EnterSettingsDirectory(const std::string& dir, std::string& error) {
    MakeDirectories(dir);
    if (::chdir(dir.c_str()) != 0) {
        error = "cannot use the settings directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string SettingsFileOf(const CommandLine& line) {
    if (line.settingsDir.empty()) return kSettingsFileName;
    return line.settingsDir + "/" + ResolveProfilePath(kSettingsFileName);
}

std::string UsageText(std::string_view program) {
    std::string text = "Usage: ";
    text += program;
    text += " [OPTION]...\n";
    text +=
        "Telkey, a Morse (CW) keyboard keyer: keys a transmitter from typed text and macros,\n"
        "reads an iambic paddle and shows what was sent. Settings: ./Telkey.ini in the\n"
        "working directory.\n"
        "\n"
        "  --settings-dir=DIR    keep the settings in DIR (created when missing): Telkey\n"
        "                        works there, as if started in it\n"
        "  --settings-dir        the same with ${XDG_CONFIG_HOME:-~/.config}/telkey, as the\n"
        "                        desktop menu starts it\n"
        "\n"
        "Where the keyer's port I/O goes:\n"
        "  --ports=none          no hardware: inputs read as open, outputs go nowhere\n"
        "  --ports=sim           an in-memory port space (demonstrations and tests)\n"
        "  --port-trace=FILE     with --ports=sim: append every output write to FILE as\n"
        "                        \"<microseconds> <port> <value>\"\n"
        "  --ports=raw           real PC ports (COM, LPT, game port, PC speaker); needs root\n"
        "                        or CAP_SYS_RAWIO\n"
        "  --ports=devices       the legacy ports on today's devices (default), chosen with:\n"
        "  --com1=DEV .. --com4=DEV, --lpt1=DEV .. --lpt3=DEV, --gameport=DEV,\n"
        "  --paddle-keys=DOT,DASH; addresses no option maps act as with --ports=none;\n"
        "                        each overrides Telkey.ini's [Devices] (Setup > Station...)\n"
        "                        for this run\n"
        "  --speaker=OUTPUT      the sidetone: audio (the sound card, default with devices),\n"
        "                        wav:FILE, pcspkr (the kernel's PC speaker) or none;\n"
        "                        also with --ports=none and sim\n"
        "\n"
        "Logging programs (tlf, CQRLOG, QLog, ...) keying through the cwdaemon protocol:\n"
        "  --cwdaemon[=PORT]     take cwdaemon requests on UDP PORT (default 6789)\n"
        "  --cwdaemon-bind=ADDRESS  listen on ADDRESS instead of 127.0.0.1; the protocol has\n"
        "                        no authentication: whoever reaches the port can key\n"
        "  --cwdaemon-allow=any  take requests from every user of this machine, not only\n"
        "                        from your own programs\n"
        "\n"
        "Logging programs keying a WinKeyer (QLog, CQRLOG, fldigi; N1MM+, Win-Test, DXLog\n"
        "under Wine) key Telkey through an emulated one on a pseudo-terminal:\n"
        "  --winkeyer[=PATH]     make PATH (default $XDG_RUNTIME_DIR/telkey/winkeyer; kept\n"
        "                        in Telkey.ini's [Devices] as WinKeyer=) a link to it: set\n"
        "                        the logger's WinKeyer port to PATH, or under Wine link\n"
        "                        ~/.wine/dosdevices/com5 to PATH and choose COM5\n"
        "\n"
        "The rig through rigctld (kept in Telkey.ini's [Devices] by Setup > Station...):\n"
        "  --rig=HOST:PORT       rigctld at HOST:PORT (default localhost:4532), shared with\n"
        "                        the logger, WSJT-X and the rest\n"
        "  --rig-model=N --rig-port=DEV  a rig of Hamlib's model N (rigctl -l) on serial\n"
        "                        port DEV, through a rigctld Telkey starts for it\n"
        "  --rig-baud=N          with --rig-model: the serial port's speed (default: the\n"
        "                        model's)\n"
        "  --ptt=line|rig|both   PTT by the key port's line, the rig (CAT) or both\n"
        "  --key=line|rig        the text keyed by the key port's line or the rig's keyer\n"
        "                        (CAT; the paddle then goes on the rig's key jack)\n"
        "\n"
        "  --help, -h            show this help and exit\n"
        "  --version             show the version and exit\n"
        "\n"
        "Qt's own options, such as -platform offscreen or -display :1, are passed on.\n"
        "Exit status: 0 when the window was closed, 1 when the keyer or the settings\n"
        "directory could not be used, 2 for a command line that cannot be used; ended by a\n"
        "signal, Telkey releases the key and TX lines and then ends as that signal would.\n";
    return text;
}

std::string VersionText() {
    return std::string(kProgramName) + " " + kProgramVersion + "\n";
}

}  // namespace telkey
