#include "engine/handover.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace telkey {
namespace {
constexpr std::uint8_t kSlotFull = 0;
constexpr std::uint8_t kSlotEmpty = 1;
constexpr std::uint8_t kSlotWithdrawn = 2;
constexpr std::uint32_t kRingMask = DecodedRing::kSize - 1;
static_assert((DecodedRing::kSize & kRingMask) == 0, "the ring size is a power of two");

// Never blocks: the descriptors are non-blocking and a counter cannot realistically fill.
void SignalEventFd(int fd) noexcept {
    if (fd < 0) return;
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void DrainEventFd(int fd) noexcept {
    if (fd < 0) return;
    std::uint64_t count;
    ssize_t got;
    do {
        got = read(fd, &count, sizeof count);
    } while (got < 0 && errno == EINTR);
}
}  // namespace

// ---- Mailbox ----

bool Mailbox::Fill(std::uint8_t code) noexcept {
    if (nextCodeEmpty_.load(std::memory_order_acquire) != kSlotEmpty) return false;
    nextCode_.store(code, std::memory_order_relaxed);
    // Sequentially consistent with Watch: either the keyer sees the code or this sees it watch.
    nextCodeEmpty_.store(kSlotFull);
    if (wake_ != nullptr && watched_.load()) wake_->Wake();
    return true;
}

bool Mailbox::Take(std::uint8_t& code) noexcept {
    if (nextCodeEmpty_.load(std::memory_order_acquire) != kSlotFull) return false;
    const std::uint8_t taken = nextCode_.load(std::memory_order_relaxed);
    std::uint8_t expected = kSlotFull;
    // Fails only when the window thread withdrew the code meanwhile.
    if (!nextCodeEmpty_.compare_exchange_strong(expected, kSlotEmpty, std::memory_order_acq_rel)) {
        return false;
    }
    code = taken;
    return true;
}

bool Mailbox::SeeWithdrawal() noexcept {
    if (nextCodeEmpty_.load(std::memory_order_relaxed) != kSlotWithdrawn) return false;
    std::uint8_t expected = kSlotWithdrawn;
    return nextCodeEmpty_.compare_exchange_strong(expected, kSlotEmpty, std::memory_order_acq_rel);
}

bool Mailbox::Withdraw() noexcept {
    std::uint8_t expected = kSlotFull;
    if (!nextCodeEmpty_.compare_exchange_strong(expected, kSlotWithdrawn)) return false;
    if (wake_ != nullptr && watched_.load()) wake_->Wake();
    return true;
}

bool Mailbox::NextCodeEmpty() const noexcept {
    return nextCodeEmpty_.load(std::memory_order_acquire) != kSlotFull;
}

bool Mailbox::Peek(std::uint8_t& code) const noexcept {
    // Sequentially consistent, as Watch and Fill are: the keyer's look after its Watch store
    // must not be ordered before it, or a Fill could neither be seen nor wake it.
    if (nextCodeEmpty_.load() != kSlotFull) return false;
    code = nextCode_.load(std::memory_order_relaxed);
    return true;
}

bool Mailbox::Fillable() const noexcept {
    return nextCodeEmpty_.load(std::memory_order_acquire) == kSlotEmpty;
}

bool Mailbox::WithdrawalWaiting() const noexcept {
    return nextCodeEmpty_.load() == kSlotWithdrawn;  // as Peek
}

void Mailbox::Reset() noexcept {
    nextCode_.store(0, std::memory_order_relaxed);
    nextCodeEmpty_.store(1, std::memory_order_release);
}

// ---- DecodedRing ----

bool DecodedRing::Push(std::uint8_t code) noexcept {
    // Acquire: the reader has finished with the slot before it gave it back.
    if (ringCount_.load(std::memory_order_acquire) >= kCapacity) return false;
    ringBuffer_[ringWrite_] = code;
    ringWrite_ = (ringWrite_ + 1) & kRingMask;
    ringCount_.fetch_add(1, std::memory_order_acq_rel);  // publishes the slot
    return true;
}

bool DecodedRing::Pop(std::uint8_t& code) noexcept {
    if (ringCount_.load(std::memory_order_acquire) == 0) return false;
    code = ringBuffer_[ringRead_];
    ringRead_ = (ringRead_ + 1) & kRingMask;
    ringCount_.fetch_sub(1, std::memory_order_acq_rel);  // gives the slot back
    return true;
}

std::uint32_t DecodedRing::RingCount() const noexcept {
    return ringCount_.load(std::memory_order_acquire);
}

void DecodedRing::Reset() noexcept {
    ringWrite_ = 0;
    ringRead_ = 0;
    ringCount_.store(0, std::memory_order_release);
}

// ---- NotificationQueue ----

NotificationQueue::NotificationQueue() : eventFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

NotificationQueue::~NotificationQueue() {
    if (eventFd_ >= 0) close(eventFd_);
}

bool NotificationQueue::Post(Notification n) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
        overflow_.store(true, std::memory_order_relaxed);
        return false;
    }
    slots_[tail % kCapacity] = n;
    tail_.store(tail + 1, std::memory_order_release);
    SignalEventFd(eventFd_);
    return true;
}

bool NotificationQueue::Pop(Notification& n) noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    n = slots_[head % kCapacity];
    head_.store(head + 1, std::memory_order_release);
    return true;
}

void NotificationQueue::ClearWakeup() noexcept {
    DrainEventFd(eventFd_);
}

bool NotificationQueue::TakeOverflow() noexcept {
    return overflow_.exchange(false, std::memory_order_relaxed);
}

// ---- KeyUpSignal ----

KeyUpSignal::KeyUpSignal() : eventFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

KeyUpSignal::~KeyUpSignal() {
    if (eventFd_ >= 0) close(eventFd_);
}

void KeyUpSignal::Raise() noexcept {
    if (eventFd_ < 0 || !wanted_.exchange(false)) return;
    SignalEventFd(eventFd_);
}

void KeyUpSignal::Clear() noexcept {
    DrainEventFd(eventFd_);
}

}  // namespace telkey
