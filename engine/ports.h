#pragma once
// Paddle contacts, key and PTT lines and the PC speaker, over a PortBus.
#include <atomic>
#include <cstdint>

#include "engine/handover.h"
#include "engine/port_bus.h"
#include "engine/rig_feed.h"
#include "engine/wake_word.h"

namespace telkey {

constexpr std::uint16_t kDefaultSpeakerTone = 1000;

// Port settings, written by the window thread, read by the keyer on every tick.
struct PortSettings {
    std::atomic<std::uint16_t> DotPort{0x201};
    std::atomic<std::uint8_t> DotXorMask{0xFF};
    std::atomic<std::uint8_t> DotAndMask{0x10};
    std::atomic<std::uint16_t> DashPort{0x201};
    std::atomic<std::uint8_t> DashXorMask{0xFF};
    std::atomic<std::uint8_t> DashAndMask{0x20};
    std::atomic<std::int32_t> KeyPortNumber{0};
    std::atomic<std::uint8_t> KeyMask{0x01};
    std::atomic<std::uint8_t> TxMask{0x02};
    std::atomic<std::uint8_t> AllMask{0x00};
    std::atomic<std::int32_t> UseSpeaker{0};
    std::atomic<std::int32_t> SpeakerTone{kDefaultSpeakerTone};
    std::atomic<std::uint16_t> ToneDivisor{1193};
    // What the rig does in place of the port's lines (the Station dialog's PTT and Key):
    // the port's TX line follows transmit; the rig's PTT follows it, and text waits for the
    // rig to confirm; the rig's own keyer sends the text, so the key line stays up and the
    // paddle input is off (the paddle belongs on the rig's key jack).
    std::atomic<std::int32_t> PttLine{1};
    std::atomic<std::int32_t> PttRig{0};
    std::atomic<std::int32_t> KeyRig{0};
};

// What every release writes to the output register: AllMask without the key and TX bits, so that
// nothing a test, the operator or a logger is doing can make a release key the transmitter.
std::uint8_t ReleasedValue(const PortSettings& settings) noexcept;

// The lines the station set-up tests for a moment (bits, mapped to KeyMask and TxMask when
// written).
enum class TestLine : std::uint8_t { Key = 1, Tx = 2 };

// 1193180 Hz divided by the tone, rounded; only the low 16 bits are kept.
// A tone below 19 Hz (no usable 16-bit divisor, or a divide by zero) gives the default tone's.
std::uint16_t ToneDivisor(std::int32_t speakerTone) noexcept;

// The PC speaker sounding `divisor` (timer channel 2 and its gate), or silent when !on.
void SoundSpeaker(PortBus& bus, std::uint16_t divisor, bool on) noexcept;

class Ports {
  public:
    Ports(PortBus& bus, const PortSettings& settings, const SharedFlags& flags) noexcept;

    void InitPorts() noexcept;
    // Woken when the TX line or a test line is changed here, so that a sleeping keyer looks.
    void SetWake(WakeWord* wake) noexcept { wake_ = wake; }
    // Every change of the paddle contacts is announced by the bus (or none can come): the
    // keyer need not read them on every tick.
    bool PaddleAnnounced() const noexcept;
    std::int32_t ReadDotPaddle() noexcept;
    std::int32_t ReadDashPaddle() noexcept;
    // Why the TX line is on; it is on while any of them holds.
    enum TxReason : std::uint32_t {
        kTxSwitched = 1,  // transmit is on: SetTx, and every SetKey after Transmitting
        kTxHanded = 2,    // a character handed to the keyer while the line was on, not yet taken
        kTxKeying = 4,    // a character the keyer began with the line on, until its last key-up
    };
    // `releaseTx`: reasons that end with this key-up. The key is marked up first, so no write
    // ever shows the key down with the line they held gone.
    void SetKey(int on, std::uint32_t releaseTx = 0) noexcept;
    // Switches transmit; the key bit stays as SetKey left it, so no element is cut, and the
    // line stays on while a character keeps it.
    void SetTx(int on) noexcept;
    // Transmit off by the keyer, after it cleared Transmitting: the switch goes off unless the
    // window switched transmit on again meanwhile (false then), so the keyer never undoes it.
    bool EndTx() noexcept;
    // Adds `reason` (dropping `instead`) only while the line is on; false when it is off. It never
    // switches the line on, so it cannot bring the transmitter up under the key.
    bool KeepTx(std::uint32_t reason, std::uint32_t instead = 0) noexcept;
    // Drops `reasons`; the line goes off when none is left.
    void ReleaseTx(std::uint32_t reasons) noexcept;
    bool TxLineOn() const noexcept;
    // A TX line that switches something: a key port with a TX bit that the line drives, or the
    // rig's PTT. Only then does an element wait for the PTT lead after the line came on.
    bool TxLineWired() const noexcept;
    // SetKey(0, releaseTx) would change nothing: the key up, no such reason held, the switch as
    // Transmitting says and the speaker silent.
    bool KeyUpSettled(std::uint32_t releaseTx) const noexcept;
    // How many times the TX line has come on; the keyer counts the PTT lead from a change.
    std::uint32_t TxRises() const noexcept;
    // With the rig's PTT: the rig confirmed PTT on for rise `rise` of the TX line. Text and the
    // paddle wait for it; the PTT lead counts from it. Wakes the keyer.
    void ConfirmTx(std::uint32_t rise) noexcept;
    // The rig's link was replaced: what it confirmed no longer counts.
    void WithdrawTxConfirmation() noexcept;
    // The TX line is on and the rig confirmed it for this rise; always true without the rig.
    bool TxConfirmed() const noexcept;
    // Keyer: it took `code` from the mailbox; with the rig's keyer the rig is handed it.
    void CharacterStarted(std::uint8_t code) noexcept;
    // News for the rig bridge; every edge of the TX line wakes it.
    RigFeed& Feed() noexcept { return feed_; }

