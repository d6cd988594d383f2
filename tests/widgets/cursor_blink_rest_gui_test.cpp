// The text cursor rests after a while without input and blinks again at the next key.
#include "widgets/cursor_blink_rest.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QStyleHints>

namespace telkey {
namespace {

TEST(CursorBlinkRest, StopsTheBlinkUntilTheNextKey) {
    QStyleHints* hints = QGuiApplication::styleHints();
    hints->setCursorFlashTime(1000);
    QPlainTextEdit input;
    {
        CursorBlinkRest rest(std::chrono::milliseconds(1));
        for (int i = 0; i < 1000 && !rest.Resting(); ++i)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ASSERT_TRUE(rest.Resting());
        EXPECT_EQ(hints->cursorFlashTime(), 0);
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QApplication::sendEvent(&input, &key);
        EXPECT_FALSE(rest.Resting());
        EXPECT_EQ(hints->cursorFlashTime(), 1000);
        for (int i = 0; i < 1000 && !rest.Resting(); ++i)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        EXPECT_TRUE(rest.Resting());
    }
    EXPECT_EQ(hints->cursorFlashTime(), 1000) << "the platform's blink comes back at the end";
}

}  // namespace
}  // namespace telkey
