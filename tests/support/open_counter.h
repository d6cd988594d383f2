#pragma once
// Counts how often a file is opened, as the kernel reports it (inotify): shows how many times an
// operation went to the file without hooking the code under test.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace telkey::test {

class OpenCounter {
  public:
    explicit OpenCounter(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        // Closes are watched too: the kernel merges an event into an identical one just before
        // it, so only alternating events count every open.
        EXPECT_GE(::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE), 0) << path;
    }
    ~OpenCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenCounter(const OpenCounter&) = delete;
    OpenCounter& operator=(const OpenCounter&) = delete;

    // Opens since the last call (or since the watch began).
    int Take() {
        int opens = 0;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return opens;
            for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opens += (event->mask & IN_OPEN) != 0;
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

  private:
    int fd_;
};

}  // namespace telkey::test
