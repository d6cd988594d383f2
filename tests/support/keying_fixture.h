#pragma once
// The main window keying on LPT1 in hand-run keyer ticks, with the window's reaction after each,
// and the key line traced tick by tick: the base of the logger protocols' fixtures.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <cstdint>
#include <vector>

#include "support/window_fixture.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey::test {

inline constexpr std::uint16_t kLpt1Data = 0x378;
inline constexpr std::int32_t kLpt1 = 5;
inline constexpr std::uint8_t kKeyBit = 0x01;
inline constexpr std::uint8_t kTxBit = 0x02;

class KeyingFixture : public ::testing::Test {
  protected:
    // The key line on LPT1, so every tick's key state shows in the port writes; 60 LPM is
    // row 17: DotTicks 25, DashTicks 75, TickMs 4.
    void StartKeying() {
        w.StartTimer();
        w.engine.portSettings.KeyPortNumber.store(kLpt1);
        w.form.speed.Speed = 60;
        w.form.speed.ApplySpeed(true);
    }

    // Runs the event loop until `done` holds; false after `limitMs`.
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

    WindowFixture w;
    std::vector<bool> keyTrace;
};

}  // namespace telkey::test
