// The rig link against a daemon that answers badly: a code out of Hamlib's range, an endless line,
// garbage, an answer that never ends or stops halfway. Each is a rig error or "rig not answering"
// in words, never a crash, and the link comes back once the daemon answers well.
#include <gtest/gtest.h>

#include "rig/rig_link.h"
#include "support/fake_rigctld.h"

namespace telkey::rig {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerLimit = 5s;
constexpr std::size_t kMegabyte = 1 << 20;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms)) {
        if (condition()) return true;
    }
    return condition();
}

TEST(RigctldAnswersTest, HostileAnswersAreErrorsInWordsAndTheLinkRecovers) {
    const struct {
        const char* name;
        std::string command;  // the one answered badly
        test::FakeRigctld::Answer answer;
        RigOutcome outcome;
        const char* words;
    } cases[] = {
        {"INT_MIN",
         "T 1",
         {"set_ptt: 1\nRPRT -2147483648\n"},
         RigOutcome::Rejected,
         "error code -2147483648, unknown"},
        {"INT_MAX",
         "T 1",
         {"set_ptt: 1\nRPRT 2147483647\n"},
         RigOutcome::Rejected,
         "error code 2147483647, unknown"},
        {"past 64 bits",
         "T 1",
         {"set_ptt: 1\nRPRT -99999999999999999999\n"},
         RigOutcome::NotAnswering,
         "report without a number"},
        {"known error",
         "T 1",
         {"set_ptt: 1\nRPRT -9\n"},
         RigOutcome::Rejected,
         "command rejected by the rig"},
        {"1 MB line",
         "T 1",
         {std::string(kMegabyte, 'x') + "\n"},
         RigOutcome::NotAnswering,
         "a line longer than 4096 bytes"},
        {"garbage",
         "T 1",
         {"\x01\xff garbage\n"},
         RigOutcome::NotAnswering,
         "makes no sense: expected set_ptt, got '?? garbage'"},
        {"never ends", "T 1", {"set_ptt: 1\n"}, RigOutcome::NotAnswering, "no answer within"},
        {"endless values",
         "T 1",
         {"set_ptt: 1\n" + std::string(200, '\n')},
         RigOutcome::NotAnswering,
         "too many lines"},
        {"closed mid-answer",
         "T 1",
         {"set_ptt: 1\nRP", true},
         RigOutcome::NotAnswering,
         "closed the connection in mid-answer"},
        {"PTT nonsense",
         "t",
         {"get_ptt:\nPTT: -7\nRPRT 0\n"},
         RigOutcome::NotAnswering,
         "PTT makes no sense"},
        {"garbled at connect",
         "\\chk_vfo",
         {"RPRT -2147483648\n"},
         RigOutcome::Rejected,
         "rig not answering"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::FakeRigctld daemon;
        RigTarget target;
        target.host = "127.0.0.1";
        target.port = daemon.Port();
        RigTimings timings;
        timings.answerTimeout = 300ms;
        timings.backoffFirst = 20ms;
        daemon.Say(c.command, c.answer);
        RigLink link(target, timings);
        auto ticket = c.command == "t" ? link.GetPtt() : link.SetPtt(true);
        ASSERT_NE(ticket->Wait(kAnswerLimit), RigOutcome::Pending);
        EXPECT_EQ(ticket->Outcome(), c.outcome) << ticket->Words();
        const std::string said = ticket->Words() + " | " + link.Status().words;
        EXPECT_NE(said.find(c.words), std::string::npos) << said;

        daemon.Say("", {});
        EXPECT_TRUE(Eventually([&] {
            return link.SetPtt(true)->Wait(kAnswerLimit) == RigOutcome::Ok;
        })) << link.Status().words;
        EXPECT_EQ(link.Status().health, RigHealth::Connected) << link.Status().words;
    }
}

}  // namespace
}  // namespace telkey::rig
