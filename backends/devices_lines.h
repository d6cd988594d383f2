#pragma once
// An output register whose lines are written from two threads without a lock (the keyer's
// SetKey and the window's SetTx). The last write wins; a writer that finds another one busy
// leaves its value to that one and returns, so the keyer never waits. The device is touched
// only when the wanted value differs from what the lines show.
#include <atomic>
#include <cstdint>
#include <thread>

namespace telkey {

class LineWriter {
  public:
    static constexpr int kUnknown = -1;

    // apply(value) puts value on the lines and returns false when that failed.
    template <class Apply>
    void Write(std::uint8_t value, Apply&& apply) noexcept {
        wanted_.store(value);
        again_.store(true);
        Drain(apply);
    }

    // Not for the keyer thread: waits its turn, then puts value on the lines whatever was
    // wanted (the watchdog's release). The next Write puts the wanted value back.
    template <class Apply>
    void Override(std::uint8_t value, Apply&& apply) noexcept {
        while (busy_.exchange(true)) std::this_thread::yield();
        applied_.store(apply(value) ? value : kUnknown);
        busy_.store(false);
        Drain(apply);
    }

    // What the last Write asked for.
    std::uint8_t Wanted() const noexcept { return wanted_.load(); }
    // What the lines show, or kUnknown (device absent or a write failed).
    int Applied() const noexcept { return applied_.load(); }

  private:
    template <class Apply>
    void Drain(Apply& apply) noexcept {
        while (again_.load() && !busy_.exchange(true)) {
            again_.store(false);
            const std::uint8_t value = wanted_.load();
            if (applied_.load() != value) applied_.store(apply(value) ? value : kUnknown);
            busy_.store(false);
        }
    }

    std::atomic<std::uint8_t> wanted_{0};
    std::atomic<bool> again_{false};
    std::atomic<bool> busy_{false};
    std::atomic<int> applied_{kUnknown};  // written only while busy_ is held
};

}  // namespace telkey
