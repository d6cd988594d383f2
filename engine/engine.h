#pragma once
// Everything the keyer side owns, put together; the window side reaches the keyer only
// through these members (mailbox, ring, flags, settings words, notifications).
#include <cstdint>

#include "engine/handover.h"
#include "engine/keyer.h"
#include "engine/keyer_settings.h"
#include "engine/keyer_timer.h"
#include "engine/port_bus.h"
#include "engine/ports.h"

namespace telkey {

struct Engine {
    Engine(PortBus& bus, TickDriver& driver) noexcept;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Any thread but the keyer's: a settings word or a flag has changed. The keyer sleeps
    // between its events and looks at them on its next tick only when woken.
    void WakeKeyer() noexcept { keyer.Wake(); }
    // Window thread, each time it is about to wait: wakes the keyer when a settings word or a
    // flag differs from the last look, so that no store of the window's can be missed.
    void WakeKeyerOnChange() noexcept;

    // The hand-over in its empty condition: Transmitting and Paused 0, mailbox and ring empty.
    void ResetHandover() noexcept;

    // Window thread: puts a code in the mailbox, false when it is not free. A character handed
    // over while the TX line is on keeps the line on until the keyer has keyed it, whatever
    // transmit does meanwhile.
    bool HandOver(std::uint8_t code) noexcept;
    // Window thread: takes back the code the keyer has not taken; true when there was one.
    bool WithdrawCode() noexcept;
    // Window thread: transmit off. The TX line goes off now, or with the last key-up of the
    // character on the air and the one waiting for the keyer.
    void SwitchTxOff() noexcept;
    // Window thread: stops sending at once. The code waiting is taken back and the keyer keys
    // nothing after the element on the air. True when a code was taken back.
    bool StopSending() noexcept;

    PortSettings portSettings;
    KeyerSettings keyerSettings;
    SharedFlags flags;
    Mailbox mailbox;
    DecodedRing ring;
    NotificationQueue notifications;
    Ports ports;
    Keyer keyer;
    KeyerTimer timer;

  private:
    std::uint64_t wordsSeen_ = 0;  // window thread only
};

}  // namespace telkey
