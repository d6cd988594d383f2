#include "backends/standard_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <streambuf>

namespace telkey {

void OpenStandardStreams() noexcept {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        // The lowest free descriptor: this one, as those below it are open.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
}

namespace {

// std::cerr's buffer: writes straight through and never reports failure, so a line dropped on a
// full pipe does not silence every later one.
class DroppingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        const char c = traits_type::to_char_type(ch);
        xsputn(&c, 1);
        return ch;
    }
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        [[maybe_unused]] const ssize_t n =
            ::write(STDERR_FILENO, data, static_cast<std::size_t>(size));
        return size;
    }
};

}  // namespace

void UnblockStandardError() noexcept {
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0) return;
    if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
        // Opened anew: a description of Telkey's own, so the flag reaches nobody else.
        const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            ::dup3(own, STDERR_FILENO, 0);
            ::close(own);
        }
    }
    static DroppingBuffer buffer;
    std::cerr.rdbuf(&buffer);
}

}  // namespace telkey
