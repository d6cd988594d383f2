#pragma once
// The cwdaemon listener: Linux loggers (tlf, CQRLOG, QLog, ...) key through Telkey with the
// cwdaemon network protocol. A UDP socket read on a thread of its own, which checks every
// sender; what it accepts is served on the window thread: text goes to the end of
// Input as if typed and transmit goes on as the transmit macro command does; escape requests
// act on the speed, tone, weighting and transmit controls. What a request cannot do is written
// to standard error, "telkey: cwdaemon: " first; nothing a datagram holds can end the program.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/cwdaemon_receiver.h"
#include "exchange/cwdaemon_request.h"
#include "exchange/udp_socket_owner.h"
#include "transmit/queue_marks.h"

class QAbstractButton;
class QPlainTextEdit;

namespace telkey {

struct Engine;
class SpeedControl;
class TransmitQueue;
class TxControl;

// What the listener acts on; all owned by the main window.
struct CwdaemonTargets {
    Engine* engine = nullptr;
    SpeedControl* speed = nullptr;
    TxControl* tx = nullptr;
    TransmitQueue* queue = nullptr;
    QPlainTextEdit* Input = nullptr;
    QAbstractButton* SpeakerButton = nullptr;
};

// The code keyed for a tune: one dot, stretched to the tune's length.
inline constexpr std::uint8_t kTuneCode = 0x02;
// Log lines written per second at most; the rest are counted and summed up.
inline constexpr int kCwdaemonLogLinesPerSecond = 20;
// Datagrams taken at a time before the window thread goes back to its other events.
inline constexpr int kCwdaemonReadBatch = 64;

class CwdaemonListener : public QObject {
    Q_OBJECT

  public:
    using LogSink = std::function<void(const std::string& line)>;

    explicit CwdaemonListener(const CwdaemonTargets& targets, QObject* parent = nullptr);
    ~CwdaemonListener() override;

    // Binds the UDP socket (port 0: any free port). False, with `error` saying why, when it
    // cannot.
    bool Listen(const QHostAddress& address, std::uint16_t port, std::string& error);
    std::uint16_t LocalPort() const;

    // The speed, tone and weighting that a reset goes back to. Taken once, as soon as the engine
    // runs (start-up has loaded the settings by then); start-up may also call it itself.
    void CaptureStartupSettings();
    // Takes the start-up settings once the window's first activation has started the engine.
    void WatchActivation(QObject* window);
    // Where the log lines go (standard error unless set); lines come without the prefix.
    void SetLogSink(LogSink sink) { logSink_ = std::move(sink); }
    // Takes datagrams from sockets of every user, not only from this user's (the default).
    void AllowAnyUser(bool any) { receiver_.AllowAnyUser(any); }
    // The clock a datagram's check is timed by against its arrival (tests move it). Before
    // Listen.
    void SetCheckClock(RealtimeClock clock) { receiver_.SetClock(std::move(clock)); }

    // Serves the datagrams accepted so far, a batch at a time; the reader thread has it run when
    // some wait. Until the keyer runs none is served: they wait, in order.
    void ReadPending();

    bool WordMode() const { return wordMode_; }
    bool Tuning() const { return tuning_; }
    int PendingReplies() const;
    // Datagrams served or refused.
    std::uint64_t RequestsHandled() const { return requestsHandled_ + receiver_.Refused(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    using Peer = UdpEndpoint;
    struct Reply {
        QByteArray bytes;
        Peer peer;
    };
    // What a mark in Input does when it is reached.
    struct Action {
        enum class What { Reply, SpeedStep, Speed, Tone, Weighting, TransmitOff };
        What what = What::Reply;
        std::int32_t value = 0;
        Reply reply;
        std::uint64_t order = 0;
    };

    // One datagram from `peer` (`cut`: it was longer than allowed).
    void HandleDatagram(std::string_view bytes, bool cut, const Peer& peer);
    void Handle(const CwdaemonRequest& request, const Peer& peer);
    void HandleText(const CwdaemonRequest& request, const Peer& peer);
    void Reset();
    void Abort();
    void StopKeying();
    void TransmitOff();
    void SetPttDelay(std::int32_t ms);
    void Setting(Action::What what, std::int32_t value);
    void Apply(const Action& action);
    void SetSpeedWpm(std::int32_t wpm);
    void ChangeSpeed(std::int32_t deltaLpm);
    void SetTone(std::int32_t hz);
    void SetWeighting(std::int32_t percent);
    void SetTransmit(bool on);
    void QueueTune(std::int32_t seconds);
    void StartTune(std::int32_t seconds);
    void EndTune();

    // Queue work: text and marks collected during one read, put into Input at once.
    bool QueueIdle() const;
    int InputRoom() const;
    bool QueueMark(char16_t mark);
    void Flush();
    void ClearQueue();

    void MarkReached(char16_t mark);
    void Drained();
    void LastHanded();
    void CancelTransmitOff();
    bool MoreToKey() const;
    void StartTransmission();
    bool AddAction(Action action);
    void SendReply(const Reply& reply);
    void BreakReplies();
    void ScheduleReconcile();
    void Reconcile();
    void Watchdog();
    void WatchOnce();
    // Nothing for the watchdog to look after: no marks held, no log lines left out, no
    // request waiting for the keyer to run. It then stops until a request or an action comes.
    bool NothingToWatch() const;

    void Log(const std::string& line);
    void FlushLogSummary();

    CwdaemonTargets t_;
    // The listener's marks in the transmit queue, registered with it while the listener lives.
    QueueMarks marks_;
    CwdaemonReceiver receiver_;
    std::uint64_t requestsHandled_ = 0;
    LogSink logSink_;

    QString pendingText_;
    bool pendingTx_ = false;

    std::optional<Reply> armed_;
    std::map<char16_t, Action> actions_;
    char16_t nextActionMark_;
    std::uint64_t nextOrder_ = 0;
    bool reconcileScheduled_ = false;
    // A reply mark waits for the last key-up, which the window is not told about.
    QTimer keyUpPoll_;

    // Transmit that a request switched on, to go off at the last key-up of its text.
    bool ownTx_ = false;
    // ESC d: lead time between PTT on and the first element, in ms.
    std::int32_t pttDelayMs_ = 0;
    QTimer leadIn_;

    bool wordMode_ = false;
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

    std::chrono::steady_clock::time_point logWindow_{};
    int logLines_ = 0;
    int logSuppressed_ = 0;
};

}  // namespace telkey
