#include "backends/port_bus_devices.h"

#include <utility>

#include "backends/port_bus_speaker.h"

namespace telkey {

namespace {

constexpr std::uint8_t kNoDevice = 0xFF;  // what an address with nothing behind it reads
constexpr std::uint8_t kAllLines = 0xFF;
// After a paddle moves the monitor reads the lines again for a while: a change that came
// between the status thread's read and its next wait is not told.
constexpr std::int64_t kSettleAfterInputNs = 250'000'000;
constexpr std::uint16_t kModemStatusRegister = 6;

PortBusResult Failure(std::string error) {
    PortBusResult result;
    result.error = std::move(error);
    return result;
}

}  // namespace

struct DevicesPortBus::CallScope {
    explicit CallScope(std::atomic<int>& calls) noexcept : calls_(calls) { calls_.fetch_add(1); }
    ~CallScope() { calls_.fetch_sub(1); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    std::atomic<int>& calls_;
};

void DevicesPortBus::WaitForCalls() const noexcept {
    // A call is a few microseconds: once none runs, every later one finds the new devices.
    while (activeCalls_.load() != 0) std::this_thread::yield();
}

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
    config_ = config;
    for (std::size_t i = 0; i < com_.size(); ++i) {
        if (config.com[i].empty()) continue;
        com_[i] = std::make_unique<SerialDevice>(layer_, static_cast<int>(i + 1), config.com[i],
                                                 timing_, config.comShared[i]);
        FollowDevice(*com_[i]);
        if (std::string message = com_[i]->Open(); !message.empty()) warnings.push_back(message);
        comLive_[i].store(com_[i].get());
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        if (config.lpt[i].empty()) continue;
        lpt_[i] = std::make_unique<ParallelDevice>(layer_, static_cast<int>(i + 1), config.lpt[i],
                                                   timing_);
        if (std::string message = lpt_[i]->Open(); !message.empty()) warnings.push_back(message);
        lptLive_[i].store(lpt_[i].get());
    }
    threads_ = config.threads;
    OpenGamePort(config, warnings);
    RegisterCrashRelease(this);
    if (!threads_) return;
    monitor_ = std::thread([this] {
        bool busy = true;
        do {
            // Idle first: a kick during the round ends the sleep after it.
            monitorIdle_.store(true);
            busy = Monitor(MonotonicNs());
            if (busy) monitorIdle_.store(false);
        } while (stopper_.Sleep(busy ? timing_.monitorPeriodNs : Stopper::kUntilKicked));
    });
}

void DevicesPortBus::OpenGamePort(const DevicesConfig& config, std::vector<std::string>& warnings) {
    if (!config.gameport.empty()) {
        game_ = std::make_unique<InputPaddle>(layer_, config.gameport, config.paddleKeys, timing_,
                                              *notices_);
        FollowDevice(*game_);
        std::string note;
        if (std::string message = game_->Open(note); !message.empty()) {
            warnings.push_back(message);
        } else if (!note.empty()) {
            notices_->Post(note);
        }
        if (threads_) game_->StartThread();
    } else if (!config.paddleKeys.empty()) {
        warnings.push_back(
            "--paddle-keys= names the keys of the --gameport= device; without "
            "--gameport= it is ignored.");
    }
    gameLive_.store(game_.get());
}

DevicesPortBus::~DevicesPortBus() {
    stopper_.Stop();
    if (monitor_.joinable()) monitor_.join();
    std::lock_guard lock(devicesMutex_);
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
    sinkLive_.store(nullptr);
    sink_.reset();
    for (auto& device : com_) {
        if (device) device->Shut();
    }
    for (auto& device : lpt_) {
        if (device) device->Shut();
    }
    ShutRetired(true);
}

void DevicesPortBus::SetSpeakerSink(std::unique_ptr<SpeakerSink> sink) noexcept {
    if (sink) sink->SetVolume(config_.volume);
    speaker_.SetSink(sink.get());
    sinkLive_.store(sink.get());
    sink_ = std::move(sink);
}

SerialDevice* DevicesPortBus::Com(int number) const noexcept {
    return number >= 1 && number <= 4 ? comLive_[static_cast<std::size_t>(number - 1)].load()
                                      : nullptr;
}

ParallelDevice* DevicesPortBus::Lpt(int number) const noexcept {
    return number >= 1 && number <= 3 ? lptLive_[static_cast<std::size_t>(number - 1)].load()
                                      : nullptr;
}

DevicesConfig DevicesPortBus::Devices() const {
    std::lock_guard lock(devicesMutex_);
    return config_;
}

bool DevicesPortBus::DeviceOpen(const std::string& path) const {
    std::lock_guard lock(devicesMutex_);
    for (const auto& device : com_) {
        if (device && device->Path() == path) return device->IsOpen();
    }
    for (const auto& device : lpt_) {
        if (device && device->Path() == path) return device->IsOpen();
    }
    return game_ && config_.gameport == path && game_->IsOpen();
}

void DevicesPortBus::SetDevices(const DevicesConfig& config, std::vector<std::string>& warnings) {
    std::lock_guard lock(devicesMutex_);
    std::array<bool, 4> comChanged{};
    std::array<bool, 3> lptChanged{};
    const std::size_t firstRetired = retired_.size();
    // First every device that goes is released and taken out of use ...
    for (std::size_t i = 0; i < com_.size(); ++i) {
        comChanged[i] =
            config.com[i] != config_.com[i] || config.comShared[i] != config_.comShared[i];
        if (!comChanged[i] || !com_[i]) continue;
        comLive_[i].store(nullptr);
        Retired old;
        old.com = std::move(com_[i]);
        old.com->StopStatusPoller();
        old.com->Release(kAllLines);
        retired_.push_back(std::move(old));
    }
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        lptChanged[i] = config.lpt[i] != config_.lpt[i];
        if (!lptChanged[i] || !lpt_[i]) continue;
        lptLive_[i].store(nullptr);
        Retired old;
        old.lpt = std::move(lpt_[i]);
        old.lpt->Release(kAllLines);
        retired_.push_back(std::move(old));
    }
    // ... and one that only moves to another port is closed at once, or its own lock would
    // keep it from opening there.
    WaitForCalls();
    const auto named = [&config](const std::string& path) {
        for (const auto& p : config.com) {
            if (p == path) return true;
        }
        for (const auto& p : config.lpt) {
            if (p == path) return true;
        }
        return false;
    };
    for (std::size_t r = firstRetired; r < retired_.size(); ++r) {
        if (retired_[r].com && named(retired_[r].com->Path())) retired_[r].com->Shut();
        if (retired_[r].lpt && named(retired_[r].lpt->Path())) retired_[r].lpt->Shut();
    }
    // Then the new ones are opened.
    for (std::size_t i = 0; i < com_.size(); ++i) {
        if (!comChanged[i] || config.com[i].empty()) continue;
        com_[i] = std::make_unique<SerialDevice>(layer_, static_cast<int>(i + 1), config.com[i],
                                                 timing_, config.comShared[i]);
        FollowDevice(*com_[i]);
        if (std::string message = com_[i]->Open(); !message.empty()) warnings.push_back(message);
        comLive_[i].store(com_[i].get());
    }
    KickMonitor();
    for (std::size_t i = 0; i < lpt_.size(); ++i) {
        if (!lptChanged[i] || config.lpt[i].empty()) continue;
        lpt_[i] = std::make_unique<ParallelDevice>(layer_, static_cast<int>(i + 1), config.lpt[i],
                                                   timing_);
        if (std::string message = lpt_[i]->Open(); !message.empty()) warnings.push_back(message);
        lptLive_[i].store(lpt_[i].get());
    }
    if (config.gameport != config_.gameport || config.paddleKeys != config_.paddleKeys) {
        Retired old;
        old.game = std::move(game_);
        gameLive_.store(nullptr);
        // The old device lets go of its grab before the new one (perhaps the same) opens.
        if (old.game) {
            old.game->Shut();
            retired_.push_back(std::move(old));
        }
        OpenGamePort(config, warnings);
    }
    if (config.speaker != config_.speaker) ChangeSpeaker(config, warnings);
    if (config.volume != config_.volume) {
        if (SpeakerSink* sink = sinkLive_.load()) sink->SetVolume(config.volume);
    }
    const DevicesTiming timing = config_.timing;
    const bool threads = config_.threads;
    config_ = config;
    config_.timing = timing;
    config_.threads = threads;
}

