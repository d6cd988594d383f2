// The application's standard error display: an error escaping an event handler is shown in a box
// titled with the application title, and the program goes on. This test builds its own
// application object, so it is not a window test with the shared one.
#include "app/telkey_application.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFont>
#include <QTimer>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace telkey {
namespace {

class Thrower : public QObject {
  public:
    int handled = 0;

  protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("Unable to write to .\\Telkey.ini");
        if (e->type() == QEvent::User + 1) throw 42;
        if (e->type() == QEvent::User + 2) {
            ++handled;
            return true;
        }
        return QObject::event(e);
    }
};

TEST(TelkeyApplication, ErrorsEscapingHandlersAreShownAndTheProgramGoesOn) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "telkey";
    char* argv[] = {name, nullptr};
    TelkeyApplication app(argc, argv);
    EXPECT_EQ(QCoreApplication::applicationName(), "Telkey");

    struct Shown {
        QString title;
        QString text;
    };
    std::vector<Shown> shown;
    app.errorDisplay = [&](const QString& title, const QString& text) {
        shown.push_back({title, text});
    };

    Thrower thrower;
    QEvent failing(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &failing));
    QEvent odd(static_cast<QEvent::Type>(QEvent::User + 1));
    QCoreApplication::sendEvent(&thrower, &odd);
    QEvent fine(static_cast<QEvent::Type>(QEvent::User + 2));
    EXPECT_TRUE(QCoreApplication::sendEvent(&thrower, &fine));
    EXPECT_EQ(thrower.handled, 1);

    // From inside the running loop too: the loop survives and runs the next event.
    bool later = false;
    QTimer::singleShot(0, &thrower, [] { throw std::runtime_error("from the loop"); });
    // A thread that cannot be started (the limit on processes) says so.
    QTimer::singleShot(0, &thrower, [] {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    QTimer::singleShot(0, &thrower, [&] { later = true; });
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    app.exec();
    EXPECT_TRUE(later);

    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].title, "Telkey");
    EXPECT_EQ(shown[0].text, "Unable to write to .\\Telkey.ini");
    EXPECT_EQ(shown[1].text, "Unknown error");
    EXPECT_EQ(shown[2].text, "from the loop");
    EXPECT_TRUE(shown[3].text.startsWith("cannot start a thread: ")) << shown[3].text.toStdString();
    EXPECT_TRUE(shown[3].text.contains("ulimit -u")) << shown[3].text.toStdString();

    // The designed Windows faces have stand-ins of close metrics.
    EXPECT_TRUE(QFont::substitutes(QStringLiteral("MS Sans Serif"))
                    .contains(QStringLiteral("Nimbus Sans"), Qt::CaseInsensitive));
    EXPECT_TRUE(QFont::substitutes(QStringLiteral("Courier New"))
                    .contains(QStringLiteral("Liberation Mono"), Qt::CaseInsensitive));
}

}  // namespace
}  // namespace telkey
