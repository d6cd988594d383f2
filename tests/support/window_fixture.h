#pragma once
// The main window with a simulated port space, hand-run keyer ticks and recorded messages, shown
// offscreen in a scratch working directory (the settings file and the exchange files land there).
// Modal dialogs and message boxes never block: tests answer them through the window's seams.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "support/recording_messages.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"
#include "ui/main_form.h"
#include "widgets/message_box.h"

namespace telkey::test {

// A fresh working directory for one test, holding an optional ".\Telkey.ini"; the previous
// working directory and TELKEY_COMMON_DIR come back afterwards.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& settingsText = {})
        : previous_(QDir::currentPath()), previousCommon_(qgetenv("TELKEY_COMMON_DIR")) {
        EXPECT_TRUE(dir_.isValid());
        QDir::setCurrent(dir_.path());
        qputenv("TELKEY_COMMON_DIR", dir_.filePath(QStringLiteral("common")).toUtf8());
        if (!settingsText.empty()) WriteFile("Telkey.ini", settingsText);
    }
    ~ScratchDirectory() {
        QDir::setCurrent(previous_);
        if (previousCommon_.isEmpty()) {
            qunsetenv("TELKEY_COMMON_DIR");
        } else {
            qputenv("TELKEY_COMMON_DIR", previousCommon_);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    QString Path() const { return dir_.path(); }

    void WriteFile(const QString& name, const std::string& text) const {
        QFile file(dir_.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }

  private:
    QTemporaryDir dir_;
    QString previous_;
    QByteArray previousCommon_;
};

// Message boxes that record what would have been shown.
class RecordingBoxes : public MessageBoxes {
  public:
    struct Box {
        QString title;
        QString text;
    };
    void ShowError(const QString& title, const QString& text) override {
        shown.push_back({title, text});
    }
    std::vector<Box> shown;
};

class WindowFixture {
  public:
    // `settingsText`: the contents of ".\Telkey.ini" before the window is created (none when
    // empty).
    explicit WindowFixture(const std::string& settingsText = {}, bool show = true)
        : scratch(settingsText) {
        form.boxes = &boxes;
        form.requestEnd = [this] { ++endRequests; };
        form.runDialog = [](QDialog& dialog) {
            ADD_FAILURE() << "unexpected dialog " << dialog.objectName().toStdString();
            return int{QDialog::Rejected};
        };
        if (show) {
            // The first activation runs the engine start-up (settings, fields, timer, speed,
            // announcements); tests then see only the broadcasts they cause themselves.
            form.show();
            ProcessEvents();
            messages.sent.clear();
        }
    }
    ~WindowFixture() {
        form.hide();
        engine.timer.StopKeyerTimer();
    }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    // Lets Qt deliver what is pending: posted events, engine notifications, timers due.
    static void ProcessEvents() {
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
    }

    // The keyer timer as engine start-up leaves it before the speed is applied (2 ms ticks),
    // unless it already runs.
    void StartTimer() {
        if (engine.timer.TimerId() == 0) {
            EXPECT_TRUE(engine.timer.StartKeyerTimer().empty());
        }
    }

    // Runs n keyer ticks, then lets the window handle what they posted.
    void Ticks(int n) {
        driver.Tick(n);
        ProcessEvents();
    }

    // Runs n keyer ticks one at a time; after each the window handles the notifications and has
    // its idle pass, as a window thread that keeps up with the keyer does.
    void KeyerTicks(int n) {
        for (int i = 0; i < n; ++i) {
            driver.Tick(1);
            form.txControl->DrainNotifications();
            form.transmitQueue->AppIdle();
        }
    }

    // Answers the next modal dialogs with `answer` (called with the dialog, returns its result).
    void AnswerDialogs(std::function<int(QDialog&)> answer) { form.runDialog = std::move(answer); }

    ScratchDirectory scratch;
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine{bus, driver};
    RecordingMessages messages;
    RecordingBoxes boxes;
    int endRequests = 0;
    TForm1 form{engine, messages};
};

}  // namespace telkey::test
