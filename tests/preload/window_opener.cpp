// Preloaded into the real telkey by the accessibility test (LD_PRELOAD) to work its windows while
// a screen reader's view of them is read: when the file named by TELKEY_TEST_OPEN holds the object
// name of a menu item or a button, it is triggered or clicked; "close" closes the window in front
// (the active modal one, else the last one opened). The file is removed once done.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int kLookMs = 20;

QWidget* FrontWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->isVisible() && top->objectName() != QStringLiteral("Form1") && top->isWindow() &&
            top->windowType() != Qt::Popup && top->windowType() != Qt::ToolTip) {
            return top;
        }
    }
    return nullptr;
}

void Look(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QString name = QString::fromUtf8(file.readAll()).trimmed();
    file.close();
    if (name.isEmpty()) return;
    if (name == QStringLiteral("close")) {
        if (QWidget* front = FrontWindow()) {
            QFile::remove(path);
            front->close();
        }
        return;
    }
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* button = top->findChild<QAbstractButton*>(name)) {
            QFile::remove(path);
            QTimer::singleShot(0, button, &QAbstractButton::click);
            return;
        }
        if (auto* item = top->findChild<QAction*>(name)) {
            QFile::remove(path);
            // A modal dialog runs its own loop: opened after this returns.
            QTimer::singleShot(0, item, &QAction::trigger);
            return;
        }
    }
}

void Install() {
    const QString path = qEnvironmentVariable("TELKEY_TEST_OPEN");
    if (path.isEmpty() || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [path] { Look(path); });
    timer->start(kLookMs);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Install)
