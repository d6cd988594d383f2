// The About box: fixed size, its lines, the OK button and the two links.
#include "ui/about_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <vector>

namespace telkey {
namespace {

TEST(AboutBox, IsAFixedSilverBox) {
    TAbout about;
    EXPECT_EQ(about.windowTitle(), "About Telkey");
    EXPECT_EQ(about.size(), QSize(342, 208));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_EQ(about.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_FALSE(about.isVisible());
    EXPECT_FALSE(about.windowIcon().isNull());
}

TEST(AboutBox, LinesAreCentredInTheirDesignedFonts) {
    TAbout about;
    EXPECT_EQ(about.TitleLabel->text(), "Telkey  V0.20");
    EXPECT_EQ(about.TitleLabel->font().family(), "Times New Roman");
    EXPECT_EQ(about.TitleLabel->font().pointSize(), 20);
    EXPECT_TRUE(about.TitleLabel->font().bold());
    EXPECT_TRUE(about.AuthorLabel->font().bold());
    EXPECT_EQ(about.AuthorLabel->font().pointSize(), 12);
    // Telkey has no e-mail address: that line is left out.
    EXPECT_TRUE(about.Label2->isHidden());
    EXPECT_EQ(about.ContactLabel->text(), "Free software under the GNU GPL, version 3 or later");
    for (QLabel* line : {about.TitleLabel, about.AuthorLabel, about.ContactLabel, about.Label4}) {
        EXPECT_FALSE(line->text().isEmpty());
        EXPECT_NEAR(line->geometry().center().x(), 342 / 2, 1) << line->objectName().toStdString();
    }
    for (QLabel* link : {about.Label2, about.Label4}) {
        EXPECT_TRUE(link->font().underline());
        EXPECT_TRUE(link->font().bold());
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    }
    // Top to bottom: title, authorship, e-mail link, contact, web link, OK.
    EXPECT_LT(about.TitleLabel->y(), about.AuthorLabel->y());
    EXPECT_LT(about.AuthorLabel->y(), about.Label2->y());
    EXPECT_LT(about.Label2->y(), about.ContactLabel->y());
    EXPECT_LT(about.ContactLabel->y(), about.Label4->y());
    EXPECT_LT(about.Label4->geometry().bottom(), about.Button1->y());
}

TEST(AboutBox, OkEndsTheModalDisplay) {
    TAbout about;
    EXPECT_EQ(about.Button1->text(), "OK");
    EXPECT_EQ(about.Button1->geometry(), QRect(150, 176, 50, 25));
    QTimer::singleShot(0, about.Button1, &QPushButton::click);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    EXPECT_FALSE(about.isVisible());
}

TEST(AboutBox, LinksOpenByClick) {
    TAbout about;
    std::vector<QUrl> opened;
    about.openUrl = [&](const QUrl& url) { opened.push_back(url); };
    for (QLabel* link : {about.Label2, about.Label4}) {
        const QPointF at(2, 2);
        QMouseEvent press(QEvent::MouseButtonPress, at, link->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, link->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(link, &press);
        QApplication::sendEvent(link, &release);
    }
    // The hidden e-mail line opens nothing; the web link is the licence.
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], TAbout::WebLink());
    EXPECT_EQ(opened[0].toString(), about.Label4->text());
    EXPECT_EQ(opened[0].host(), "www.gnu.org");
    // Clicking the plain lines opens nothing.
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(about.ContactLabel, &release);
    EXPECT_EQ(opened.size(), 1u);
}

}  // namespace
}  // namespace telkey
