#pragma once
// Registered messages and synchronous broadcast, as the window side uses them. The message bus
// provides them between programs; tests substitute a recorder.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace telkey {

class MessageServices {
  public:
    using Handler =
        std::function<std::int32_t(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam)>;
    virtual ~MessageServices() = default;
    // The same name gives the same identifier (0xC000 upward) to every program; case-insensitive.
    virtual std::uint32_t RegisterMessage(std::string_view name) = 0;
    // Delivers to every participant, this program's own handler included, and returns when all
    // have answered (or been skipped).
    virtual void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) = 0;
    // This program's own handler (the main window's hook); also serves frames from peers.
    virtual void SetHandler(Handler handler) = 0;

    // Work of this thread that must go on while a broadcast waits for answers (the keyer's
    // hand-over, a request to end): `ready` runs whenever `fd` is readable then, and may itself
    // broadcast. An empty `ready` removes the watch.
    virtual void WatchWhileWaiting(int /*fd*/, std::function<void()> /*ready*/) {}
    // Ends the wait of a broadcast under way; later broadcasts do not wait: the program ends.
    virtual void StopWaiting() {}
    // Why the last registration gave 0, and how to repair it; empty when nothing failed.
    virtual std::string RegistrationProblem() const { return {}; }
};

}  // namespace telkey
