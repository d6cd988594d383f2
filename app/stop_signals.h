#pragma once
// Signals that would end or stop Telkey. Every signal whose default action ends the program
// ends it as closing its window does: the handler releases the key and TX lines at once (the
// ports are held released from then on) and wakes the window thread, which runs `stop`; once
// the window is gone, EndBySignal ends the program with the status the signal gives. A second
// signal of the same kind while shutting down ends the program at once. SIGTSTP, SIGTTIN and
// SIGTTOU release the lines before the program stops; SIGCONT wakes the window thread, which
// runs `resume`. A signal someone has set to be ignored (nohup) stays ignored.
#include <QObject>
#include <functional>
#include <string>

class QSocketNotifier;

namespace telkey {

class Ports;
struct SignalTarget;

class StopSignals : public QObject {
    Q_OBJECT

  public:
    // Only one may exist at a time.
    explicit StopSignals(std::function<void()> stop, QObject* parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Empty when the handlers are in place, else what failed.
    const std::string& Error() const { return error_; }

    // The ports the handler holds released (null: none). Before the keyer runs.
    void HoldOnSignal(Ports* ports) noexcept;
    // Runs on the window thread after the program was continued (SIGCONT).
    void OnContinue(std::function<void()> resume) { resume_ = std::move(resume); }
    // The first signal that asked the program to end, 0 when none did.
    int Received() const noexcept { return received_; }
    // Readable when a signal has come; Drain() then acts on it. For waits outside the event
    // loop that must still hear the signals.
    int WakeFd() const { return readFd_; }
    void Drain();

  private:
    std::function<void()> stop_;
    std::function<void()> resume_;
    int readFd_ = -1;
    int writeFd_ = -1;
    int received_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    SignalTarget* target_ = nullptr;
    std::string error_;
};

// Ignores SIGPIPE: a reader gone from stderr or a socket is a failed write, never the end.
void IgnoreBrokenPipes() noexcept;

// Ends the program by `sig` with its default action (a core dump where that is the default),
// as if the signal had not been caught.
[[noreturn]] void EndBySignal(int sig) noexcept;

}  // namespace telkey
