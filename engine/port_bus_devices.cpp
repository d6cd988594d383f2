#include "engine/port_bus_devices.h"

#include <utility>

#include "engine/devices_audio_sink.h"
#include "engine/devices_pcspkr_sink.h"
#include "engine/devices_wav_sink.h"

namespace telkey {

namespace {

constexpr std::uint8_t kNoDevice = 0xFF;  // what an address with nothing behind it reads
constexpr std::uint8_t kAllLines = 0xFF;
constexpr std::string_view kWavPrefix = "wav:";

PortBusResult Failure(std::string error) {
    PortBusResult result;
    result.error = std::move(error);
    return result;
}

}  // namespace

DevicesPortBus::DevicesPortBus(DeviceLayer& layer, const DevicesConfig& config,
                               std::vector<std::string>& warnings)
    : layer_(layer), timing_(config.timing) {
    Start(config, warnings);
}

DevicesPortBus::DevicesPortBus(std::unique_ptr<DeviceLayer> layer, const DevicesConfig& config,
                               std::vector<std::string>& warnings)
    : ownedLayer_(std::move(layer)), layer_(*ownedLayer_), timing_(config.timing) {
    Start(config, warnings);
}

void DevicesPortBus::Start(const DevicesConfig& config, std::vector<std::string>& warnings) {
    for (std::size_t i = 0; i < com_.size(); ++i) {
        if (config.com[i].empty()) continue;
        com_[i] =
            std::make_unique<SerialDevice>(layer_, static_cast<int>(i + 1), config.com[i], timing_);
        if (std::string message = com_[i]->Open(); !message.empty()) warnings.push_back(message);
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        if (config.lpt[i].empty()) continue;
        lpt_[i] = std::make_unique<ParallelDevice>(layer_, static_cast<int>(i + 1), config.lpt[i],
                                                   timing_);
        if (std::string message = lpt_[i]->Open(); !message.empty()) warnings.push_back(message);
    }
    if (!config.gameport.empty()) {
        game_ = std::make_unique<InputPaddle>(layer_, config.gameport, config.paddleKeys, timing_,
                                              *notices_);
        std::string note;
        if (std::string message = game_->Open(note); !message.empty()) {
            warnings.push_back(message);
        } else if (!note.empty()) {
            notices_->Post(note);
        }
    } else if (!config.paddleKeys.empty()) {
        warnings.push_back(
            "--paddle-keys= names the keys of the --gameport= device; without "
            "--gameport= it is ignored.");
    }
    RegisterCrashRelease(this);
    threads_ = config.threads;
    if (!threads_) return;
    if (game_) game_->StartThread();
    monitor_ = std::thread([this] {
        do {
            Monitor(MonotonicNs());
        } while (stopper_.Sleep(timing_.monitorPeriodNs));
    });
}

DevicesPortBus::~DevicesPortBus() {
    stopper_.Stop();
    if (monitor_.joinable()) monitor_.join();
    if (game_) game_->StopThread();
    for (auto& device : com_) {
        if (device) device->StopStatusPoller();
    }
    UnregisterCrashRelease(this);
    // Telkey ends: nothing stays keyed, not even the lines AllMask holds on.
    for (auto& device : com_) {
        if (device) device->Release(kAllLines);
    }
    for (auto& device : lpt_) {
        if (device) device->Release(kAllLines);
    }
    if (sink_) sink_->Silence();
    speaker_.SetSink(nullptr);
    sink_.reset();
    for (auto& device : com_) {
        if (device) device->Shut();
    }
    for (auto& device : lpt_) {
        if (device) device->Shut();
    }
}

void DevicesPortBus::SetSpeakerSink(std::unique_ptr<SpeakerSink> sink) noexcept {
    speaker_.SetSink(sink.get());
    sink_ = std::move(sink);
}

SerialDevice* DevicesPortBus::Com(int number) const noexcept {
    return number >= 1 && number <= 4 ? com_[static_cast<std::size_t>(number - 1)].get() : nullptr;
}

ParallelDevice* DevicesPortBus::Lpt(int number) const noexcept {
    return number >= 1 && number <= 3 ? lpt_[static_cast<std::size_t>(number - 1)].get() : nullptr;
}

std::uint8_t DevicesPortBus::in(std::uint16_t port) {
    if (SpeakerDecoder::Decodes(port)) return speaker_.In(port);
    if (port == kGamePort) return game_ ? game_->GamePortByte() : kNoDevice;
    for (std::size_t i = 0; i < com_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kComBase[i]);
        if (offset < kSerialRegisters) return com_[i] ? com_[i]->In(offset) : kNoDevice;
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kLptBase[i]);
        if (offset < kParallelRegisters) return lpt_[i] ? lpt_[i]->In(offset) : kNoDevice;
    }
    return kNoDevice;
}

