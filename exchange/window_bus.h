#pragma once
// The message bus on the window thread: a participant whose socket is served by the Qt event
// loop, so that messages from other programs reach the handler between window events.
#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <string>

#include "bus/bus_participant.h"
#include "bus/message_services.h"

namespace telkey {

class WindowBus : public QObject, public MessageServices {
    Q_OBJECT

  public:
    explicit WindowBus(std::unique_ptr<BusParticipant> participant, QObject* parent = nullptr);

    std::uint32_t RegisterMessage(std::string_view name) override;
    void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) override;
    void SetHandler(Handler handler) override;
    void WatchWhileWaiting(int fd, std::function<void()> ready) override;
    void StopWaiting() override;
    std::string RegistrationProblem() const override;

    BusParticipant& Participant() { return *participant_; }

  private:
    void Serve();

    std::unique_ptr<BusParticipant> participant_;
    QSocketNotifier* notifier_ = nullptr;
};

// Joins the bus in its usual directory (TELKEY_BUS_DIR, XDG_RUNTIME_DIR, /tmp). On failure
// returns nullptr with `error` saying what failed and what the user can do. When a parent is
// given, the returned pointer must be released before the parent goes; main() passes nullptr.
std::unique_ptr<WindowBus> OpenWindowBus(QObject* parent, std::string& error);

}  // namespace telkey
