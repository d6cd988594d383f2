#include "app/telkey_application.h"

#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>

#include "widgets/message_box.h"

namespace telkey {

void InstallFontSubstitutes() {
    // Metric-compatible faces first; fontconfig's own choice remains the last resort.
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
         QStringLiteral("Helvetica"), QStringLiteral("FreeSans")});
    QFont::insertSubstitutions(QStringLiteral("Courier New"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("Nimbus Mono PS"),
                                QStringLiteral("FreeMono"), QStringLiteral("DejaVu Sans Mono")});
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               {QStringLiteral("Liberation Serif"), QStringLiteral("Nimbus Roman"),
                                QStringLiteral("FreeSerif"), QStringLiteral("DejaVu Serif")});
}

TelkeyApplication::TelkeyApplication(int& argc, char** argv)
    : QApplication(argc, argv), errorDisplay([](const QString& title, const QString& text) {
          QMessageBox::critical(QApplication::activeWindow(), title, text);
      }) {
    setApplicationName(QLatin1String(kApplicationTitle));
    // The desktop matches the windows to the installed menu entry, and shows its icon.
    setDesktopFileName(QStringLiteral("telkey"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("telkey")));
    InstallFontSubstitutes();
}

std::string ErrorText(const std::exception& error) {
    // What std::thread throws when the limit on processes allows no more.
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    if (system == nullptr || system->code() != std::errc::resource_unavailable_try_again) {
        return error.what();
    }
    return std::string("cannot start a thread: ") + error.what() +
           "; the limit on processes (ulimit -u) may be reached, and what needed the thread "
           "does not work";
}

bool TelkeyApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        const std::string text = ErrorText(error);
        std::fprintf(stderr, "telkey: %s\n", text.c_str());
        ShowError(QString::fromStdString(text));
    } catch (...) {
        ShowError(QStringLiteral("Unknown error"));
    }
    return false;
}

void TelkeyApplication::ShowError(const QString& text) {
    if (errorDisplay) errorDisplay(QLatin1String(kApplicationTitle), text);
}

}  // namespace telkey
