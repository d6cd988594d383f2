#include "engine/devices_wav_sink.h"

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
constexpr long kRiffSizeOffset = 4;
constexpr long kDataSizeOffset = 40;
constexpr std::uint32_t kHeaderRest = 36;  // RIFF size = data bytes + 36

void PutLe(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::vector<unsigned char> Header(std::uint32_t dataBytes) {
    std::vector<unsigned char> h;
    const auto tag = [&h](const char* t) { h.insert(h.end(), t, t + 4); };
    tag("RIFF");
    PutLe(h, dataBytes + kHeaderRest, 4);
    tag("WAVE");
    tag("fmt ");
    PutLe(h, 16, 4);
    PutLe(h, 1, 2);  // PCM
    PutLe(h, 1, 2);  // mono
    PutLe(h, kSampleRate, 4);
    PutLe(h, kSampleRate * kBytesPerSample, 4);
    PutLe(h, kBytesPerSample, 2);
    PutLe(h, 16, 2);
    tag("data");
    PutLe(h, dataBytes, 4);
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
    while (written_ + static_cast<std::int64_t>(buffer_.size()) < sample) {
        const auto room = kChunkSamples - buffer_.size();
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(room),
                                   sample - written_ - static_cast<std::int64_t>(buffer_.size())));
        const auto at = buffer_.size();
        buffer_.resize(at + want);
        renderer_.Render(buffer_.data() + at, want);
        if (pendingOnsetNs_ >= 0) {
            onsetKeyedNs_.store(pendingOnsetNs_);
            onsetBufferedNs_.store(MonotonicNs());
            pendingOnsetNs_ = -1;
        }
        if (buffer_.size() == kChunkSamples) {
            if (!failed_ && std::fwrite(buffer_.data(), kBytesPerSample, buffer_.size(), file_) !=
                                buffer_.size()) {
                failed_ = true;
            }
            written_ += static_cast<std::int64_t>(buffer_.size());
            buffer_.clear();
        }
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
        RenderTo(written_ + static_cast<std::int64_t>(buffer_.size()) + renderer_.RampSamples());
    }
    if (!buffer_.empty()) {
        if (std::fwrite(buffer_.data(), kBytesPerSample, buffer_.size(), file_) != buffer_.size()) {
            failed_ = true;
        }
        written_ += static_cast<std::int64_t>(buffer_.size());
        buffer_.clear();
    }
    const auto dataBytes = static_cast<std::uint32_t>(written_ * kBytesPerSample);
    std::array<unsigned char, 4> size{};
    for (int i = 0; i < 4; ++i)
        size[static_cast<std::size_t>(i)] = static_cast<unsigned char>(dataBytes >> (8 * i));
    std::array<unsigned char, 4> riff{};
    for (int i = 0; i < 4; ++i)
        riff[static_cast<std::size_t>(i)] =
            static_cast<unsigned char>((dataBytes + kHeaderRest) >> (8 * i));
    if (std::fseek(file_, kRiffSizeOffset, SEEK_SET) != 0 ||
        std::fwrite(riff.data(), 1, 4, file_) != 4 ||
        std::fseek(file_, kDataSizeOffset, SEEK_SET) != 0 ||
        std::fwrite(size.data(), 1, 4, file_) != 4) {
        failed_ = true;
    }
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (queue_.TakeOverflow())
        return "The sidetone file " + path_ + " lost tone changes (the writer fell behind).";
    return failed_ ? "Could not write all of the sidetone file " + path_ + " (disk full?)."
                   : std::string{};
}

}  // namespace telkey
