#pragma once
// A logger's side of the emulated WinKeyer: the link opened as a serial port (raw, 1200 baud,
// 8 data bits, 2 stop bits), bytes written, and what comes back with its arrival time.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace telkey::test {

class WinkeyerClient {
  public:
    struct Arrival {
        std::uint8_t byte;
        std::int64_t ns;  // CLOCK_MONOTONIC
    };

    ~WinkeyerClient() { Close(); }

    bool Open(const std::string& link) {
        Close();
        fd_ = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return false;
        termios line{};
        if (::tcgetattr(fd_, &line) != 0) return false;
        ::cfmakeraw(&line);
        ::cfsetspeed(&line, B1200);
        line.c_cflag |= CSTOPB;
        return ::tcsetattr(fd_, TCSANOW, &line) == 0;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Write(const std::vector<std::uint8_t>& bytes) const {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool WriteText(const std::string& text) const {
        return Write(std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    // Reads until `done` holds for what came so far or `boundMs` passed without it.
    template <class Done>
    std::vector<Arrival> ReadUntil(Done done, int boundMs) const {
        std::vector<Arrival> got;
        const std::int64_t end = Now() + static_cast<std::int64_t>(boundMs) * 1'000'000;
        while (!done(got)) {
            const std::int64_t left = (end - Now()) / 1'000'000;
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            const std::int64_t at = Now();
            std::uint8_t buffer[512];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) got.push_back({buffer[i], at});
        }
        return got;
    }
    static std::int64_t Now() {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }
    // The bytes below 0x80 that came: echoes, not status or speed pot bytes.
    static std::string Echoes(const std::vector<Arrival>& got) {
        std::string text;
        for (const Arrival& a : got) {
            if (a.byte < 0x80) text += static_cast<char>(a.byte);
        }
        return text;
    }

  private:
    int fd_ = -1;
};

}  // namespace telkey::test
