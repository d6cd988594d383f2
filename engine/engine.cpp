#include "engine/engine.h"

#include "engine/morse_tables.h"

namespace telkey {
namespace {

// FNV-1a over every word the keyer reads besides the mailbox and the paddle.
class WordPrint {
  public:
    template <typename T>
    WordPrint& operator<<(const std::atomic<T>& word) noexcept {
        print_ ^= static_cast<std::uint64_t>(word.load(std::memory_order_relaxed));
        print_ *= kPrime;
        return *this;
    }
    std::uint64_t Value() const noexcept { return print_; }

  private:
    static constexpr std::uint64_t kPrime = 0x100000001B3;
    std::uint64_t print_ = 0xCBF29CE484222325;
};

}  // namespace

void Engine::WakeKeyerOnChange() noexcept {
    WordPrint print;
    // Bound by name, so a word added to a struct without adding it here does not compile.
    const auto& [dotPort, dotXor, dotAnd, dashPort, dashXor, dashAnd, keyPortNumber, keyMask,
                 txMask, allMask, useSpeaker, speakerTone, toneDivisor, pttLine, pttRig, keyRig] =
        portSettings;
    print << dotPort << dotXor << dotAnd << dashPort << dashXor << dashAnd << keyPortNumber
          << keyMask << txMask << allMask << useSpeaker << speakerTone << toneDivisor << pttLine
          << pttRig << keyRig;
    const auto& [dotTicks, dashTicks, weightTicks, tickMs, isYamb, moxOn, txAtPaddle, paddleDelay,
                 pttLeadMs, rxAtSilence, silenceLen, pauseAtPaddle] = keyerSettings;
    print << dotTicks << dashTicks << weightTicks << tickMs << isYamb << moxOn << txAtPaddle
          << paddleDelay << pttLeadMs << rxAtSilence << silenceLen << pauseAtPaddle;
    const auto& [transmitting, paused, txHeld] = flags;
    print << transmitting << paused << txHeld;
    if (print.Value() == wordsSeen_) return;
    wordsSeen_ = print.Value();
    // A sleeping keyer writes nothing until its next event: a new key port, mask or PTT way
    // shows on the lines now.
    ports.RewriteOutputs();
    WakeKeyer();
}

Engine::Engine(PortBus& bus, TickDriver& driver) noexcept
    : ports(bus, portSettings, flags),
      keyer(ports, keyerSettings, mailbox, ring, flags, notifications),
      timer(driver, keyer, keyerSettings) {
    ports.SetWake(&keyer.WakeSignal());
    mailbox.SetWake(&keyer.WakeSignal());
}

void Engine::ResetHandover() noexcept {
    flags.Transmitting.store(0, std::memory_order_relaxed);
    flags.Paused.store(0, std::memory_order_relaxed);
    mailbox.Reset();
    ring.Reset();
    ports.ReleaseTx(Ports::kTxHanded | Ports::kTxKeying);
    WakeKeyer();
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
