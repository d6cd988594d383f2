// The loggers' text and marks in Input: collected during a read and put in at once, acted on
// when the keyer reaches them, and reconciled when the operator edits Input.
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <set>

#include "engine/engine.h"
#include "exchange/logger_keying.h"
#include "exchange/logger_keying_marks.h"
#include "transmit/queue_marks.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey {

using namespace logger_marks;

bool LoggerKeying::QueueIdle() const {
    return InputLength(t_.Input) == 0 && pendingText_.isEmpty() &&
           t_.engine->mailbox.NextCodeEmpty() && marks_.Keyed() && !tuning_;
}

int LoggerKeying::InputRoom() const {
    return std::max(0, static_cast<int>(kInputMaxLength) - InputLength(t_.Input) -
                           static_cast<int>(pendingText_.size()));
}

bool LoggerKeying::QueueMark(char16_t mark) {
    if (InputRoom() < 1) return false;
    pendingText_.append(QChar(mark));
    return true;
}

void LoggerKeying::Flush() {
    if (!pendingText_.isEmpty() && !watchdog_.isActive()) watchdog_.start();
    if (pendingTx_) {
        tailPending_ = false;
        tail_.stop();
        CancelTransmitOff();
    }
    if (pendingTx_ && t_.engine->flags.Transmitting.load() == 0) StartTransmission();
    if (!pendingText_.isEmpty()) {
        const QString text = pendingText_;
        pendingText_.clear();
        t_.queue->AppendWithMarks(text);
    }
    if (pendingTx_) {
        pendingTx_ = false;
        t_.tx->TransmitOnCommand();
    }
}

// Transmit on before the text goes in: MOX's keyboard rule would otherwise lead with a word
// space instead of the lead set for PTT. With MOX the keyer keeps that lead; without, the
// hand-over is held back for the logger's.
void LoggerKeying::StartTransmission() {
    const KeyerSettings& keyer = t_.engine->keyerSettings;
    const bool mox = keyer.MoxOn.load() != 0;
    if (!mox && pttLeadMs_ > 0) HoldFor(pttLeadMs_);
    ownTx_ = false;
    t_.tx->TransmitOnCommand();
    // The transmission ends at the last key-up of its text, unless MOX's silence rule gives
    // it the tail the operator chose.
    ownTx_ = t_.engine->flags.TxHeld.load() == 0 && !(mox && keyer.RxAtSilence.load() != 0);
}

// Everything has been keyed: a transmission a request started ends as the receive command
// would end it.
void LoggerKeying::Drained() {
    if (tailPending_) {
        CheckTail();
        return;
    }
    if (!ownTx_ || t_.engine->flags.TxHeld.load() != 0) return;
    if (t_.engine->flags.Transmitting.load() == 0) {
        ownTx_ = false;
        return;
    }
    TransmitOff();
}

// The last character of the text is with the keyer: transmit goes off at its last key-up, by
// a mark reached then, not a letter gap later. A tune still to come keeps it on.
void LoggerKeying::LastHanded() {
    if (!ownTx_ || t_.engine->flags.TxHeld.load() != 0 || MoreToKey()) return;
    CancelTransmitOff();
    Action off;
    off.what = Action::What::TransmitOff;
    if (!AddAction(off)) return;
    const QString mark = pendingText_;
    pendingText_.clear();
    t_.queue->AppendWithMarks(mark);
}

// More text came: the transmission goes on, its end mark goes.
void LoggerKeying::CancelTransmitOff() {
    const auto it = std::find_if(actions_.begin(), actions_.end(), [](const auto& a) {
        return a.second.what == Action::What::TransmitOff;
    });
    if (it == actions_.end()) return;
    const char16_t mark = it->first;
    actions_.erase(it);
    QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        if (TransmitQueue::MarkAt(doc, i) != mark) continue;
        QTextCursor cut(doc);
        cut.setPosition(i);
        cut.setPosition(i + 1, QTextCursor::KeepAnchor);
        cut.removeSelectedText();
        return;
    }
}

// Input holds text (the operator may have typed behind a request's) or a tune still to key.
bool LoggerKeying::MoreToKey() const {
    if (!pendingText_.isEmpty()) return true;
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        const char16_t mark = TransmitQueue::MarkAt(doc, i);
        if (!IsQueueEventMark(mark) || mark == kMarkTuneEnd) return true;
    }
    return false;
}

void LoggerKeying::ClearQueue() {
    pendingText_.clear();
    pendingTx_ = false;
    t_.Input->clear();
}

