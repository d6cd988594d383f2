#pragma once
// A DeviceLayer with fake devices in place of ttys, ppdev nodes, input devices and the PC
// speaker, for tests of the devices backend. The line state of every device lives in one block
// that can be shared with a forked child (MAP_SHARED), and the serial and parallel ioctls only
// touch atomics there, so they stay async-signal-safe like the real ones: a child that dies in
// the crash handler leaves its last line state for the parent to read.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backends/devices_layer.h"

namespace telkey::test {

enum class FakeKind { None, Serial, Parallel, Input, PcSpeaker, Text };

// The part of a fake device that a forked child may change.
struct FakeLines {
    static constexpr std::size_t kHistory = 256;
    std::atomic<int> tiocm{0};             // serial: DTR, RTS out; CTS, DSR, RI, CD in
    std::atomic<int> data{0};              // parallel data lines
    std::atomic<int> status{0x7F};         // parallel status register
    std::atomic<int> tone{0};              // PC speaker: last SND_TONE value
    std::atomic<int> lineChanges{0};       // serial TIOCMBIS/TIOCMBIC and parallel PPWDATA calls
    std::atomic<int> statusReads{0};       // TIOCMGET and PPRSTATUS calls
    std::atomic<int> statusDelayMs{0};     // TIOCMGET takes this long (a slow USB adapter)
    std::atomic<bool> noModemWait{false};  // the driver has no TIOCMIWAIT
    std::atomic<int> modemWaiters{0};      // threads blocked in TIOCMIWAIT now
    std::atomic<int> modemWaits{0};        // TIOCMIWAIT calls
    std::atomic<int> readWaits{0};         // WaitReadable calls
    std::atomic<bool> exclusive{false};    // TIOCEXCL was asked for
    std::atomic<int> cflag{0};             // serial: the termios c_cflag
    std::atomic<int> termiosWrites{0};     // serial: TCSETS calls
    std::array<std::atomic<int>, kHistory> history{};  // tiocm or data after each change
};

class FakeDeviceLayer final : public DeviceLayer {
  public:
    static constexpr int kMaxDevices = 16;
    static constexpr int kFirstFd = 1000;
    static constexpr int kMaxFds = 64;

    // shared: the line block is mapped MAP_SHARED, so a forked child's changes show here.
    explicit FakeDeviceLayer(bool shared = false) : shared_(shared) {
        const std::size_t size = sizeof(FakeLines) * kMaxDevices;
        void* block = shared ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0)
                             : ::operator new(size);
        lines_ = static_cast<FakeLines*>(block);
        for (int i = 0; i < kMaxDevices; ++i) new (&lines_[i]) FakeLines();
        for (auto& fd : fds_) fd.store(-1);
    }
    ~FakeDeviceLayer() override {
        for (int i = 0; i < kMaxDevices; ++i) lines_[i].~FakeLines();
        if (shared_) {
            ::munmap(lines_, sizeof(FakeLines) * kMaxDevices);
        } else {
            ::operator delete(lines_);
        }
    }
    FakeDeviceLayer(const FakeDeviceLayer&) = delete;
    FakeDeviceLayer& operator=(const FakeDeviceLayer&) = delete;

    // Adding devices (before the backend opens them). Returns the device's index.
    int AddSerial(const std::string& path) { return Add(path, FakeKind::Serial); }
    int AddParallel(const std::string& path) { return Add(path, FakeKind::Parallel); }
    int AddPcSpeaker(const std::string& path) { return Add(path, FakeKind::PcSpeaker); }
    int AddText(const std::string& path, const std::string& text) {
        const int i = Add(path, FakeKind::Text);
        devices_[i].text = text;
        return i;
    }
    // An input device with these key (or button) codes; "name" as EVIOCGNAME gives it.
    int AddInput(const std::string& path, const std::vector<int>& codes,
                 const std::string& name = "Fake paddle") {
        const int i = Add(path, FakeKind::Input);
        for (int code : codes) SetBit(devices_[i].caps, code, true);
        devices_[i].name = name;
        return i;
    }

    FakeLines& Lines(int device) { return lines_[device]; }
    int Tiocm(int device) const { return lines_[device].tiocm.load(); }

