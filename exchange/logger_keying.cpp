// What a logger's requests do to the keyer: stop, transmit, settings, tune.
#include "exchange/logger_keying.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <algorithm>
#include <iostream>
#include <limits>
#include <vector>

#include "engine/engine.h"
#include "exchange/cwdaemon_request.h"
#include "exchange/logger_keying_marks.h"
#include "options/speed_control.h"
#include "options/speed_table.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey {

using namespace logger_marks;

namespace {

constexpr int kWatchdogMs = 1000;
constexpr int kKeyUpBackstopMs = 20;
constexpr int kTuneBackstopMarginMs = 500;
// Dot lengths the longest character takes, gaps and the letter gap included, at the widest
// dash/dot ratio (7 dashes of 6 dots, 6 gaps, a letter gap of 6), with room to spare.
constexpr int kLongestCharacterDots = 64;

bool AnswersAtKeyUp(LoggerKeying::Action::What what) {
    using What = LoggerKeying::Action::What;
    return what == What::Reply || what == What::Echo || what == What::TransmitOff;
}

}  // namespace

LoggerKeying::LoggerKeying(const LoggerTargets& targets, QObject* parent)
    : QObject(parent), t_(targets), nextActionMark_(kMarkActionFirst) {
    tuneBackstop_.setSingleShot(true);
    connect(&tuneBackstop_, &QTimer::timeout, this, [this] {
        if (tuning_) Log("tune ended by its time limit");
        EndTune();
    });
    watchdog_.setInterval(kWatchdogMs);
    connect(&watchdog_, &QTimer::timeout, this, &LoggerKeying::Watchdog);
    marks_.action = [this](char16_t mark) { MarkReached(mark); };
    // Replies and echoes go when the key goes up after the last element, not a letter gap later.
    marks_.atKeyUp = [this](char16_t mark) {
        const auto it = actions_.find(mark);
        return it != actions_.end() && AnswersAtKeyUp(it->second.what);
    };
    // The keyer tells the key-up a reply or echo waits for; the timer only backs it up.
    KeyUpSignal& keyUp = t_.engine->keyer.KeyUpTold();
    keyUpTold_ = std::make_unique<QSocketNotifier>(keyUp.Fd(), QSocketNotifier::Read, this);
    connect(keyUpTold_.get(), &QSocketNotifier::activated, this, [this, &keyUp] {
        keyUp.Clear();
        t_.queue->FeedKeyer();
    });
    keyUpPoll_.setSingleShot(true);
    connect(&keyUpPoll_, &QTimer::timeout, this, [this] { t_.queue->FeedKeyer(); });
    marks_.waitingForKeyUp = [this, &keyUp] {
        keyUp.Want();
        if (t_.engine->keyer.TextKeyedUp()) {
            keyUpPoll_.start(0);
        } else if (!keyUpPoll_.isActive()) {
            keyUpPoll_.start(kKeyUpBackstopMs);
        }
    };
    marks_.drained = [this] { Drained(); };
    marks_.lastHanded = [this] { LastHanded(); };
    leadIn_.setSingleShot(true);
    connect(&leadIn_, &QTimer::timeout, this, [this] {
        // The keyer's own tick count decides; a timer that fired early looks again.
        if (t_.engine->keyer.TickCount() < marks_.HoldTick()) {
            if (!paused_) leadIn_.start(1);
        } else {
            t_.queue->FeedKeyer();
        }
    });
    // The keyer's tick count decides when the tail has run; the timer only looks.
    tail_.setInterval(1);
    connect(&tail_, &QTimer::timeout, this, &LoggerKeying::CheckTail);
    t_.queue->SetQueueMarks(&marks_);
    connect(t_.Input, &QPlainTextEdit::textChanged, this, &LoggerKeying::ScheduleReconcile);
}

LoggerKeying::~LoggerKeying() {
    t_.queue->SetQueueMarks(nullptr);
    // The logger's PTT lead goes with it.
    t_.engine->keyerSettings.PttLeadMs.store(0);
    // The key must not stay down with a stretched dot when the loggers go.
    EndTune();
}

void LoggerKeying::Log(const std::string& line) {
    if (logSink_) {
        logSink_(line);
    } else {
        std::cerr << "telkey: " << line << '\n';
    }
}

bool LoggerKeying::KeyerRuns() const {
    return t_.engine->timer.TimerId() != 0;
}

void LoggerKeying::CaptureStartupSettings() {
    captured_ = true;
    startSpeed_ = t_.speed->Speed;
    startWeighting_ = t_.speed->Weighting;
    startTone_ = t_.engine->portSettings.SpeakerTone.load();
}

void LoggerKeying::Setting(Action::What what, std::int32_t value) {
    Action action;
    action.what = what;
    action.value = value;
    if (QueueIdle() || !AddAction(action)) Apply(action);
}