void LoggerKeying::MarkReached(char16_t mark) {
    if (mark == kMarkTxOff) {
        t_.tx->SetTxButton(false);
        t_.tx->ApplyTx();
    } else if (mark == kMarkTuneEnd) {
        EndTune();
    } else if (mark > kMarkTuneFirst && mark <= kMarkTuneFirst + kLoggerMaxTuneSeconds) {
        StartTune(mark - kMarkTuneFirst);
    } else if (const auto it = actions_.find(mark); it != actions_.end()) {
        Action action = std::move(it->second);
        actions_.erase(it);
        if (action.what == Action::What::Reply && action.replyKey != 0) {
            // cwdaemon keeps one reply: a newer one of the same client due at the same key-up
            // takes its place.
            const char16_t next = TransmitQueue::MarkAt(t_.Input->document(), 0);
            const auto later = actions_.find(next);
            if (later != actions_.end() && later->second.what == Action::What::Reply &&
                later->second.replyKey == action.replyKey) {
                return;
            }
        }
        Apply(action);
    }
}

bool LoggerKeying::AddAction(Action action) {
    if (InputRoom() < 1) return false;
    constexpr int kMarks = kMarkActionLast - kMarkActionFirst + 1;
    for (int i = 0; i < kMarks; ++i) {
        const char16_t mark = nextActionMark_;
        nextActionMark_ =
            mark == kMarkActionLast ? kMarkActionFirst : static_cast<char16_t>(mark + 1);
        if (actions_.count(mark) != 0) continue;
        action.order = nextOrder_++;
        actions_.emplace(mark, std::move(action));
        pendingText_.append(QChar(mark));
        lastMark_ = mark;
        if (!watchdog_.isActive()) watchdog_.start();
        return true;
    }
    Log("too many requests waiting for their place in the text; this one acts at once");
    return false;
}

bool LoggerKeying::QueueText(QChar c) {
    if (InputRoom() < 1) return false;
    pendingText_.append(c);
    pendingTx_ = true;
    return true;
}

bool LoggerKeying::TakeBackLast(char16_t mark) {
    const auto it = actions_.find(mark);
    if (it == actions_.end()) return false;
    if (pendingText_.size() >= 2 && pendingText_.back() == QChar(mark)) {
        pendingText_.chop(2);
        actions_.erase(it);
        return true;
    }
    const int n = InputLength(t_.Input);
    QTextDocument* doc = t_.Input->document();
    if (!pendingText_.isEmpty() || n < 2 || TransmitQueue::MarkAt(doc, n - 1) != mark ||
        IsQueueEventMark(TransmitQueue::MarkAt(doc, n - 2))) {
        return false;
    }
    actions_.erase(it);
    QTextCursor cut(doc);
    cut.setPosition(n - 2);
    cut.setPosition(n, QTextCursor::KeepAnchor);
    cut.removeSelectedText();
    return true;
}

void LoggerKeying::ScheduleReconcile() {
    if (reconcileScheduled_ || (actions_.empty() && !tuning_)) return;
    reconcileScheduled_ = true;
    // After the change that raised this has run its course: a mark cut by FeedKeyer has
    // acted by then.
    QTimer::singleShot(0, this, &LoggerKeying::Reconcile);
}

// Marks that left Input without being reached (the operator cleared or edited it): their
// replies are answered with break, their settings take effect in the order they came, and a
// tune waiting for its end mark ends.
void LoggerKeying::Reconcile() {
    reconcileScheduled_ = false;
    if (actions_.empty() && !tuning_) return;
    std::set<char16_t> present;
    for (const QChar c : pendingText_) {
        if (IsQueueEventMark(c.unicode())) present.insert(c.unicode());
    }
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        const char16_t mark = TransmitQueue::MarkAt(doc, i);
        if (IsQueueEventMark(mark)) present.insert(mark);
    }
    std::vector<Action> gone;
    for (auto it = actions_.begin(); it != actions_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (it->second.what == Action::What::Reply || it->second.what == Action::What::Echo) {
            if (it->second.run) it->second.run(false);
        } else {
            gone.push_back(it->second);
        }
        it = actions_.erase(it);
    }
    std::sort(gone.begin(), gone.end(),
              [](const Action& a, const Action& b) { return a.order < b.order; });
    for (const Action& action : gone) Apply(action);
    if (tuning_ && present.count(kMarkTuneEnd) == 0) EndTune();
}

}  // namespace telkey
