// The timer thread's schedule after late wake-ups, on a simulated clock: caught up, the ticks it
// missed run at once (late, never early) and the text keeps its place; skipped, the text shifts.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/thread_tick_driver.h"
#include "keyer_fixture.h"

namespace telkey::test {
namespace {

constexpr std::int64_t kPeriodNs = 1'000'000;
constexpr std::int64_t kStartNs = 5 * kPeriodNs;

TEST(TickSchedule, LateWakeUpsByPolicy) {
    struct Case {
        MissedTicks policy;
        std::int64_t lateNs;
        std::int64_t run, missed, skipped;
    };
    const std::int64_t beyond = (TickSchedule::kMaxCatchUpTicks + 1) * kPeriodNs;
    const Case cases[] = {
        {MissedTicks::CatchUp, 0, 1, 0, 0},
        {MissedTicks::CatchUp, kPeriodNs - 1, 1, 0, 0},
        {MissedTicks::CatchUp, kPeriodNs, 2, 1, 0},
        {MissedTicks::CatchUp, 3 * kPeriodNs + kPeriodNs / 2, 4, 3, 0},
        {MissedTicks::CatchUp, beyond, 1, TickSchedule::kMaxCatchUpTicks + 1,
         TickSchedule::kMaxCatchUpTicks + 1},
        {MissedTicks::Skip, kPeriodNs - 1, 1, 0, 0},
        {MissedTicks::Skip, 3 * kPeriodNs + kPeriodNs / 2, 1, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "late " << c.lateNs << " ns, policy " << static_cast<int>(c.policy));
        TickSchedule schedule(kStartNs, kPeriodNs, c.policy);
        const TickSchedule::Due due = schedule.Wake(kStartNs + c.lateNs);
        EXPECT_EQ(due.run, c.run);
        EXPECT_EQ(due.missed, c.missed);
        EXPECT_EQ(due.skipped, c.skipped);
        EXPECT_EQ(due.lateNs, c.lateNs);
        // Either way the next deadline is the first one ahead on the original grid.
        EXPECT_EQ(schedule.Deadline(), kStartNs + (c.missed + 1) * kPeriodNs);
        EXPECT_GT(schedule.Deadline(), kStartNs + c.lateNs);
    }
}

// The keyer sends dots from a held paddle; the thread wakes on time except for a few late
// wake-ups. Every key edge is stamped with the simulated time of the tick that wrote it.
class MissedTicksTest : public KeyerFixture {
  protected:
    struct Edge {
        std::int64_t timeNs;
        std::uint64_t tick;  // TickCount after the tick that wrote it
    };

    MissedTicksTest() {
        SetSpeed(4, 12, 0, 1);
        Paddle(true, false);
    }

    std::vector<Edge> Run(MissedTicks policy, std::int64_t untilNs) {
        std::vector<Edge> edges;
        TickSchedule schedule(kStartNs, kPeriodNs, policy);
        bool down = false;
        int wake = 0;
        while (schedule.Deadline() < untilNs) {
            const std::int64_t now = schedule.Deadline() + LatenessOf(wake++);
            const TickSchedule::Due due = schedule.Wake(now);
            for (std::int64_t i = 0; i < due.run; ++i) {
                Tick();
                if (KeyDown() != down) edges.push_back({now, engine.keyer.TickCount()});
                down = KeyDown();
            }
        }
        return edges;
    }

    // Ideal time of the tick that TickCount reaches as `tick`.
    static std::int64_t IdealNs(std::uint64_t tick) {
        return kStartNs + static_cast<std::int64_t>(tick - 1) * kPeriodNs;
    }

    static std::int64_t LatenessOf(int wake) {
        if (wake == 30) return 5 * kPeriodNs + kPeriodNs / 3;  // a stall of five ticks
        if (wake == 60) return kPeriodNs / 2;
        return 0;
    }

    static constexpr std::int64_t kUntilNs = kStartNs + 200 * kPeriodNs;
};

TEST_F(MissedTicksTest, CaughtUpNoEdgeIsEarlyAndTheTextKeepsItsPlace) {
    const std::vector<Edge> edges = Run(MissedTicks::CatchUp, kUntilNs);
    ASSERT_GT(edges.size(), 40u);
    int late = 0;
    for (const Edge& e : edges) {
        EXPECT_GE(e.timeNs, IdealNs(e.tick)) << "tick " << e.tick;
        if (e.timeNs > IdealNs(e.tick)) ++late;
    }
    EXPECT_GE(late, 1) << "the stall delays an edge";
    EXPECT_LE(late, 3);
    // After the stall, on-time wake-ups write every edge exactly when it is due.
    EXPECT_EQ(edges.back().timeNs, IdealNs(edges.back().tick));
    EXPECT_EQ(engine.keyer.TickCount(), 200u) << "every tick ran";
}

TEST_F(MissedTicksTest, SkippedTheRestOfTheTextShifts) {
    const std::vector<Edge> edges = Run(MissedTicks::Skip, kUntilNs);
    ASSERT_GT(edges.size(), 40u);
    for (const Edge& e : edges) EXPECT_GE(e.timeNs, IdealNs(e.tick));
    EXPECT_EQ(engine.keyer.TickCount(), 195u) << "five ticks lost";
    EXPECT_EQ(edges.back().timeNs - IdealNs(edges.back().tick), 5 * kPeriodNs)
        << "everything after the stall comes five ticks late";
}

}  // namespace
}  // namespace telkey::test
