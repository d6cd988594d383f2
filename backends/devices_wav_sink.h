#pragma once
// --speaker=wav:FILE: the sidetone written to a WAV file (16-bit mono, 48 kHz) with its silences
// in place, so the keying can be checked by ear or by a decoder. A silence longer than
// kKeptSilenceSamples is cut to that length: a Telkey left running does not fill the disk, and
// the file goes on with the next tone. The header tells the length written so far, so a player
// opens the file while it grows. The keyer only stamps and
// queues each change; a writer thread renders and writes. Sample positions come from the stamps,
// so the file's timing is that of the clock given (the real timer, or the keyer's ticks).
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backends/devices_speaker.h"
#include "backends/devices_stopper.h"
#include "backends/devices_tone.h"

namespace telkey {

class WavSpeakerSink final : public SpeakerSink {
  public:
    static constexpr std::int64_t kKeptSilenceSamples = std::int64_t{kSampleRate} * 3;

    // Creates the file; null with `error` set when it cannot be written.
    static std::unique_ptr<WavSpeakerSink> Create(const std::string& path, ToneClock clock,
                                                  std::string& error);
    ~WavSpeakerSink() override;

    void Tone(std::uint32_t divisor) noexcept override;
    void Silence() noexcept override;

    // Renders up to the clock's now (and the fall of a tone still sounding), completes the
    // header and closes the file. "" when all went to disk, else what failed. Once only; the
    // destructor does it when nobody did.
    std::string Finish();

    // For the latency benchmark: the stamp of the latest tone start and the monotonic time at
    // which the writer put its first sample into the buffer (0, 0 before any).
    struct Onset {
        std::int64_t keyedNs = 0;
        std::int64_t bufferedNs = 0;
    };
    Onset LastOnset() const noexcept;

  private:
    WavSpeakerSink(std::FILE* file, std::string path, ToneClock clock);
    void Run();
    void Drain();
    void Catchup();
    void RenderTo(std::int64_t sample);
    void WriteBuffer();
    void Apply(const ToneEvent& event);

    std::FILE* file_;
    const std::string path_;
    const ToneClock clock_;
    const std::int64_t startNs_;
    ToneEventQueue queue_;
    std::atomic<bool> silence_{false};
    // Writer thread only (and Finish after it stopped):
    ToneRenderer renderer_;
    std::int64_t written_ = 0;   // samples in the file
    std::int64_t skipped_ = 0;   // samples of long silences left out
    std::int64_t quietRun_ = 0;  // silent samples rendered since the last tone
    // The sample the next one rendered stands for.
    std::int64_t Position() const {
        return written_ + static_cast<std::int64_t>(buffer_.size()) + skipped_;
    }
    std::vector<std::int16_t> buffer_;
    bool failed_ = false;
    bool finished_ = false;
    std::int64_t pendingOnsetNs_ = -1;
    std::atomic<std::int64_t> onsetKeyedNs_{0};
    std::atomic<std::int64_t> onsetBufferedNs_{0};
    Stopper stopper_;
    std::thread writer_;
};

}  // namespace telkey