void LoggerKeying::Apply(const Action& action) {
    switch (action.what) {
        case Action::What::Reply:
        case Action::What::Echo:
            if (action.run) action.run(true);
            break;
        case Action::What::Call:
            if (action.run) action.run(true);
            break;
        case Action::What::SpeedStep:
            ChangeSpeed(action.value);
            break;
        case Action::What::Speed:
            SetSpeedWpm(action.value);
            break;
        case Action::What::Tone:
            SetTone(action.value);
            break;
        case Action::What::Weighting:
            SetWeighting(action.value);
            break;
        case Action::What::TransmitOff:
            if (!ownTx_ || t_.engine->flags.TxHeld.load() != 0 || MoreToKey()) break;
            if (pttTailMs_ > 0) {
                const int tickMs = std::max(1, t_.engine->keyerSettings.TickMs.load());
                tailTick_ = t_.engine->keyer.TickCount() +
                            static_cast<std::uint64_t>((pttTailMs_ + tickMs - 1) / tickMs);
                tailPending_ = true;
                tail_.start();
            } else {
                TransmitOff();
            }
            break;
    }
}

int LoggerKeying::PendingReplies() const {
    return static_cast<int>(std::count_if(actions_.begin(), actions_.end(), [](const auto& a) {
        return a.second.what == Action::What::Reply;
    }));
}

// The keyer ends the character on the air with the element being keyed and keys nothing
// more. Settings queued behind the text take effect as they would have once it was keyed;
// replies and echoes run with false.
void LoggerKeying::StopKeying() {
    std::vector<char16_t> order;
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        if (const char16_t mark = TransmitQueue::MarkAt(doc, i); actions_.count(mark) != 0) {
            order.push_back(mark);
        }
    }
    for (const QChar c : pendingText_) {
        if (actions_.count(c.unicode()) != 0) order.push_back(c.unicode());
    }
    ClearQueue();
    leadIn_.stop();
    holdTick_ = 0;
    HoldBack();
    if (t_.engine->StopSending()) marks_.Withdrawn();
    EndTune();
    std::vector<Action> settings;
    for (const char16_t mark : order) {
        const auto it = actions_.find(mark);
        if (it == actions_.end()) continue;
        Action action = std::move(it->second);
        actions_.erase(it);
        if (action.what == Action::What::Reply || action.what == Action::What::Echo) {
            if (action.run) action.run(false);
        } else {
            settings.push_back(std::move(action));
        }
    }
    for (const Action& action : settings) Apply(action);
}

void LoggerKeying::CheckTail() {
    if (!tailPending_) {
        tail_.stop();
        return;
    }
    if (t_.engine->keyer.TickCount() < tailTick_) return;
    if (ownTx_ && t_.engine->flags.TxHeld.load() == 0 && !MoreToKey()) {
        TransmitOff();
    } else {
        tailPending_ = false;
        tail_.stop();
    }
}

