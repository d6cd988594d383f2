// The key-up signal across the window and keyer threads: a key-up after Want() is never lost.
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/handover.h"

namespace telkey {
namespace {

constexpr int kRounds = 5000;
// Only a lost signal waits this long.
constexpr int kLostMs = 5000;

TEST(KeyUpSignal, AKeyUpAfterWantIsSeenOrTold) {
    KeyUpSignal signal;
    std::atomic<int> keyedUp{0};
    std::atomic<int> round{-1};
    std::atomic<int> raised{0};
    std::thread keyer([&] {
        for (int i = 0; i < kRounds; ++i) {
            while (round.load() < i) std::this_thread::yield();
            keyedUp.store(i + 1);
            signal.Raise();
            raised.store(i + 1);
        }
    });
    int lost = 0;
    for (int i = 0; i < kRounds; ++i) {
        signal.Clear();
        signal.Want();
        round.store(i);
        if (keyedUp.load() != i + 1) {
            pollfd p{signal.Fd(), POLLIN, 0};
            if (::poll(&p, 1, kLostMs) != 1) ++lost;
        }
        // The round's Raise is over before the next Want.
        while (raised.load() != i + 1) std::this_thread::yield();
    }
    keyer.join();
    EXPECT_EQ(lost, 0);
}

TEST(KeyUpSignal, OnlyAWantedKeyUpIsTold) {
    KeyUpSignal signal;
    signal.Raise();
    pollfd p{signal.Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    signal.Want();
    signal.Raise();
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    signal.Clear();
    signal.Raise();
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}

}  // namespace
}  // namespace telkey
