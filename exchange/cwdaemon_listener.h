#pragma once
// The cwdaemon listener: Linux loggers (tlf, CQRLOG, QLog, ...) key through Telkey with the
// cwdaemon network protocol. A UDP socket read on a thread of its own, which checks every
// sender; what it accepts is served on the window thread: text goes to the end of
// Input as if typed and transmit goes on as the transmit macro command does; escape requests
// act on the speed, tone, weighting and transmit controls, through the keying it shares with
// the other logger protocols. What a request cannot do is written
// to standard error, "telkey: cwdaemon: " first; nothing a datagram holds can end the program.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/cwdaemon_receiver.h"
#include "exchange/cwdaemon_request.h"
#include "exchange/logger_keying.h"
#include "exchange/udp_socket_owner.h"

namespace telkey {

using CwdaemonTargets = LoggerTargets;

// Log lines written per second at most; the rest are counted and summed up.
inline constexpr int kCwdaemonLogLinesPerSecond = 20;
// Datagrams taken at a time before the window thread goes back to its other events.
inline constexpr int kCwdaemonReadBatch = 64;

class CwdaemonListener : public QObject {
    Q_OBJECT

  public:
    using LogSink = std::function<void(const std::string& line)>;

    // With keying of its own.
    explicit CwdaemonListener(const CwdaemonTargets& targets, QObject* parent = nullptr);
    // Sharing `keying` with the other logger protocols; it outlives the listener.
    explicit CwdaemonListener(LoggerKeying& keying, QObject* parent = nullptr);
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
    bool Tuning() const { return k_->Tuning(); }
    int PendingReplies() const { return k_->PendingReplies(); }
    // Datagrams served or refused.
    std::uint64_t RequestsHandled() const { return requestsHandled_ + receiver_.Refused(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    using Peer = UdpEndpoint;
    using Action = LoggerKeying::Action;
    struct Reply {
        QByteArray bytes;
        Peer peer;
    };

    // One datagram from `peer` (`cut`: it was longer than allowed).
    void HandleDatagram(std::string_view bytes, bool cut, const Peer& peer);
    void Handle(const CwdaemonRequest& request, const Peer& peer);
    void HandleText(const CwdaemonRequest& request, const Peer& peer);
    void Reset();
    void Abort();
    void StopKeying();
    void SetPttDelay(std::int32_t ms);
    // A reply at the last key-up of the text queued so far; false when it cannot be queued.
    bool QueueReply(const Reply& reply);
    void SendReply(const Reply& reply);
    void Watchdog();
    // Nothing for the watchdog to look after: no log lines left out, no request waiting for
    // the keyer to run. It then stops until a request comes.
    bool NothingToWatch() const;

    void Log(const std::string& line);
    void FlushLogSummary();

    std::unique_ptr<LoggerKeying> ownKeying_;
    LoggerKeying* k_;
    const LoggerTargets& t_;
    CwdaemonReceiver receiver_;
    std::uint64_t requestsHandled_ = 0;
    LogSink logSink_;

    std::optional<Reply> armed_;
    bool wordMode_ = false;

    QTimer watchdog_;

    std::chrono::steady_clock::time_point logWindow_{};
    int logLines_ = 0;
    int logSuppressed_ = 0;
};

}  // namespace telkey
