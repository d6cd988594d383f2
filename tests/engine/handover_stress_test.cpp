// Hand-overs between two threads through the mailbox, the ring and the notification queue, and
// the whole keyer path with a thread ticking flat out: nothing lost, doubled or reordered.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"

namespace telkey {
namespace {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer runs everything many times slower.
constexpr int kMailboxCodes = 200'000;
constexpr int kRingCodes = 500'000;
constexpr int kNotifications = 500'000;
constexpr int kKeyedCharacters = 2'000;
constexpr int kBusWrites = 50'000;
#else
constexpr int kMailboxCodes = 500'000;
constexpr int kRingCodes = 3'000'000;
constexpr int kNotifications = 1'000'000;
constexpr int kKeyedCharacters = 4'000;
constexpr int kBusWrites = 300'000;
#endif

void Pause() {
    std::this_thread::yield();
}

TEST(HandoverStress, MailboxPassesEveryCodeOnceInOrder) {
    Mailbox mailbox;
    std::thread producer([&] {
        for (int i = 0; i < kMailboxCodes; ++i) {
            while (!mailbox.Fill(static_cast<std::uint8_t>(i))) Pause();
        }
    });
    int mismatches = 0;
    for (int i = 0; i < kMailboxCodes; ++i) {
        std::uint8_t code;
        while (!mailbox.Take(code)) Pause();
        if (code != static_cast<std::uint8_t>(i)) ++mismatches;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_TRUE(mailbox.NextCodeEmpty());
}

// The window thread takes back some of its codes while the keyer takes the others: each code
// goes one way, never both, and a withdrawn code is never keyed in place of a later one.
TEST(HandoverStress, WithdrawnCodesAreNeverTaken) {
    Mailbox mailbox;
    std::atomic<bool> done{false};
    std::vector<std::uint8_t> taken;
    taken.reserve(kMailboxCodes);
    std::thread keyer([&] {
        std::uint8_t code;
        while (!done.load()) {
            mailbox.SeeWithdrawal();
            if (mailbox.Take(code)) taken.push_back(code);
        }
        mailbox.SeeWithdrawal();
        if (mailbox.Take(code)) taken.push_back(code);
    });
    std::vector<std::uint8_t> withdrawn;
    for (int i = 0; i < kMailboxCodes; ++i) {
        const auto code = static_cast<std::uint8_t>(i);
        while (!mailbox.Fill(code)) Pause();
        if (i % 3 == 0 && mailbox.Withdraw()) withdrawn.push_back(code);
    }
    done.store(true);
    keyer.join();
    // Every code in order, each either taken or withdrawn.
    std::size_t t = 0;
    std::size_t w = 0;
    int lost = 0;
    for (int i = 0; i < kMailboxCodes; ++i) {
        const auto code = static_cast<std::uint8_t>(i);
        if (t < taken.size() && taken[t] == code) {
            ++t;
        } else if (w < withdrawn.size() && withdrawn[w] == code) {
            ++w;
        } else {
            ++lost;
        }
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(t, taken.size());
    EXPECT_EQ(w, withdrawn.size());
    EXPECT_GT(withdrawn.size(), 0u);
}

TEST(HandoverStress, RingPassesEveryCodeOnceInOrder) {
    DecodedRing ring;
    std::atomic<std::uint32_t> highest{0};
    std::thread producer([&] {
        for (int i = 0; i < kRingCodes; ++i) {
            while (!ring.Push(static_cast<std::uint8_t>(i * 7))) Pause();
            const std::uint32_t count = ring.RingCount();
            if (count > highest.load(std::memory_order_relaxed)) highest = count;
        }
    });
    int mismatches = 0;
    for (int i = 0; i < kRingCodes; ++i) {
        std::uint8_t code;
        while (!ring.Pop(code)) Pause();
        if (code != static_cast<std::uint8_t>(i * 7)) ++mismatches;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(ring.RingCount(), 0u);
    EXPECT_LE(highest.load(), DecodedRing::kCapacity);
}

TEST(HandoverStress, NotificationsArriveInOrderAndAlwaysWakeTheReader) {
    NotificationQueue queue;
    constexpr Notification kCycle[] = {
        Notification::WM_KEYER_CHAR, Notification::WM_KEYER_NEED_CODE,
        Notification::WM_KEYER_TX_OFF, Notification::WM_KEYER_PAUSE, Notification::WM_KEYER_TX_ON};
    std::thread producer([&] {
        for (int i = 0; i < kNotifications; ++i) {
            // Posting never blocks; when the reader falls a whole queue behind, try again.
            while (!queue.Post(kCycle[i % 5])) Pause();
        }
    });
    int received = 0;
    int mismatches = 0;
    int lostWakeups = 0;
    while (received < kNotifications) {
        pollfd p{queue.WakeupFd(), POLLIN, 0};
        const bool woken = poll(&p, 1, 2000) == 1;
        queue.ClearWakeup();
        Notification n;
        bool any = false;
        while (queue.Pop(n)) {
            any = true;
            if (n != kCycle[received % 5]) ++mismatches;
            ++received;
        }
        if (!woken && any) ++lostWakeups;  // waited out the timeout with notifications waiting
        if (!woken && !any) break;         // the producer is stuck: give up, counts tell
    }
    producer.join();
    queue.TakeOverflow();
    EXPECT_EQ(received, kNotifications);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(lostWakeups, 0);
}

// The real keyer ticking flat out on one thread; this thread plays the window: it feeds the
// mailbox on WM_KEYER_NEED_CODE, echoes from the ring and switches the TX line now and then.
TEST(HandoverStress, KeyerEchoesEveryCharacterInOrder) {
    SimPortBus bus(1 << 12);
    ManualTickDriver driver;
    Engine engine(bus, driver);
    engine.portSettings.KeyPortNumber = 5;
    engine.keyerSettings.DotTicks = 1;
    engine.keyerSettings.DashTicks = 3;
    engine.keyerSettings.TickMs = 1;

    const std::string letters = "thequickbrownfoxjumpsoverthelazydog0123456789";
    std::vector<std::uint8_t> text;
    for (int i = 0; i < kKeyedCharacters; ++i) {
        text.push_back(CharToCode(static_cast<std::uint8_t>(letters[i % letters.size()])));
    }

    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        while (!stop.load(std::memory_order_acquire)) engine.keyer.KeyerTick();
    });

    std::size_t fed = 0;
    std::vector<std::uint8_t> echoed;
    echoed.reserve(text.size());
    int needCode = 0;
    auto feed = [&] {
        if (fed < text.size() && engine.mailbox.Fill(text[fed])) ++fed;
    };
    feed();
    for (long spins = 0; echoed.size() < text.size() && spins < 200'000'000L; ++spins) {
        Notification n;
        while (engine.notifications.Pop(n)) {
            if (n == Notification::WM_KEYER_NEED_CODE) ++needCode;
        }
        feed();
        std::uint8_t code;
        while (engine.ring.Pop(code)) {
            if (code != CodeWordSpace) echoed.push_back(code);  // silences give word spaces
        }
        if ((spins & 0xFFF) == 0) engine.ports.SetTx(static_cast<int>(spins >> 12) & 1);
        Pause();
    }
    stop = true;
    keyer.join();
    Notification n;
    while (engine.notifications.Pop(n)) needCode += n == Notification::WM_KEYER_NEED_CODE;
    std::uint8_t code;
    while (engine.ring.Pop(code)) {
        if (code != CodeWordSpace) echoed.push_back(code);
    }

    ASSERT_EQ(echoed.size(), text.size());
    int mismatches = 0;
    for (std::size_t i = 0; i < text.size(); ++i) mismatches += echoed[i] != text[i];
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(needCode, kKeyedCharacters);
    EXPECT_FALSE(engine.notifications.TakeOverflow());
    EXPECT_GT(bus.WriteCount(), static_cast<std::uint64_t>(kKeyedCharacters));
}

// Two threads write ports (keyer and window) while the trace writer and a reader of the kept
// writes run: every write is traced once, or counted in a "writes lost" line.
TEST(HandoverStress, SimBusTracesEveryWriteFromTwoThreads) {
    const std::string path =
        std::string(TELKEY_BINARY_DIR) + "/stress_trace." + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
    std::uint64_t written = 0;
    {
        SimPortBus bus(1 << 10);
        std::string error;
        ASSERT_TRUE(bus.StartTrace(path, error)) << error;
        auto writer = [&bus](std::uint16_t port) {
            for (int i = 0; i < kBusWrites; ++i) {
                bus.out(port, static_cast<std::uint8_t>(i));
                if ((i & 0xFF) == 0) Pause();
            }
        };
        std::thread keyer(writer, 0x378);
        std::thread window(writer, 0x3FC);
        for (int i = 0; i < 50; ++i) {
            EXPECT_LE(bus.Writes().size(), bus.Capacity());  // read while being written
            Pause();
        }
        keyer.join();
        window.join();
        written = bus.WriteCount();
        EXPECT_EQ(bus.LastValue(0x378), static_cast<std::uint8_t>(kBusWrites - 1));
    }
    EXPECT_EQ(written, 2u * kBusWrites);

    std::ifstream in(path);
    std::uint64_t traced = 0;
    for (std::string line; std::getline(in, line);) {
        unsigned long long lost = 0;
        if (std::sscanf(line.c_str(), "# %llu writes lost", &lost) == 1) {
            traced += lost;
        } else {
            ++traced;
        }
    }
    EXPECT_EQ(traced, written);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace telkey
