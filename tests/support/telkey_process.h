#pragma once
// The real telkey program with the key and TX lines on, for tests and benchmarks of what a
// signal does to them: offscreen, in a scratch directory with its own message bus, keying a long
// macro on LPT1 of --ports=sim (the port trace shows the lines) or on COM1 or LPT1 of
// --ports=devices emulated in files (tests/preload/fake_ports.h, preloaded library), or testing
// the key or PTT line from its "Station..." dialog (tests/preload/station_clicker.cpp). Every
// change of the lines is read back with its CLOCK_MONOTONIC time. Every wait is bounded.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"
#include "tests/preload/fake_ports.h"

extern char** environ;

namespace telkey::test {

enum class KeyedPort { Sim, Serial, Parallel };

inline const char* Name(KeyedPort port) {
    switch (port) {
        case KeyedPort::Sim:
            return "sim";
        case KeyedPort::Serial:
            return "devices COM1";
        case KeyedPort::Parallel:
            return "devices LPT1";
    }
    return "?";
}

inline std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct LineChange {
    std::int64_t ns;
    bool key;
    bool tx;
};

class KeyingTelkey {
  public:
    // binaryDir holds telkey and telkey-msg; preload is the fake ports library (and the
    // station clicker, for StationTest).
    KeyingTelkey(KeyedPort port, std::string binaryDir, std::string preload)
        : port_(port), binaryDir_(std::move(binaryDir)), preload_(std::move(preload)) {}
    ~KeyingTelkey() { Kill(); }
    KeyingTelkey(const KeyingTelkey&) = delete;
    KeyingTelkey& operator=(const KeyingTelkey&) = delete;

    // The environment of a display in place of the offscreen platform ("NAME=VALUE" each).
    void UseDisplay(std::vector<std::string> display) { display_ = std::move(display); }
    // With --ports=devices: Telkey.ini's [Devices] names the port, and telkey starts in another
    // directory with --settings-dir naming the one that holds the file, as the menu entry does.
    void NameDeviceInSettings() { deviceInSettings_ = true; }

    // Starts telkey; `stderrFd` (if not -1) becomes its standard error, and `extra` are more
    // arguments; `closedStreams`: started with standard input, output and error closed.
    // Empty on success, else what went wrong.
    std::string Start(int stderrFd = -1, const std::vector<std::string>& extra = {},
                      bool closedStreams = false) {
        ::mkdir(work_.c_str(), 0755);
        // Key port LPT1 or COM1, MOX on, 100 letters a minute (dash 180 ms): macro 2 keys
        // for about half a minute.
        const int keyPort = port_ == KeyedPort::Serial ? 1 : 5;
        const char* portKey = port_ == KeyedPort::Serial ? "COM1=" : "LPT1=";
        std::ofstream ini(work_ + "/Telkey.ini");
        ini << "[Qor_Cw]\nKeyPortNumber=" << keyPort << "\nSpeed=100\n[MOX]\nMoxOn=1\n"
            << "[Cw_Macros]\nMacro2=\"" << std::string(80, 'T') << "\"\n";
        if (deviceInSettings_) ini << "[Devices]\n" << portKey << file_ << "\nSpeaker=none\n";
        ini.close();
        std::vector<std::string> args = {binaryDir_ + "/telkey"};
        if (port_ == KeyedPort::Sim) {
            args.push_back("--ports=sim");
            args.push_back("--port-trace=" + file_);
        } else {
            if (!CreateFakePort(file_, port_ == KeyedPort::Parallel)) return "cannot create port";
            args.push_back("--ports=devices");
            if (deviceInSettings_) {
                args.push_back("--settings-dir=" + work_);
            } else {
                args.push_back(std::string("--") +
                               (port_ == KeyedPort::Serial ? "com1=" : "lpt1=") + file_);
                args.push_back("--speaker=none");
            }
        }
        for (const std::string& arg : extra) args.push_back(arg);
        std::vector<std::string> env = Environment();
        env.push_back("LD_PRELOAD=" + preload_);
        env.push_back("TELKEY_TEST_CLICK=" + click_);
        const std::string log = dir_ / "telkey.log";
        pid_ =
            Spawn(args, env, log, stderrFd, deviceInSettings_ ? dir_.Path() : work_, closedStreams);
        return pid_ > 0 ? "" : "cannot start telkey";
    }

    // Waits until telkey's engine has started and registered its messages (a command before then
    // is not understood), runs macro 2 and waits until key and TX are on.
    std::string KeyDown(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        if (!WaitUntil([&] { return OnBus() && Registered(); }, bound)) {
            return "telkey did not register its messages on its bus";
        }
        const pid_t send = Spawn({binaryDir_ + "/telkey-msg", "send", "BRX_CW", "2"}, Environment(),
                                 dir_ / "send.log", -1, work_);
        int status = 0;
        if (send <= 0 ||
            !WaitUntil([&] { return ::waitpid(send, &status, WNOHANG) == send; }, bound)) {
            return "telkey-msg send did not finish";
        }
        if (!WaitUntil(
                [&] {
                    const auto lines = Lines();
                    return !lines.empty() && lines.back().key && lines.back().tx;
                },
                bound)) {
            return "the lines did not go on";
        }
        return "";
    }

