// A logger's PTT lead and text sent back to back, again and again, with MOX and RX at silence on:
// every transmission raises the TX line exactly once, however long the keyer was idle before.
#include "exchange/cwdaemon_support.h"

namespace telkey::test {
namespace {

using CwdaemonPtt = CwdaemonFixture;

TEST_F(CwdaemonPtt, ALeadAndATextBackToBackRaiseTheTxLineOnce) {
    w.engine.keyerSettings.MoxOn.store(1);
    w.engine.keyerSettings.RxAtSilence.store(1);
    w.engine.keyerSettings.SilenceLen.store(8);
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        // Idle long past the silence that ends a transmission, a different time each round.
        Ticks(300 + 37 * round);
        const std::uint32_t rises = w.engine.ports.TxRises();
        Send(Esc(round % 2 == 0 ? "d50" : "d200"));
        Send("e");
        ASSERT_TRUE(TickUntil([&] { return !Transmitting() && AllKeyed() && !TxLineOn(); }));
        EXPECT_EQ(w.engine.ports.TxRises(), rises + 1);
        EXPECT_EQ(KeyDownRuns(), std::vector<int>{25});
    }
}

}  // namespace
}  // namespace telkey::test
