// A paddle on a serial port's CTS and DSR, on an emulated tty: the CPU the status thread costs
// while nothing happens, waiting for line changes (TIOCMIWAIT) or polling them every ms as a
// driver without it needs, and the time from a contact's change to the value the keyer reads.
// Prints figures, asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "backends/port_bus_devices.h"
#include "tests/support/fake_device_layer.h"

namespace {

using telkey::DevicesConfig;
using telkey::DevicesPortBus;
using telkey::test::FakeDeviceLayer;

constexpr std::uint16_t kCom1Status = 0x3FE;
constexpr std::uint8_t kCts = 0x10;
constexpr int kIdleSeconds = 5;
constexpr int kChanges = 2000;

enum class Paddle { None, Polled, Waited };

const char* Name(Paddle p) {
    switch (p) {
        case Paddle::None:
            return "COM1 keying only, no paddle on it";
        case Paddle::Polled:
            return "paddle on COM1, driver without TIOCMIWAIT (polled every ms, as before)";
        case Paddle::Waited:
            return "paddle on COM1, TIOCMIWAIT";
    }
    return "";
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Rig {
    explicit Rig(Paddle paddle) {
        const int com = layer.AddSerial("/dev/ttyUSB0");
        device = com;
        layer.Lines(com).noModemWait = paddle == Paddle::Polled;
        DevicesConfig config;
        config.com[0] = "/dev/ttyUSB0";
        bus = std::make_unique<DevicesPortBus>(layer, config, warnings);
        // A paddle is read through the status register; the monitor then starts the thread.
        if (paddle != Paddle::None) (void)bus->in(kCom1Status);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    FakeDeviceLayer layer;
    std::vector<std::string> warnings;
    std::unique_ptr<DevicesPortBus> bus;
    int device = -1;
};

void IdleCpu(Paddle paddle) {
    Rig rig(paddle);
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double cpu = CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("  %-72s %7.3f ms CPU per wall second, %6d status reads per second\n", Name(paddle),
                cpu / wall * 1000.0,
                static_cast<int>(rig.layer.Lines(rig.device).statusReads.load() / wall));
}

void Latency(Paddle paddle) {
    Rig rig(paddle);
    std::vector<double> us;
    for (int i = 0; i < kChanges; ++i) {
        const bool closed = i % 2 == 0;
        // Let the status thread settle into its wait (or poll) first, as between two elements.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        const std::int64_t t0 = NowNs();
        rig.layer.SetModemInputs(rig.device, closed ? TIOCM_CTS : 0);
        while (((rig.bus->in(kCom1Status)&kCts) != 0) != closed) {
        }
        us.push_back(static_cast<double>(NowNs() - t0) / 1000.0);
    }
    std::sort(us.begin(), us.end());
    std::printf("  %-72s median %7.1f us, 99th %7.1f us, max %8.1f us (%d changes)\n", Name(paddle),
                us[us.size() / 2], us[us.size() * 99 / 100], us.back(), kChanges);
}

}  // namespace

int main() {
    std::printf("Idle CPU of the device threads over %d s (fake tty, monitor every 50 ms):\n",
                kIdleSeconds);
    for (Paddle p : {Paddle::None, Paddle::Polled, Paddle::Waited}) IdleCpu(p);
    std::printf(
        "Contact change to the value a keyer tick reads (the keyer reads it at its next tick, "
        "up to TickMs later):\n");
    for (Paddle p : {Paddle::Polled, Paddle::Waited}) Latency(p);
    return 0;
}