    // A test line is keyed like a key-down: written at once, and every SetKey and SetTx writes
    // it on until EndTest; every release (Hold, the guardian) drops it.
    void StartTest(TestLine line) noexcept;
    void EndTest(TestLine line) noexcept;
    void EndTests() noexcept;

    // The bus behind the ports, for the station set-up's look at the paddle contacts.
    PortBus& Bus() const noexcept { return bus_; }

    bool SpeakerSounding() const noexcept {
        return speakerSounding_.load(std::memory_order_relaxed);
    }

    // Holding the outputs while the program stops or ends on a signal: the key and TX lines
    // are released at once, a test in progress ends, and every later SetKey and SetTx writes
    // them released. Safe in a signal handler (stores and one port write; the speaker is left
    // to the next SetKey).
    void Hold() noexcept;
    // Back from a hold: the TX line follows Transmitting again at once, as a new rise (the
    // PTT lead runs again, the rig is asked again); the key line comes back with the keyer's
    // next key-down, so an element cut by the stop is not stretched.
    void Resume() noexcept;
    bool Held() const noexcept { return held_.load(std::memory_order_relaxed) != 0; }
    // The key or the TX line is on, as this program last wrote them (a test line counts). The
    // TX reasons count while held too: the rig's PTT, which a hold does not touch, stays on.
    bool LineOn() const noexcept {
        return TxLineOn() || (!Held() && (keyDown_.load(std::memory_order_relaxed) != 0 ||
                                          tests_.load(std::memory_order_relaxed) != 0));
    }
    // Someone else releases the lines and counts each release in `word` (the guardian, when
    // the keyer went silent); null: nobody. The word must outlive the ports.
    void WatchReleases(const std::atomic<std::uint32_t>* word) noexcept;
    // Releases so far, by a hold or by the watcher; a release found since the last look is
    // taken in first: the key is up from then on.
    std::uint32_t Releases() noexcept;
    // The settings changed: the lines are written as they say now, and a key port left is
    // released.
    void RewriteOutputs() noexcept { WriteOutputs(); }
    // Releases counted so far, without a look at the watcher's (for the keyer's plan).
    std::uint32_t ReleasesSeen() const noexcept { return releases_.load(); }
    // The TX line, when on, counts as coming on again now.
    void RiseAgain() noexcept;

  private:
    // What SetKey and SetTx write: AllMask, the key and TX bits asked for, the test lines.
    std::uint8_t OutputValue(bool key, bool tx) const noexcept;
    // Writes the key and TX bits, again while either changes meanwhile: the last write
    // always shows the latest state, whichever thread made it.
    void WriteOutputs() noexcept;
    // A release by the watcher not yet taken in: the key is marked up and the release counted.
    void CatchRelease() noexcept;
    // Wakes the rig bridge when the TX line went on or off.
    void NoteEdge(std::uint32_t before, std::uint32_t after) noexcept;
    void Changed() noexcept {
        if (wake_ != nullptr) wake_->Wake();
    }

    PortBus& bus_;
    WakeWord* wake_ = nullptr;
    const PortSettings& settings_;
    const SharedFlags& flags_;
    std::atomic<std::int32_t> speakerSounding_{0};
    std::atomic<std::int32_t> held_{0};
    // The key line as SetKey last set it; SetTx keeps it.
    std::atomic<std::int32_t> keyDown_{0};
    std::atomic<std::uint8_t> tests_{0};  // TestLine bits
    // The TX reasons in the low byte, the times the line came on above.
    std::atomic<std::uint32_t> tx_{0};
    std::atomic<std::uint32_t> confirmedRise_{0};
    std::atomic<std::uint32_t> releases_{0};
    std::atomic<std::int32_t> writtenPort_{0};  // the key port the outputs went to last
    const std::atomic<std::uint32_t>* watchedReleases_ = nullptr;
    std::atomic<std::uint32_t> watchedSeen_{0};
    RigFeed feed_;
};

// Key port table: start-up address and output register for KeyPortNumber 1..7 (0 = none).
std::uint16_t KeyPortStartupAddress(std::int32_t keyPortNumber) noexcept;
std::uint16_t KeyPortOutputRegister(std::int32_t keyPortNumber) noexcept;

}  // namespace telkey
