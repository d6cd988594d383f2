#pragma once
// Helpers for message bus tests: a private bus directory per test, `telkey-msg` child processes
// with their output read line by line, and serving a participant until a condition holds. Every
// wait is bounded.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bus/bus_participant.h"
#include "support/scratch_dir.h"

extern char** environ;

namespace telkey::test {

using namespace std::chrono_literals;

// A scratch directory used as this test's bus through TELKEY_BUS_DIR.
class ScratchBus {
  public:
    ScratchBus() : path_(dir_ / "bus"), env_("TELKEY_BUS_DIR", path_) {}
    const std::string& Path() const { return path_; }

  private:
    ScratchDir dir_;
    std::string path_;
    ScopedEnv env_;
};

inline std::string TelkeyMsg() {
    return std::string(TELKEY_BINARY_DIR) + "/telkey-msg";
}

inline int CountParticipants(const std::string& busDir) {
    int count = 0;
    if (DIR* dir = ::opendir(busDir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            count += name.starts_with("p-") && name.ends_with(".sock");
        }
        ::closedir(dir);
    }
    return count;
}

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Serves a participant on this thread until `done` holds or the bound passes.
inline bool ServeUntil(BusParticipant& bus, const std::function<bool()>& done,
                       std::chrono::milliseconds bound = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd fd{bus.PollFd(), POLLIN, 0};
        if (::poll(&fd, 1, 5) > 0) bus.ServePending();
    }
    return true;
}

// A child process whose standard output is read through a pipe.
class Child {
  public:
    // errorsToo: standard error comes through the same pipe.
    explicit Child(std::vector<std::string> args, bool errorsToo = false) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (errorsToo) posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~Child() {
        Stop();
        if (out_ >= 0) ::close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of output without its line break, or nothing when none came in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds bound = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{out_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit status (128 + the signal when a signal ended it), or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds bound = 10s) {
        if (pid_ <= 0) return -1;
        int status = 0;
        const bool ended =
            WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound);
        if (!ended) return -1;
        pid_ = -1;
        // Ended by a signal: 128 + the signal, as a shell reports it.
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // Ends the child: SIGTERM, then SIGKILL when it does not go. Returns its exit status.
    int Stop() {
        if (pid_ <= 0) return -1;
        Signal(SIGCONT);
        Signal(SIGTERM);
        const pid_t pid = pid_;
        const int status = Wait(5s);
        if (status == -1 && pid_ > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid_ = -1;
        }
        return status;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// A child that runs `body` and exits with its result; the output is not captured.
inline pid_t Fork(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

// The exit status of a forked child, or -1 when it crashed or did not end in time.
inline int WaitChild(pid_t pid, std::chrono::milliseconds bound = 20s) {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, bound)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace telkey::test
