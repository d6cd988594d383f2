#include "engine/ports.h"

#include <array>
#include <utility>

namespace telkey {
namespace {

constexpr std::uint32_t kPitClockHz = 1193180;
// Below this tone the divisor no longer fits in 16 bits.
constexpr std::int32_t kLowestTone = 19;

// PC speaker: channel 2 of the interval timer and its gate in the system control port.
constexpr std::uint16_t kPitControlPort = 0x43;
constexpr std::uint16_t kPitChannel2Port = 0x42;
constexpr std::uint16_t kSpeakerGatePort = 0x61;
constexpr std::uint8_t kChannel2SquareWave = 0xB6;  // channel 2, low then high byte, mode 3
constexpr std::uint8_t kSpeakerOnBits = 0x03;       // gate and speaker data
constexpr std::uint8_t kSpeakerOffMask = 0xFC;

struct KeyPort {
    std::uint16_t startup;
    std::uint16_t output;
};

constexpr int kLastSerialPort = 4;
constexpr int kLastKeyPort = 7;

// Indexed by KeyPortNumber; 0 is no key port.
constexpr std::array<KeyPort, kLastKeyPort + 1> kKeyPorts = {{
    {0, 0},
    {0x3F8, 0x3FC},  // COM1: receive buffer, modem control register
    {0x2F8, 0x2FC},  // COM2
    {0x3E8, 0x3EC},  // COM3
    {0x2E8, 0x2EC},  // COM4
    {0x378, 0x378},  // LPT1: data register
    {0x278, 0x278},  // LPT2
    {0x3BC, 0x3BC},  // LPT3
}};

bool HasKeyPort(std::int32_t keyPortNumber) noexcept {
    return keyPortNumber >= 1 && keyPortNumber <= kLastKeyPort;
}

// The TX word: reasons in the low byte, the times the line came on above them.
constexpr std::uint32_t kTxReasonBits = 0xFF;
constexpr int kTxRiseShift = 8;

// Changes the TX reasons by `change` (reasons in, reasons out) in one exchange, counting a rise
// when the line comes on. Returns the reasons before and after.
template <typename Change>
std::pair<std::uint32_t, std::uint32_t> ChangeTx(std::atomic<std::uint32_t>& word,
                                                 Change change) noexcept {
    std::uint32_t was = word.load();
    for (;;) {
        const std::uint32_t reasons = change(was & kTxReasonBits) & kTxReasonBits;
        std::uint32_t next = (was & ~kTxReasonBits) | reasons;
        if ((was & kTxReasonBits) == 0 && reasons != 0) next += 1U << kTxRiseShift;
        if (next == was || word.compare_exchange_weak(was, next)) {
            return {was & kTxReasonBits, reasons};
        }
    }
}

}  // namespace

std::uint16_t ToneDivisor(std::int32_t speakerTone) noexcept {
    if (speakerTone < kLowestTone) speakerTone = kDefaultSpeakerTone;
    const auto tone = static_cast<std::uint32_t>(speakerTone);
    return static_cast<std::uint16_t>((tone / 2 + kPitClockHz) / tone);
}

std::uint16_t KeyPortStartupAddress(std::int32_t keyPortNumber) noexcept {
    return HasKeyPort(keyPortNumber) ? kKeyPorts[keyPortNumber].startup : 0;
}

std::uint16_t KeyPortOutputRegister(std::int32_t keyPortNumber) noexcept {
    return HasKeyPort(keyPortNumber) ? kKeyPorts[keyPortNumber].output : 0;
}

std::uint8_t ReleasedValue(const PortSettings& settings) noexcept {
    const auto keyed = static_cast<std::uint8_t>(settings.KeyMask.load(std::memory_order_relaxed) |
                                                 settings.TxMask.load(std::memory_order_relaxed));
    return static_cast<std::uint8_t>(settings.AllMask.load(std::memory_order_relaxed) & ~keyed);
}

Ports::Ports(PortBus& bus, const PortSettings& settings, const SharedFlags& flags) noexcept
    : bus_(bus), settings_(settings), flags_(flags) {}

void Ports::InitPorts() noexcept {
    const std::int32_t number = settings_.KeyPortNumber.load(std::memory_order_relaxed);
    if (!HasKeyPort(number)) return;
    if (number <= kLastSerialPort) {
        (void)bus_.in(KeyPortStartupAddress(number));  // clears a pending receive byte
    } else {
        bus_.out(KeyPortStartupAddress(number), settings_.AllMask.load(std::memory_order_relaxed));
    }
}

bool Ports::PaddleAnnounced() const noexcept {
    const std::uint16_t dot = settings_.DotPort.load(std::memory_order_relaxed);
    const std::uint16_t dash = settings_.DashPort.load(std::memory_order_relaxed);
    return (dot == 0 || bus_.InputAnnounced(dot)) && (dash == 0 || bus_.InputAnnounced(dash));
}

std::int32_t Ports::ReadDotPaddle() noexcept {
    if (settings_.KeyRig.load(std::memory_order_relaxed) != 0) return 0;
    const std::uint16_t port = settings_.DotPort.load(std::memory_order_relaxed);
    if (port == 0) return 0;
    const std::uint8_t byte = bus_.in(port) ^ settings_.DotXorMask.load(std::memory_order_relaxed);
    return (byte & settings_.DotAndMask.load(std::memory_order_relaxed)) != 0 ? 1 : 0;
}

std::int32_t Ports::ReadDashPaddle() noexcept {
    if (settings_.KeyRig.load(std::memory_order_relaxed) != 0) return 0;
    const std::uint16_t port = settings_.DashPort.load(std::memory_order_relaxed);
    if (port == 0) return 0;
    const std::uint8_t byte = bus_.in(port) ^ settings_.DashXorMask.load(std::memory_order_relaxed);
    return (byte & settings_.DashAndMask.load(std::memory_order_relaxed)) != 0 ? 1 : 0;
}

void SoundSpeaker(PortBus& bus, std::uint16_t divisor, bool on) noexcept {
    if (!on) {
        bus.out(kSpeakerGatePort, bus.in(kSpeakerGatePort)&kSpeakerOffMask);
        return;
    }
    bus.out(kPitControlPort, kChannel2SquareWave);
    bus.out(kPitChannel2Port, static_cast<std::uint8_t>(divisor & 0xFF));
    bus.out(kPitChannel2Port, static_cast<std::uint8_t>(divisor >> 8));
    bus.out(kSpeakerGatePort, bus.in(kSpeakerGatePort) | kSpeakerOnBits);
}

std::uint8_t Ports::OutputValue(bool key, bool tx) const noexcept {
    if (held_.load(std::memory_order_relaxed) != 0) return ReleasedValue(settings_);
    std::uint8_t value = settings_.AllMask.load(std::memory_order_relaxed);
    const std::uint8_t tests = tests_.load(std::memory_order_relaxed);
    key = key && settings_.KeyRig.load(std::memory_order_relaxed) == 0;
    tx = tx && settings_.PttLine.load(std::memory_order_relaxed) != 0;
    if (key || (tests & static_cast<std::uint8_t>(TestLine::Key)) != 0) {
        value |= settings_.KeyMask.load(std::memory_order_relaxed);
    }
    if (tx || (tests & static_cast<std::uint8_t>(TestLine::Tx)) != 0) {
        value |= settings_.TxMask.load(std::memory_order_relaxed);
    }
    return value;
}

void Ports::SetKey(int on, std::uint32_t releaseTx) noexcept {
    if (held_.load(std::memory_order_relaxed) != 0) on = 0;
    // Before the write: a SetTx on the window thread that wrote in between sees the change
    // and writes again.
    keyDown_.store(on != 0 ? 1 : 0);
    // The switch follows Transmitting. Transmitting is read after the word, and the window
    // thread sets it before it switches: a stale read fails the exchange and is read again.
    const auto [before, after] = ChangeTx(tx_, [&](std::uint32_t reasons) {
        reasons &= ~(releaseTx | kTxSwitched);
        if (flags_.Transmitting.load() != 0) reasons |= kTxSwitched;
        return reasons;
    });
    WriteOutputs();
    NoteEdge(before, after);
    if (on != 0) {
        if (settings_.UseSpeaker.load(std::memory_order_relaxed) == 0) return;
        // The timer is reprogrammed on every key-down, so a new tone applies at the next element.
        SoundSpeaker(bus_, settings_.ToneDivisor.load(std::memory_order_relaxed), true);
        speakerSounding_.store(1, std::memory_order_relaxed);
    } else if (speakerSounding_.load(std::memory_order_relaxed) != 0) {
        // Silenced whatever UseSpeaker says now, so a tone never sticks.
        SoundSpeaker(bus_, 0, false);
        speakerSounding_.store(0, std::memory_order_relaxed);
    }
}

void Ports::SetTx(int on) noexcept {
    const auto [before, after] = ChangeTx(tx_, [on](std::uint32_t reasons) {
        return on != 0 ? reasons | kTxSwitched : reasons & ~kTxSwitched;
    });
    WriteOutputs();
    Changed();
    NoteEdge(before, after);
}

bool Ports::EndTx() noexcept {
    bool ended = true;
    const auto [before, after] = ChangeTx(tx_, [&](std::uint32_t reasons) {
        // Read inside the exchange: the window sets Transmitting before it switches.
        ended = flags_.Transmitting.load() == 0;
        return ended ? reasons & ~kTxSwitched : reasons;
    });
    WriteOutputs();
    Changed();
    NoteEdge(before, after);
    return ended;
}

bool Ports::KeepTx(std::uint32_t reason, std::uint32_t instead) noexcept {
    bool kept = false;
    ChangeTx(tx_, [&](std::uint32_t reasons) {
        kept = reasons != 0;
        return kept ? (reasons & ~instead) | reason : reasons;
    });
    return kept;
}

void Ports::ReleaseTx(std::uint32_t reasons) noexcept {
    const auto [before, after] =
        ChangeTx(tx_, [reasons](std::uint32_t now) { return now & ~reasons; });
    if (before != 0 && after == 0) WriteOutputs();
    NoteEdge(before, after);
}

bool Ports::TxLineOn() const noexcept {
    return (tx_.load() & kTxReasonBits) != 0;
}

bool Ports::TxLineWired() const noexcept {
    if (settings_.PttRig.load(std::memory_order_relaxed) != 0) return true;
    return HasKeyPort(settings_.KeyPortNumber.load(std::memory_order_relaxed)) &&
           settings_.TxMask.load(std::memory_order_relaxed) != 0 &&
           settings_.PttLine.load(std::memory_order_relaxed) != 0;
}

bool Ports::KeyUpSettled(std::uint32_t releaseTx) const noexcept {
    const std::uint32_t reasons = tx_.load() & kTxReasonBits;
    const bool switched = (reasons & kTxSwitched) != 0;
    return keyDown_.load() == 0 && (reasons & releaseTx) == 0 &&
           switched == (flags_.Transmitting.load() != 0) &&
           speakerSounding_.load(std::memory_order_relaxed) == 0;
}

std::uint32_t Ports::TxRises() const noexcept {
    return tx_.load() >> kTxRiseShift;
}

void Ports::ConfirmTx(std::uint32_t rise) noexcept {
    confirmedRise_.store(rise);
    Changed();
}

void Ports::WithdrawTxConfirmation() noexcept {
    confirmedRise_.store(TxRises() - 1);
    Changed();
}

bool Ports::TxConfirmed() const noexcept {
    if (settings_.PttRig.load(std::memory_order_relaxed) == 0) return true;
    const std::uint32_t tx = tx_.load();
    return (tx & kTxReasonBits) != 0 && confirmedRise_.load() == tx >> kTxRiseShift;
}

void Ports::CharacterStarted(std::uint8_t code) noexcept {
    if (settings_.KeyRig.load(std::memory_order_relaxed) != 0) feed_.Started(code);
}

void Ports::NoteEdge(std::uint32_t before, std::uint32_t after) noexcept {
    if ((before == 0) != (after == 0)) feed_.Wake();
}

void Ports::WriteOutputs() noexcept {
    CatchRelease();  // a key-down from before the release is not written again
    const std::int32_t number = settings_.KeyPortNumber.load(std::memory_order_relaxed);
    if (const std::int32_t was = writtenPort_.exchange(number); was != number && HasKeyPort(was)) {
        bus_.out(KeyPortOutputRegister(was), ReleasedValue(settings_));
    }
    if (!HasKeyPort(number)) return;
    // Held (the program is stopping or stopped): both lines released. The line is read before
    // the key: a key-up marks the key up before it lets the line go, so no write can show the
    // key down with the line it held gone.
    // The whole value is compared again after the write: a hold or a test that changed it
    // meanwhile gets a write of its own, so a stale value never stays on the line.
    const bool txFirst = TxLineOn();
    std::uint8_t value = OutputValue(keyDown_.load() != 0, txFirst);
    for (;;) {
        bus_.out(KeyPortOutputRegister(number), value);
        const bool tx = TxLineOn();
        const std::uint8_t now = OutputValue(keyDown_.load() != 0, tx);
        if (now == value) return;
        value = now;
    }
}

// Written at once: an idle keyer asleep has no tick that would write it.
void Ports::StartTest(TestLine line) noexcept {
    tests_.fetch_or(static_cast<std::uint8_t>(line));
    WriteOutputs();
    Changed();
}

void Ports::EndTest(TestLine line) noexcept {
    tests_.fetch_and(static_cast<std::uint8_t>(~static_cast<std::uint8_t>(line)));
    WriteOutputs();
    Changed();
}

void Ports::EndTests() noexcept {
    tests_.store(0);
    WriteOutputs();
    Changed();
}

void Ports::WatchReleases(const std::atomic<std::uint32_t>* word) noexcept {
    if (word != nullptr) watchedSeen_.store(word->load());
    watchedReleases_ = word;
}

void Ports::CatchRelease() noexcept {
    if (watchedReleases_ == nullptr) return;
    const std::uint32_t now = watchedReleases_->load();
    if (watchedSeen_.load(std::memory_order_relaxed) == now) return;
    if (watchedSeen_.exchange(now) == now) return;  // another thread took it in
    keyDown_.store(0);
    releases_.fetch_add(1);
}

std::uint32_t Ports::Releases() noexcept {
    CatchRelease();
    return releases_.load();
}

void Ports::RiseAgain() noexcept {
    std::uint32_t was = tx_.load();
    while ((was & kTxReasonBits) != 0 &&
           !tx_.compare_exchange_weak(was, was + (1U << kTxRiseShift))) {
    }
    if ((was & kTxReasonBits) == 0) return;
    Changed();
    feed_.Wake();
}

void Ports::Hold() noexcept {
    held_.store(1, std::memory_order_relaxed);
    releases_.fetch_add(1);
    // A test is cut like the element in progress: it does not come back after Resume.
    tests_.store(0);
    // The element in progress is dropped: after Resume the key stays up until the next one.
    keyDown_.store(0);
    WriteOutputs();
}

void Ports::Resume() noexcept {
    // A test started as the stop came (the window thread ran on for a moment) is cut too.
    tests_.store(0);
    if (watchedReleases_ != nullptr) watchedSeen_.store(watchedReleases_->load());
    held_.store(0, std::memory_order_relaxed);
    RiseAgain();
    SetTx(flags_.Transmitting.load(std::memory_order_relaxed));
}

}  // namespace telkey
