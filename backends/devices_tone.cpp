#include "backends/devices_tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "backends/devices_speaker.h"

namespace telkey {

ToneClock KeyerTickClock(const Keyer& keyer, const KeyerSettings& settings) {
    return [&keyer, &settings] {
        return static_cast<std::int64_t>(keyer.TickCount()) *
               settings.TickMs.load(std::memory_order_relaxed) * 1'000'000;
    };
}

bool ToneEventQueue::Push(const ToneEvent& event) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
        overflow_.store(true, std::memory_order_relaxed);
        return false;
    }
    slots_[tail % kCapacity] = event;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

bool ToneEventQueue::Peek(ToneEvent& event) const noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    event = slots_[head % kCapacity];
    return true;
}

bool ToneEventQueue::Pop(ToneEvent& event) noexcept {
    if (!Peek(event)) return false;
    head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
}

std::int64_t RenderChunk(ToneEventQueue& queue, ToneRenderer& renderer, std::int64_t chunkStartNs,
                         std::int16_t* out, std::size_t frames) noexcept {
    std::int64_t onset = -1;
    std::size_t done = 0;
    ToneEvent next;
    while (done < frames) {
        std::size_t until = frames;
        if (queue.Peek(next)) {
            const std::int64_t at = SampleAt(next.timeNs - chunkStartNs);
            if (at <= static_cast<std::int64_t>(done)) {
                queue.Pop(next);
                const bool wasOn = renderer.On();
                renderer.SetDivisor(next.divisor);
                if (!wasOn && renderer.On()) onset = next.timeNs;
                continue;
            }
            until = static_cast<std::size_t>(
                std::min<std::int64_t>(at, static_cast<std::int64_t>(frames)));
        }
        renderer.Render(out + done, until - done);
        done = until;
    }
    return onset;
}

ToneRenderer::ToneRenderer(int sampleRate, double rampMs, double level) noexcept
    : sampleRate_(sampleRate),
      rampSamples_(std::max(1, static_cast<int>(std::lround(rampMs * sampleRate / 1000.0)))),
      peak_(level * kFullScale) {}

void ToneRenderer::SetDivisor(std::uint32_t divisor) noexcept {
    const double hz = divisor == 0 ? 0.0 : ToneHz(divisor);
    if (hz <= 0.0 || hz > kHighestToneHz) {
        on_ = false;
        return;
    }
    // A tone that starts from silence starts at a zero crossing.
    if (envelope_ <= 0.0) phase_ = 0.0;
    step_ = hz / sampleRate_;
    on_ = true;
}

void ToneRenderer::Render(std::int16_t* out, std::size_t frames) noexcept {
    const double rampStep = 1.0 / rampSamples_;
    for (std::size_t i = 0; i < frames; ++i) {
        if (on_) {
            envelope_ = std::min(1.0, envelope_ + rampStep);
        } else if (envelope_ > 0.0) {
            envelope_ = std::max(0.0, envelope_ - rampStep);
        }
        if (envelope_ <= 0.0) {
            out[i] = 0;
            continue;
        }
        const double gain = 0.5 - 0.5 * std::cos(std::numbers::pi * envelope_);
        out[i] = static_cast<std::int16_t>(
            std::lround(peak_ * gain * std::sin(2.0 * std::numbers::pi * phase_)));
        phase_ += step_;
        if (phase_ >= 1.0) phase_ -= 1.0;
    }
}

}  // namespace telkey