    // Clicks "Test key" (KeyTest) or "Test PTT" (PttTest) in the station dialog and waits until
    // that line is on.
    std::string StationTest(const std::string& button,
                            std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        if (!WaitUntil([&] { return OnBus(); }, bound)) return "telkey did not join its bus";
        std::ofstream(click_) << button;
        const bool key = button == "KeyTest";
        if (!WaitUntil(
                [&] {
                    const auto lines = Lines();
                    return !lines.empty() && (key ? lines.back().key : lines.back().tx);
                },
                bound)) {
            return button + " did not switch its line on";
        }
        return "";
    }

    // The guardians now (children of telkey started with the guardian's argument), oldest first.
    std::vector<pid_t> GuardianPids() const {
        std::vector<pid_t> found;
        for (const pid_t pid : Tree()) {
            if (pid == pid_ || State(pid) == 'Z') continue;
            const std::string cmdline = ReadBytes("/proc/" + std::to_string(pid) + "/cmdline");
            const auto arg = cmdline.find('\0');
            if (arg != std::string::npos &&
                cmdline.compare(arg + 1, std::string::npos,
                                std::string("--internal-guardian") + '\0') == 0) {
                found.push_back(pid);
            }
        }
        return found;
    }

    // A guardian now, -1 when there is none.
    pid_t GuardianPid() const {
        const std::vector<pid_t> pids = GuardianPids();
        return pids.empty() ? -1 : pids.front();
    }

    // Telkey and every process below it, in pid order.
    std::vector<pid_t> Tree() const {
        std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
        if (DIR* d = ::opendir("/proc")) {
            while (const dirent* entry = ::readdir(d)) {
                if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
                const std::string stat = ReadBytes(std::string("/proc/") + entry->d_name + "/stat");
                const auto close = stat.rfind(')');
                char state = 0;
                int parent = 0;
                if (close != std::string::npos &&
                    std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
                    parents.emplace_back(std::atoi(entry->d_name), parent);
                }
            }
            ::closedir(d);
        }
        std::vector<pid_t> tree;
        if (pid_ > 0) tree.push_back(pid_);
        for (std::size_t i = 0; i < tree.size(); ++i) {
            for (const auto& [pid, parent] : parents) {
                if (parent == tree[i]) tree.push_back(pid);
            }
        }
        std::sort(tree.begin(), tree.end());
        return tree;
    }