    // Inputs of the fake devices.
    void SetModemInputs(int device, int tiocmBits) {
        constexpr int kOutputs = TIOCM_DTR | TIOCM_RTS;
        FakeLines& l = lines_[device];
        {
            std::lock_guard lock(mutex_);
            l.tiocm.store((l.tiocm.load() & kOutputs) | (tiocmBits & ~kOutputs));
        }
        cv_.notify_all();
    }
    // Another program's lines on a shared port (DTR, RTS), as if it had set them.
    void SetModemOutputsElsewhere(int device, int tiocmBits) {
        lines_[device].tiocm.fetch_or(tiocmBits);
    }
    void SetParallelStatus(int device, int status) { lines_[device].status.store(status); }
    void PressKey(int device, int code, bool down) {
        {
            std::lock_guard lock(mutex_);
            SetBit(devices_[device].keys, code, down);
            input_event e{};
            e.type = EV_KEY;
            e.code = static_cast<std::uint16_t>(code);
            e.value = down ? 1 : 0;
            devices_[device].events.push_back(e);
            input_event syn{};
            syn.type = EV_SYN;
            devices_[device].events.push_back(syn);
        }
        cv_.notify_all();
    }
    // A key held before the device is opened (read through EVIOCGKEY).
    void HoldKey(int device, int code) {
        std::lock_guard lock(mutex_);
        SetBit(devices_[device].keys, code, true);
    }

    // Faults.
    void SetOpenError(int device, int negativeErrno) { devices_[device].openError = negativeErrno; }
    void SetClaimError(int device, int negativeErrno) {
        devices_[device].claimError = negativeErrno;
    }
    // The node's owner, group and permission bits as stat(2) tells them (unknown until set).
    void SetOwner(int device, uid_t uid, gid_t gid, mode_t mode) {
        devices_[device].owner = {uid, gid, mode};
    }
    void SetGrabbedElsewhere(int device, bool grabbed) {
        devices_[device].grabbedElsewhere = grabbed;
    }
    // Unplugged: every call on an open descriptor fails, the path no longer opens. Plugged back:
    // the path opens again (old descriptors stay dead, as with a real adapter).
    void Unplug(int device) {
        {
            std::lock_guard lock(mutex_);
            devices_[device].present.store(false);
            devices_[device].generation.fetch_add(1);
        }
        cv_.notify_all();
    }
    void Plug(int device) {
        std::lock_guard lock(mutex_);
        devices_[device].present.store(true);
    }

    bool Grabbed(int device) const { return devices_[device].grabbed.load(); }
    int OpenCount(int device) const { return devices_[device].opens.load(); }
    int OpenDescriptors() const {
        int n = 0;
        for (const auto& fd : fds_) n += fd.load() >= 0 ? 1 : 0;
        return n;
    }
    int LastOpenFlags(int device) const { return devices_[device].lastFlags.load(); }

