#pragma once
// One legacy port's device (a tty for a COM port, a ppdev node for an LPT port): opened at
// start, dropped when it fails or is unplugged, taken back when it returns. The keyer and window
// threads only use the descriptor; opening, probing and closing happen on the monitor thread, so
// a vanished USB adapter never blocks the keyer.
#include <atomic>
#include <cstdint>
#include <string>

#include "backends/devices_layer.h"
#include "backends/devices_notices.h"
#include "engine/line_guard.h"

namespace telkey {

struct DevicesTiming {
    std::int64_t monitorPeriodNs = 50'000'000;    // how often the monitor thread looks around
    std::int64_t probePeriodNs = 1'000'000'000;   // health check of an idle open device
    std::int64_t reopenPeriodNs = 1'000'000'000;  // retry of a missing device
    std::int64_t stallNs = 500'000'000;           // keyer silence after which the watchdog releases
};

class PortDevice {
  public:
    PortDevice(DeviceLayer& layer, std::string name, std::string path, DevicesTiming timing);
    virtual ~PortDevice();
    PortDevice(const PortDevice&) = delete;
    PortDevice& operator=(const PortDevice&) = delete;

    // At start: "" when the device is open, else a message that names the device and the fix.
    // A device that failed is tried again by Monitor.
    std::string Open();
    // Monitor thread: closes a device that failed, probes an open one now and then, and
    // retries a missing one. Posts a notice when a device goes or comes back.
    void Monitor(std::int64_t nowNs, DeviceNotices& notices);
    // Closes the device (after Release) when the backend ends.
    void Shut() noexcept;
    // The guardian gets the device now and each time it is opened again, in `slot`.
    void GuardWith(LineGuard& guard, GuardedKind kind, int slot) noexcept;

    bool IsOpen() const noexcept { return fd_.load() >= 0; }
    const std::string& Name() const noexcept { return name_; }
    const std::string& Path() const noexcept { return path_; }

  protected:
    virtual int OpenFlags() const noexcept = 0;
    // Right after open: 0, or -errno to give the device up.
    virtual int Setup(int fd) noexcept = 0;
    // A cheap call whose failure tells that the device is gone.
    virtual int Probe(int fd) noexcept = 0;
    // Before close, while the device may still be there.
    virtual void Teardown(int /*fd*/) noexcept {}
    // The fix for a failed open (-errno) or a failed Setup.
    virtual std::string Advice(int negativeErrno, bool inSetup) const = 0;

    // Any thread: a call on the device failed; true when the failure means it is gone, and
    // then the monitor drops it.
    bool NoteFailure(int negativeErrno) noexcept;

    DeviceLayer& layer_;
    std::atomic<int> fd_{-1};

  private:
    int TryOpen(std::string& message);
    void HandToGuard(int fd) noexcept;
    void TakeFromGuard() noexcept;

    const std::string name_;
    const std::string path_;
    const DevicesTiming timing_;
    std::atomic<bool> lost_{false};
    int closing_ = -1;  // dropped on the last round, closed on this one (monitor thread only)
    bool everOpen_ = false;
    std::int64_t nextProbeNs_ = 0;
    std::int64_t nextTryNs_ = 0;
    std::atomic<LineGuard*> guard_{nullptr};
    GuardedKind guardKind_ = GuardedKind::Serial;
    int guardSlot_ = 0;
};

}  // namespace telkey
