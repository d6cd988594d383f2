#include "backends/devices_speaker.h"

namespace telkey {

namespace {

constexpr std::uint8_t kChannelMask = 0xC0;
constexpr std::uint8_t kChannel2 = 0x80;

std::uint32_t CountValue(std::uint16_t raw, bool bcd) noexcept {
    if (bcd) {
        const std::uint32_t value =
            (raw >> 12 & 0xF) * 1000 + (raw >> 8 & 0xF) * 100 + (raw >> 4 & 0xF) * 10 + (raw & 0xF);
        return value == 0 ? 10000 : value;
    }
    return raw == 0 ? 65536 : raw;
}

}  // namespace

std::uint8_t SpeakerDecoder::In(std::uint16_t port) const noexcept {
    // The gate reads back as written; the counter is not read back.
    return port == kSpeakerGatePort ? gate_ : 0x00;
}

void SpeakerDecoder::Out(std::uint16_t port, std::uint8_t value) noexcept {
    switch (port) {
        case kPitControlPort: {
            if ((value & kChannelMask) != kChannel2) return;  // another channel, or read-back
            const std::uint8_t access = (value >> 4) & 0x03;
            if (access == 0) return;  // counter latch: the mode stays
            accessMode_ = access;
            counterMode_ = (value >> 1) & 0x07;
            bcd_ = (value & 0x01) != 0;
            highNext_ = access == 2;
            // A control word stops the counter until its new count is loaded.
            divisor_ = 0;
            break;
        }
        case kPitChannel2Port:
            if (accessMode_ == 3 && !highNext_) {
                lowByte_ = value;
                highNext_ = true;
                return;
            }
            if (accessMode_ == 1) {
                divisor_ = CountValue(value, bcd_);
            } else {
                const std::uint8_t low = accessMode_ == 3 ? lowByte_ : 0;
                divisor_ = CountValue(static_cast<std::uint16_t>(value << 8 | low), bcd_);
                highNext_ = accessMode_ == 2;
            }
            break;
        case kSpeakerGatePort:
            gate_ = value;
            break;
        default:
            return;
    }
    Update();
}

void SpeakerDecoder::Update() noexcept {
    // Modes 2 and 3 (and their aliases 6 and 7) run on; the one-shot modes only click.
    const bool periodic = (counterMode_ & 0x02) != 0;
    const bool on = (gate_ & kSpeakerGateBits) == kSpeakerGateBits && periodic && divisor_ != 0;
    const std::uint32_t wanted = on ? divisor_ : 0;
    if (wanted == sounding_.load(std::memory_order_relaxed)) return;
    sounding_.store(wanted, std::memory_order_relaxed);
    if (SpeakerSink* sink = sink_.load(); sink != nullptr) sink->Tone(wanted);
}

}  // namespace telkey
