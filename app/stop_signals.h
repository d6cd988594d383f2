#pragma once
// SIGINT and SIGTERM end Telkey as closing its window does: the signal only wakes the window
// thread, which then runs `stop` (closing the main window stops the keyer timer and releases the
// key, TX and speaker outputs). A second signal while shutting down ends the program at once.
#include <QObject>
#include <functional>
#include <string>

class QSocketNotifier;

namespace telkey {

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

    // Readable when a signal has come; Drain() then acts on it. For waits outside the event
    // loop that must still hear the signals.
    int WakeFd() const { return readFd_; }
    void Drain();

  private:
    std::function<void()> stop_;
    int readFd_ = -1;
    int writeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::string error_;
};

}  // namespace telkey
