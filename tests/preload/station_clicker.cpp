// Preloaded into the real telkey by tests (LD_PRELOAD) to work its "Station..." dialog as an
// operator would: when the file named by TELKEY_TEST_CLICK holds the object name of a button,
// the dialog is opened from the menu and that button clicked, and the file is removed.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTimer>
#include <memory>

namespace {

constexpr int kLookMs = 10;

void Look(const QString& path, bool& opening) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QString name = QString::fromUtf8(file.readAll()).trimmed();
    file.close();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* button = top->isVisible() ? top->findChild<QPushButton*>(name) : nullptr;
        if (button != nullptr && button->isVisible()) {
            QFile::remove(path);
            button->click();
            return;
        }
    }
    if (opening) return;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* station = top->findChild<QAction*>(QStringLiteral("Station1"))) {
            opening = true;
            // The dialog runs its own loop: opened after this returns.
            QTimer::singleShot(0, station, &QAction::trigger);
            return;
        }
    }
}

void Install() {
    const QString path = qEnvironmentVariable("TELKEY_TEST_CLICK");
    if (path.isEmpty() || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    auto* timer = new QTimer(QCoreApplication::instance());
    auto opening = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, [path, opening] { Look(path, *opening); });
    timer->start(kLookMs);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Install)
