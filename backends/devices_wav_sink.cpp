#include "backends/devices_wav_sink.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace telkey {

namespace {

constexpr std::int64_t kWriterPeriodNs = 10'000'000;
constexpr std::int64_t kRenderLagNs = 5'000'000;
constexpr std::size_t kChunkSamples = 4096;
constexpr int kBytesPerSample = 2;
constexpr std::size_t kRiffSizeOffset = 4;
constexpr std::size_t kDataSizeOffset = 40;
constexpr std::uint32_t kHeaderRest = 36;  // RIFF size = data bytes + 36

constexpr std::size_t kHeaderBytes = 44;
using WavHeader = std::array<unsigned char, kHeaderBytes>;

void PutLe(WavHeader& h, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        h[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void PutTag(WavHeader& h, std::size_t at, const char (&tag)[5]) {
    for (std::size_t i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(tag[i]);
}

// RIFF header of 16-bit mono PCM at kSampleRate; the sizes are patched at the end.
WavHeader Header(std::uint32_t dataBytes) {
    WavHeader h{};
    PutTag(h, 0, "RIFF");
    PutLe(h, kRiffSizeOffset, dataBytes + kHeaderRest, 4);
    PutTag(h, 8, "WAVE");
    PutTag(h, 12, "fmt ");
    PutLe(h, 16, 16, 4);  // fmt chunk size
    PutLe(h, 20, 1, 2);   // PCM
    PutLe(h, 22, 1, 2);   // mono
    PutLe(h, 24, kSampleRate, 4);
    PutLe(h, 28, kSampleRate * kBytesPerSample, 4);
    PutLe(h, 32, kBytesPerSample, 2);
    PutLe(h, 34, 16, 2);  // bits per sample
    PutTag(h, 36, "data");
    PutLe(h, kDataSizeOffset, dataBytes, 4);
    return h;
}

}  // namespace

std::unique_ptr<WavSpeakerSink> WavSpeakerSink::Create(const std::string& path, ToneClock clock,
                                                       std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const auto header = Header(0);
    if (file == nullptr || std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
        error = "Cannot write the sidetone file " + path + ": " + std::strerror(errno) + ".";
        if (file != nullptr) std::fclose(file);
        return nullptr;
    }
    return std::unique_ptr<WavSpeakerSink>(new WavSpeakerSink(file, path, std::move(clock)));
}

WavSpeakerSink::WavSpeakerSink(std::FILE* file, std::string path, ToneClock clock)
    : file_(file), path_(std::move(path)), clock_(std::move(clock)), startNs_(clock_()) {
    buffer_.reserve(kChunkSamples);
    writer_ = std::thread([this] { Run(); });
}

WavSpeakerSink::~WavSpeakerSink() {
    Finish();
}

void WavSpeakerSink::Tone(std::uint32_t divisor) noexcept {
    queue_.Push(ToneEvent{clock_(), divisor});
}

void WavSpeakerSink::Silence() noexcept {
    silence_.store(true);
}

WavSpeakerSink::Onset WavSpeakerSink::LastOnset() const noexcept {
    return {onsetKeyedNs_.load(), onsetBufferedNs_.load()};
}

void WavSpeakerSink::Run() {
    while (stopper_.Sleep(kWriterPeriodNs)) Catchup();
}

void WavSpeakerSink::Apply(const ToneEvent& event) {
    RenderTo(SampleAt(event.timeNs - startNs_));
    const bool wasOn = renderer_.On();
    renderer_.SetDivisor(event.divisor);
    if (!wasOn && renderer_.On()) pendingOnsetNs_ = event.timeNs;
}

void WavSpeakerSink::Drain() {
    ToneEvent event;
    while (queue_.Pop(event)) Apply(event);
    if (silence_.exchange(false)) Apply(ToneEvent{clock_(), 0});
}

void WavSpeakerSink::Catchup() {
    // Silence and tone up to a little before now: a change stamped just before the clock was
    // read may still be on its way into the queue.
    const std::int64_t now = clock_();
    Drain();
    RenderTo(SampleAt(now - kRenderLagNs - startNs_));
}

void WavSpeakerSink::RenderTo(std::int64_t sample) {
    // Samples go out in chunks; a stamp that lies behind what was written (a clock running
    // backwards) takes effect at once.
    while (Position() < sample) {
        const bool quiet = renderer_.Quiet();
        if (quiet && quietRun_ >= kKeptSilenceSamples) {
            // The rest of a long silence is left out; what is kept goes to disk now.
            if (!buffer_.empty()) WriteBuffer();
            skipped_ += sample - Position();
            return;
        }
        std::int64_t want = std::min<std::int64_t>(
            static_cast<std::int64_t>(kChunkSamples - buffer_.size()), sample - Position());
        if (quiet) want = std::min(want, kKeptSilenceSamples - quietRun_);
        quietRun_ = quiet ? quietRun_ + want : 0;
        const auto at = buffer_.size();
        buffer_.resize(at + static_cast<std::size_t>(want));
        renderer_.Render(buffer_.data() + at, static_cast<std::size_t>(want));
        if (pendingOnsetNs_ >= 0) {
            onsetKeyedNs_.store(pendingOnsetNs_);
            onsetBufferedNs_.store(MonotonicNs());
            pendingOnsetNs_ = -1;
        }
        if (buffer_.size() == kChunkSamples) WriteBuffer();
    }
}

void WavSpeakerSink::WriteBuffer() {
    if (!failed_ &&
        std::fwrite(buffer_.data(), kBytesPerSample, buffer_.size(), file_) != buffer_.size()) {
        failed_ = true;
    }
    written_ += static_cast<std::int64_t>(buffer_.size());
    buffer_.clear();
    // The header always tells the length so far: a program killed outright still leaves a
    // file that plays up to its last chunk.
    const WavHeader header = Header(static_cast<std::uint32_t>(written_ * kBytesPerSample));
    if (std::fseek(file_, 0, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
        std::fseek(file_, 0, SEEK_END) != 0 || std::fflush(file_) != 0) {
        failed_ = true;
    }
}

std::string WavSpeakerSink::Finish() {
    if (finished_) return {};
    finished_ = true;
    stopper_.Stop();
    if (writer_.joinable()) writer_.join();
    Drain();
    RenderTo(SampleAt(clock_() - startNs_));
    if (!renderer_.Quiet()) {
        // A tone still sounding falls off cleanly at the end of the file.
        renderer_.SetDivisor(0);
        RenderTo(Position() + renderer_.RampSamples());
    }
    WriteBuffer();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (queue_.TakeOverflow())
        return "The sidetone file " + path_ + " lost tone changes (the writer fell behind).";
    return failed_ ? "Could not write all of the sidetone file " + path_ + " (disk full?)."
                   : std::string{};
}

}  // namespace telkey
