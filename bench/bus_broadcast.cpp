// Time of one synchronous broadcast to 1 and to 10 listening `telkey-msg listen` processes, and
// of one `telkey-msg send` run as a logger would use it. Prints p50, p99 and the worst case.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bus/bus_participant.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmUp = 200;
constexpr int kRounds = 5000;
constexpr int kSendRounds = 100;

std::string FindTelkeyMsg(const char* given) {
    if (given != nullptr) return given;
    const auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    for (const auto& dir : {self, self.parent_path()}) {
        if (std::filesystem::exists(dir / "telkey-msg")) return (dir / "telkey-msg").string();
    }
    return "telkey-msg";
}

pid_t Spawn(std::vector<std::string> args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int CountSockets(const std::string& dir) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        count += name.starts_with("p-") && name.ends_with(".sock");
    }
    return count;
}

void Report(const char* what, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
    };
    std::printf("%-40s p50 %8.1f us   p99 %8.1f us   max %8.1f us   (%zu runs)\n", what, at(0.50),
                at(0.99), micros.back(), micros.size());
}

bool BenchListeners(const std::string& telkeyMsg, const std::string& dir, int listeners) {
    std::vector<pid_t> pids;
    for (int i = 0; i < listeners; ++i) pids.push_back(Spawn({telkeyMsg, "listen"}));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (CountSockets(dir) < listeners && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool ok = CountSockets(dir) == listeners;
    if (ok) {
        // The measuring participant listens and handles its own copy, as Telkey's window does.
        telkey::BusParticipant bus(dir);
        bus.SetHandler([](std::uint32_t, std::int32_t, std::int32_t) { return 0; });
        const std::uint32_t msg = bus.RegisterMessage("Telkey_Message");
        std::vector<double> micros;
        for (int i = 0; i < kWarmUp + kRounds; ++i) {
            const auto start = Clock::now();
            const auto report = bus.BroadcastWithReport(msg, 110, 0);
            const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start);
            if (report.answered != listeners) ok = false;
            if (i >= kWarmUp) micros.push_back(took.count());
        }
        const std::string what = "broadcast to " + std::to_string(listeners) + " listener(s)";
        Report(what.c_str(), micros);
    }
    for (const pid_t pid : pids) ::kill(pid, SIGTERM);
    for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string telkeyMsg = FindTelkeyMsg(argc > 1 ? argv[1] : nullptr);
    std::string dir = (std::filesystem::temp_directory_path() / "telkey-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return 1;
    ::setenv("TELKEY_BUS_DIR", dir.c_str(), 1);

    bool ok = true;
    std::printf("telkey-msg: %s\n", telkeyMsg.c_str());
    for (const int n : {1, 10}) ok = BenchListeners(telkeyMsg, dir, n) && ok;

    // One `telkey-msg send` run, process start included, to one listener.
    const pid_t listener = Spawn({telkeyMsg, "listen"});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (CountSockets(dir) < 1 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> micros;
    for (int i = 0; i < kSendRounds; ++i) {
        const auto start = Clock::now();
        const pid_t send = Spawn({telkeyMsg, "send", "BRX_CW", "110"});
        int status = 0;
        ::waitpid(send, &status, 0);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    Report("telkey-msg send, process included", micros);
    ::kill(listener, SIGTERM);
    ::waitpid(listener, nullptr, 0);
    std::filesystem::remove_all(dir);
    if (!ok) std::printf("some broadcasts were not answered by every listener\n");
    return ok ? 0 : 1;
}
