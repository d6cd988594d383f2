#include "engine/engine.h"

#include "engine/morse_tables.h"

namespace telkey {

Engine::Engine(PortBus& bus, TickDriver& driver) noexcept
    : ports(bus, portSettings, flags),
      keyer(ports, keyerSettings, mailbox, ring, flags, notifications),
      timer(driver, keyer, keyerSettings) {}

void Engine::ResetHandover() noexcept {
    flags.Transmitting.store(0, std::memory_order_relaxed);
    flags.Paused.store(0, std::memory_order_relaxed);
    mailbox.Reset();
    ring.Reset();
    ports.ReleaseTx(Ports::kTxHanded | Ports::kTxKeying);
}

bool Engine::HandOver(std::uint8_t code) noexcept {
    // Only the window thread fills, so a free slot stays free until the Fill below: the hold
    // never outlives a code that was not handed over.
    if (!mailbox.Fillable()) return false;
    if (KeysElements(code)) ports.KeepTx(Ports::kTxHanded);
    return mailbox.Fill(code);
}

bool Engine::WithdrawCode() noexcept {
    if (!mailbox.Withdraw()) return false;
    ports.ReleaseTx(Ports::kTxHanded);
    return true;
}

void Engine::SwitchTxOff() noexcept {
    // A hand-over hold stands only for a code still waiting: the hold of one taken back
    // through the mailbox alone goes now, not at the keyer's next look.
    if (mailbox.NextCodeEmpty()) ports.ReleaseTx(Ports::kTxHanded);
    ports.SetTx(0);
}

bool Engine::StopSending() noexcept {
    // Withdrawn first: the keyer cannot take the code after the stop and key it whole.
    const bool withdrawn = WithdrawCode();
    keyer.StopSending();
    ports.Feed().Stop();
    return withdrawn;
}

}  // namespace telkey
