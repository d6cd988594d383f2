// The rig link against Hamlib's real rigctld and its dummy rig, read back through rigctl.
#include "rig/rig_link.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/rigctld_process.h"
#include "support/scratch_dir.h"

namespace telkey::rig {
namespace {

using namespace std::chrono_literals;
using test::Rigctld;

// Generous: the machine is shared; the link's own bounds are what is tested.
constexpr auto kAnswerLimit = 3s;

RigTarget RigctldAt(int port) {
    RigTarget target;
    target.host = "127.0.0.1";
    target.port = port;
    return target;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 8s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms)) {
        if (condition()) return true;
    }
    return condition();
}

class RigLinkTest : public ::testing::Test {
  protected:
    test::ScratchDir scratch_;
    Rigctld rigctld_{scratch_.Path() + "/rigctld.log"};
};

TEST_F(RigLinkTest, RequestsReachTheRig) {
    RigLink link(RigctldAt(rigctld_.Port()));
    auto who = link.Identify();
    ASSERT_EQ(who->Wait(kAnswerLimit), RigOutcome::Ok) << who->Words();
    EXPECT_EQ(link.Status().health, RigHealth::Connected);
    EXPECT_NE(link.Status().words.find("connected: "), std::string::npos) << link.Status().words;

    struct Case {
        std::function<RigTicketPtr()> request;
        RigOutcome outcome;
        std::string readBack;  // rigctl command, or "" for the daemon's log
        std::string expected;
    };
    const Case cases[] = {
        {[&] { return link.SetPtt(true); }, RigOutcome::Ok, "t", "1"},
        {[&] { return link.SetPtt(false); }, RigOutcome::Ok, "t", "0"},
        {[&] { return link.SetKeySpeed(28); }, RigOutcome::Ok, "l KEYSPD", "28"},
        {[&] { return link.SendMorse("CQ DE TEST"); }, RigOutcome::Ok, "", "CQ DE TEST"},
        // The dummy rig has no stop for its keyer.
        {[&] { return link.StopMorse(); }, RigOutcome::NotAvailable, "", "stop_morse"},
    };
    for (const Case& c : cases) {
        auto ticket = c.request();
        ASSERT_EQ(ticket->Wait(kAnswerLimit), c.outcome) << ticket->Words();
        const std::string got = c.readBack.empty() ? rigctld_.Log() : rigctld_.Rigctl(c.readBack);
        EXPECT_NE(got.find(c.expected), std::string::npos) << ticket->Words() << "\n" << got;
    }
    auto ptt = link.GetPtt();
    ASSERT_EQ(ptt->Wait(kAnswerLimit), RigOutcome::Ok);
    EXPECT_EQ(ptt->Value(), 0);
    EXPECT_NE(link.Status().lastFailure.find("command not available"), std::string::npos);
}

TEST_F(RigLinkTest, ReconnectsAfterRigctldDies) {
    RigLink link(RigctldAt(rigctld_.Port()));
    // A daemon just started on a busy machine may not answer the first request yet.
    ASSERT_TRUE(Eventually([&] { return link.Identify()->Wait(kAnswerLimit) == RigOutcome::Ok; }));
    ASSERT_EQ(link.SetPtt(true)->Wait(kAnswerLimit), RigOutcome::Ok);
    rigctld_.Kill();

    // Each fails within its bound, with the reason in words.
    for (int i = 0; i < 3; ++i) {
        auto ticket = link.SetPtt(false);
        ASSERT_NE(ticket->Wait(kAnswerLimit), RigOutcome::Pending);
        EXPECT_NE(ticket->Outcome(), RigOutcome::Ok);
        EXPECT_FALSE(ticket->Words().empty());
    }
    EXPECT_TRUE(Eventually([&] { return link.Status().health == RigHealth::Refused; }));
    EXPECT_NE(link.Status().words.find("connection refused"), std::string::npos);
    EXPECT_EQ(link.SetPtt(true)->Wait(kAnswerLimit), RigOutcome::Refused);

    rigctld_.Start();
    EXPECT_TRUE(Eventually([&] { return link.Status().health == RigHealth::Connected; }));
    ASSERT_EQ(link.SetPtt(true)->Wait(kAnswerLimit), RigOutcome::Ok);
    EXPECT_EQ(rigctld_.Rigctl("t"), "1");
}

// The caller stopped waiting for PTT on and keys nothing: a late confirmation must not leave the
// transmitter on, whether the link's bound passed or the caller gave up first.
TEST_F(RigLinkTest, PttConfirmedTooLateGoesOff) {
    for (const bool callerGivesUp : {false, true}) {
        RigTimings timings;
        timings.pttBound = callerGivesUp ? 10s : 300ms;
        timings.answerTimeout = 5s;
        RigLink link(RigctldAt(rigctld_.Port()), timings);
        // The daemon, just thawed from the last round, may still be catching up on a busy machine.
        ASSERT_TRUE(
            Eventually([&] { return link.Identify()->Wait(kAnswerLimit) == RigOutcome::Ok; }));
        const auto switchedOn = [&] {
            const std::string log = rigctld_.Log();
            int count = 0;
            for (auto at = log.find("set_ptt ptt=1"); at != std::string::npos;
                 at = log.find("set_ptt ptt=1", at + 1)) {
                ++count;
            }
            return count;
        };
        const int before = switchedOn();
        rigctld_.Pause(true);
        auto ticket = link.SetPtt(true);
        if (callerGivesUp) {
            // Given up once the request is on its way to the frozen daemon, not before.
            std::this_thread::sleep_for(200ms);
            EXPECT_TRUE(ticket->GiveUp());
        }
        EXPECT_EQ(ticket->Wait(kAnswerLimit), RigOutcome::NotAnswering)
            << ticket->Words() << (callerGivesUp ? " (given up)" : "");
        rigctld_.Pause(false);
        EXPECT_TRUE(Eventually([&] { return switchedOn() > before; }));
        EXPECT_TRUE(Eventually([&] { return rigctld_.Rigctl("t") == "0"; }));
    }
}

// A daemon that is gone or silent never holds up the caller: the answer comes by the bound.
TEST(RigLinkUnreachableTest, FailsWithinTheBound) {
    test::SilentListener silent;
    const int closedPort = test::FreePort();
    const struct {
        int port;
        RigOutcome outcome;
        std::string words;
    } cases[] = {
        {silent.Port(), RigOutcome::NotAnswering, "rig not answering"},
        {closedPort, RigOutcome::Refused, "connection refused"},
    };
    for (const auto& c : cases) {
        RigTimings timings;
        timings.pttBound = 300ms;
        RigLink link(RigctldAt(c.port), timings);
        auto ticket = link.SetPtt(true);
        // Submitting returned while the silent daemon still holds the rig thread.
        if (c.outcome == RigOutcome::NotAnswering) {
            EXPECT_TRUE(ticket->Pending());
        }
        ASSERT_NE(ticket->Wait(timings.pttBound + 500ms), RigOutcome::Pending);
        EXPECT_EQ(ticket->Outcome(), c.outcome) << ticket->Words();
        EXPECT_NE(ticket->Words().find(c.words), std::string::npos) << ticket->Words();
        EXPECT_EQ(ticket->Words().find(c.words), ticket->Words().rfind(c.words))
            << "said twice: " << ticket->Words();
        EXPECT_TRUE(Eventually([&] {
            return link.Status().words.find(c.words) != std::string::npos;
        })) << link.Status().words;
    }
}

}  // namespace
}  // namespace telkey::rig
