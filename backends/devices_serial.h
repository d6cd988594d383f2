#pragma once
// A COM port's registers on a tty device (a USB serial adapter or a real UART): the modem
// control register drives DTR and RTS, the modem status register reads CTS, DSR, RI and DCD.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "backends/devices_lines.h"
#include "backends/devices_port_device.h"
#include "backends/devices_stopper.h"

namespace telkey {

// COM1..COM4 base addresses; the registers are base + 0..7.
constexpr std::array<std::uint16_t, 4> kComBase{0x3F8, 0x2F8, 0x3E8, 0x2E8};
constexpr std::uint16_t kSerialRegisters = 8;
constexpr std::uint16_t kModemControlOffset = 4;
constexpr std::uint16_t kLineStatusOffset = 5;
constexpr std::uint16_t kModemStatusOffset = 6;
constexpr std::uint16_t kScratchOffset = 7;

// Modem control register bits that reach the device.
constexpr std::uint8_t kMcrDtr = 0x01;
constexpr std::uint8_t kMcrRts = 0x02;
constexpr std::uint8_t kMcrLines = kMcrDtr | kMcrRts;
// Modem status register bits.
constexpr std::uint8_t kMsrCts = 0x10;
constexpr std::uint8_t kMsrDsr = 0x20;
constexpr std::uint8_t kMsrRi = 0x40;
constexpr std::uint8_t kMsrDcd = 0x80;
// Line status with an empty transmitter, as an idle UART shows it.
constexpr std::uint8_t kLsrIdle = 0x60;

class SerialDevice final : public PortDevice {
  public:
    // shared: the port is also used by another program (rig control on the same adapter):
    // no exclusive lock, the lines the other program holds are left alone.
    SerialDevice(DeviceLayer& layer, int comNumber, std::string path, DevicesTiming timing,
                 bool shared = false);
    ~SerialDevice() override;

    // Register access at base + offset (0..7).
    std::uint8_t In(std::uint16_t offset) noexcept;
    void Out(std::uint16_t offset, std::uint8_t value) noexcept;

    // The DTR and RTS bits that the device shows (as modem control bits), 0 when unknown.
    std::uint8_t LinesOn() const noexcept;
    // Watchdog: drops these modem control bits at once; the next write puts the wanted back.
    void Release(std::uint8_t mcrBits) noexcept;
    // Crash handler: DTR and RTS off with one ioctl.
    void ReleaseFromSignal() noexcept;

    // Monitor thread: once the status register has been read (a paddle on this port), a
    // thread of its own follows the lines and the keyer takes the latest value from it, so a
    // USB adapter's slow status request never holds a keyer tick. The thread sleeps until a
    // line changes (TIOCMIWAIT) where the driver can tell, and reads the lines about every ms
    // where it cannot. Until then, and without the thread, a read asks the device itself.
    void StartStatusPoller();
    void StopStatusPoller();
    // Told on the status thread when the lines it follows change or the device fails. Set it
    // before StartStatusPoller.
    void OnStatusChange(std::function<void()> told) { statusChanged_ = std::move(told); }
    // The keyer has read the status register, and no thread follows it yet.
    bool StatusUnfollowed() const noexcept { return statusWanted_.load() && !polling_.load(); }
    bool StatusWanted() const noexcept { return statusWanted_.load(); }
    // Monitor thread: reads the lines once more, in case a change came between the waiting
    // thread's read and its next wait.
    void RefreshStatus() noexcept;
    // True while the status thread sleeps until a line changes (false: it polls, or is off).
    bool WaitsForChanges() const noexcept { return waiting_.load(); }
    bool Shared() const noexcept { return shared_; }

  private:
    int OpenFlags() const noexcept override;
    int Setup(int fd) noexcept override;
    int Probe(int fd) noexcept override;
    std::string Advice(int negativeErrno, bool inSetup) const override;

    bool ApplyModemControl(std::uint8_t mcr) noexcept;
    std::uint8_t AskStatus() noexcept;
    std::uint8_t ReadModemStatus() noexcept;
    void FollowStatus();
    void StoreStatus() noexcept;

    const bool shared_;
    LineWriter modemControl_;
    std::atomic<std::uint8_t> lastStatus_{0};
    std::atomic<bool> statusWanted_{false};
    std::atomic<bool> polling_{false};
    std::atomic<std::uint8_t> polledStatus_{0};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> pollerDone_{true};
    std::mutex statusMutex_;  // the status thread's and the monitor's read-and-store
    std::function<void()> statusChanged_;
    Stopper pollerStopper_;
    std::thread poller_;
    std::atomic<std::uint8_t> scratch_{0};
};

}  // namespace telkey
