#pragma once
// The application object: its title, the font faces that stand in for the designed Windows
// fonts, and the standard error display for errors that escape an event handler.
#include <QApplication>
#include <QString>
#include <exception>
#include <functional>
#include <string>

namespace telkey {

// Lets Qt draw the designed Windows faces ("MS Sans Serif", "Courier New", "Times New Roman")
// with installed faces of close metrics, so captions fit their designed places.
void InstallFontSubstitutes();

// The text for an error that escaped; a thread that could not be started says so and why.
std::string ErrorText(const std::exception& error);

class TelkeyApplication : public QApplication {
    Q_OBJECT

  public:
    TelkeyApplication(int& argc, char** argv);

    // Delivers an event; an error escaping its handler is shown and the program goes on.
    bool notify(QObject* receiver, QEvent* event) override;

    // The standard error display: a message box with the error text, titled with the
    // application title.
    void ShowError(const QString& text);

    // Shows the box; tests put a recorder here.
    std::function<void(const QString& title, const QString& text)> errorDisplay;
};

}  // namespace telkey
