#pragma once
// Everything the keyer side owns, put together; the window side reaches the keyer only
// through these members (mailbox, ring, flags, settings words, notifications).
#include "engine/handover.h"
#include "engine/keyer.h"
#include "engine/keyer_settings.h"
#include "engine/keyer_timer.h"
#include "engine/port_bus.h"
#include "engine/ports.h"

namespace telkey {

struct Engine {
    Engine(PortBus& bus, TickDriver& driver) noexcept;

    // The hand-over in its empty condition: Transmitting and Paused 0, mailbox and ring empty.
    void ResetHandover() noexcept;

    PortSettings portSettings;
    KeyerSettings keyerSettings;
    SharedFlags flags;
    Mailbox mailbox;
    DecodedRing ring;
    NotificationQueue notifications;
    Ports ports;
    Keyer keyer;
    KeyerTimer timer;
};

}  // namespace telkey
