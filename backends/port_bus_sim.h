#pragma once
// An in-memory port space for tests, benchmarks and demonstrations. Inputs (paddle contacts) are
// set by the test; every output write is kept with its CLOCK_MONOTONIC time stamp in a ring
// allocated up front, so out() never allocates, locks or blocks and may be called from the keyer
// thread and the window thread at once. When the ring is full the oldest writes are overwritten
// (WriteCount() still counts them; the accessors return the ones kept).
//
// With a trace file, a writer thread appends one line per output write,
// "<microseconds> 0x<port> 0x<value>" (CLOCK_MONOTONIC, hex port and value), flushed 50 ms
// after a write and when the bus is destroyed; with nothing written the writer sleeps. Writes
// overwritten before the writer saw them are reported by a line "# <n> writes lost".
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/port_bus.h"
#include "engine/wake_word.h"

namespace telkey {

struct PortWrite {
    std::uint64_t timeNs;  // CLOCK_MONOTONIC
    std::uint16_t port;
    std::uint8_t value;
};

class SimPortBus : public PortBus {
  public:
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 18;
    static constexpr std::uint8_t kUnsetInput = 0xFF;

    // The capacity is rounded up to a power of two.
    explicit SimPortBus(std::size_t capacity = kDefaultCapacity);
    ~SimPortBus() override;
    SimPortBus(const SimPortBus&) = delete;
    SimPortBus& operator=(const SimPortBus&) = delete;

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;

    // What in(port) returns from now on (e.g. paddle contacts); unset ports read 0xFF. Either
    // wakes the word given to SetInputWake. Call them from one thread at a time.
    void SetInput(std::uint16_t port, std::uint8_t value) noexcept;
    void ClearInput(std::uint16_t port) noexcept;
    bool InputAnnounced(std::uint16_t /*port*/) const noexcept override { return true; }
    void SetInputWake(WakeWord* wake) noexcept override { inputWake_ = wake; }

    // Starts appending every output write to `path`. False, with `error` set, when the file
    // cannot be opened.
    bool StartTrace(const std::string& path, std::string& error);
    // The trace file, so that released lines reach it when the program cannot write them.
    void GuardLines(LineGuard& guard) noexcept override;

    // Output writes kept since the last Clear(), oldest first.
    std::vector<PortWrite> Writes() const;
    std::vector<PortWrite> WritesTo(std::uint16_t port) const;
    // Just the values written to one port, oldest first.
    std::vector<std::uint8_t> ValuesWrittenTo(std::uint16_t port) const;
    // Last value written to the port since the last Clear(); none if it was not written.
    std::optional<std::uint8_t> LastValue(std::uint16_t port) const noexcept;
    // Writes since the last Clear(), including those no longer kept.
    std::uint64_t WriteCount() const noexcept;
    // Reads of one port since the last Clear().
    std::uint32_t ReadCount(std::uint16_t port) const noexcept;
    // Forgets the writes and reads so far (inputs stay).
    void Clear() noexcept;
    std::size_t Capacity() const noexcept { return capacity_; }

  private:
    struct Entry {
        std::atomic<std::uint64_t> seq{0};  // index + 1 once complete, 0 while being written
        std::atomic<std::uint64_t> timeNs{0};
        std::atomic<std::uint32_t> portValue{0};
    };
    enum class Slot { Ready, NotYet, Overwritten };

    Slot ReadEntry(std::uint64_t index, PortWrite& write) const noexcept;
    void TraceLoop();
    void DrainTrace();

    static constexpr std::size_t kPortSpace = 0x10000;
    static constexpr std::uint16_t kSetFlag = 0x100;

    std::size_t capacity_;
    WakeWord* inputWake_ = nullptr;  // set and used by the thread that sets the inputs
    std::unique_ptr<Entry[]> entries_;
    std::unique_ptr<std::atomic<std::uint16_t>[]> inputs_;     // kSetFlag | value, 0 = unset
    std::unique_ptr<std::atomic<std::uint16_t>[]> lastValue_;  // kSetFlag | value, 0 = none
    std::unique_ptr<std::atomic<std::uint32_t>[]> readCounts_;
    std::atomic<std::uint64_t> claimed_{0};
    std::atomic<std::uint64_t> clearedAt_{0};

    // Trace writer; the keyer never touches these.
    std::FILE* traceFile_ = nullptr;
    std::uint64_t traceNext_ = 0;
    std::mutex traceMutex_;
    WakeWord traceWake_;
    std::atomic<bool> traceIdle_{false};  // the writer sleeps until a write wakes it
    bool traceStop_ = false;
    std::thread traceThread_;
};

}  // namespace telkey
