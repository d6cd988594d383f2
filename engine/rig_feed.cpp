#include "engine/rig_feed.h"

#include <sys/eventfd.h>

namespace telkey {

RigFeed::RigFeed() noexcept : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void RigFeed::Listen(bool on) noexcept {
    listened_.store(on, std::memory_order_release);
    if (!on) read_.store(write_.load(std::memory_order_acquire), std::memory_order_release);
}

void RigFeed::ClearWakeup() noexcept {
    std::uint64_t count = 0;
    if (wake_.Get() >= 0) [[maybe_unused]]
        const auto n = ::read(wake_.Get(), &count, sizeof count);
}

void RigFeed::Wake() noexcept {
    const std::uint64_t one = 1;
    if (!Listened() || wake_.Get() < 0) return;
    [[maybe_unused]] const auto n = ::write(wake_.Get(), &one, sizeof one);
}

void RigFeed::Started(std::uint8_t code) noexcept {
    if (!Listened()) return;
    const std::uint32_t write = write_.load(std::memory_order_relaxed);
    if (write - read_.load(std::memory_order_acquire) >= kSize) return;
    codes_[write % kSize] = code;
    write_.store(write + 1, std::memory_order_release);
    Wake();
}

bool RigFeed::TakeStarted(std::uint8_t& code) noexcept {
    const std::uint32_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire)) return false;
    code = codes_[read % kSize];
    read_.store(read + 1, std::memory_order_release);
    return true;
}

void RigFeed::Stop() noexcept {
    stops_.fetch_add(1, std::memory_order_acq_rel);
    Wake();
}

}  // namespace telkey
