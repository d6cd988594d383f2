#include "exchange/window_bus.h"

#include "bus/bus_directory.h"

namespace telkey {

WindowBus::WindowBus(std::unique_ptr<BusParticipant> participant, QObject* parent)
    : QObject(parent), participant_(std::move(participant)) {
    if (participant_->PollFd() >= 0) {
        notifier_ = new QSocketNotifier(participant_->PollFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &WindowBus::Serve);
    }
}

std::uint32_t WindowBus::RegisterMessage(std::string_view name) {
    return participant_->RegisterMessage(name);
}

void WindowBus::Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
    participant_->Broadcast(msg, wParam, lParam);
}

void WindowBus::SetHandler(Handler handler) {
    participant_->SetHandler(std::move(handler));
}

void WindowBus::WatchWhileWaiting(int fd, std::function<void()> ready) {
    participant_->WatchWhileWaiting(fd, std::move(ready));
}

void WindowBus::StopWaiting() {
    participant_->StopWaiting();
}

std::string WindowBus::RegistrationProblem() const {
    return participant_->RegistrationProblem();
}

void WindowBus::Serve() {
    participant_->ServePending();
}

std::unique_ptr<WindowBus> OpenWindowBus(QObject* parent, std::string& error) {
    try {
        return std::make_unique<WindowBus>(std::make_unique<BusParticipant>(DefaultBusDirectory()),
                                           parent);
    } catch (const BusError& failure) {
        error = failure.what();
        return nullptr;
    }
}

}  // namespace telkey
