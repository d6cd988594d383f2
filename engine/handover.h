#pragma once
// The channels between the keyer thread and the window thread: the NextCode mailbox, the
// decoded-character ring, the shared flags and the queue of engine notifications.
// None of them locks, blocks or allocates after construction.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/wake_word.h"

namespace telkey {

// Engine notifications, posted by the keyer to the main window in order.
enum class Notification : std::uint16_t {
    WM_KEYER_CHAR = 33169,
    WM_KEYER_NEED_CODE = 33170,
    WM_KEYER_TX_OFF = 33171,
    WM_KEYER_PAUSE = 33172,
    WM_KEYER_TX_ON = 33173,
};

// Flags both threads write with single stores; a keyer change is followed by a notification.
struct SharedFlags {
    std::atomic<std::int32_t> Transmitting{0};
    std::atomic<std::int32_t> Paused{0};
    // Set by the window thread while a client holds transmit on: silence does not end it.
    std::atomic<std::int32_t> TxHeld{0};
};

// One-slot hand-over of the next code from the window thread to the keyer.
class Mailbox {
  public:
    // Woken by a Fill or a Withdraw while the keyer watches the slot, so that a sleeping keyer
    // looks at it.
    void SetWake(WakeWord* wake) noexcept { wake_ = wake; }
    // Keyer: whether it looks at the slot before its next tick (in Idle) and must be woken.
    // Set before it looks at the slot, so that a Fill either is seen or wakes it.
    void Watch(bool watched) noexcept {
        if (watched_.load(std::memory_order_relaxed) != watched) watched_.store(watched);
    }
    // Window thread: stores the code and then marks the slot full, only while it is empty.
    bool Fill(std::uint8_t code) noexcept;
    // Keyer: takes the code and marks the slot empty, only while it is full.
    bool Take(std::uint8_t& code) noexcept;
    // Keyer: true once for each withdrawal; the slot can be filled again from then on.
    bool SeeWithdrawal() noexcept;
    // Window thread: takes back a code the keyer has not taken; true when there was one. The
    // slot then stays closed to Fill until the keyer has seen the withdrawal, so the keyer can
    // never key a withdrawn code in place of the next one.
    bool Withdraw() noexcept;
    // No code waits (the slot may still be closed after a withdrawal).
    bool NextCodeEmpty() const noexcept;
    // Keyer: a code waits, and `code` is it; it stays in the slot.
    bool Peek(std::uint8_t& code) const noexcept;
    // Window thread: Fill would take a code now.
    bool Fillable() const noexcept;
    // Keyer: a withdrawal waits for SeeWithdrawal.
    bool WithdrawalWaiting() const noexcept;
    // Settings load: the slot empty, NextCode 0.
    void Reset() noexcept;

  private:
    std::atomic<std::uint8_t> nextCode_{0};
    // 1 empty, 0 full, kWithdrawn empty until the keyer has seen it.
    std::atomic<std::uint8_t> nextCodeEmpty_{1};
    WakeWord* wake_ = nullptr;
    std::atomic<bool> watched_{true};
};

// Decoded-character ring: codes from the keyer to the window thread, at most 1023 waiting.
class DecodedRing {
  public:
    static constexpr std::uint32_t kSize = 1024;
    static constexpr std::uint32_t kCapacity = kSize - 1;

    // Keyer: false (code lost) when full.
    bool Push(std::uint8_t code) noexcept;
    // Window thread: false when empty.
    bool Pop(std::uint8_t& code) noexcept;
    std::uint32_t RingCount() const noexcept;
    // Settings load, before the keyer runs: empty.
    void Reset() noexcept;

  private:
    std::array<std::uint8_t, kSize> ringBuffer_{};
    std::uint32_t ringWrite_ = 0;  // keyer only
    std::uint32_t ringRead_ = 0;   // window thread only
    std::atomic<std::uint32_t> ringCount_{0};
};

// Fixed-capacity single-producer single-consumer queue of notifications, with an eventfd that
// wakes the window thread. Post never blocks, allocates or locks.
class NotificationQueue {
  public:
    static constexpr std::size_t kCapacity = 8192;

    NotificationQueue();
    ~NotificationQueue();
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    // Producer (keyer thread). False when the queue is full (the notification is lost and
    // Overflowed() turns true until the consumer reads it).
    bool Post(Notification n) noexcept;
    // Consumer (window thread): next notification in posting order, false when none.
    bool Pop(Notification& n) noexcept;
    // The eventfd: readable while notifications may wait. The consumer calls ClearWakeup()
    // before draining with Pop().
    int WakeupFd() const noexcept { return eventFd_; }
    void ClearWakeup() noexcept;
    // True once if a Post was lost since the last call.
    bool TakeOverflow() noexcept;

  private:
    std::array<Notification, kCapacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};  // next to read
    alignas(64) std::atomic<std::size_t> tail_{0};  // next to write
    std::atomic<bool> overflow_{false};
    int eventFd_ = -1;
};

// The last key-up of a text character, told to the window thread only when it asked for the
// next one: a reply or echo due then goes at once, without polling. Want and Raise pair
// without loss: a key-up after Want() makes the eventfd readable, or Want()'s caller sees it.
class KeyUpSignal {
  public:
    KeyUpSignal();
    ~KeyUpSignal();
    KeyUpSignal(const KeyUpSignal&) = delete;
    KeyUpSignal& operator=(const KeyUpSignal&) = delete;

    // Window thread: the next key-up is to be told.
    void Want() noexcept { wanted_.store(true); }
    // Keyer thread, at the key-up: tells it when it was wanted.
    void Raise() noexcept;
    int Fd() const noexcept { return eventFd_; }
    void Clear() noexcept;

  private:
    std::atomic<bool> wanted_{false};
    int eventFd_ = -1;
};

}  // namespace telkey
