#pragma once
// Hamlib's rigctld with its dummy rig on a free loopback port, for the rig link's tests and
// benchmark; also a listener that accepts connections and never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace telkey::test {

inline sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening loopback socket; the kernel completes connections, nobody ever answers them.
class SilentListener {
  public:
    SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address = Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    int Port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

// A port nobody listens on (just released by the kernel).
inline int FreePort() {
    SilentListener probe;
    return probe.Port();
}

class Rigctld {
  public:
    explicit Rigctld(std::string log) : port_(FreePort()), log_(std::move(log)) { Start(); }
    ~Rigctld() { Kill(); }

    int Port() const { return port_; }

    // Starts (again) on the same port and waits until it accepts.
    void Start() {
        const std::string port = std::to_string(port_);
        pid_ = ::fork();
        if (pid_ == 0) {
            std::freopen(log_.c_str(), "a", stderr);
            std::freopen("/dev/null", "w", stdout);
            ::execlp("rigctld", "rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t",
                     port.c_str(), "-vvvvv", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 300 && !Accepts(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Freezes and thaws the daemon: a rig that answers late. Returns once every thread stopped.
    void Pause(bool paused) const {
        ::kill(pid_, paused ? SIGSTOP : SIGCONT);
        const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
        for (int i = 0; paused && i < 200; ++i) {
            std::ifstream in(stat);
            std::string pid, name, state;
            in >> pid >> name >> state;
            if (state == "T") return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    bool Accepts() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(port_);
        const bool ok =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }
    // One command through a second client, Hamlib's rigctl; its answer, trimmed.
    std::string Rigctl(const std::string& command) const {
        const std::string line =
            "rigctl -m 2 -r 127.0.0.1:" + std::to_string(port_) + " " + command + " 2>/dev/null";
        std::string out;
        if (FILE* pipe = ::popen(line.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
            ::pclose(pipe);
        }
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }
    std::string Log() const {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    int port_;
    std::string log_;
    pid_t pid_ = -1;
};

}  // namespace telkey::test
