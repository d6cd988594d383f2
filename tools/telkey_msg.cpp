// telkey-msg: the message bus from the command line, for logging programs and scripts.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bus/bus_directory.h"
#include "bus/bus_participant.h"
#include "ui/version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: telkey-msg send NAME WPARAM [LPARAM]\n"
    "       telkey-msg listen [NAME...]\n"
    "       telkey-msg id NAME\n"
    "       telkey-msg --help | --version\n"
    "\n"
    "Talks to Telkey and other programs over the Telkey message bus.\n"
    "\n"
    "  send NAME WPARAM [LPARAM]  send message NAME to every participant and wait until\n"
    "                             all have handled it (LPARAM defaults to 0)\n"
    "  listen [NAME...]           join the bus and print every message received (only the\n"
    "                             named ones when names are given), one line each:\n"
    "                             NAME WPARAM LPARAM, until interrupted\n"
    "  id NAME                    print the identifier of message NAME\n"
    "\n"
    "WPARAM and LPARAM are 32-bit integers, decimal or 0x-hexadecimal. Names match\n"
    "without regard to case; a message without a registered name prints as its number.\n"
    "Telkey's messages are BRX_CW (commands to the keyer) and Telkey_Message (its\n"
    "announcements), e.g. 'telkey-msg send BRX_CW 111' switches the transmitter on.\n"
    "\n"
    "The bus directory is $TELKEY_BUS_DIR, else $XDG_RUNTIME_DIR/telkey-bus, else\n"
    "/tmp/telkey-bus-<uid>.\n";

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "telkey-msg: %s\nTry 'telkey-msg --help'.\n", problem.c_str());
    return kExitUsage;
}

// A 32-bit parameter: decimal with an optional sign, or 0x-hexadecimal; values up to 2^32 - 1
// are taken as their two's-complement bit pattern.
std::optional<std::int32_t> ParseParam(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (negative) {
        if (value > 0x80000000ULL) return std::nullopt;
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(value));
    }
    if (value > 0xFFFFFFFFULL) return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::uint32_t RegisterOrFail(telkey::BusParticipant& bus, const std::string& name) {
    const std::uint32_t id = bus.RegisterMessage(name);
    if (id == 0) {
        throw telkey::BusError("cannot register the message name '" + name + "' in " +
                               bus.Directory() + ": " + bus.RegistrationProblem());
    }
    return id;
}

int Send(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) {
        return UsageError("send takes NAME WPARAM [LPARAM]");
    }
    const auto wParam = ParseParam(args[1]);
    const auto lParam = args.size() == 3 ? ParseParam(args[2]) : std::optional<std::int32_t>(0);
    if (!wParam) return UsageError("WPARAM '" + args[1] + "' is not a 32-bit integer");
    if (!lParam) return UsageError("LPARAM '" + args[2] + "' is not a 32-bit integer");
    telkey::BusParticipant bus(telkey::DefaultBusDirectory(), /*listen=*/false);
    const auto report = bus.BroadcastWithReport(RegisterOrFail(bus, args[0]), *wParam, *lParam);
    if (report.skipped > 0) {
        std::fprintf(stderr, "telkey-msg: %d participant(s) did not answer\n", report.skipped);
    }
    // A script must learn that nothing was keyed when nobody got the message.
    if (report.answered > 0) return kExitOk;
    if (report.skipped == 0 && !report.dropped) {
        std::fprintf(stderr, "telkey-msg: no Telkey is running on this bus (%s)\n",
                     bus.Directory().c_str());
    }
    return kExitFailure;
}

int Id(const std::vector<std::string>& args) {
    if (args.size() != 1) return UsageError("id takes one NAME");
    telkey::BusParticipant bus(telkey::DefaultBusDirectory(), /*listen=*/false);
    std::printf("%u\n", static_cast<unsigned>(RegisterOrFail(bus, args[0])));
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int Listen(const std::vector<std::string>& args) {
    // Interrupts end the loop through a descriptor, so the socket is always removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "telkey-msg: cannot watch for signals: %s\n", std::strerror(errno));
        return kExitFailure;
    }

    telkey::BusParticipant bus(telkey::DefaultBusDirectory(), /*listen=*/true);
    std::set<std::uint32_t> wanted;
    for (const std::string& name : args) wanted.insert(RegisterOrFail(bus, name));

    bool outputGone = false;
    bus.SetHandler([&](std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
        if (!wanted.empty() && !wanted.contains(msg)) return 0;
        const auto name = bus.MessageName(msg);
        const std::string shown = name ? *name : std::to_string(msg);
        if (std::printf("%s %d %d\n", shown.c_str(), wParam, lParam) < 0 ||
            std::fflush(stdout) != 0) {
            outputGone = true;
        }
        return 0;
    });

    while (!outputGone) {
        pollfd fds[2] = {{bus.PollFd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents != 0) bus.ServePending();
    }
    ::close(signalFd);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args[0] == "--version") {
        std::printf("telkey-msg (%s) %s\n", telkey::kProgramName, telkey::kProgramVersion);
        return kExitOk;
    }
    // A reader that went away is an ordinary end, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "send") return Send(args);
        if (command == "listen") return Listen(args);
        if (command == "id") return Id(args);
    } catch (const telkey::BusError& error) {
        std::fprintf(stderr, "telkey-msg: %s\n", error.what());
        return kExitFailure;
    }
    return UsageError("unknown command '" + command + "'");
}
