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

// A word added to these must be added to the print below.
static_assert(sizeof(KeyerSettings) == 12 * sizeof(std::atomic<std::int32_t>));
static_assert(sizeof(SharedFlags) == 3 * sizeof(std::atomic<std::int32_t>));

void Engine::WakeKeyerOnChange() noexcept {
    WordPrint print;
    const PortSettings& p = portSettings;
    print << p.DotPort << p.DotXorMask << p.DotAndMask << p.DashPort << p.DashXorMask
          << p.DashAndMask << p.KeyPortNumber << p.KeyMask << p.TxMask << p.AllMask << p.UseSpeaker
          << p.SpeakerTone << p.ToneDivisor;
    const KeyerSettings& k = keyerSettings;
    print << k.DotTicks << k.DashTicks << k.WeightTicks << k.TickMs << k.IsYamb << k.MoxOn
          << k.TxAtPaddle << k.PaddleDelay << k.PttLeadMs << k.RxAtSilence << k.SilenceLen
          << k.PauseAtPaddle;
    print << flags.Transmitting << flags.Paused << flags.TxHeld;
    if (print.Value() == wordsSeen_) return;
    wordsSeen_ = print.Value();
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
