// A notice (a box that does not block) comes up in front of its window, active, and stays on
// top with a window that does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>

#include "widgets/message_box.h"

namespace telkey {
namespace {

TEST(Notice, ComesUpInFrontOfItsWindowAndActive) {
    for (const bool windowOnTop : {false, true}) {
        QMainWindow window;
        window.setWindowFlag(Qt::WindowStaysOnTopHint, windowOnTop);
        window.show();
        window.activateWindow();
        QApplication::processEvents();
        auto* box =
            new QMessageBox(QMessageBox::Warning, QStringLiteral("Telkey"),
                            QStringLiteral("Rig: connection refused"), QMessageBox::Ok, &window);
        box->setWindowModality(Qt::NonModal);
        ShowNotice(*box);
        QApplication::processEvents();
        EXPECT_EQ(box->parentWidget(), &window);
        EXPECT_TRUE(box->isVisible());
        EXPECT_EQ(QApplication::activeWindow(), box) << windowOnTop;
        EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), windowOnTop);
    }
}

}  // namespace
}  // namespace telkey
