// The rig following Telkey's transmit and keyer, against Hamlib's real rigctld and its dummy
// rig, read back through a second connection. The test plays the window thread: it runs the
// bridge whenever its descriptor wakes and times every run; the keyer runs on hand-run ticks.
// The real telkey, killed or stopped with the rig's PTT on, leaves it to its guardian.
#include "rig/rig_bridge.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <regex>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"
#include "support/rigctld_process.h"
#include "support/scratch_dir.h"
#include "support/telkey_process.h"

namespace telkey::rig {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::int32_t kLpt1Number = 5;
constexpr std::uint8_t kKeyBit = 0x01;
constexpr std::uint8_t kTxBit = 0x02;
// The window thread may never wait on the rig longer than this in one run of the bridge.
constexpr auto kWindowBudget = 50ms;
constexpr int kLookEvery = 8;

class RigBridgeTest : public ::testing::Test {
  protected:
    RigBridgeTest() : bus_(1 << 16), engine_(bus_, driver_) {
        engine_.ResetHandover();
        engine_.keyerSettings.DotTicks = 25;
        engine_.keyerSettings.DashTicks = 75;
        engine_.keyerSettings.TickMs = 4;
        engine_.keyerSettings.MoxOn = 1;
        engine_.keyerSettings.PaddleDelay = 10;
        engine_.keyerSettings.RxAtSilence = 0;
        engine_.portSettings.KeyPortNumber = kLpt1Number;
    }

    void Use(PttVia ptt, KeyVia key, int port, RigTimings timings = {}) {
        RigChoice choice;
        choice.ptt = ptt;
        choice.key = key;
        choice.target.host = "127.0.0.1";
        choice.target.port = port;
        RigBridge::Events events;
        events.pttFailed = [this](const std::string& why) {
            failures_.push_back(why);
            // As the window does: transmit off through the normal path.
            engine_.StopSending();
            engine_.flags.Transmitting = 0;
            engine_.SwitchTxOff();
        };
        events.status = [this](const RigStatus& status) { statusWords_ = status.words; };
        bridge_ = std::make_unique<RigBridge>(engine_, choice, std::move(events), timings);
    }

    // The window's event loop for `limit`, or until `done`: the bridge runs when woken, the
    // keyer ticks every 4 ms of the test's own clock.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        for (const auto end = Clock::now() + limit; Clock::now() < end;) {
            pollfd p{bridge_->WakeupFd(), POLLIN, 0};
            ::poll(&p, 1, 4);
            const auto start = Clock::now();
            bridge_->Service();
            longestService_ = std::max(longestService_, Clock::now() - start);
            if (engine_.mailbox.Fillable() && next_ < text_.size()) {
                engine_.HandOver(CharToCode(static_cast<std::uint8_t>(text_[next_++])));
            }
            engine_.keyer.KeyerTick();
            if ((LastOutput() & kKeyBit) != 0) keyed_ = true;
            // Looked at every few ticks: the daemon's log read back grows long.
            if (++looks_ % kLookEvery == 0 && done()) return true;
        }
        return done();
    }

    // A link still connecting on a busy machine may take longer than the PTT bound.
    bool Connected() {
        return RunUntil([&] { return statusWords_.rfind("connected", 0) == 0; });
    }
    void TxOn() {
        engine_.flags.Transmitting = 1;
        engine_.ports.SetTx(1);
    }
    void TxOff() {
        engine_.flags.Transmitting = 0;
        engine_.SwitchTxOff();
    }
    std::uint8_t LastOutput() const { return bus_.LastValue(kLpt1).value_or(0); }
    bool Confirmed() const { return engine_.ports.TxConfirmed() && engine_.ports.TxLineOn(); }

    // The text the dummy rig was sent, in order. rigctld 4.5 puts a blank before each text.
    std::string SentToRig() const {
        static const std::regex line("b 'currVFO' ' ?([^']*)'");
        const std::string log = rigctld_.Log();
        std::string text;
        for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
            text += (*it)[1].str();
        }
        return text;
    }

    test::ScratchDir scratch_;
    test::Rigctld rigctld_{scratch_.Path() + "/rigctld.log"};
    SimPortBus bus_;
    ManualTickDriver driver_;
    Engine engine_;
    std::unique_ptr<RigBridge> bridge_;
    std::vector<std::string> failures_;
    std::string statusWords_;
    std::string text_;
    std::size_t next_ = 0;
    bool keyed_ = false;
    int looks_ = 0;
    Clock::duration longestService_{};
};

