#pragma once
// A rigctld of the test's own on a loopback port: answers the client's first questions as rigctld
// does and whatever the test says to one command, however hostile.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "support/rigctld_process.h"

namespace telkey::test {

class FakeRigctld {
  public:
    struct Answer {
        std::string bytes;
        bool close = false;  // the connection closed once they are sent
    };

    FakeRigctld() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeRigctld() {
        stop_ = true;
        thread_.join();
        if (client_ >= 0) ::close(client_);
        ::close(listener_);
    }
    int Port() const { return port_; }
    // What `command` (as sent, without its "+") gets from now on.
    void Say(const std::string& command, Answer answer) {
        std::lock_guard lock(mutex_);
        command_ = command;
        answer_ = std::move(answer);
    }

  private:
    static std::string Good(const std::string& command) {
        if (command == "\\chk_vfo") return "ChkVFO: 0\n";
        if (command == "\\get_info") return "get_info:\nInfo: Fake rig\nRPRT 0\n";
        if (command == "f") return "get_freq:\nFrequency: 14000000\nRPRT 0\n";
        if (command == "t") return "get_ptt:\nPTT: 0\nRPRT 0\n";
        if (command.rfind("T ", 0) == 0) return "set_ptt: " + command.substr(2) + "\nRPRT 0\n";
        return "RPRT -11\n";
    }

    void Reply(const std::string& command) {
        struct Answer answer{Good(command)};
        {
            std::lock_guard lock(mutex_);
            if (command == command_) answer = answer_;
        }
        for (std::size_t sent = 0; sent < answer.bytes.size();) {
            const ssize_t n = ::send(client_, answer.bytes.data() + sent,
                                     answer.bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (answer.close) {
            ::close(client_);
            client_ = -1;
        }
    }

    void Serve() {
        std::string pending;
        while (!stop_) {
            pollfd p[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
            if (::poll(p, client_ >= 0 ? 2 : 1, 20) <= 0) continue;
            if ((p[0].revents & POLLIN) != 0) {
                // The client's new connection replaces the old one.
                if (client_ >= 0) ::close(client_);
                client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                pending.clear();
                continue;
            }
            char buffer[1024];
            const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(client_);
                client_ = -1;
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end;
                 client_ >= 0 && (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line[0] == '+') line.erase(0, 1);
                Reply(line);
            }
        }
    }

    int listener_;
    int port_ = 0;
    int client_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string command_;
    struct Answer answer_;
    std::thread thread_;
};

}  // namespace telkey::test