// Switched off at once: the TX line holds itself until the last key-up of what is on the air.
void LoggerKeying::TransmitOff() {
    ownTx_ = false;
    tailPending_ = false;
    tail_.stop();
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void LoggerKeying::SetTransmit(bool on) {
    if (on) {
        // Held on until the logger switches it off: silence and an empty queue do not end it.
        t_.engine->flags.TxHeld.store(1);
        ownTx_ = false;
        tailPending_ = false;
        tail_.stop();
        t_.tx->SetTxButton(true);
        t_.tx->ApplyTx();
        return;
    }
    t_.engine->flags.TxHeld.store(0);
    // Off once what is queued has been keyed.
    if (t_.engine->flags.Transmitting.load() != 0 || pendingTx_) {
        if (!QueueMark(kMarkTxOff)) Log("Input is full: transmit off request dropped");
        return;
    }
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void LoggerKeying::SetPttTiming(std::int32_t leadMs, std::int32_t tailMs) {
    pttLeadMs_ = std::max(0, leadMs);
    pttTailMs_ = std::max(0, tailMs);
    t_.engine->keyerSettings.PttLeadMs.store(pttLeadMs_);
}

void LoggerKeying::HoldFor(std::int32_t ms) {
    const int tickMs = std::max(1, t_.engine->keyerSettings.TickMs.load());
    const int ticks = (ms + tickMs - 1) / tickMs;
    holdTick_ = t_.engine->keyer.TickCount() + static_cast<std::uint64_t>(ticks);
    HoldBack();
    leadIn_.start(std::max(1, ms));
}

void LoggerKeying::SetPaused(bool paused) {
    if (paused_ == paused) return;
    paused_ = paused;
    HoldBack();
    if (!paused_) t_.queue->FeedKeyer();
}

void LoggerKeying::HoldBack() {
    marks_.HoldUntil(paused_ ? std::numeric_limits<std::uint64_t>::max() : holdTick_);
}

void LoggerKeying::SetSpeedWpm(std::int32_t wpm) {
    EndTune();
    t_.speed->Speed = wpm * kLpmPerWpm;
    t_.speed->ApplySpeed(true);
}

void LoggerKeying::ChangeSpeed(std::int32_t deltaLpm) {
    EndTune();
    // Steps (cwdaemon's inline signs) stop at the speeds a logger may set.
    t_.speed->Speed = std::clamp(t_.speed->Speed + deltaLpm, kCwdaemonMinWpm * kLpmPerWpm,
                                 kCwdaemonMaxWpm * kLpmPerWpm);
    t_.speed->ApplySpeed(true);
}

void LoggerKeying::SetTone(std::int32_t hz) {
    PortSettings& ports = t_.engine->portSettings;
    if (hz == 0) {
        // The sidetone goes quiet; the key line goes on keying.
        if (ports.UseSpeaker.load() != 0) {
            ports.UseSpeaker.store(0);
            t_.SpeakerButton->setChecked(false);
            silencedByTone_ = true;
        }
        return;
    }
    ports.SpeakerTone.store(hz);
    ports.ToneDivisor.store(ToneDivisor(hz));
    if (silencedByTone_) {
        silencedByTone_ = false;
        ports.UseSpeaker.store(1);
        t_.SpeakerButton->setChecked(true);
    }
}

void LoggerKeying::SetWeighting(std::int32_t percent) {
    const int row = std::clamp(t_.speed->SpeedIndex, kSlowestRow, kFastestRow);
    EndTune();
    t_.speed->Weighting = percent * kSpeedTable[row].dotMs / 100;
    t_.speed->ApplySpeed(false);
}

void LoggerKeying::RestoreStartupSettings() {
    t_.speed->Speed = startSpeed_;
    t_.speed->Weighting = startWeighting_;
    t_.speed->ApplySpeed(true);
    SetTone(startTone_);
}

void LoggerKeying::QueueTune(std::int32_t seconds, bool cutIn) {
    if (seconds <= 0) {
        EndTune();
        return;
    }
    seconds = std::min(seconds, kLoggerMaxTuneSeconds);
    if (cutIn && !QueueIdle()) {
        CancelTransmitOff();
        StopKeying();
    }
    if (InputRoom() < 2) {
        Log("Input is full: tune request dropped");
        return;
    }
    QueueMark(static_cast<char16_t>(kMarkTuneFirst + seconds));
    QueueMark(kMarkTuneEnd);
    pendingTx_ = true;
}

// Runs where the tune's mark reached the front of Input: everything before it has been keyed
// and the mailbox is empty. The keyer keys one dot whose key-down lasts the whole tune: a
// weighting of w ticks on a dot of w + 1 keeps the key down 2w + 1 ticks and leaves a gap of one
// tick, after which the usual letter gap follows. The keyer thus owns the key line throughout
// and lets it go by itself; the mark behind the tune puts the speed back once the dot's echo
// is in, before anything else is handed over.
void LoggerKeying::StartTune(std::int32_t seconds) {
    KeyerSettings& keyer = t_.engine->keyerSettings;
    const int tickMs = std::max(1, keyer.TickMs.load());
    const int ticks = seconds * 1000 / tickMs;
    const int weight = std::max(0, (ticks - 1) / 2);
    const int letterGapMs = keyer.DashTicks.load() * tickMs;
    keyer.WeightTicks.store(weight);
    keyer.DotTicks.store(weight + 1);
    if (!t_.engine->HandOver(kTuneCode)) {
        t_.speed->ApplySpeed(false);
        Log("tune dropped: the keyer's mailbox was not empty");
        return;
    }
    marks_.Handed(kTuneCode);
    tuning_ = true;
    tuneBackstop_.start(seconds * 1000 + letterGapMs + kTuneBackstopMarginMs);
}

void LoggerKeying::EndTune() {
    if (!tuning_) return;
    tuning_ = false;
    tuneBackstop_.stop();
    t_.speed->ApplySpeed(false);
}

// An echo that will never come (a word space cut short by the paddle) must not hold the marks
// in Input for ever.
void LoggerKeying::Watchdog() {
    const std::uint64_t activity = marks_.Activity();
    if (tuning_ || marks_.Keyed() || activity != lastActivity_) {
        lastActivity_ = activity;
        quietSeconds_ = 0;
        if (actions_.empty() && marks_.Keyed() && !tuning_) watchdog_.stop();
        return;
    }
    const int row = std::clamp(t_.speed->SpeedIndex, kSlowestRow, kFastestRow);
    const int limitSeconds = kLongestCharacterDots * kSpeedTable[row].dotMs / 1000 + 1;
    if (++quietSeconds_ > limitSeconds) {
        quietSeconds_ = 0;
        marks_.Forget();
        Log("the keyer has echoed nothing for " + std::to_string(limitSeconds) +
            " s; the marks in Input go on");
    }
}

}  // namespace telkey
