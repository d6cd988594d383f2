// How long after a signal the key and TX lines of a keying telkey are released: the real program
// keys a long macro, gets the signal, and the time from the kill to the released lines is read
// from the lines' own time stamps (the sim trace or the emulated port). Prints p50 and max per
// signal, then for what `pkill -9 telkey` does and for a guardian killed a moment before telkey
// (from telkey's kill). Usage: guardian_release [sim|serial|parallel] [runs] [at once] [rows]
// where rows, if given, keeps the rows whose name starts with it ("g+", "pkill", "SIGKILL").
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/telkey_process.h"

namespace {

using telkey::test::KeyedPort;
using telkey::test::KeyingTelkey;
using namespace std::chrono_literals;

struct Signal {
    int number;
    const char* name;
    bool stops;
    std::chrono::milliseconds guardianFirst{-1};  // a guardian killed this long before telkey
    bool pkill = false;                           // SIGKILL to every process named telkey
};

constexpr Signal kSignals[] = {
    {SIGHUP, "SIGHUP", false},
    {SIGINT, "SIGINT", false},
    {SIGQUIT, "SIGQUIT", false},
    {SIGTERM, "SIGTERM", false},
    {SIGUSR1, "SIGUSR1", false},
    {SIGALRM, "SIGALRM", false},
    {SIGTSTP, "SIGTSTP", true},
    {SIGSTOP, "SIGSTOP", true},
    {SIGKILL, "SIGKILL", false},
    {SIGSEGV, "SIGSEGV", false},
    {SIGKILL, "pkill -9", false, -1ms, true},
    {SIGKILL, "g+0ms", false, 0ms},
    {SIGKILL, "g+1ms", false, 1ms},
    {SIGKILL, "g+3ms", false, 3ms},
    {SIGKILL, "g+10ms", false, 10ms},
};

constexpr double kNotStarted = -1;  // telkey did not start keying: no figure, no failure

// One run: the latency in ms, kNotStarted, or another negative value when it was not released.
double Measure(KeyedPort port, const Signal& sig) {
    KeyingTelkey telkey(port, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
    if (!telkey.Start().empty() || !telkey.KeyDown().empty()) return kNotStarted;
    std::int64_t sent = 0;
    if (sig.pkill) {
        const auto killed = telkey.KillMatching("telkey", false);
        if (!killed) return -3;
        sent = *killed;
    } else if (sig.guardianFirst.count() >= 0) {
        sent = telkey.KillGuardianThenTelkey(sig.guardianFirst);
    } else {
        sent = telkey.Signal(sig.number);
    }
    const auto released = telkey.WaitReleased(sent, 10s);
    if (sig.stops) {
        telkey.Signal(SIGKILL);
        telkey.Signal(SIGCONT);
    }
    telkey.WaitEnd(20s);
    return released ? static_cast<double>(*released - sent) / 1e6 : -2;
}

}  // namespace

int main(int argc, char** argv) {
    KeyedPort port = KeyedPort::Serial;
    if (argc > 1 && std::strcmp(argv[1], "sim") == 0) port = KeyedPort::Sim;
    if (argc > 1 && std::strcmp(argv[1], "parallel") == 0) port = KeyedPort::Parallel;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    const int atOnce = argc > 3 ? std::atoi(argv[3]) : 4;
    const std::string rows = argc > 4 ? argv[4] : "";

    std::cout << "Release latency of the key and TX lines after a signal, "
              << telkey::test::Name(port) << ", " << runs << " runs each (" << atOnce
              << " telkeys at once)\n";
    std::cout << "signal     p50 ms   max ms   failed   not started\n";
    for (const Signal& sig : kSignals) {
        if (!std::string(sig.name).starts_with(rows)) continue;
        std::vector<double> ms;
        int failed = 0;
        int notStarted = 0;
        for (int done = 0; done < runs;) {
            std::vector<std::future<double>> batch;
            for (int i = 0; i < atOnce && done < runs; ++i, ++done) {
                batch.push_back(std::async(std::launch::async, Measure, port, sig));
            }
            for (auto& f : batch) {
                const double v = f.get();
                if (v == kNotStarted) {
                    ++notStarted;
                } else if (v < 0) {
                    ++failed;
                } else {
                    ms.push_back(v);
                }
            }
        }
        std::sort(ms.begin(), ms.end());
        const double p50 = ms.empty() ? 0 : ms[ms.size() / 2];
        const double max = ms.empty() ? 0 : ms.back();
        std::printf("%-9s %7.1f  %7.1f   %-8d %d\n", sig.name, p50, max, failed, notStarted);
        std::fflush(stdout);
    }
    return 0;
}
