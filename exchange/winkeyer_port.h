#pragma once
// An emulated WinKeyer on a pseudo-terminal: loggers that speak K1EL's host protocol (QLog,
// CQRLOG, fldigi, and N1MM+, Win-Test and others under Wine) key through Telkey. What they
// send is keyed through the keying every logger protocol shares; each character is echoed as
// its last element ends, and the status byte goes to the logger whenever it changes. What the
// port cannot do is written to standard error, "telkey: winkeyer: " first.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchange/logger_keying.h"
#include "exchange/pty_link.h"
#include "exchange/winkeyer_protocol.h"

namespace telkey {

// Characters in the buffer past which the logger is told to hold back (XOFF), and below
// which it may go on.
inline constexpr int kWinkeyerXoffAbove = kWinkeyerBufferSize * 2 / 3;
inline constexpr int kWinkeyerXonBelow = kWinkeyerBufferSize / 3;

class WinkeyerPort : public QObject {
    Q_OBJECT

  public:
    using LogSink = std::function<void(const std::string& line)>;

    // `keying` is shared with the other logger protocols and outlives the port.
    explicit WinkeyerPort(LoggerKeying& keying, QObject* parent = nullptr);
    ~WinkeyerPort() override;

    // Opens the pseudo-terminal with its link at `linkPath`; false with `error` when it cannot.
    bool Open(const std::string& linkPath, std::string& error);
    const std::string& LinkPath() const { return pty_.LinkPath(); }
    const std::string& SlavePath() const { return pty_.SlavePath(); }
    void SetLogSink(LogSink sink) { logSink_ = std::move(sink); }

    // The status byte as the logger was last told it.
    std::uint8_t Status() const { return status_; }
    // Characters in the buffer: queued, not yet keyed.
    int Buffered() const { return buffered_; }
    bool LoggerPresent() const { return pty_.Openers() > 0; }
    // Bytes read from the logger so far.
    std::uint64_t BytesRead() const { return bytesRead_; }
    // Takes the logger's opens and closes and reads what it sent (the notifiers run it).
    void ReadHost();

  private:
    void ReadBytes();
    void Act(const WinkeyerAction& action);
    void QueueCharacter(std::uint8_t ch);
    void QueueMerged(std::uint8_t first, std::uint8_t second);
    void QueueEcho(std::vector<std::uint8_t> echo);
    void QueueCall(std::function<void()> call);
    void ClearBuffer();
    void KeyImmediate(bool down);
    void BufferedSpeed(std::uint8_t wpm);
    void CancelBufferedSpeed();
    void ApplyDefaults();
    void ApplyPttTiming();
    void SetSpeed(std::uint8_t wpm);
    void SetRatio(std::uint8_t ratio);
    void Send(const std::vector<std::uint8_t>& bytes);
    void UpdateStatus();
    std::uint8_t CurrentStatus() const;
    std::uint8_t PotByte() const;
    void WatchPaddle();
    void PaddleEchoed(std::uint8_t code);
    void SpeedApplied(std::int32_t lpm);
    void Log(const std::string& line);

    LoggerKeying& k_;
    PtyLink pty_;
    WinkeyerParser parser_;
    std::unique_ptr<QSocketNotifier> hostReadable_;
    std::unique_ptr<QSocketNotifier> openClose_;
    LogSink logSink_;
    std::uint64_t bytesRead_ = 0;
    std::vector<WinkeyerAction> waitingForStart_;
    QTimer startWatch_;

    std::uint8_t status_ = kWinkeyerStatus;
    int buffered_ = 0;
    // Buffered commands queued and not yet reached.
    int commandsQueued_ = 0;
    bool xoff_ = false;
    bool breakIn_ = false;
    bool keyDown_ = false;
    bool waiting_ = false;
    bool holdStatus_ = false;
    QTimer waitEnd_;
    // The echo mark of the last character queued, for a backspace.
    char16_t lastEcho_ = 0;
    // The speed (LPM) before a buffered change, 0 when none is in effect.
    std::int32_t speedBeforeBuffered_ = 0;
    bool settingSpeed_ = false;
    std::int32_t lastLpm_ = 0;
    std::function<void(std::int32_t)> previousSpeedApplied_;
    QTimer paddleWatch_;
    std::uint32_t paddleSeen_ = 0;
};

}  // namespace telkey
