#pragma once
// Turning the decoded speaker into samples: time-stamped tone events handed from the keyer to a
// rendering thread without locks, and a renderer whose raised-cosine rise and fall (about 5 ms)
// keeps the sidetone free of clicks. The ramps start at the key edges, so every element keeps
// its length measured between the half-amplitude points.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "backends/devices_speaker.h"
#include "engine/keyer.h"
#include "engine/keyer_settings.h"

namespace telkey {

constexpr int kSampleRate = 48000;
constexpr double kRampMs = 5.0;
constexpr double kToneLevel = 0.5;  // of full scale, at full volume
constexpr double kFullScale = 32767.0;
constexpr double kHighestToneHz = 20000.0;  // above this the sidetone stays silent

// A clock in ns for stamping tone events: CLOCK_MONOTONIC in the program.
using ToneClock = std::function<std::int64_t()>;
// The keyer's ticks as a clock (tick count times TickMs): a test or a benchmark that drives the
// ticks by hand gets files whose timing is exact.
ToneClock KeyerTickClock(const Keyer& keyer, const KeyerSettings& settings);

// Sample index of an instant `ns` after the start, rounded.
constexpr std::int64_t SampleAt(std::int64_t ns) {
    return (ns * kSampleRate + 500'000'000) / 1'000'000'000;
}

struct ToneEvent {
    std::int64_t timeNs = 0;
    std::uint32_t divisor = 0;  // 0: silence
};

// Single producer (the thread writing the speaker ports), single consumer (the renderer).
class ToneEventQueue {
  public:
    static constexpr std::size_t kCapacity = 4096;

    // False when full (the event is lost; Overflowed() tells).
    bool Push(const ToneEvent& event) noexcept;
    bool Peek(ToneEvent& event) const noexcept;
    bool Pop(ToneEvent& event) noexcept;
    bool TakeOverflow() noexcept { return overflow_.exchange(false); }

  private:
    std::array<ToneEvent, kCapacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    std::atomic<bool> overflow_{false};
};

class ToneRenderer;

// Renders `frames` samples that begin at chunkStartNs (on the events' clock), applying every
// queued event at its own sample; events stamped before the chunk apply at its first sample.
// Returns the stamp of a tone that started in the chunk, or -1.
std::int64_t RenderChunk(ToneEventQueue& queue, ToneRenderer& renderer, std::int64_t chunkStartNs,
                         std::int16_t* out, std::size_t frames) noexcept;

class ToneRenderer {
  public:
    explicit ToneRenderer(int sampleRate = kSampleRate, double rampMs = kRampMs,
                          double level = kToneLevel) noexcept;

    // The tone from the next sample on; 0 falls to silence.
    void SetDivisor(std::uint32_t divisor) noexcept;
    void Render(std::int16_t* out, std::size_t frames) noexcept;
    // The full tone's level from the next sample on, as a fraction of full scale.
    void SetLevel(double level) noexcept { peak_ = level * kFullScale; }
    // Silent now and staying so.
    bool Quiet() const noexcept { return !on_ && envelope_ <= 0.0; }
    bool On() const noexcept { return on_; }
    // Peak sample value of the full tone, and the ramp's length in samples.
    double Peak() const noexcept { return peak_; }
    int RampSamples() const noexcept { return rampSamples_; }

  private:
    double sampleRate_;
    int rampSamples_;
    double peak_;
    bool on_ = false;
    double envelope_ = 0.0;  // position on the ramp, 0..1
    double phase_ = 0.0;     // in cycles
    double step_ = 0.0;      // cycles per sample
};

}  // namespace telkey
