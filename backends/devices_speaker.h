#pragma once
// The PC speaker's registers (timer channel 2 at 0x42 and 0x43, the gate at 0x61) decoded into
// "tone on at 1193180 / divisor Hz" and "tone off", for a sink that makes it heard (the sound
// card, a WAV file, the kernel's PC speaker device) or nothing.
#include <atomic>
#include <cstdint>

namespace telkey {

class LineGuard;  // engine/line_guard.h

constexpr std::uint32_t kPitClockHz = 1193180;
constexpr std::uint16_t kPitChannel2Port = 0x42;
constexpr std::uint16_t kPitControlPort = 0x43;
constexpr std::uint16_t kSpeakerGatePort = 0x61;
constexpr std::uint8_t kSpeakerGateBits = 0x03;  // timer 2 gate and speaker data enable
constexpr int kFullVolume = 100;                 // a sink's loudness, in percent

// The frequency a channel-2 divisor gives (a divisor of 0 counts 65536).
constexpr double ToneHz(std::uint32_t divisor) {
    return static_cast<double>(kPitClockHz) / static_cast<double>(divisor == 0 ? 65536 : divisor);
}

class SpeakerSink {
  public:
    virtual ~SpeakerSink() = default;
    // The tone from now on: a channel-2 divisor, 0 for silence. Called by the thread that
    // writes the speaker ports (the keyer's); never blocks, never allocates.
    virtual void Tone(std::uint32_t divisor) noexcept = 0;
    // Any thread: silent at once, until the next Tone (watchdog release, shutdown).
    virtual void Silence() noexcept = 0;
    // Crash handler: async-signal-safe calls only. Only a sink whose tone outlives the
    // program (the kernel's PC speaker) has anything to do.
    virtual void SilenceFromSignal() noexcept {}
    // Any thread: the loudness, 0 to 100 percent, for a sink that has one.
    virtual void SetVolume(int /*percent*/) noexcept {}
    // Hands a device whose tone outlives the program to the guardian.
    virtual void GuardLines(LineGuard& /*guard*/) noexcept {}
};

class SpeakerDecoder {
  public:
    // sink may be null (--speaker=none): the registers still read back.
    explicit SpeakerDecoder(SpeakerSink* sink) noexcept : sink_(sink) {}

    static bool Decodes(std::uint16_t port) noexcept {
        return port == kPitChannel2Port || port == kPitControlPort || port == kSpeakerGatePort;
    }
    std::uint8_t In(std::uint16_t port) const noexcept;
    void Out(std::uint16_t port, std::uint8_t value) noexcept;

    // The divisor now sounding, 0 when silent (any thread may look).
    std::uint32_t Sounding() const noexcept { return sounding_.load(std::memory_order_relaxed); }
    // Where the tone goes; may change while the ports are used (the old sink must live on
    // until the writer of the ports is surely done with it).
    void SetSink(SpeakerSink* sink) noexcept { sink_.store(sink); }
    // The divisor loaded into channel 2 (65536 for a count of 0), 0 while none is loaded.
    std::uint32_t Divisor() const noexcept { return divisor_; }

  private:
    void Update() noexcept;

    std::atomic<SpeakerSink*> sink_;
    std::uint8_t accessMode_ = 3;  // 1 low byte, 2 high byte, 3 low then high
    std::uint8_t counterMode_ = 3;
    bool bcd_ = false;
    bool highNext_ = false;
    std::uint8_t lowByte_ = 0;
    std::uint32_t divisor_ = 0;
    std::uint8_t gate_ = 0;  // port 0x61 as last written
    std::atomic<std::uint32_t> sounding_{0};
};

}  // namespace telkey
