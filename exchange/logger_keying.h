#pragma once
// What every logger protocol (cwdaemon, WinKeyer) keys through: text and marks put at the end of
// Input, actions run where they stand in the text (replies, echoes, settings), transmit on for
// the text and off at its last key-up with the logger's PTT lead and tail, the stop that ends
// the element on the air and keys nothing more, the tune, and the speed, tone and weighting
// set by a logger. One per main window: the transmit queue takes one set of marks, so the
// protocols share it, and with it the key. Window thread only.
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "transmit/queue_marks.h"

class QAbstractButton;
class QSocketNotifier;
class QPlainTextEdit;

namespace telkey {

struct Engine;
class SpeedControl;
class TransmitQueue;
class TxControl;

// What the loggers act on; all owned by the main window.
struct LoggerTargets {
    Engine* engine = nullptr;
    SpeedControl* speed = nullptr;
    TxControl* tx = nullptr;
    TransmitQueue* queue = nullptr;
    QPlainTextEdit* Input = nullptr;
    QAbstractButton* SpeakerButton = nullptr;
};

// The code keyed for a tune: one dot, stretched to the tune's length.
inline constexpr std::uint8_t kTuneCode = 0x02;
inline constexpr std::int32_t kLoggerMaxTuneSeconds = 99;

class LoggerKeying : public QObject {
    Q_OBJECT

  public:
    using LogSink = std::function<void(const std::string& line)>;

    // What a mark in Input does when it is reached.
    struct Action {
        enum class What { Reply, Echo, SpeedStep, Speed, Tone, Weighting, TransmitOff, Call };
        What what = What::Reply;
        std::int32_t value = 0;
        // Reply and Echo: run at the last key-up of the text before the mark (true), or when
        // that text will not be keyed (false). Call: run at its place, or at a stop in order.
        std::function<void(bool keyed)> run;
        // Replies with the same key due at one key-up: only the last one runs (0: none).
        std::uint64_t replyKey = 0;
        std::uint64_t order = 0;
    };

    explicit LoggerKeying(const LoggerTargets& targets, QObject* parent = nullptr);
    ~LoggerKeying() override;

    const LoggerTargets& Targets() const { return t_; }
    void SetLogSink(LogSink sink) { logSink_ = std::move(sink); }
    void Log(const std::string& line);

    // The speed, tone and weighting that a reset goes back to.
    void CaptureStartupSettings();
    bool Captured() const { return captured_; }
    bool KeyerRuns() const;

    // Queue work: text and marks collected during one read, put into Input by Flush.
    bool QueueIdle() const;
    int InputRoom() const;
    bool QueueText(QChar c);
    bool QueueMark(char16_t mark);
    // Queues the action's mark; false (nothing queued) when Input or the marks are full.
    bool AddAction(Action action);
    // A setting acts at once when nothing waits to be keyed, else at its place in the text.
    void Setting(Action::What what, std::int32_t value);
    void Apply(const Action& action);
    // Puts what was queued into Input; transmit goes on for the text.
    void Flush();
    // The last character queued and its mark, when both still wait at the end of Input.
    bool TakeBackLast(char16_t mark);
    // The mark of the action last queued.
    char16_t LastMark() const { return lastMark_; }

    // The element on the air ends whole, nothing more is keyed; settings queued behind the
    // text act in their order, replies and echoes run with false.
    void StopKeying();
    void TransmitOff();
    // On: held until switched off. Off: once what is queued has been keyed.
    void SetTransmit(bool on);
    // The logger's lead between PTT on and the first element and tail after the last key-up,
    // in ms; 0 leaves Telkey's own.
    void SetPttTiming(std::int32_t leadMs, std::int32_t tailMs);
    // Nothing more is handed to the keyer until `ms` from now.
    void HoldFor(std::int32_t ms);
    // While paused nothing more is handed to the keyer.
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }

    void SetSpeedWpm(std::int32_t wpm);
    void ChangeSpeed(std::int32_t deltaLpm);
    void SetTone(std::int32_t hz);
    // Per cent of a dot added to marks and taken from gaps, either sign.
    void SetWeighting(std::int32_t percent);
    // Restores the start-up speed, weighting and tone.
    void RestoreStartupSettings();

    // A tune of `seconds` behind what is queued; cutIn: what is being keyed stops first.
    void QueueTune(std::int32_t seconds, bool cutIn);
    void EndTune();
    bool Tuning() const { return tuning_; }

    // Told each character the paddle keyed, as it comes back.
    void SetPaddleEcho(std::function<void(std::uint8_t code)> echo) {
        marks_.paddleEchoed = std::move(echo);
    }

    int PendingReplies() const;

  private:
    void MarkReached(char16_t mark);
    void Drained();
    void LastHanded();
    void CancelTransmitOff();
    bool MoreToKey() const;
    void StartTransmission();
    void ClearQueue();
    void ScheduleReconcile();
    void Reconcile();
    void StartTune(std::int32_t seconds);
    void Watchdog();
    void HoldBack();
    // Transmit goes off once the logger's tail after the last key-up has run.
    void CheckTail();

    LoggerTargets t_;
    // The loggers' marks in the transmit queue, registered with it while this lives.
    QueueMarks marks_;
    LogSink logSink_;

    QString pendingText_;
    bool pendingTx_ = false;

    std::map<char16_t, Action> actions_;
    char16_t nextActionMark_;
    char16_t lastMark_ = 0;
    std::uint64_t nextOrder_ = 0;
    bool reconcileScheduled_ = false;
    // A reply or echo mark waits for the last key-up, which the keyer tells when asked.
    std::unique_ptr<QSocketNotifier> keyUpTold_;
    QTimer keyUpPoll_;

    // Transmit that a logger switched on, to go off at the last key-up of its text.
    bool ownTx_ = false;
    std::int32_t pttLeadMs_ = 0;
    std::int32_t pttTailMs_ = 0;
    QTimer leadIn_;
    QTimer tail_;
    bool tailPending_ = false;
    std::uint64_t tailTick_ = 0;
    std::uint64_t holdTick_ = 0;
    bool paused_ = false;

    bool tuning_ = false;
    QTimer tuneBackstop_;
    bool silencedByTone_ = false;

    bool captured_ = false;
    std::int32_t startSpeed_ = 0;
    std::int32_t startWeighting_ = 0;
    std::int32_t startTone_ = 0;

    QTimer watchdog_;
    std::uint64_t lastActivity_ = 0;
    int quietSeconds_ = 0;
};

}  // namespace telkey