void DevicesPortBus::out(std::uint16_t port, std::uint8_t value) {
    if (SpeakerDecoder::Decodes(port)) {
        speaker_.Out(port, value);
        return;
    }
    for (std::size_t i = 0; i < com_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kComBase[i]);
        if (offset < kSerialRegisters) {
            if (com_[i]) com_[i]->Out(offset, value);
            return;
        }
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kLptBase[i]);
        if (offset < kParallelRegisters) {
            if (lpt_[i]) lpt_[i]->Out(offset, value);
            return;
        }
    }
}

void DevicesPortBus::GuardLines(LineGuard& guard) noexcept {
    for (std::size_t i = 0; i < com_.size(); ++i) {
        if (com_[i]) com_[i]->GuardWith(guard, GuardedKind::Serial, static_cast<int>(i + 1));
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        if (lpt_[i]) {
            lpt_[i]->GuardWith(guard, GuardedKind::Parallel, static_cast<int>(com_.size() + i + 1));
        }
    }
    if (sink_) sink_->GuardLines(guard);
}

void DevicesPortBus::WatchKeyer(const Keyer& keyer, const PortSettings& settings) noexcept {
    settings_.store(&settings);
    keyer_.store(&keyer);
}

std::uint8_t DevicesPortBus::LineMask() const noexcept {
    const PortSettings* settings = settings_.load();
    if (settings == nullptr) return kAllLines;
    return static_cast<std::uint8_t>(settings->KeyMask.load(std::memory_order_relaxed) |
                                     settings->TxMask.load(std::memory_order_relaxed));
}

bool DevicesPortBus::AnyLineOn(std::uint8_t mask) const noexcept {
    for (const auto& device : com_) {
        if (device && (device->LinesOn() & mask & kMcrLines) != 0) return true;
    }
    for (const auto& device : lpt_) {
        if (device && (device->LinesOn() & mask) != 0) return true;
    }
    return false;
}

void DevicesPortBus::ReleaseLines() noexcept {
    const std::uint8_t mask = LineMask();
    for (auto& device : com_) {
        if (device) device->Release(static_cast<std::uint8_t>(mask & kMcrLines));
    }
    for (auto& device : lpt_) {
        if (device) device->Release(mask);
    }
    if (sink_) sink_->Silence();
}

void DevicesPortBus::Monitor(std::int64_t nowNs) {
    if (const Keyer* keyer = keyer_.load()) {
        const std::uint64_t ticks = keyer->TickCount();
        if (!watching_ || ticks != lastTicks_) {
            if (stallReported_) notices_->Post("The keyer is ticking again.");
            watching_ = true;
            stallReported_ = false;
            lastTicks_ = ticks;
            lastTickSeenNs_ = nowNs;
        } else if (nowNs - lastTickSeenNs_ >= timing_.stallNs &&
                   (AnyLineOn(LineMask()) || speaker_.Sounding() != 0)) {
            ReleaseLines();
            if (!stallReported_) {
                notices_->Post("The keyer has stopped ticking (none for " +
                               std::to_string((nowNs - lastTickSeenNs_) / 1'000'000) +
                               " ms) with the key or TX line on: both lines released.");
                stallReported_ = true;
            }
        }
    }
    for (auto& device : com_) {
        if (!device) continue;
        device->Monitor(nowNs, *notices_);
        if (threads_) device->StartStatusPoller();
    }
    for (auto& device : lpt_) {
        if (device) device->Monitor(nowNs, *notices_);
    }
}

void DevicesPortBus::ReleaseFromSignal() noexcept {
    for (auto& device : com_) {
        if (device) device->ReleaseFromSignal();
    }
    for (auto& device : lpt_) {
        if (device) device->ReleaseFromSignal();
    }
    if (sink_) sink_->SilenceFromSignal();
}

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

PortBusResult MakeDevicesPortBus(const PortBusOptions& options) {
    std::string error;
    if (!options.paddleKeys.empty()) {
        PaddleKeyCodes codes{};
        if (!ParsePaddleKeys(options.paddleKeys, codes, error)) return Failure(error);
    }
    if (!CheckSpeakerOption(options.speaker, error)) return Failure(error);
    DevicesConfig config;
    config.com = options.com;
    config.lpt = options.lpt;
    config.gameport = options.gameport;
    config.paddleKeys = options.paddleKeys;
    PortBusResult result;
    auto layer = std::make_unique<SystemDeviceLayer>();
    DeviceLayer& layerRef = *layer;
    auto bus = std::make_unique<DevicesPortBus>(std::move(layer), config, result.warnings);
    auto sink =
        MakeSpeakerSink(options.speaker, layerRef, bus->SharedNotices(), error, result.warnings);
    if (!error.empty()) return Failure(error);
    bus->SetSpeakerSink(std::move(sink));
    result.devices = bus.get();
    result.bus = std::move(bus);
    return result;
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
