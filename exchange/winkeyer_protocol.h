#pragma once
// K1EL's WinKeyer (WK2/WK3) host protocol, as loggers speak it over a serial line: bytes in,
// what they ask for out. Admin commands (0x00 and a number), immediate commands (0x01..0x17),
// buffered commands (0x18..0x1F) and text (0x20..0x7F). While the host interface is closed only
// admin commands count. Answers that need nothing but the protocol's own state (the version,
// the echo test, the settings read back) are made here; the rest is for the caller.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace telkey {

// The version byte a host open answers: WK2, release 3.
inline constexpr std::uint8_t kWinkeyerVersion = 23;
inline constexpr int kWinkeyerBufferSize = 128;
inline constexpr int kWinkeyerMinWpm = 5;
inline constexpr int kWinkeyerMaxWpm = 99;

// Status byte: 110 in the top bits, then these.
inline constexpr std::uint8_t kWinkeyerStatus = 0xC0;
inline constexpr std::uint8_t kWinkeyerStatusWait = 0x10;
inline constexpr std::uint8_t kWinkeyerStatusKeyDown = 0x08;
inline constexpr std::uint8_t kWinkeyerStatusBusy = 0x04;
inline constexpr std::uint8_t kWinkeyerStatusBreakIn = 0x02;
inline constexpr std::uint8_t kWinkeyerStatusXoff = 0x01;
// Speed pot byte: 10 in the top bits, the pot's place (0..63) below.
inline constexpr std::uint8_t kWinkeyerSpeedPot = 0x80;

// Mode register bits.
inline constexpr std::uint8_t kWinkeyerModePaddleEcho = 0x40;
inline constexpr std::uint8_t kWinkeyerModeSerialEcho = 0x04;
// Pin configuration bits.
inline constexpr std::uint8_t kWinkeyerPinPtt = 0x01;
inline constexpr std::uint8_t kWinkeyerPinKeys = 0x0C;

// The settings a logger loads as one block (load defaults) and reads back (get values).
struct WinkeyerSettings {
    std::uint8_t mode = 0;
    std::uint8_t speed = 20;
    std::uint8_t sidetone = 5;
    std::uint8_t weight = 50;
    std::uint8_t leadIn = 0;  // 10 ms units
    std::uint8_t tail = 0;    // 10 ms units
    std::uint8_t potMin = 5;  // wpm
    std::uint8_t potRange = 30;
    std::uint8_t firstExtension = 0;
    std::uint8_t keyComp = 0;
    std::uint8_t farnsworth = 0;
    std::uint8_t switchpoint = 50;
    std::uint8_t ratio = 50;  // 50: a dash of three dots
    std::uint8_t pinConfig = 0x05;
    std::array<std::uint8_t, 15> Bytes() const;
    void Load(const std::uint8_t* bytes);
};

struct WinkeyerAction {
    enum class Kind : std::uint8_t {
        Answer,    // `bytes` go back to the host now
        HostOpen,  // after the version byte in `bytes`
        HostClose,
        Reset,
        Sidetone,    // a: the sidetone code (low nibble: 4000 / n Hz)
        Speed,       // a: wpm, 0: follow the speed pot
        Weight,      // a: 10..90, 50 normal
        PttTiming,   // a: lead-in, b: tail, 10 ms units
        PotSetup,    // a: lowest wpm, b: range
        Pause,       // a: 1 paused, 0 going on
        PotRequest,  // the speed pot's place is asked for
        Backspace,   // the last character not yet keyed goes
        PinConfig,   // a: the register
        ClearBuffer,
        KeyImmediate,  // a: 1 key down, 0 up
        Mode,          // a: the mode register
        LoadDefaults,  // the block is in settings
        Ratio,         // a: 33..66, 50 = 1:3
        StatusRequest,
        Text,           // a: the character to key
        Merge,          // a, b: two letters keyed as one character
        BufferedPtt,    // a: 1 on, 0 off, at its place in the text
        BufferedKey,    // a: seconds of key-down at its place
        BufferedWait,   // a: seconds of waiting at its place
        BufferedSpeed,  // a: wpm from its place on
        CancelSpeed,    // back to the speed before the buffered change, at its place
        Ignored,        // `detail` says what
    };
    Kind kind = Kind::Ignored;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::vector<std::uint8_t> bytes;
    std::string detail;
};

class WinkeyerParser {
  public:
    // One byte from the host; what it completes is appended to `out`.
    void Feed(std::uint8_t byte, std::vector<WinkeyerAction>& out);
    // The host went away: a command cut short is dropped.
    void DropPartial();
    bool HostOpen() const { return hostOpen_; }
    const WinkeyerSettings& Settings() const { return settings_; }

  private:
    void Complete(std::vector<WinkeyerAction>& out);
    void Admin(std::vector<WinkeyerAction>& out);
    void Immediate(std::vector<WinkeyerAction>& out);
    // Parameter bytes the command in `command_` takes in all.
    int Needed() const;

    bool hostOpen_ = false;
    WinkeyerSettings settings_;
    // The command being read: its bytes so far.
    std::vector<std::uint8_t> command_;
};

}  // namespace telkey
