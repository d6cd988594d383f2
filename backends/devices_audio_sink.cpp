#include "backends/devices_audio_sink.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

#include "backends/devices_stopper.h"
#include "backends/devices_tone.h"

#ifdef TELKEY_HAVE_PULSE
#include <pulse/error.h>
#include <pulse/simple.h>
#endif

namespace telkey {

struct AudioShared {
    explicit AudioShared(std::shared_ptr<DeviceNotices> n) : notices(std::move(n)) {}
    std::shared_ptr<DeviceNotices> notices;
    ToneEventQueue queue;
    std::atomic<bool> silence{false};
    std::atomic<int> volumePercent{kFullVolume};
    Stopper stopper;
    std::atomic<bool> done{false};
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> onsetKeyedNs{0};
    std::atomic<std::int64_t> onsetBufferedNs{0};
    std::atomic<std::int64_t> serverLatencyNs{0};
};

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kChunkNs = 2 * kMs;  // rendered and written at a time
constexpr std::size_t kChunkFrames = kSampleRate * kChunkNs / 1'000'000'000;
// How far behind real time the audio is rendered: every change stamped before the chunk's end
// is in the queue by then.
constexpr std::int64_t kLagNs = 2 * kMs;
constexpr std::int64_t kPrebufNs = 10 * kMs;  // what the server holds before it plays
constexpr std::int64_t kMaxBufferNs = 40 * kMs;
constexpr std::int64_t kBalancePeriodNs = 500 * kMs;
constexpr std::int64_t kResyncNs = 20 * kMs;
constexpr std::int64_t kRetryNs = 3000 * kMs;
constexpr std::int64_t kJoinWaitNs = 1000 * kMs;

#ifdef TELKEY_HAVE_PULSE

std::uint32_t Bytes(std::int64_t ns) {
    return static_cast<std::uint32_t>(SampleAt(ns) *
                                      static_cast<std::int64_t>(sizeof(std::int16_t)));
}

// Plays until the stream fails or the sink stops. False when the stream failed.
bool Play(pa_simple* pa, AudioShared& s, ToneRenderer& renderer) {
    std::array<std::int16_t, kChunkFrames> chunk{};
    std::int64_t renderNs = MonotonicNs() - kChunkNs;  // time of the chunk's first sample
    std::int64_t nextBalanceNs = MonotonicNs() + kBalancePeriodNs;
    std::int64_t pendingOnset = -1;
    for (;;) {
        const std::int64_t due = renderNs + kChunkNs + kLagNs;
        std::int64_t now = MonotonicNs();
        if (due > now && !s.stopper.Sleep(due - now)) return true;
        if (!s.stopper.Running()) return true;
        now = MonotonicNs();
        if (now - due > kResyncNs) {
            // Fell behind (a long preemption, or a server that held a write): a late sidetone
            // is worse than a shortened one, so go on from now; the changes stamped before it
            // apply at once, ramped as always.
            renderNs = now - kChunkNs - kLagNs;
        }
        if (s.silence.exchange(false)) renderer.SetDivisor(0);
        renderer.SetLevel(kToneLevel * s.volumePercent.load() / kFullVolume);
        const std::int64_t onset =
            RenderChunk(s.queue, renderer, renderNs, chunk.data(), chunk.size());
        if (onset >= 0) pendingOnset = onset;
        int error = 0;
        if (pa_simple_write(pa, chunk.data(), sizeof chunk, &error) < 0) {
            s.notices->Post(std::string("Sidetone: the sound server failed (") +
                            pa_strerror(error) + "); trying again.");
            return false;
        }
        if (pendingOnset >= 0) {
            s.onsetKeyedNs.store(pendingOnset);
            s.onsetBufferedNs.store(MonotonicNs());
            pendingOnset = -1;
        }
        renderNs += kChunkNs;
        if (now >= nextBalanceNs) {
            nextBalanceNs = now + kBalancePeriodNs;
            const pa_usec_t latency = pa_simple_get_latency(pa, &error);
            if (latency != static_cast<pa_usec_t>(-1)) {
                const auto latencyNs = static_cast<std::int64_t>(latency) * 1000;
                s.serverLatencyNs.store(latencyNs);
                // The sound card's clock is not ours: in silence, drop or add a chunk to keep
                // the buffer near its aim.
                if (renderer.Quiet() && latencyNs > kPrebufNs + 3 * kChunkNs) renderNs += kChunkNs;
                if (renderer.Quiet() && latencyNs < kPrebufNs / 2) renderNs -= kChunkNs;
            }
        }
    }
}

void RunAudio(const std::shared_ptr<AudioShared>& s) {
    ToneRenderer renderer;
    bool complained = false;
    while (s->stopper.Running()) {
        const pa_sample_spec format{PA_SAMPLE_S16LE, kSampleRate, 1};
        const pa_buffer_attr attr{Bytes(kMaxBufferNs), Bytes(kMaxBufferNs), Bytes(kPrebufNs),
                                  Bytes(kChunkNs), static_cast<std::uint32_t>(-1)};
        int error = 0;
        pa_simple* pa = pa_simple_new(nullptr, "Telkey", PA_STREAM_PLAYBACK, nullptr, "Sidetone",
                                      &format, nullptr, &attr, &error);
        if (pa == nullptr) {
            if (!complained) {
                s->notices->Post(std::string("Sidetone: no sound server (") + pa_strerror(error) +
                                 "); the sidetone is silent until one runs (or use "
                                 "--speaker=pcspkr).");
                complained = true;
            }
            if (!s->stopper.Sleep(kRetryNs)) break;
            continue;
        }
        if (complained) s->notices->Post("Sidetone: the sound server is there now.");
        complained = false;
        s->connected.store(true);
        const bool stopped = Play(pa, *s, renderer);
        s->connected.store(false);
        pa_simple_free(pa);
        if (stopped) break;
        if (!s->stopper.Sleep(kRetryNs)) break;
    }
    s->done.store(true);
}

#endif

}  // namespace

bool AudioSinkAvailable() noexcept {
#ifdef TELKEY_HAVE_PULSE
    return true;
#else
    return false;
#endif
}

AudioSpeakerSink::AudioSpeakerSink(std::shared_ptr<DeviceNotices> notices)
    : shared_(std::make_shared<AudioShared>(std::move(notices))) {
#ifdef TELKEY_HAVE_PULSE
    thread_ = std::thread([s = shared_] { RunAudio(s); });
#else
    shared_->done.store(true);
#endif
}

AudioSpeakerSink::~AudioSpeakerSink() {
    shared_->stopper.Stop();
    if (!thread_.joinable()) return;
    // A hung sound server may hold the thread in a call that never returns: let it go then
    // (it owns what it uses) rather than hang the program's end.
    const std::int64_t until = MonotonicNs() + kJoinWaitNs;
    while (!shared_->done.load() && MonotonicNs() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (shared_->done.load()) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void AudioSpeakerSink::Tone(std::uint32_t divisor) noexcept {
    shared_->queue.Push(ToneEvent{MonotonicNs(), divisor});
}

void AudioSpeakerSink::Silence() noexcept {
    shared_->silence.store(true);
}

void AudioSpeakerSink::SetVolume(int percent) noexcept {
    shared_->volumePercent.store(std::clamp(percent, 0, kFullVolume));
}

bool AudioSpeakerSink::Connected() const noexcept {
    return shared_->connected.load();
}

AudioSpeakerSink::Onset AudioSpeakerSink::LastOnset() const noexcept {
    return {shared_->onsetKeyedNs.load(), shared_->onsetBufferedNs.load(),
            shared_->serverLatencyNs.load()};
}

}  // namespace telkey
