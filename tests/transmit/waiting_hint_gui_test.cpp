// Text that waits in the transmit window says why, and how it goes out, in the status bar's
// tooltip; the panels keep their own texts.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QToolButton>
#include <memory>

#include "support/key_press.h"
#include "support/window_fixture.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"
#include "widgets/status_panels.h"

namespace telkey {
namespace {

using test::WindowFixture;

TEST(WaitingHint, SaysWhatHoldsTheTextBackAndWhichKeysSendIt) {
    const struct {
        bool text, transmitting, paused, moxSends;
        const char* hint;
    } cases[] = {
        {false, false, false, true, ""},
        {true, false, false, true, "TX is off: Alt-T or MOX sends (Setup > MOX On)"},
        {true, false, false, false, "TX is off: Alt-T sends"},
        {true, false, true, true, "TX is off and pause is on: Alt-T and Alt-P send"},
        {true, true, true, true, "Pause is on: Alt-P sends"},
        {true, true, false, true, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WaitingHint(c.text, c.transmitting, c.paused, c.moxSends),
                  QString::fromLatin1(c.hint))
            << c.text << c.transmitting << c.paused << c.moxSends;
    }
}

TEST(WaitingHint, ShowsInTheStatusBarTooltipWhileTextWaitsForTransmit) {
    WindowFixture fx;
    fx.StartTimer();
    fx.form.speed.ApplySpeed(true);
    fx.form.Input->setFocus();
    StatusPanels& bar = *fx.form.StatusBar;
    // A logging program's macro arrives while transmit is off (MOX off, as on a fresh start).
    fx.form.transmitQueue->AppendWithMarks(QStringLiteral("CQ TEST"));
    fx.form.transmitQueue->AppIdle();
    EXPECT_TRUE(bar.toolTip().contains(QStringLiteral("TX is off: Alt-T or MOX sends")))
        << bar.toolTip().toStdString();
    EXPECT_EQ(bar.PanelText(kTxPanel), QStringLiteral("RX"));
    EXPECT_EQ(bar.PanelText(0), QString());
    EXPECT_EQ(bar.PanelText(1), QString());

    // Alt-T, as the hint says: the text goes out and the hint goes.
    test::PressKey(Qt::Key_T, Qt::AltModifier);
    fx.form.transmitQueue->AppIdle();
    EXPECT_TRUE(fx.form.TxButton->isChecked());
    EXPECT_EQ(bar.PanelText(kTxPanel), QStringLiteral("TX"));
    EXPECT_FALSE(bar.toolTip().contains(QStringLiteral("TX is off")))
        << bar.toolTip().toStdString();
    fx.KeyerTicks(200);
    EXPECT_NE(fx.form.Input->toPlainText(), QStringLiteral("CQ TEST"));
}

TEST(WaitingHint, MoxSendsTheWaitingTextAsTheHintSays) {
    WindowFixture fx;
    fx.StartTimer();
    fx.form.speed.ApplySpeed(true);
    fx.form.transmitQueue->AppendWithMarks(QStringLiteral("CQ"));
    fx.form.transmitQueue->AppIdle();
    ASSERT_TRUE(fx.form.StatusBar->toolTip().contains(QStringLiteral("MOX sends")));
    fx.form.MOX1->trigger();
    fx.form.transmitQueue->AppIdle();
    EXPECT_TRUE(fx.form.TxButton->isChecked());
    EXPECT_FALSE(fx.form.StatusBar->toolTip().contains(QStringLiteral("TX is off")));
}

}  // namespace
}  // namespace telkey
