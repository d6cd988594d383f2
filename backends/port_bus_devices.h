#pragma once
// The devices backend: the legacy registers emulated on today's devices. COM1..COM4 on ttys
// (DTR and RTS out, CTS, DSR, RI and DCD in), LPT1..LPT3 on ppdev nodes (data out, status in),
// the game port's buttons from an input device, the PC speaker on the sound card, a WAV file or
// the kernel's PC speaker. Every address no option maps reads 0xFF, and writes to it go nowhere.
// A watchdog releases the key and TX lines when the keyer stops ticking with a line on, and a
// crash releases them from the signal handler.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backends/devices_crash_release.h"
#include "backends/devices_input.h"
#include "backends/devices_layer.h"
#include "backends/devices_notices.h"
#include "backends/devices_parallel.h"
#include "backends/devices_port_device.h"
#include "backends/devices_serial.h"
#include "backends/devices_speaker.h"
#include "backends/devices_stopper.h"
#include "backends/port_bus_factory.h"
#include "engine/keyer.h"
#include "engine/port_bus.h"
#include "engine/ports.h"
#include "engine/wake_word.h"

namespace telkey {

struct DevicesConfig;

// What the program asks of a bus with devices behind it, beyond in and out.
class DeviceSupervision {
  public:
    virtual ~DeviceSupervision() = default;
    // The watchdog watches this keyer's ticks; the settings say which output bits are the key
    // and TX lines (KeyMask, TxMask). Call once the engine exists.
    virtual void WatchKeyer(const Keyer& keyer, const PortSettings& settings) noexcept = 0;
    // Before the keyer and its settings go: the watch ends, and a round under way is waited for.
    virtual void StopWatchingKeyer() noexcept = 0;
    // Notices for the window (device gone or back, lines released, sound server missing);
    // poll Serial() from a window timer.
    virtual DeviceNotices& Notices() noexcept = 0;

    // The station set-up. Null when this backend has no devices to choose.
    virtual DeviceLayer* Layer() const noexcept { return nullptr; }
    // The devices behind the ports now.
    virtual DevicesConfig Devices() const;
    // Puts other devices behind the ports while the keyer runs: a device that stays is kept
    // open, one that goes is released and closed, a new one is opened (what stands in its way
    // adds a message to `warnings`; it is tried again later). The sidetone's output changes
    // when config.speaker does.
    virtual void SetDevices(const DevicesConfig& /*config*/,
                            std::vector<std::string>& /*warnings*/) {}
    // Is this device open behind a port now?
    virtual bool DeviceOpen(const std::string& /*path*/) const { return false; }
};

struct DevicesConfig {
    std::array<std::string, 4> com;
    // Opened without the exclusive lock, leaving the other program's lines alone.
    std::array<bool, 4> comShared{};
    std::array<std::string, 3> lpt;
    std::string gameport;
    std::string paddleKeys;
    std::string speaker;       // as --speaker=; "" is the sound card
    int volume = kFullVolume;  // sidetone loudness on the sound card, percent
    DevicesTiming timing;
    // Off in tests that run the monitor and the input device by hand.
    bool threads = true;
};

class DevicesPortBus final : public PortBus, public DeviceSupervision, private CrashReleasable {
  public:
    // Opens the devices named in config; each one that cannot be used adds a message to
    // `warnings` and is tried again later. The layer must outlive the bus.
    DevicesPortBus(DeviceLayer& layer, const DevicesConfig& config,
                   std::vector<std::string>& warnings);
    // The same with a layer of its own.
    DevicesPortBus(std::unique_ptr<DeviceLayer> layer, const DevicesConfig& config,
                   std::vector<std::string>& warnings);
    // Every line released, the speaker silent, the devices closed.
    ~DevicesPortBus() override;
    DevicesPortBus(const DevicesPortBus&) = delete;
    DevicesPortBus& operator=(const DevicesPortBus&) = delete;

    // Where the speaker's tone goes (null: nowhere). Before the ports are first used.
    void SetSpeakerSink(std::unique_ptr<SpeakerSink> sink) noexcept;
    SpeakerSink* Sink() const noexcept { return sinkLive_.load(); }

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    // A serial port's status lines while a thread waits for their changes, the game port's
    // buttons while its input thread runs, and every address without a device.
    bool InputAnnounced(std::uint16_t port) const noexcept override;
    void SetInputWake(WakeWord* wake) noexcept override;
    // COMn in slot n, LPTn in slot 4 + n (their KeyPortNumber), and the speaker.
    void GuardLines(LineGuard& guard) noexcept override;

