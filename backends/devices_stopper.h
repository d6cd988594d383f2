#pragma once
// A service thread's sleep that Stop() cuts short.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace telkey {

class Stopper {
  public:
    // Sleeps up to ns; false once Stop() was called.
    bool Sleep(std::int64_t ns) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::nanoseconds(ns), [this] { return stopped_; });
        return !stopped_;
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
};

// CLOCK_MONOTONIC in ns.
std::int64_t MonotonicNs() noexcept;

}  // namespace telkey
