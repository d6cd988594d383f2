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
#include "support/keying_fixture.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey::test {

inline std::string Esc(const std::string& rest) {
    return "\x1b" + rest;
}

class CwdaemonFixture : public KeyingFixture {
  protected:
    void SetUp() override {
        StartKeying();
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

    std::unique_ptr<CwdaemonListener> listener;
    QUdpSocket client;
    std::vector<std::string> log;
};

}  // namespace telkey::test