    // DeviceLayer.
    int Open(const char* path, int flags) noexcept override {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < count_; ++i) {
            Device& d = devices_[i];
            if (d.path != path) continue;
            if (!d.present) return -ENOENT;
            if (d.openError != 0) return d.openError;
            for (int slot = 0; slot < kMaxFds; ++slot) {
                int expected = -1;
                if (fds_[slot].compare_exchange_strong(expected, i)) {
                    generation_[slot].store(d.generation.load());
                    d.opens.fetch_add(1);
                    d.lastFlags.store(flags);
                    if (d.kind == FakeKind::Text) d.readPos = 0;
                    // As the tty layer does: opening a serial port raises DTR and RTS.
                    if (d.kind == FakeKind::Serial) {
                        Record(lines_[i], lines_[i].tiocm.fetch_or(TIOCM_DTR | TIOCM_RTS) |
                                              TIOCM_DTR | TIOCM_RTS);
                    }
                    return kFirstFd + slot;
                }
            }
            return -EMFILE;
        }
        return -ENOENT;
    }

    int Stat(const char* path, struct stat* st) noexcept override {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < count_; ++i) {
            const Device& d = devices_[i];
            if (d.path != path) continue;
            if (!d.owner) return -ENOSYS;
            st->st_uid = d.owner->uid;
            st->st_gid = d.owner->gid;
            st->st_mode = S_IFCHR | d.owner->mode;
            return 0;
        }
        return -ENOENT;
    }

    int Close(int fd) noexcept override {
        const int slot = fd - kFirstFd;
        if (slot < 0 || slot >= kMaxFds) return -EBADF;
        const int device = fds_[slot].exchange(-1);
        if (device < 0) return -EBADF;
        devices_[device].grabbed.store(false);
        return 0;
    }

    int Ioctl(int fd, unsigned long request, void* arg) noexcept override {
        const int device = DeviceOf(fd);
        if (device < 0) return -EBADF;
        Device& d = devices_[device];
        if (!Alive(fd, device)) return d.kind == FakeKind::Input ? -ENODEV : -EIO;
        FakeLines& l = lines_[device];
        switch (d.kind) {
            case FakeKind::Serial:
                return SerialIoctl(l, request, arg);
            case FakeKind::Parallel:
                return ParallelIoctl(d, l, request, arg);
            case FakeKind::Input:
                return InputIoctl(d, request, arg);
            default:
                return -ENOTTY;
        }
    }

    long Read(int fd, void* buffer, std::size_t size) noexcept override {
        const int device = DeviceOf(fd);
        if (device < 0) return -EBADF;
        Device& d = devices_[device];
        std::lock_guard lock(mutex_);
        if (d.kind == FakeKind::Text) {
            const std::size_t n = std::min(size, d.text.size() - d.readPos);
            std::memcpy(buffer, d.text.data() + d.readPos, n);
            d.readPos += n;
            return static_cast<long>(n);
        }
        if (!AliveLocked(fd, device)) return -ENODEV;
        if (d.kind != FakeKind::Input) return -EINVAL;
        if (d.events.empty()) return -EAGAIN;
        std::size_t n = 0;
        auto* out = static_cast<input_event*>(buffer);
        while (!d.events.empty() && (n + 1) * sizeof(input_event) <= size) {
            out[n++] = d.events.front();
            d.events.pop_front();
        }
        return static_cast<long>(n * sizeof(input_event));
    }

    long Write(int fd, const void* data, std::size_t size) noexcept override {
        const int device = DeviceOf(fd);
        if (device < 0) return -EBADF;
        if (!Alive(fd, device)) return -ENODEV;
        if (devices_[device].kind == FakeKind::PcSpeaker && size == sizeof(input_event)) {
            input_event e;
            std::memcpy(&e, data, sizeof e);
            if (e.type == EV_SND && e.code == SND_TONE) lines_[device].tone.store(e.value);
        }
        return static_cast<long>(size);
    }

    int WaitReadable(int fd, int timeoutMs) noexcept override {
        const int device = DeviceOf(fd);
        if (device < 0) return -EBADF;
        std::unique_lock lock(mutex_);
        Device& d = devices_[device];
        lines_[device].readWaits.fetch_add(1);
        const int wakes = wakes_;
        const auto ready = [&] { return !AliveLocked(fd, device) || !d.events.empty(); };
        if (timeoutMs == kNoTimeout) {
            cv_.wait(lock, [&] { return ready() || wakes_ != wakes; });
        } else {
            cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        }
        return ready() ? 1 : 0;
    }

    // TIOCMIWAIT: returns when a line in mask changes, the device goes, or a wake comes.
    int WaitModemChange(int fd, int mask) noexcept override {
        const int device = DeviceOf(fd);
        if (device < 0) return -EBADF;
        FakeLines& l = lines_[device];
        if (devices_[device].kind != FakeKind::Serial) return -ENOTTY;
        if (l.noModemWait.load()) return -EINVAL;
        std::unique_lock lock(mutex_);
        if (!AliveLocked(fd, device)) return -EIO;
        const int before = l.tiocm.load() & mask;
        const int wakes = wakes_;
        l.modemWaits.fetch_add(1);
        l.modemWaiters.fetch_add(1);
        cv_.wait(lock, [&] {
            return !AliveLocked(fd, device) || (l.tiocm.load() & mask) != before || wakes_ != wakes;
        });
        l.modemWaiters.fetch_sub(1);
        if (!AliveLocked(fd, device)) return -EIO;
        return wakes_ != wakes ? -EINTR : 0;
    }
    void WakeBlockedWait(std::thread&) noexcept override {
        {
            std::lock_guard lock(mutex_);
            ++wakes_;
        }
        cv_.notify_all();
    }

  private:
    struct Device {
        std::string path;
        FakeKind kind = FakeKind::None;
        std::atomic<bool> present{true};
        std::atomic<int> generation{0};
        int openError = 0;
        int claimError = 0;
        struct Owner {
            uid_t uid;
            gid_t gid;
            mode_t mode;
        };
        std::optional<Owner> owner;
        bool grabbedElsewhere = false;
        std::atomic<bool> grabbed{false};
        std::atomic<int> opens{0};
        std::atomic<int> lastFlags{0};
        std::array<unsigned char, KEY_MAX / 8 + 1> caps{};
        std::array<unsigned char, KEY_MAX / 8 + 1> keys{};
        std::deque<input_event> events;
        std::string name;
        std::string text;
        std::size_t readPos = 0;
    };

    static void SetBit(std::array<unsigned char, KEY_MAX / 8 + 1>& bits, int code, bool on) {
        const auto byte = static_cast<std::size_t>(code / 8);
        const auto mask = static_cast<unsigned char>(1u << (code % 8));
        bits[byte] = on ? static_cast<unsigned char>(bits[byte] | mask)
                        : static_cast<unsigned char>(bits[byte] & ~mask);
    }

    int Add(const std::string& path, FakeKind kind) {
        std::lock_guard lock(mutex_);
        const int i = count_++;
        devices_[i].path = path;
        devices_[i].kind = kind;
        return i;
    }

    int DeviceOf(int fd) const noexcept {
        const int slot = fd - kFirstFd;
        if (slot < 0 || slot >= kMaxFds) return -1;
        return fds_[slot].load();
    }

    // Read without the lock: a crash handler may be the caller.
    bool Alive(int fd, int device) const noexcept {
        const Device& d = devices_[device];
        return d.present.load() && generation_[fd - kFirstFd].load() == d.generation.load();
    }
    bool AliveLocked(int fd, int device) const noexcept { return Alive(fd, device); }

    static void Record(FakeLines& l, int value) {
        const int n = l.lineChanges.fetch_add(1);
        l.history[static_cast<std::size_t>(n) % FakeLines::kHistory].store(value);
    }

    static int SerialIoctl(FakeLines& l, unsigned long request, void* arg) {
        constexpr int kOutputs = TIOCM_DTR | TIOCM_RTS;
        switch (request) {
            case TIOCMGET:
                l.statusReads.fetch_add(1);
                if (const int ms = l.statusDelayMs.load(); ms > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                }
                *static_cast<int*>(arg) = l.tiocm.load();
                return 0;
            case TIOCMBIS:
                Record(l, l.tiocm.fetch_or(*static_cast<int*>(arg) & kOutputs) |
                              (*static_cast<int*>(arg) & kOutputs));
                return 0;
            case TIOCMBIC:
                Record(l, l.tiocm.fetch_and(~(*static_cast<int*>(arg) & kOutputs)) &
                              ~(*static_cast<int*>(arg) & kOutputs));
                return 0;
            case TIOCEXCL:
                l.exclusive.store(true);
                return 0;
            case TCGETS: {
                termios mode{};
                mode.c_cflag = static_cast<tcflag_t>(l.cflag.load());
                std::memcpy(arg, &mode, sizeof mode);
                return 0;
            }
            case TCSETS:
                l.cflag.store(static_cast<int>(static_cast<termios*>(arg)->c_cflag));
                l.termiosWrites.fetch_add(1);
                return 0;
            default:
                return -ENOTTY;
        }
    }

    static int ParallelIoctl(Device& d, FakeLines& l, unsigned long request, void* arg) {
        switch (request) {
            case PPCLAIM:
                return d.claimError;
            case PPRELEASE:
                return 0;
            case PPWDATA:
                l.data.store(*static_cast<unsigned char*>(arg));
                Record(l, *static_cast<unsigned char*>(arg));
                return 0;
            case PPRSTATUS:
                l.statusReads.fetch_add(1);
                *static_cast<unsigned char*>(arg) = static_cast<unsigned char>(l.status.load());
                return 0;
            default:
                return -ENOTTY;
        }
    }

    int InputIoctl(Device& d, unsigned long request, void* arg) {
        const unsigned long sizeless =
            request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
        const std::size_t size = _IOC_SIZE(request);
        const auto sizelessOf = [](unsigned long r) {
            return r & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
        };
        std::lock_guard lock(mutex_);
        if (sizeless == sizelessOf(EVIOCGBIT(EV_KEY, 0))) {
            std::memcpy(arg, d.caps.data(), std::min(size, d.caps.size()));
            return static_cast<int>(std::min(size, d.caps.size()));
        }
        if (sizeless == sizelessOf(EVIOCGKEY(0))) {
            std::memcpy(arg, d.keys.data(), std::min(size, d.keys.size()));
            return static_cast<int>(std::min(size, d.keys.size()));
        }
        if (sizeless == sizelessOf(EVIOCGNAME(0))) {
            const std::size_t n = std::min(size, d.name.size());
            std::memcpy(arg, d.name.data(), n);
            return static_cast<int>(n);
        }
        if (request == EVIOCGRAB) {
            if (arg != nullptr && d.grabbedElsewhere) return -EBUSY;
            d.grabbed.store(arg != nullptr);
            return 0;
        }
        return -ENOTTY;
    }

    const bool shared_;
    FakeLines* lines_;
    std::array<Device, kMaxDevices> devices_;
    int count_ = 0;
    std::array<std::atomic<int>, kMaxFds> fds_;
    std::array<std::atomic<int>, kMaxFds> generation_{};
    int wakes_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace telkey::test
