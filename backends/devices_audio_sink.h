#pragma once
// --speaker=audio: the sidetone on the sound card through the sound server (PulseAudio or
// PipeWire, by libpulse). The keyer only stamps and queues each change; the audio thread renders
// the tone a fixed few ms behind real time, placing every edge at its stamped sample, so a
// sound server that is absent or stalls never delays a keyer tick, and no element is shortened.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "backends/devices_notices.h"
#include "backends/devices_speaker.h"

namespace telkey {

// True when this build can reach a sound server.
bool AudioSinkAvailable() noexcept;

struct AudioShared;

class AudioSpeakerSink final : public SpeakerSink {
  public:
    explicit AudioSpeakerSink(std::shared_ptr<DeviceNotices> notices);
    ~AudioSpeakerSink() override;
    AudioSpeakerSink(const AudioSpeakerSink&) = delete;
    AudioSpeakerSink& operator=(const AudioSpeakerSink&) = delete;

    void Tone(std::uint32_t divisor) noexcept override;
    void Silence() noexcept override;
    void SetVolume(int percent) noexcept override;

    bool Connected() const noexcept;
    // For the latency benchmark: the stamp of the latest tone start, the monotonic time at which
    // its first sample went into the stream's buffer, and the server's latency from there to
    // the loudspeaker (0 before any).
    struct Onset {
        std::int64_t keyedNs = 0;
        std::int64_t bufferedNs = 0;
        std::int64_t serverLatencyNs = 0;
    };
    Onset LastOnset() const noexcept;

  private:
    // Shared with the audio thread, which may outlive this object when the server hangs.
    std::shared_ptr<AudioShared> shared_;
    std::thread thread_;
};

}  // namespace telkey
