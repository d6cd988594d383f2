#include "backends/port_bus_sim.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>

#include "engine/line_guard.h"

namespace telkey {
namespace {

constexpr std::int64_t kTraceFlushIntervalNs = 50'000'000;
constexpr std::uint64_t kNsPerUs = 1000;

std::uint64_t MonotonicNs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::size_t RoundUpToPowerOfTwo(std::size_t n) {
    std::size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

SimPortBus::SimPortBus(std::size_t capacity)
    : capacity_(RoundUpToPowerOfTwo(capacity == 0 ? 1 : capacity)),
      entries_(std::make_unique<Entry[]>(capacity_)),
      inputs_(std::make_unique<std::atomic<std::uint16_t>[]>(kPortSpace)),
      lastValue_(std::make_unique<std::atomic<std::uint16_t>[]>(kPortSpace)),
      readCounts_(std::make_unique<std::atomic<std::uint32_t>[]>(kPortSpace)) {}

SimPortBus::~SimPortBus() {
    if (traceThread_.joinable()) {
        {
            std::lock_guard lock(traceMutex_);
            traceStop_ = true;
        }
        traceWake_.Wake();
        traceThread_.join();
    }
    if (traceFile_ != nullptr) {
        DrainTrace();
        std::fclose(traceFile_);
    }
}

std::uint8_t SimPortBus::in(std::uint16_t port) {
    readCounts_[port].fetch_add(1, std::memory_order_relaxed);
    const std::uint16_t input = inputs_[port].load(std::memory_order_relaxed);
    return (input & kSetFlag) != 0 ? static_cast<std::uint8_t>(input) : kUnsetInput;
}

void SimPortBus::out(std::uint16_t port, std::uint8_t value) {
    const std::uint64_t index = claimed_.fetch_add(1, std::memory_order_relaxed);
    Entry& entry = entries_[index & (capacity_ - 1)];
    // A sequence lock per slot: a reader that races with an overwrite sees seq change. The
    // release stores of the fields order the seq reset before them for such a reader.
    entry.seq.store(0, std::memory_order_relaxed);
    entry.timeNs.store(MonotonicNs(), std::memory_order_release);
    entry.portValue.store((std::uint32_t{port} << 8) | value, std::memory_order_release);
    entry.seq.store(index + 1, std::memory_order_release);
    lastValue_[port].store(kSetFlag | value, std::memory_order_relaxed);
    if (traceIdle_.load(std::memory_order_relaxed) && traceIdle_.exchange(false)) traceWake_.Wake();
}

void SimPortBus::SetInput(std::uint16_t port, std::uint8_t value) noexcept {
    inputs_[port].store(kSetFlag | value, std::memory_order_relaxed);
    if (inputWake_ != nullptr) inputWake_->Wake();
}

void SimPortBus::ClearInput(std::uint16_t port) noexcept {
    inputs_[port].store(0, std::memory_order_relaxed);
    if (inputWake_ != nullptr) inputWake_->Wake();
}

SimPortBus::Slot SimPortBus::ReadEntry(std::uint64_t index, PortWrite& write) const noexcept {
    const Entry& entry = entries_[index & (capacity_ - 1)];
    const std::uint64_t seq = entry.seq.load(std::memory_order_acquire);
    if (seq == index + 1) {
        const std::uint64_t timeNs = entry.timeNs.load(std::memory_order_acquire);
        const std::uint32_t portValue = entry.portValue.load(std::memory_order_acquire);
        if (entry.seq.load(std::memory_order_relaxed) == seq) {
            write = {timeNs, static_cast<std::uint16_t>(portValue >> 8),
                     static_cast<std::uint8_t>(portValue & 0xFF)};
            return Slot::Ready;
        }
    }
    return claimed_.load(std::memory_order_acquire) - index > capacity_ ? Slot::Overwritten
                                                                        : Slot::NotYet;
}

std::vector<PortWrite> SimPortBus::Writes() const {
    const std::uint64_t end = claimed_.load(std::memory_order_acquire);
    std::uint64_t begin = clearedAt_.load(std::memory_order_relaxed);
    if (end - begin > capacity_) begin = end - capacity_;
    std::vector<PortWrite> writes;
    writes.reserve(end - begin);
    for (std::uint64_t i = begin; i < end; ++i) {
        PortWrite write{};
        if (ReadEntry(i, write) == Slot::Ready) writes.push_back(write);
    }
    return writes;
}

std::vector<PortWrite> SimPortBus::WritesTo(std::uint16_t port) const {
    std::vector<PortWrite> writes;
    for (const PortWrite& w : Writes()) {
        if (w.port == port) writes.push_back(w);
    }
    return writes;
}

std::vector<std::uint8_t> SimPortBus::ValuesWrittenTo(std::uint16_t port) const {
    std::vector<std::uint8_t> values;
    for (const PortWrite& w : Writes()) {
        if (w.port == port) values.push_back(w.value);
    }
    return values;
}

std::optional<std::uint8_t> SimPortBus::LastValue(std::uint16_t port) const noexcept {
    const std::uint16_t last = lastValue_[port].load(std::memory_order_relaxed);
    if ((last & kSetFlag) == 0) return std::nullopt;
    return static_cast<std::uint8_t>(last);
}

std::uint64_t SimPortBus::WriteCount() const noexcept {
    return claimed_.load(std::memory_order_acquire) - clearedAt_.load(std::memory_order_relaxed);
}

std::uint32_t SimPortBus::ReadCount(std::uint16_t port) const noexcept {
    return readCounts_[port].load(std::memory_order_relaxed);
}

void SimPortBus::Clear() noexcept {
    clearedAt_.store(claimed_.load(std::memory_order_acquire), std::memory_order_relaxed);
    for (std::size_t port = 0; port < kPortSpace; ++port) {
        lastValue_[port].store(0, std::memory_order_relaxed);
        readCounts_[port].store(0, std::memory_order_relaxed);
    }
}

bool SimPortBus::StartTrace(const std::string& path, std::string& error) {
    if (traceFile_ != nullptr) {
        error = "the port trace is already being written";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        error = "cannot open the port trace file " + path + ": " + std::strerror(errno);
        return false;
    }
    traceFile_ = file;
    traceNext_ = claimed_.load(std::memory_order_acquire);
    try {
        traceThread_ = std::thread(&SimPortBus::TraceLoop, this);
    } catch (const std::exception& e) {
        error = std::string("cannot start the port trace writer: ") + e.what();
        std::fclose(traceFile_);
        traceFile_ = nullptr;
        return false;
    }
    return true;
}

void SimPortBus::GuardLines(LineGuard& guard) noexcept {
    if (traceFile_ != nullptr) guard.Hand(GuardedKind::Trace, kGuardSlotTrace, fileno(traceFile_));
}

// Writes are gathered for a flush interval after the first; with nothing written the writer
// sleeps until a write or the end wakes it.
void SimPortBus::TraceLoop() {
    while (true) {
        {
            std::lock_guard lock(traceMutex_);
            if (traceStop_) return;
            DrainTrace();
        }
        const std::uint32_t seen = traceWake_.Seen();
        traceIdle_.store(true);
        if (claimed_.load() != traceNext_) {
            traceIdle_.store(false);  // a write came meanwhile
        } else {
            traceWake_.WaitUntil(seen, WakeWord::kNoDeadline);
        }
        traceWake_.WaitUntil(traceWake_.Seen(),
                             static_cast<std::int64_t>(MonotonicNs()) + kTraceFlushIntervalNs);
    }
}

void SimPortBus::DrainTrace() {
    const std::uint64_t end = claimed_.load(std::memory_order_acquire);
    std::uint64_t lost = 0;
    while (traceNext_ < end) {
        PortWrite write{};
        const Slot slot = ReadEntry(traceNext_, write);
        if (slot == Slot::NotYet) break;  // still being written; the next round takes it
        ++traceNext_;
        if (slot == Slot::Overwritten) {
            ++lost;
            continue;
        }
        if (lost != 0) {
            std::fprintf(traceFile_, "# %" PRIu64 " writes lost\n", lost);
            lost = 0;
        }
        std::fprintf(traceFile_, "%" PRIu64 " 0x%x 0x%02x\n", write.timeNs / kNsPerUs,
                     unsigned{write.port}, unsigned{write.value});
    }
    if (lost != 0) std::fprintf(traceFile_, "# %" PRIu64 " writes lost\n", lost);
    std::fflush(traceFile_);
}

}  // namespace telkey