TEST_F(RigBridgeTest, RigPttFollowsTransmitAndTextWaitsForIt) {
    const struct {
        PttVia ptt;
        bool portTxLine;
        const char* rigPtt;  // read back while transmitting
    } cases[] = {
        {PttVia::Rig, false, "1"},
        {PttVia::Both, true, "1"},
        {PttVia::Line, true, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(PttViaWord(c.ptt));
        Use(c.ptt, KeyVia::Line, rigctld_.Port());
        ASSERT_TRUE(Connected()) << statusWords_;
        keyed_ = false;
        text_ = "e";
        next_ = 0;
        TxOn();
        ASSERT_TRUE(RunUntil([&] { return keyed_; })) << statusWords_;
        EXPECT_EQ(rigctld_.Rigctl("t"), c.rigPtt);
        EXPECT_EQ((LastOutput() & kTxBit) != 0, c.portTxLine);
        TxOff();
        ASSERT_TRUE(RunUntil([&] { return !engine_.ports.TxLineOn(); }));
        EXPECT_TRUE(RunUntil([&] { return rigctld_.Rigctl("t") == "0"; }));
        EXPECT_TRUE(failures_.empty());
        EXPECT_LT(longestService_, kWindowBudget);
        bridge_.reset();
    }
}

// The rig's keyer gets every character and the speed, and stops when transmit goes off or
// sending stops, whether the rig or the line switches the PTT.
TEST_F(RigBridgeTest, RigKeyerGetsEveryCharacterAndTheSpeedAndStops) {
    const struct {
        PttVia ptt;
        bool escape;  // else transmit off
    } cases[] = {{PttVia::Rig, false}, {PttVia::Line, false}, {PttVia::Both, true}};
    engine_.keyerSettings.DotTicks = 5;  // paced fast: the rig's keyer is not heard here
    engine_.keyerSettings.DashTicks = 15;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(PttViaWord(c.ptt)) + (c.escape ? ", Escape" : ", TX off"));
        Use(c.ptt, KeyVia::Rig, rigctld_.Port());
        ASSERT_TRUE(Connected()) << statusWords_;
        bridge_->SetSpeed(100);
        const std::string before = SentToRig();
        text_ = "cq de test";
        next_ = 0;
        TxOn();
        ASSERT_TRUE(RunUntil([&] { return SentToRig() == before + "CQ DE TEST"; }, 20s))
            << SentToRig();
        EXPECT_FALSE(keyed_) << "the key line stays up";
        EXPECT_EQ(rigctld_.Rigctl("l KEYSPD"), "20");
        const auto stops = [&] {
            const std::string log = rigctld_.Log();
            std::size_t n = 0;
            for (auto at = log.find("cmd=stop_morse"); at != std::string::npos;
                 at = log.find("cmd=stop_morse", at + 1)) {
                ++n;
            }
            return n;
        };
        const std::size_t stopped = stops();
        if (c.escape) {
            engine_.StopSending();
        } else {
            TxOff();
        }
        EXPECT_TRUE(RunUntil([&] { return stops() > stopped; }));
        EXPECT_LT(longestService_, kWindowBudget);
        TxOff();
        RunUntil([] { return false; }, 100ms);
        bridge_.reset();
    }
}

// A rig that is gone, silent or killed mid-transmission: nothing keyed, transmit put off with
// the reason, and the window never waits.
TEST_F(RigBridgeTest, RigThatDoesNotConfirmKeysNothingAndSaysWhy) {
    test::SilentListener silent;
    const int closedPort = test::FreePort();
    const struct {
        const char* name;
        int port;
        bool killFirst;
        const char* words;
    } cases[] = {
        {"silent daemon", silent.Port(), false, "rig not answering"},
        {"no daemon", closedPort, false, "connection refused"},
        {"rigctld killed", rigctld_.Port(), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RigTimings timings;
        timings.pttBound = 500ms;
        Use(PttVia::Rig, KeyVia::Line, c.port, timings);
        failures_.clear();
        keyed_ = false;
        if (c.killFirst) {
            ASSERT_TRUE(Connected()) << statusWords_;
            TxOn();
            ASSERT_TRUE(RunUntil([&] { return Confirmed(); }));
            rigctld_.Kill();
            TxOff();
            RunUntil([] { return false; }, 100ms);
        }
        text_ = "e";
        next_ = 0;
        TxOn();
        const auto start = Clock::now();
        ASSERT_TRUE(RunUntil([&] { return !failures_.empty(); }, 3s));
        EXPECT_LT(Clock::now() - start, 1500ms);
        EXPECT_NE(failures_[0].find(c.words), std::string::npos) << failures_[0];
        EXPECT_NE(failures_[0].find("nothing was sent"), std::string::npos) << failures_[0];
        RunUntil([] { return false; }, 200ms);
        EXPECT_FALSE(keyed_);
        EXPECT_FALSE(engine_.ports.TxLineOn());
        EXPECT_LT(longestService_, kWindowBudget);
        bridge_.reset();
    }
}

TEST_F(RigBridgeTest, TelkeyGoneOrHungWithRigPttOnLeavesItOffWithinHalfASecond) {
    const struct {
        int signal;
        std::chrono::milliseconds bound;
    } cases[] = {{SIGKILL, 500ms}, {SIGSTOP, 500ms}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        test::KeyingTelkey telkey(test::KeyedPort::Sim, TELKEY_BINARY_DIR, TELKEY_FAKE_PORTS);
        ASSERT_EQ(
            telkey.Start(-1, {"--ptt=both", "--rig=127.0.0.1:" + std::to_string(rigctld_.Port())}),
            "");
        ASSERT_EQ(telkey.KeyDown(), "") << telkey.Log();
        ASSERT_EQ(rigctld_.Rigctl("t"), "1");
        const auto start = Clock::now();
        telkey.Signal(c.signal);
        // rigctl itself takes a few ms a question.
        EXPECT_TRUE(
            test::KeyingTelkey::WaitUntil([&] { return rigctld_.Rigctl("t") == "0"; }, c.bound))
            << "PTT still " << rigctld_.Rigctl("t");
        std::cout
            << strsignal(c.signal) << ": rig PTT off after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
            << " ms\n";
        if (c.signal == SIGSTOP) telkey.Signal(SIGCONT);
        telkey.Kill();
    }
}

}  // namespace
}  // namespace telkey::rig
