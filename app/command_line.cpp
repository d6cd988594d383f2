#include "app/command_line.h"

#include "ui/version.h"

namespace telkey {

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error) {
    for (const std::string& arg : args) {
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
        } else if (arg.starts_with("--")) {
            std::string optionError;
            if (!ParsePortBusOption(arg, line.ports, optionError)) {
                error = "unknown option '" + arg + "'";
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
    return true;
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
        "Where the keyer's port I/O goes:\n"
        "  --ports=none          no hardware: inputs read as open, outputs go nowhere\n"
        "  --ports=sim           an in-memory port space (demonstrations and tests)\n"
        "  --port-trace=FILE     with --ports=sim: append every output write to FILE as\n"
        "                        \"<microseconds> <port> <value>\"\n"
        "  --ports=raw           real PC ports (COM, LPT, game port, PC speaker); needs root\n"
        "                        or CAP_SYS_RAWIO\n"
        "  --ports=devices       the legacy ports on today's devices (default), chosen with:\n"
        "  --com1=DEV .. --com4=DEV, --lpt1=DEV .. --lpt3=DEV, --gameport=DEV,\n"
        "  --paddle-keys=KEYS; addresses no option maps act as with --ports=none\n"
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
        "  --help                show this help and exit\n"
        "  --version             show the version and exit\n"
        "\n"
        "Qt's own options, such as -platform offscreen or -display :1, are passed on.\n"
        "Exit status: 0 when the window was closed, 1 when the keyer could not start,\n"
        "2 for a command line that cannot be used.\n";
    return text;
}

std::string VersionText() {
    return std::string(kProgramName) + " " + kProgramVersion + "\n";
}

}  // namespace telkey
