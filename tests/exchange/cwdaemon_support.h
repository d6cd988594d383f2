#pragma once
// A cwdaemon listener on the main window, a UDP client on the loopback interface, and hand-run
// keyer ticks with the window's reaction after each.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QUdpSocket>
#include <memory>
#include <string>
#include <vector>

#include "exchange/cwdaemon_listener.h"
#include "support/window_fixture.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey::test {

inline constexpr std::uint16_t kLpt1Data = 0x378;
inline constexpr std::int32_t kLpt1 = 5;
inline constexpr std::uint8_t kKeyBit = 0x01;
inline constexpr std::uint8_t kTxBit = 0x02;

inline std::string Esc(const std::string& rest) {
    return "\x1b" + rest;
}

class CwdaemonFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        w.StartTimer();
        // The key line on LPT1, so every tick's key state shows in the port writes.
        w.engine.portSettings.KeyPortNumber.store(kLpt1);
        w.form.speed.Speed = 60;  // row 17: DotTicks 25, DashTicks 75, TickMs 4
        w.form.speed.ApplySpeed(true);
        listener = std::make_unique<CwdaemonListener>(
            CwdaemonTargets{&w.engine, &w.form.speed, w.form.txControl.get(),
                            w.form.transmitQueue.get(), w.form.Input, w.form.SpeakerButton});
        listener->SetLogSink([this](const std::string& line) { log.push_back(line); });
        // No check looks late, however slow the machine: lateness has tests of its own.
        listener->SetCheckClock([] { return std::int64_t{0}; });
        std::string error;
        ASSERT_TRUE(listener->Listen(QHostAddress::LocalHost, 0, error)) << error;
        ASSERT_TRUE(client.bind(QHostAddress::LocalHost, 0));
    }

    // Sends one datagram and lets the listener read it.
    void Send(const std::string& bytes, QUdpSocket* from = nullptr) {
        QUdpSocket& socket = from != nullptr ? *from : client;
        const auto before = listener->RequestsHandled();
        ASSERT_EQ(socket.writeDatagram(bytes.data(), static_cast<qint64>(bytes.size()),
                                       QHostAddress::LocalHost, listener->LocalPort()),
                  static_cast<qint64>(bytes.size()));
        ASSERT_TRUE(WaitUntil([&] { return listener->RequestsHandled() > before; }));
    }

    // Runs the event loop until `done` holds; false after two seconds.
    template <class Done>
    static bool WaitUntil(Done done, int limitMs = 2000) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > limitMs) return false;
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }

    // One keyer tick, then what the window does about it: the notifications, and the idle pass
    // that follows every batch of events.
    void Tick() {
        w.driver.Tick(1);
        w.form.txControl->DrainNotifications();
        w.form.transmitQueue->AppIdle();
        keyTrace.push_back(KeyDown());
    }
    // Ticks until `done` holds; false when it does not within `limit` ticks.
    template <class Done>
    bool TickUntil(Done done, int limit = 20000) {
        for (int i = 0; i < limit; ++i) {
            if (done()) return true;
            Tick();
        }
        return done();
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) Tick();
    }

    bool KeyDown() const {
        const auto value = w.bus.LastValue(kLpt1Data);
        return value && (*value & kKeyBit) != 0;
    }
    bool TxLineOn() const {
        const auto value = w.bus.LastValue(kLpt1Data);
        return value && (*value & kTxBit) != 0;
    }
    // Lengths in ticks of the key-down runs recorded since the last call.
    std::vector<int> KeyDownRuns() {
        std::vector<int> runs;
        int run = 0;
        for (bool down : keyTrace) {
            if (down) {
                ++run;
            } else if (run > 0) {
                runs.push_back(run);
                run = 0;
            }
        }
        if (run > 0) runs.push_back(run);
        keyTrace.clear();
        return runs;
    }

    QString SentText() const { return w.form.Sent->toPlainText(); }
    QString InputText() const { return w.form.Input->toPlainText(); }
    bool Transmitting() const { return w.engine.flags.Transmitting.load() != 0; }
    // Nothing in Input, nothing in the mailbox, and the keyer back in Idle.
    bool AllKeyed() const {
        return InputText().isEmpty() && w.engine.mailbox.NextCodeEmpty() &&
               w.engine.keyer.State().KeyerState == Idle;
    }

    // The replies that arrived at `socket`, in order.
    static std::vector<std::string> Replies(QUdpSocket& socket) {
        std::vector<std::string> out;
        while (socket.hasPendingDatagrams()) {
            QByteArray data(static_cast<int>(socket.pendingDatagramSize()), '\0');
            socket.readDatagram(data.data(), data.size());
            out.push_back(data.toStdString());
        }
        return out;
    }
    std::vector<std::string> Replies() { return Replies(client); }

    bool Logged(const std::string& part) const {
        for (const std::string& line : log) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }

    WindowFixture w;
    std::unique_ptr<CwdaemonListener> listener;
    QUdpSocket client;
    std::vector<std::string> log;
    std::vector<bool> keyTrace;
};

}  // namespace telkey::test
