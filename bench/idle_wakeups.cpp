// Wake-ups of the real program while nothing happens: telkey with its window open (offscreen),
// nothing to send and the paddle untouched, on --ports=sim and on --ports=devices with an
// emulated serial port as key port and paddle. Over the run it counts every thread's context
// switches (voluntary and involuntary, /proc/PID/task/*/status) of telkey and of its guardian
// and prints them per second, per thread (telkey's threads are not named: the window thread is
// the one whose id is the process's).
// Usage: idle_wakeups [seconds (default 60)] [directory of telkey and telkey-msg (default this
// build)]. Prints figures, asserts nothing.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/telkey_process.h"

namespace {

using telkey::test::KeyedPort;
using telkey::test::KeyingTelkey;

constexpr int kDefaultSeconds = 60;
constexpr auto kSettle = std::chrono::seconds(3);

struct ThreadCount {
    std::string process;
    std::string name;
    long long switches = 0;
};

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// tid -> its name and switches so far, for every thread of `pid`.
void Count(pid_t pid, const std::string& process, std::map<long, ThreadCount>& out) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = dir + "/" + e->d_name;
        ThreadCount c{process, FirstLine(task + "/comm"), 0};
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                c.switches += std::atoll(line.substr(line.find(':') + 1).c_str());
            }
        }
        out[std::atol(e->d_name)] = c;
    }
    ::closedir(d);
}

void Run(KeyedPort port, int seconds, const std::string& binaryDir) {
    std::printf("\n%s, %d s idle\n", telkey::test::Name(port), seconds);
#ifdef TELKEY_FAKE_PORTS
    const char* preload = TELKEY_FAKE_PORTS;
#else
    const char* preload = "";
#endif
    KeyingTelkey telkey(port, binaryDir, preload);
    const std::string error = telkey.Start();
    if (!error.empty() || !KeyingTelkey::WaitUntil([&] { return telkey.GuardianPid() > 0; },
                                                   std::chrono::seconds(30))) {
        std::printf("  telkey did not start: %s\n", error.c_str());
        return;
    }
    std::this_thread::sleep_for(kSettle);
    const std::vector<pid_t> guardians = telkey.GuardianPids();
    std::map<long, ThreadCount> before;
    Count(telkey.Pid(), "telkey", before);
    for (const pid_t guardian : guardians) Count(guardian, "guardian", before);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::map<long, ThreadCount> after;
    Count(telkey.Pid(), "telkey", after);
    for (const pid_t guardian : guardians) Count(guardian, "guardian", after);
    double total = 0;
    std::printf("  %-9s %-7s %-18s %10s\n", "process", "tid", "thread", "wakeups/s");
    for (const auto& [tid, c] : after) {
        const auto was = before.find(tid);
        const long long n = c.switches - (was != before.end() ? was->second.switches : 0);
        const double perSecond = static_cast<double>(n) / seconds;
        total += perSecond;
        const bool window = c.process == "telkey" && tid == telkey.Pid();
        std::printf("  %-9s %-7ld %-18s %10.2f\n", c.process.c_str(), tid,
                    window ? "window" : c.name.c_str(), perSecond);
    }
    std::printf("  total %.2f wake-ups/s\n", total);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: idle_wakeups [seconds > 0] [directory of telkey]\n");
        return 2;
    }
    const std::string binaryDir = argc > 2 ? argv[2] : TELKEY_BINARY_DIR;
    Run(KeyedPort::Sim, seconds, binaryDir);
#ifdef TELKEY_FAKE_PORTS
    Run(KeyedPort::Serial, seconds, binaryDir);
#endif
    return 0;
}
