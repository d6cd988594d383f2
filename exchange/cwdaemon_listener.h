#pragma once
// The cwdaemon listener: Linux loggers (tlf, CQRLOG, QLog, ...) key through Telkey with the
// cwdaemon network protocol. A UDP socket served on the window thread: text goes to the end of
// Input as if typed and transmit goes on as the transmit macro command does; escape requests
// act on the speed, tone, weighting and transmit controls. What a request cannot do is written
// to standard error, "telkey: cwdaemon: " first; nothing a datagram holds can end the program.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/cwdaemon_request.h"
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
// Datagrams read per readyRead before the window thread goes back to its other events.
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

    // Reads what waits on the socket, a batch at a time; the socket's readyRead runs it.
    void ReadPending();
    // One datagram from `peer`, as if read from the socket (`cut`: it was longer than allowed).
    void HandleDatagram(std::string_view bytes, bool cut, const QHostAddress& peer,
                        std::uint16_t peerPort);

    bool WordMode() const { return wordMode_; }
    bool Tuning() const { return tuning_; }
    int PendingReplies() const { return static_cast<int>(replies_.size()); }
    std::uint64_t RequestsHandled() const { return requestsHandled_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Peer {
        QHostAddress address;
        std::uint16_t port = 0;
    };
    struct Reply {
        QByteArray bytes;
        Peer peer;
    };

    void Handle(const CwdaemonRequest& request, const Peer& peer);
    void HandleText(const CwdaemonRequest& request, const Peer& peer);
    void Reset();
    void Abort();
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
    bool AddReply(Reply reply);
    void SendReply(const Reply& reply);
    void BreakReplies();
    void ScheduleReconcile();
    void Reconcile();
    void Watchdog();

    void Log(const std::string& line);
    void FlushLogSummary();

    CwdaemonTargets t_;
    // The listener's marks in the transmit queue, registered with it while the listener lives.
    QueueMarks marks_;
    QUdpSocket socket_;
    std::uint64_t requestsHandled_ = 0;
    LogSink logSink_;

    QString pendingText_;
    bool pendingTx_ = false;

    std::optional<Reply> armed_;
    std::map<char16_t, Reply> replies_;
    char16_t nextReplyMark_;
    bool reconcileScheduled_ = false;

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
