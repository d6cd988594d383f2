// The keyer sleeping between its events keys, switches and decodes exactly as the keyer ticked
// on every tick, and every input takes it out of its sleep by the next tick.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/morse_tables.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

constexpr int kScenarios = 3000;
constexpr int kTicksPerScenario = 4000;
constexpr char kText[] = "CQ TEST DE DL1ABC 599 K ?/=";

// One keyer on its own simulated ports, driven tick by tick or sleeping.
struct Station {
    explicit Station(bool sleeping) : bus(1 << 8), engine(bus, driver) {
        engine.ResetHandover();
        engine.portSettings.KeyPortNumber = kLpt1Number;
        engine.timer.StartKeyerTimer();
        driver.SetSleeping(sleeping);
    }

    // What a tick left to be seen from outside: the key and TX lines, the flags, the codes
    // decoded and the notifications, in order.
    std::string Seen() {
        std::string seen = std::to_string(bus.LastValue(kLpt1).value_or(0)) + " " +
                           std::to_string(engine.ports.TxLineOn()) +
                           std::to_string(engine.flags.Transmitting.load()) +
                           std::to_string(engine.flags.Paused.load()) + " ";
        std::uint8_t code = 0;
        while (engine.ring.Pop(code)) seen += std::to_string(code) + ",";
        Notification n;
        while (engine.notifications.Pop(n)) seen += "n" + std::to_string(static_cast<int>(n));
        return seen;
    }

    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine;
    InputWakeLink link{bus, engine.keyer.WakeSignal()};
};

void Paddle(SimPortBus& bus, bool dot, bool dash) {
    std::uint8_t byte = 0xFF;
    if (dot) byte &= static_cast<std::uint8_t>(~kDotContact);
    if (dash) byte &= static_cast<std::uint8_t>(~kDashContact);
    bus.SetInput(kGamePort, byte);
}

}  // namespace

TEST(KeyerSleep, SleepingKeysTheSameEdgesOnTheSameTicksAsTickingEveryTick) {
    std::uint64_t ticksRun = 0;
    std::uint64_t ticksSlept = 0;
    for (int scenario = 1; scenario <= kScenarios; ++scenario) {
        std::mt19937 random(static_cast<std::uint32_t>(scenario));
        auto pick = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        Station ticking(false);
        Station sleeping(true);
        std::vector<Station*> both{&ticking, &sleeping};
        // Everything done to the keyer is done to both at once.
        auto act = [&both](const std::function<void(Station&)>& what) {
            for (Station* s : both) what(*s);
        };
        const int dot = pick(2, 30);
        const int dash = dot * pick(25, 40) / 10;
        const int weight = pick(-dot / 2, dot / 2);
        const int tickMs = pick(1, 5);
        const int yamb = pick(0, 1);
        const int mox = pick(0, 1);
        const int txAtPaddle = pick(0, 1);
        const int rxAtSilence = pick(0, 1);
        const int silence = pick(1, 12);
        const int paddleDelay = pick(0, 60);
        const int pauseAtPaddle = pick(0, 1);
        act([&](Station& s) {
            KeyerSettings& k = s.engine.keyerSettings;
            k.DotTicks = dot;
            k.DashTicks = dash;
            k.WeightTicks = weight;
            k.TickMs = tickMs;
            k.IsYamb = yamb;
            k.MoxOn = mox;
            k.TxAtPaddle = txAtPaddle;
            k.RxAtSilence = rxAtSilence;
            k.SilenceLen = silence;
            k.PaddleDelay = paddleDelay;
            k.PauseAtPaddle = pauseAtPaddle;
            s.engine.WakeKeyer();
        });
        std::size_t next = 0;  // of kText
        for (int tick = 0; tick < kTicksPerScenario; ++tick) {
            const int roll = pick(0, 999);
            if (roll < 60) {
                const char c = kText[next++ % (sizeof kText - 1)];
                const std::uint8_t code = c == ' ' ? CodeWordSpace : CharToCode(c);
                std::vector<bool> taken;
                act([&](Station& s) { taken.push_back(s.engine.HandOver(code)); });
                ASSERT_EQ(taken[0], taken[1]) << "scenario " << scenario << " tick " << tick;
            } else if (roll < 62) {
                const std::uint8_t code = pick(0, 1) != 0 ? CodeRx : CodePause;
                act([code](Station& s) { s.engine.HandOver(code); });
            } else if (roll < 66) {
                const bool d = pick(0, 2) == 0;
                const bool m = pick(0, 2) == 0;
                act([&](Station& s) { Paddle(s.bus, d, m); });
            } else if (roll < 68) {
                act([](Station& s) { s.engine.StopSending(); });
            } else if (roll < 70) {
                act([](Station& s) { s.engine.WithdrawCode(); });
            } else if (roll < 73) {
                const int on = pick(0, 1);
                act([on](Station& s) {
                    s.engine.flags.Transmitting.store(on);
                    if (on != 0) {
                        s.engine.ports.SetTx(1);
                    } else {
                        s.engine.SwitchTxOff();
                    }
                });
            } else if (roll < 74) {
                const int held = pick(0, 1);
                act([held](Station& s) {
                    s.engine.flags.TxHeld.store(held);
                    s.engine.WakeKeyer();
                });
            } else if (roll < 75) {
                const int lead = pick(0, 1) * pick(1, 50);
                const int newSilence = pick(1, 12);
                act([&](Station& s) {
                    s.engine.keyerSettings.PttLeadMs = lead;
                    s.engine.keyerSettings.SilenceLen = newSilence;
                    s.engine.WakeKeyer();
                });
            } else if (roll < 76) {
                act([](Station& s) { s.engine.flags.Paused.store(0); });
            }
            act([](Station& s) { s.driver.Tick(); });
            ASSERT_EQ(ticking.Seen(), sleeping.Seen())
                << "scenario " << scenario << " tick " << tick << " state "
                << ticking.engine.keyer.State().KeyerState;
        }
        sleeping.driver.Settle();
        ASSERT_EQ(ticking.engine.keyer.TickCount(), sleeping.engine.keyer.TickCount());
        ASSERT_EQ(ticking.engine.keyer.State().StateTicks, sleeping.engine.keyer.State().StateTicks)
            << "scenario " << scenario;
        ticksRun += sleeping.driver.TicksRun();
        ticksSlept += kTicksPerScenario - sleeping.driver.TicksRun();
    }
    // Busy scenarios, yet most ticks are slept through.
    EXPECT_GT(ticksSlept, ticksRun);
}

}  // namespace telkey::test