    // The process name (comm) of `pid`, as pkill and killall see it without -f.
    static std::string Comm(pid_t pid) {
        std::string comm = ReadBytes("/proc/" + std::to_string(pid) + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        return comm;
    }

    // The command line of `pid` with its arguments joined by spaces, as pkill -f sees it.
    static std::string CommandLine(pid_t pid) {
        std::string line = ReadBytes("/proc/" + std::to_string(pid) + "/cmdline");
        while (!line.empty() && line.back() == '\0') line.pop_back();
        std::replace(line.begin(), line.end(), '\0', ' ');
        return line;
    }

    // Waits until process `pid` has ended (gone or a zombie).
    static bool WaitGone(pid_t pid, std::chrono::milliseconds bound) {
        return WaitUntil([&] { return State(pid) == 0 || State(pid) == 'Z'; }, bound);
    }

    // What `pkill -9 <pattern>` does, limited to this telkey's processes: SIGKILL, in pid order,
    // to each whose name (or, with `commandLine`, whose command line, as `pkill -f`) contains
    // `pattern`. When telkey itself was sent it, or nothing when it was not.
    std::optional<std::int64_t> KillMatching(const std::string& pattern, bool commandLine) const {
        std::vector<pid_t> matched;
        for (const pid_t pid : Tree()) {
            const std::string name = commandLine ? CommandLine(pid) : Comm(pid);
            if (name.find(pattern) != std::string::npos) matched.push_back(pid);
        }
        std::optional<std::int64_t> telkeyKilled;
        for (const pid_t pid : matched) {
            const std::int64_t now = NowNs();
            ::kill(pid, SIGKILL);
            if (pid == pid_) telkeyKilled = now;
        }
        return telkeyKilled;
    }

    // A guardian SIGKILLed, then telkey `gap` later: when telkey was sent it.
    std::int64_t KillGuardianThenTelkey(std::chrono::microseconds gap) const {
        const pid_t guardian = GuardianPid();
        if (guardian > 0) ::kill(guardian, SIGKILL);
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
        return Signal(SIGKILL);
    }

    // Every change of the key port's lines so far, oldest first.
    std::vector<LineChange> Lines() const {
        std::vector<LineChange> changes;
        if (port_ == KeyedPort::Sim) {
            std::istringstream in(ReadBytes(file_));
            std::string line;
            while (std::getline(in, line)) {
                unsigned long long us = 0;
                unsigned reg = 0;
                unsigned value = 0;
                if (std::sscanf(line.c_str(), "%llu %x %x", &us, &reg, &value) == 3 &&
                    reg == 0x378) {
                    changes.push_back(
                        {static_cast<std::int64_t>(us) * 1000, (value & 1) != 0, (value & 2) != 0});
                }
            }
            return changes;
        }
        const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return changes;
        void* map = ::mmap(nullptr, sizeof(FakePortFile), PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) return changes;
        const auto& file = *static_cast<const FakePortFile*>(map);
        const int count = file.changes.load();
        for (int i = std::max(0, count - FakePortFile::kHistory); i < count; ++i) {
            const auto& c = file.history[i % FakePortFile::kHistory];
            const int lines = c.lines.load();
            const bool serial = port_ == KeyedPort::Serial;
            changes.push_back({c.ns.load(), (lines & (serial ? TIOCM_DTR : 1)) != 0,
                               (lines & (serial ? TIOCM_RTS : 2)) != 0});
        }
        ::munmap(map, sizeof(FakePortFile));
        return changes;
    }

    // The serial port's termios c_cflag as telkey left it.
    int Cflag() const {
        const std::string bytes = ReadBytes(file_);
        if (bytes.size() < sizeof(FakePortFile)) return 0;
        return reinterpret_cast<const FakePortFile*>(bytes.data())->cflag.load();
    }

    // When the lines first showed key and TX both off at or after `sinceNs`.
    std::optional<std::int64_t> ReleasedAt(std::int64_t sinceNs) const {
        for (const LineChange& c : Lines()) {
            if (c.ns >= sinceNs && !c.key && !c.tx) return c.ns;
        }
        return std::nullopt;
    }

    // The same, waiting for it.
    std::optional<std::int64_t> WaitReleased(std::int64_t sinceNs,
                                             std::chrono::milliseconds bound) const {
        std::optional<std::int64_t> at;
        WaitUntil([&] { return (at = ReleasedAt(sinceNs)).has_value(); }, bound);
        return at;
    }

    std::int64_t Signal(int sig) const {
        const std::int64_t now = NowNs();
        ::kill(pid_, sig);
        return now;
    }

    // 'T' while stopped, 'Z' or 0 when gone.
    char State() const { return State(pid_); }
    static char State(pid_t pid) {
        const std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
    }

    // The wait status once telkey has ended, nothing when it has not within the bound.
    std::optional<int> WaitEnd(std::chrono::milliseconds bound) {
        int status = 0;
        if (pid_ <= 0) return std::nullopt;
        if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
            return std::nullopt;
        }
        pid_ = -1;
        return status;
    }

    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t Pid() const { return pid_; }
    std::string Log() const { return ReadBytes(dir_ / "telkey.log"); }

    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

  private:
    std::vector<std::string> Environment() const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool ours = false;
            for (const char* name :
                 {"TELKEY_BUS_DIR=", "TELKEY_COMMON_DIR=", "QT_QPA_PLATFORM=", "LD_PRELOAD="}) {
                ours |= entry.starts_with(name);
            }
            for (const std::string& set : display_) {
                ours |= entry.starts_with(set.substr(0, set.find('=') + 1));
            }
            if (!ours) env.push_back(entry);
        }
        env.push_back("TELKEY_BUS_DIR=" + (dir_ / "bus"));
        env.push_back("TELKEY_COMMON_DIR=" + (dir_ / "common"));
        env.insert(env.end(), display_.begin(), display_.end());
        return env;
    }

    bool OnBus() const {
        const std::string listing = dir_ / "bus";
        bool found = false;
        if (DIR* d = ::opendir(listing.c_str())) {
            while (const dirent* entry = ::readdir(d)) {
                const std::string name = entry->d_name;
                found |= name.starts_with("p-") && name.ends_with(".sock");
            }
            ::closedir(d);
        }
        return found;
    }

    // Only telkey registers this name, at the end of its start-up.
    bool Registered() const {
        return ReadBytes(dir_ / "bus/names").find("Telkey_Message") != std::string::npos;
    }

    // fork and exec with everything prepared before the fork (the caller may have threads).
    pid_t Spawn(std::vector<std::string> args, std::vector<std::string> env, const std::string& log,
                int stderrFd, const std::string& startDir, bool closedStreams = false) const {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A process group of its own whose parent is in the session: job control signals
            // stop it as they would in a shell.
            ::setpgid(0, 0);
            rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            if (::chdir(startDir.c_str()) != 0) ::_exit(126);
            if (closedStreams) {
                for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::close(fd);
            } else {
                ::dup2(out, STDOUT_FILENO);
                ::dup2(stderrFd >= 0 ? stderrFd : out, STDERR_FILENO);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out);
        return pid;
    }

    KeyedPort port_;
    std::string binaryDir_;
    std::string preload_;
    ScratchDir dir_;
    std::string work_ = dir_ / "work";
    std::string file_ = dir_ / (port_ == KeyedPort::Sim ? "trace.txt" : "port");
    std::string click_ = dir_ / "click";
    pid_t pid_ = -1;
    std::vector<std::string> display_ = {"QT_QPA_PLATFORM=offscreen"};
    bool deviceInSettings_ = false;
};

}  // namespace telkey::test
