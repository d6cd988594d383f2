#include "backends/port_bus_speaker.h"

#include <utility>

#include "backends/devices_audio_sink.h"
#include "backends/devices_pcspkr_sink.h"
#include "backends/devices_wav_sink.h"

namespace telkey {
namespace {

constexpr std::string_view kWavPrefix = "wav:";

}  // namespace

SpeakerPortBus::SpeakerPortBus(std::unique_ptr<PortBus> inner, std::unique_ptr<SpeakerSink> sink,
                               std::shared_ptr<DeviceNotices> notices)
    : inner_(std::move(inner)),
      notices_(std::move(notices)),
      sink_(std::move(sink)),
      speaker_(sink_.get()) {
    RegisterCrashRelease(this);
}

SpeakerPortBus::~SpeakerPortBus() {
    UnregisterCrashRelease(this);
    if (sink_) sink_->Silence();
}

std::uint8_t SpeakerPortBus::in(std::uint16_t port) {
    return SpeakerDecoder::Decodes(port) ? speaker_.In(port) : inner_->in(port);
}

void SpeakerPortBus::out(std::uint16_t port, std::uint8_t value) {
    if (SpeakerDecoder::Decodes(port)) speaker_.Out(port, value);
    inner_->out(port, value);
}

void SpeakerPortBus::GuardLines(LineGuard& guard) noexcept {
    inner_->GuardLines(guard);
    if (sink_) sink_->GuardLines(guard);
}

void SpeakerPortBus::ReleaseFromSignal() noexcept {
    if (sink_) sink_->SilenceFromSignal();
}

bool CheckSpeakerOption(std::string_view value, std::string& error) {
    if (value.empty() || value == "audio" || value == "pcspkr" || value == "none") return true;
    if (value.starts_with(kWavPrefix) && value.size() > kWavPrefix.size()) return true;
    error = "unknown value in --speaker=" + std::string(value) +
            " (choose --speaker=audio, wav:FILE, pcspkr or none)";
    return false;
}

std::unique_ptr<SpeakerSink> MakeSpeakerSink(std::string_view output, DeviceLayer& layer,
                                             std::shared_ptr<DeviceNotices> notices,
                                             std::string& error,
                                             std::vector<std::string>& warnings) {
    if (!CheckSpeakerOption(output, error)) return nullptr;
    if (output == "none") return nullptr;
    if (output.empty() || output == "audio") {
        if (!AudioSinkAvailable()) {
            warnings.push_back(
                "Sidetone: this Telkey was built without sound-server support "
                "(libpulse); use --speaker=pcspkr or --speaker=wav:FILE.");
            return nullptr;
        }
        return std::make_unique<AudioSpeakerSink>(std::move(notices));
    }
    if (output == "pcspkr") {
        std::string message;
        auto sink = PcSpeakerSink::Open(layer, message);
        if (!sink) warnings.push_back(message + " The sidetone is silent.");
        return sink;
    }
    const std::string path(output.substr(kWavPrefix.size()));
    return WavSpeakerSink::Create(
        path, [] { return MonotonicNs(); }, error);
}

void AddSpeakerToBus(PortBusResult& result, const PortBusOptions& options) {
    if (!result.bus || options.speaker.empty() || options.speaker == "none") return;
    auto notices = std::make_shared<DeviceNotices>();
    std::string error;
    // The PC speaker's device layer: stateless, so one made here serves as long as needed.
    static SystemDeviceLayer systemLayer;
    auto sink = MakeSpeakerSink(options.speaker, systemLayer, notices, error, result.warnings);
    if (!error.empty()) {
        result.bus.reset();
        result.error = error;
        return;
    }
    auto bus = std::make_unique<SpeakerPortBus>(std::move(result.bus), std::move(sink),
                                                std::move(notices));
    result.devices = bus.get();
    result.bus = std::move(bus);
}

}  // namespace telkey