void DevicesPortBus::ChangeSpeaker(const DevicesConfig& config,
                                   std::vector<std::string>& warnings) {
    std::string error;
    auto sink = MakeSpeakerSink(config.speaker, layer_, notices_, error, warnings);
    if (!error.empty()) {
        warnings.push_back(error);
        return;
    }
    if (sink) sink->SetVolume(config.volume);
    Retired old;
    old.sink = std::move(sink_);
    sink_ = std::move(sink);
    speaker_.SetSink(sink_.get());
    sinkLive_.store(sink_.get());
    if (old.sink) {
        old.sink->Silence();
        retired_.push_back(std::move(old));
    }
}

void DevicesPortBus::ShutRetired(bool all) noexcept {
    const bool quiet = activeCalls_.load() == 0;
    for (auto it = retired_.begin(); it != retired_.end();) {
        Retired& r = *it;
        // A keyer write that found the device just before the change may have come after
        // the release: release once more, then close it when no call can be using it.
        if (r.com) r.com->Release(kAllLines);
        if (r.lpt) r.lpt->Release(kAllLines);
        if (r.sink) r.sink->Silence();
        if (!all && (r.rounds++ == 0 || !quiet)) {
            ++it;
            continue;
        }
        if (r.com) r.com->Shut();
        if (r.lpt) r.lpt->Shut();
        it = retired_.erase(it);
    }
}

