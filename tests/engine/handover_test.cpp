// The mailbox, the decoded-character ring and the notification queue on one thread.
#include <gtest/gtest.h>
#include <poll.h>

#include "engine/handover.h"

namespace telkey {
namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(Mailbox, FillsOnlyWhenEmptyAndTakesOnlyWhenFull) {
    Mailbox mailbox;
    std::uint8_t code = 0;
    EXPECT_TRUE(mailbox.NextCodeEmpty());
    EXPECT_FALSE(mailbox.Take(code));
    EXPECT_TRUE(mailbox.Fill(0x05));
    EXPECT_FALSE(mailbox.NextCodeEmpty());
    EXPECT_FALSE(mailbox.Fill(0x06)) << "a waiting code is never overwritten";
    EXPECT_TRUE(mailbox.Take(code));
    EXPECT_EQ(code, 0x05);
    EXPECT_TRUE(mailbox.NextCodeEmpty());
    EXPECT_TRUE(mailbox.Fill(0x00));
    mailbox.Reset();
    EXPECT_TRUE(mailbox.NextCodeEmpty());
}

TEST(Mailbox, WithdrawnCodeIsNeverTakenAndTheSlotReopensWhenTheKeyerHasSeenIt) {
    Mailbox mailbox;
    std::uint8_t code = 0;
    EXPECT_FALSE(mailbox.Withdraw()) << "nothing to take back";
    ASSERT_TRUE(mailbox.Fill(0x05));
    EXPECT_TRUE(mailbox.Withdraw());
    EXPECT_TRUE(mailbox.NextCodeEmpty());
    EXPECT_FALSE(mailbox.Take(code));
    EXPECT_FALSE(mailbox.Fill(0x06)) << "closed until the keyer has seen the withdrawal";
    EXPECT_TRUE(mailbox.SeeWithdrawal());
    EXPECT_FALSE(mailbox.SeeWithdrawal());
    EXPECT_TRUE(mailbox.Fill(0x06));
    EXPECT_TRUE(mailbox.Take(code));
    EXPECT_EQ(code, 0x06);
}

TEST(DecodedRing, HoldsAtMost1023AndWrapsAround) {
    DecodedRing ring;
    std::uint8_t code = 0;
    EXPECT_FALSE(ring.Pop(code));
    // Several laps of the 1024 slots, with the count staying exact.
    for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(ring.Push(static_cast<std::uint8_t>(i)));
        ASSERT_TRUE(ring.Pop(code));
        ASSERT_EQ(code, static_cast<std::uint8_t>(i));
    }
    for (std::uint32_t i = 0; i < DecodedRing::kCapacity; ++i) ASSERT_TRUE(ring.Push(1));
    EXPECT_FALSE(ring.Push(2));
    EXPECT_EQ(ring.RingCount(), 1023u);
    ring.Reset();
    EXPECT_EQ(ring.RingCount(), 0u);
    EXPECT_FALSE(ring.Pop(code));
}

TEST(NotificationQueue, KeepsOrderAndWakesTheReader) {
    NotificationQueue queue;
    ASSERT_GE(queue.WakeupFd(), 0);
    EXPECT_FALSE(Readable(queue.WakeupFd()));
    EXPECT_TRUE(queue.Post(Notification::WM_KEYER_NEED_CODE));
    EXPECT_TRUE(queue.Post(Notification::WM_KEYER_TX_OFF));
    EXPECT_TRUE(Readable(queue.WakeupFd()));

    queue.ClearWakeup();
    EXPECT_FALSE(Readable(queue.WakeupFd()));
    Notification n;
    ASSERT_TRUE(queue.Pop(n));
    EXPECT_EQ(n, Notification::WM_KEYER_NEED_CODE);
    ASSERT_TRUE(queue.Pop(n));
    EXPECT_EQ(n, Notification::WM_KEYER_TX_OFF);
    EXPECT_FALSE(queue.Pop(n));
    queue.ClearWakeup();  // nothing to clear: does not block
}

TEST(NotificationQueue, FullQueueLosesNewestAndSaysSo) {
    NotificationQueue queue;
    for (std::size_t i = 0; i < NotificationQueue::kCapacity; ++i) {
        ASSERT_TRUE(queue.Post(Notification::WM_KEYER_CHAR));
    }
    EXPECT_FALSE(queue.TakeOverflow());
    EXPECT_FALSE(queue.Post(Notification::WM_KEYER_PAUSE));
    EXPECT_TRUE(queue.TakeOverflow());
    EXPECT_FALSE(queue.TakeOverflow()) << "reported once";
    Notification n;
    std::size_t count = 0;
    while (queue.Pop(n)) {
        ASSERT_EQ(n, Notification::WM_KEYER_CHAR);
        ++count;
    }
    EXPECT_EQ(count, NotificationQueue::kCapacity);
    EXPECT_TRUE(queue.Post(Notification::WM_KEYER_PAUSE));
}

}  // namespace
}  // namespace telkey
