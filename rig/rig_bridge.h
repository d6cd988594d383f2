#pragma once
// The rig follows Telkey's transmit and keyer: its PTT follows the TX line (and the keyer waits
// for its confirmation), and with the rig's keyer each character the keyer starts is handed to
// the rig, its speed set on change, and its keyer stopped when sending stops or transmit goes
// off. Runs on the window thread and never waits there: requests go through the rig link, and
// their answers come back through the engine's rig feed, whose descriptor wakes the window.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "rig/rig_choice.h"
#include "rig/rig_link.h"

namespace telkey {
struct Engine;
class LineGuard;
}  // namespace telkey

namespace telkey::rig {

// The rig's keyer's text for a code the keyer takes: "" when the rig has no sign for it.
std::string RigText(std::uint8_t code);

class RigBridge {
  public:
    struct Events {
        // The rig did not confirm PTT on: transmit is to go off, nothing was keyed.
        std::function<void(const std::string& why)> pttFailed;
        // The link's state changed ("connected: ...", "rig not answering: ...").
        std::function<void(const RigStatus& status)> status;
    };

    // Applies `choice` to the engine's port settings and starts the link. The TX line's
    // confirmation is bounded by `timings.pttBound`. `guard` (if any) is handed a connection of its
    // own to rigctld at every connect, to switch PTT off should Telkey be gone.
    RigBridge(Engine& engine, const RigChoice& choice, Events events, RigTimings timings = {},
              LineGuard* guard = nullptr);
    // Ends the link (the rig's PTT off if it is on) and gives the port's lines back.
    ~RigBridge();
    RigBridge(const RigBridge&) = delete;
    RigBridge& operator=(const RigBridge&) = delete;

    // Readable when Service has work.
    int WakeupFd() const;
    // Window thread, when woken: brings the rig in line and reports what came back.
    void Service();
    // The speed in letters per minute; the rig's keyer is set to lpm / 5 words per minute.
    void SetSpeed(int lpm);

    RigLink& Link() { return *link_; }
    const RigChoice& Choice() const { return choice_; }

  private:
    struct Answers;  // written by the link's threads
    void FollowTx();
    void FeedRig();

    Engine& engine_;
    LineGuard* const guard_;
    const RigChoice choice_;
    Events events_;
    std::shared_ptr<Answers> answers_;
    std::unique_ptr<RigLink> link_;
    bool txSeen_ = false;          // the TX line at the last look
    bool pttAsked_ = false;        // the last PTT request was "on"
    std::uint32_t riseAsked_ = 0;  // the TX line's rise it was for
    std::uint32_t stopsSeen_ = 0;
    bool spaceWaiting_ = false;
    int wpm_ = 0;
};

}  // namespace telkey::rig