std::uint8_t DevicesPortBus::in(std::uint16_t port) {
    const CallScope call(activeCalls_);
    if (SpeakerDecoder::Decodes(port)) return speaker_.In(port);
    if (port == kGamePort) {
        const InputPaddle* game = gameLive_.load();
        return game ? game->GamePortByte() : kNoDevice;
    }
    for (std::size_t i = 0; i < comLive_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kComBase[i]);
        if (offset < kSerialRegisters) {
            SerialDevice* device = comLive_[i].load();
            if (device == nullptr) return kNoDevice;
            const std::uint8_t value = device->In(offset);
            if (offset == kModemStatusRegister && device->StatusUnfollowed()) KickMonitor();
            return value;
        }
    }
    for (std::size_t i = 0; i < lptLive_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kLptBase[i]);
        if (offset < kParallelRegisters) {
            ParallelDevice* device = lptLive_[i].load();
            return device ? device->In(offset) : kNoDevice;
        }
    }
    return kNoDevice;
}

void DevicesPortBus::out(std::uint16_t port, std::uint8_t value) {
    const CallScope call(activeCalls_);
    KickMonitor();  // a line may be on now: the watchdog looks after it
    if (SpeakerDecoder::Decodes(port)) {
        speaker_.Out(port, value);
        return;
    }
    for (std::size_t i = 0; i < comLive_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kComBase[i]);
        if (offset < kSerialRegisters) {
            if (SerialDevice* device = comLive_[i].load()) device->Out(offset, value);
            return;
        }
    }
    for (std::size_t i = 0; i < lptLive_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kLptBase[i]);
        if (offset < kParallelRegisters) {
            if (ParallelDevice* device = lptLive_[i].load()) device->Out(offset, value);
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

void DevicesPortBus::StopWatchingKeyer() noexcept {
    std::lock_guard lock(watchMutex_);
    keyer_.store(nullptr);
    settings_.store(nullptr);
}

std::uint8_t DevicesPortBus::LineMask() const noexcept {
    const PortSettings* settings = settings_.load();
    if (settings == nullptr) return kAllLines;
    return static_cast<std::uint8_t>(settings->KeyMask.load(std::memory_order_relaxed) |
                                     settings->TxMask.load(std::memory_order_relaxed));
}

bool DevicesPortBus::AnyLineOn(std::uint8_t mask) const noexcept {
    for (const auto& live : comLive_) {
        const SerialDevice* device = live.load();
        if (device && (device->LinesOn() & mask & kMcrLines) != 0) return true;
    }
    for (const auto& live : lptLive_) {
        const ParallelDevice* device = live.load();
        if (device && (device->LinesOn() & mask) != 0) return true;
    }
    return false;
}

void DevicesPortBus::ReleaseLines() noexcept {
    const std::uint8_t mask = LineMask();
    for (auto& live : comLive_) {
        if (SerialDevice* device = live.load()) {
            device->Release(static_cast<std::uint8_t>(mask & kMcrLines));
        }
    }
    for (auto& live : lptLive_) {
        if (ParallelDevice* device = live.load()) device->Release(mask);
    }
    if (SpeakerSink* sink = sinkLive_.load()) sink->Silence();
}

bool DevicesPortBus::Monitor(std::int64_t nowNs) {
    bool busy = false;
    std::unique_lock watch(watchMutex_);
    if (const Keyer* keyer = keyer_.load()) {
        const std::uint64_t ticks = keyer->TickCount();
        const bool lineOn = AnyLineOn(LineMask()) || speaker_.Sounding() != 0;
        busy = lineOn;
        if (!watching_ || ticks != lastTicks_) {
            if (stallReported_) notices_->Post("The keyer is ticking again.");
            watching_ = true;
            stallReported_ = false;
            lastTicks_ = ticks;
            lastTickSeenNs_ = nowNs;
        } else if (nowNs - lastTickSeenNs_ >= timing_.stallNs && lineOn) {
            ReleaseLines();
            if (!stallReported_) {
                notices_->Post("The keyer has stopped ticking (none for " +
                               std::to_string((nowNs - lastTickSeenNs_) / 1'000'000) +
                               " ms) with the key or TX line on: both lines released.");
                stallReported_ = true;
            }
        }
        // Asleep, the keyer shows no ticks: a watch begun before a line came on starts afresh.
        if (!lineOn) watching_ = false;
    } else {
        busy = AnyLineOn(kAllLines);
    }
    watch.unlock();
    busy = busy || nowNs - inputChangedNs_.load() < kSettleAfterInputNs;
    std::lock_guard lock(devicesMutex_);
    for (auto& device : com_) {
        if (!device) continue;
        device->Monitor(nowNs, *notices_);
        if (threads_) {
            device->StartStatusPoller();
            device->RefreshStatus();
        }
        busy = busy || !device->IsOpen() || device->StatusUnfollowed() ||
               (device->StatusWanted() && !device->WaitsForChanges());
    }
    for (auto& device : lpt_) {
        if (!device) continue;
        device->Monitor(nowNs, *notices_);
        busy = busy || !device->IsOpen();
    }
    ShutRetired(false);
    return busy || !retired_.empty();
}

bool DevicesPortBus::InputAnnounced(std::uint16_t port) const noexcept {
    if (port == kGamePort) {
        const InputPaddle* game = gameLive_.load();
        return game == nullptr || threads_;
    }
    for (std::size_t i = 0; i < comLive_.size(); ++i) {
        if (static_cast<std::uint16_t>(port - kComBase[i]) != kModemStatusRegister) continue;
        const SerialDevice* device = comLive_[i].load();
        return device == nullptr || device->WaitsForChanges();
    }
    for (std::size_t i = 0; i < lptLive_.size(); ++i) {
        const auto offset = static_cast<std::uint16_t>(port - kLptBase[i]);
        if (offset < kParallelRegisters) return lptLive_[i].load() == nullptr;
    }
    // Every other register reads what was last written, or nothing.
    return true;
}

void DevicesPortBus::SetInputWake(WakeWord* wake) noexcept {
    std::lock_guard lock(inputWakeMutex_);
    inputWake_ = wake;
}

void DevicesPortBus::InputChanged() noexcept {
    inputChangedNs_.store(MonotonicNs());
    {
        std::lock_guard lock(inputWakeMutex_);
        if (inputWake_ != nullptr) inputWake_->Wake();
    }
    KickMonitor();
}

void DevicesPortBus::FollowDevice(SerialDevice& device) {
    device.OnStatusChange([this] { InputChanged(); });
}

void DevicesPortBus::FollowDevice(InputPaddle& device) {
    device.OnChange([this] { InputChanged(); });
}

void DevicesPortBus::ReleaseFromSignal() noexcept {
    for (auto& live : comLive_) {
        if (SerialDevice* device = live.load()) device->ReleaseFromSignal();
    }
    for (auto& live : lptLive_) {
        if (ParallelDevice* device = live.load()) device->ReleaseFromSignal();
    }
    if (SpeakerSink* sink = sinkLive_.load()) sink->SilenceFromSignal();
}

DevicesConfig DeviceSupervision::Devices() const {
    return {};
}

DevicesConfig DevicesConfigFrom(const PortBusOptions& options) {
    DevicesConfig config;
    config.com = options.com;
    config.comShared = options.comShared;
    config.lpt = options.lpt;
    config.gameport = options.gameport;
    config.paddleKeys = options.paddleKeys;
    config.speaker = options.speaker;
    config.volume = options.volume;
    return config;
}

PortBusResult MakeDevicesPortBus(const PortBusOptions& options) {
    std::string error;
    if (!options.paddleKeys.empty()) {
        PaddleKeyCodes codes{};
        if (!ParsePaddleKeys(options.paddleKeys, codes, error)) return Failure(error);
    }
    if (!CheckSpeakerOption(options.speaker, error)) return Failure(error);
    const DevicesConfig config = DevicesConfigFrom(options);
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

}  // namespace telkey