    void WatchKeyer(const Keyer& keyer, const PortSettings& settings) noexcept override;
    void StopWatchingKeyer() noexcept override;
    DeviceNotices& Notices() noexcept override { return *notices_; }
    std::shared_ptr<DeviceNotices> SharedNotices() const noexcept { return notices_; }
    DeviceLayer* Layer() const noexcept override { return &layer_; }
    DevicesConfig Devices() const override;
    void SetDevices(const DevicesConfig& config, std::vector<std::string>& warnings) override;
    bool DeviceOpen(const std::string& path) const override;

    // One round of the monitor thread: the watchdog, then each device's health and return.
    // Tests without threads call it by hand. True while there is something to watch (a line
    // on, a device missing, a paddle just moved): the thread then looks again soon, else it
    // sleeps until a write, a read or a device wakes it.
    bool Monitor(std::int64_t nowNs);
    // The key and TX lines off on every port (all output lines when no keyer is watched) and
    // the speaker silent; the next write puts back what the keyer wants.
    void ReleaseLines() noexcept;

    SerialDevice* Com(int number) const noexcept;
    ParallelDevice* Lpt(int number) const noexcept;
    InputPaddle* GamePort() const noexcept { return gameLive_.load(); }

  private:
    void Start(const DevicesConfig& config, std::vector<std::string>& warnings);
    void OpenGamePort(const DevicesConfig& config, std::vector<std::string>& warnings);
    void ChangeSpeaker(const DevicesConfig& config, std::vector<std::string>& warnings);
    void ShutRetired(bool all) noexcept;
    void ReleaseFromSignal() noexcept override;
    std::uint8_t LineMask() const noexcept;
    // A device thread: an announced input changed, or the device failed.
    void InputChanged() noexcept;
    // Wakes the monitor thread when it sleeps without a bound.
    void KickMonitor() noexcept {
        if (monitorIdle_.load(std::memory_order_relaxed) && monitorIdle_.exchange(false)) {
            stopper_.Kick();
        }
    }
    void FollowDevice(SerialDevice& device);
    void FollowDevice(InputPaddle& device);
    bool AnyLineOn(std::uint8_t mask) const noexcept;

    std::unique_ptr<DeviceLayer> ownedLayer_;
    DeviceLayer& layer_;
    DevicesTiming timing_;
    bool threads_ = false;
    std::shared_ptr<DeviceNotices> notices_ = std::make_shared<DeviceNotices>();
    // Owned on the window and monitor threads (under devicesMutex_); the keyer and the crash
    // handler use the live pointers.
    mutable std::mutex devicesMutex_;
    DevicesConfig config_;
    std::array<std::unique_ptr<SerialDevice>, 4> com_;
    std::array<std::unique_ptr<ParallelDevice>, 3> lpt_;
    std::unique_ptr<InputPaddle> game_;
    std::unique_ptr<SpeakerSink> sink_;
    std::array<std::atomic<SerialDevice*>, 4> comLive_{};
    std::array<std::atomic<ParallelDevice*>, 3> lptLive_{};
    std::atomic<InputPaddle*> gameLive_{nullptr};
    std::atomic<SpeakerSink*> sinkLive_{nullptr};
    // in() and out() calls running now: a device taken out of use is closed and freed only
    // once none runs, so no call that found it before the change can still be using it.
    std::atomic<int> activeCalls_{0};
    struct CallScope;
    void WaitForCalls() const noexcept;
    // Devices taken out of use: released again on the next monitor round, and closed and
    // freed on a round that finds no in() or out() running.
    struct Retired {
        std::unique_ptr<SerialDevice> com;
        std::unique_ptr<ParallelDevice> lpt;
        std::unique_ptr<InputPaddle> game;
        std::unique_ptr<SpeakerSink> sink;
        int rounds = 0;
    };
    std::vector<Retired> retired_;
    SpeakerDecoder speaker_{nullptr};
    std::atomic<const Keyer*> keyer_{nullptr};
    std::mutex watchMutex_;  // held while a round looks at the keyer
    std::atomic<const PortSettings*> settings_{nullptr};
    // Watchdog, monitor thread only.
    std::uint64_t lastTicks_ = 0;
    std::int64_t lastTickSeenNs_ = 0;
    bool watching_ = false;
    bool stallReported_ = false;
    std::mutex inputWakeMutex_;
    WakeWord* inputWake_ = nullptr;
    std::atomic<std::int64_t> inputChangedNs_{0};
    std::atomic<bool> monitorIdle_{false};
    Stopper stopper_;
    std::thread monitor_;
};

// The devices the options name.
DevicesConfig DevicesConfigFrom(const PortBusOptions& options);

// --ports=devices with its --com, --lpt, --gameport, --paddle-keys and --speaker options.
PortBusResult MakeDevicesPortBus(const PortBusOptions& options);
}  // namespace telkey
