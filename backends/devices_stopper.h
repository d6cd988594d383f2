#pragma once
// A service thread's sleep that Stop() cuts short.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace telkey {

class Stopper {
  public:
    static constexpr std::int64_t kUntilKicked = -1;

    // Sleeps up to ns (kUntilKicked: no bound), or until Kick(); false once Stop() was called.
    bool Sleep(std::int64_t ns) {
        std::unique_lock lock(mutex_);
        const auto woken = [this] { return stopped_ || kicked_; };
        if (ns == kUntilKicked) {
            cv_.wait(lock, woken);
        } else {
            cv_.wait_for(lock, std::chrono::nanoseconds(ns), woken);
        }
        kicked_ = false;
        return !stopped_;
    }
    // Ends the sleep under way, or the next one, at once.
    void Kick() {
        {
            std::lock_guard lock(mutex_);
            kicked_ = true;
        }
        cv_.notify_all();
    }
    bool Running() const {
        std::lock_guard lock(mutex_);
        return !stopped_;
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        cv_.notify_all();
    }
    void Rearm() {
        std::lock_guard lock(mutex_);
        stopped_ = false;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    bool kicked_ = false;
};

// CLOCK_MONOTONIC in ns.
std::int64_t MonotonicNs() noexcept;

}  // namespace telkey
