// Timing of the real keyer timer thread: the keyer keys a fixed text on the simulated port bus at
// three speeds, and the length of every key-down and key-up is compared with its ideal length
// (its tick count times TickMs). A bare periodic clock_nanosleep loop at 1 ms, with the same
// priority and timer slack, is the baseline. With --lpm only that speed is keyed, with --text
// that text. Prints figures; asserts nothing.
//
//   keyer_timing [--no-realtime] [--idle-seconds=N] [--lpm=N] [--text=TEXT]
//                [--edge-lead=PERCENTILE (0: no early wake before an edge)]
//                [--missed=catch-up|skip]
#include <poll.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/realtime_kit.h"
#include "backends/port_bus_sim.h"
#include "bench/bench_figures.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "engine/thread_tick_driver.h"
#include "options/speed_table.h"

using namespace telkey;
using namespace telkey::bench;

namespace {

constexpr std::uint16_t kKeyRegister = 0x378;  // LPT1, KeyPortNumber 5
constexpr std::int32_t kKeyPortNumber = 5;
const char* const kShortText = "PARIS PARIS PARIS 5";

struct Speed {
    int lpm;
    int dotMs;
    int tickMs;
    const char* text;
};

// What the timer thread is set up with in every run.
constexpr int kWindowWaitBoundMs = 2000;

struct TimerSetup {
    bool wantRealtime = true;
    RealtimeKit* broker = nullptr;  // asked when SCHED_FIFO is refused
    MissedTicks missed = MissedTicks::CatchUp;
    int edgeLeadPercentile = EdgeLead::kDefaultPercentile;
};

void SleepMs(int ms) {
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * kNsPerMs};
    nanosleep(&t, nullptr);
}

// Forwards to the simulated bus and stamps each write with the tick that made it, so that the
// ideal length of a key segment is known exactly. Storage is preallocated.
class TickStampingBus : public PortBus {
  public:
    explicit TickStampingBus(SimPortBus& inner) : inner_(inner), ticks_(inner.Capacity()) {}
    void SetKeyer(const Keyer* keyer) { keyer_ = keyer; }
    std::uint8_t in(std::uint16_t port) override { return inner_.in(port); }
    void out(std::uint16_t port, std::uint8_t value) override {
        const std::size_t i = count_.load(std::memory_order_relaxed);
        if (i < ticks_.size()) ticks_[i] = keyer_ != nullptr ? keyer_->TickCount() : 0;
        count_.store(i + 1, std::memory_order_release);
        inner_.out(port, value);
    }
    // Tick of the n-th write since the start (the bus is never cleared here).
    std::uint64_t TickOf(std::size_t n) const { return ticks_[n]; }
    bool InputAnnounced(std::uint16_t port) const noexcept override {
        return inner_.InputAnnounced(port);
    }
    void SetInputWake(WakeWord* wake) noexcept override { inner_.SetInputWake(wake); }

  private:
    SimPortBus& inner_;
    const Keyer* keyer_ = nullptr;
    std::vector<std::uint64_t> ticks_;
    std::atomic<std::size_t> count_{0};
};

struct LatenessFigures {
    double p50Us = 0, p99Us = 0, maxUs = 0;
    std::uint64_t wakeups = 0, missed = 0;
};

LatenessFigures Lateness(const TickStats& stats) {
    LatenessFigures f;
    f.p50Us = stats.LatenessPercentileUs(0.50);
    f.p99Us = stats.LatenessPercentileUs(0.99);
    f.maxUs = static_cast<double>(stats.maxLatenessNs.load()) / 1000.0;
    f.wakeups = stats.wakeUps.load();
    f.missed = stats.missedTicks.load();
    return f;
}

void PrintLateness(const char* label, const LatenessFigures& f) {
    std::printf(
        "  %-28s p50 %6.1f us   p99 %6.1f us   max %8.1f us   (%llu wake-ups, %llu missed)\n",
        label, f.p50Us, f.p99Us, f.maxUs, static_cast<unsigned long long>(f.wakeups),
        static_cast<unsigned long long>(f.missed));
}

// ---- Baseline: a bare periodic loop with the same priority and slack -----------------------

struct Baseline {
    LatenessFigures lateness;
    double cpuPerWall = 0;
    bool realtime = false;
};

Baseline RunBareLoop(double seconds, const TimerSetup& setup) {
    auto stats = std::make_unique<TickStats>();
    std::atomic<bool> stop{false};
    std::atomic<int> realtime{-1};
    CpuMeter cpu;
    std::thread loop([&] {
        SetFineTimerSlack();
        realtime = setup.wantRealtime &&
                   RaiseThreadPriority(gettid(), ThreadTickDriver::kRealtimePriority, setup.broker)
                       .IsRealtime();
        PrefaultStack();
        TickSchedule schedule(NowNs(CLOCK_MONOTONIC) + kNsPerMs, kNsPerMs, MissedTicks::Skip);
        while (!stop.load(std::memory_order_acquire)) {
            const timespec wake{static_cast<time_t>(schedule.Deadline() / kNsPerSec),
                                static_cast<long>(schedule.Deadline() % kNsPerSec)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
            const TickSchedule::Due due = schedule.Wake(NowNs(CLOCK_MONOTONIC));
            const auto bucket =
                std::min<std::int64_t>(due.lateNs / 1000, TickStats::kLatenessBuckets - 1);
            stats->latenessUs[static_cast<std::size_t>(bucket)].fetch_add(
                1, std::memory_order_relaxed);
            if (due.lateNs > stats->maxLatenessNs.load(std::memory_order_relaxed)) {
                stats->maxLatenessNs.store(due.lateNs, std::memory_order_relaxed);
            }
            stats->ticks.fetch_add(1, std::memory_order_relaxed);
            stats->missedTicks.fetch_add(static_cast<std::uint64_t>(due.missed),
                                         std::memory_order_relaxed);
        }
    });
    SleepMs(static_cast<int>(seconds * 1000));
    Baseline b;
    b.cpuPerWall = cpu.Ratio();
    stop = true;
    loop.join();
    b.lateness = Lateness(*stats);
    b.realtime = realtime.load() == 1;
    return b;
}

// ---- The keyer on the real timer thread ----------------------------------------------------

struct KeyedRun {
    KeyingFigures figures;
    double dotUs = 0;
    LatenessFigures lateness;
    ThreadScheduling scheduling;
    bool complete = false;
};

// Waits a bounded while for RealtimeKit's answer, so that the figures are of what it gave.
void SettleScheduling(ThreadTickDriver& driver) {
    for (int i = 0; i < 500 && driver.AwaitingBroker(); ++i) {
        SleepMs(10);
        driver.TakeBrokerAnswer();
    }
}

void SetUp(ThreadTickDriver& driver, const TimerSetup& setup) {
    driver.SetWantRealtime(setup.wantRealtime);
    driver.SetRealtimeBroker(setup.broker);
    driver.SetMissedTicks(setup.missed);
    driver.SetEdgeLeadPercentile(setup.edgeLeadPercentile);
}

KeyedRun KeyText(const Speed& speed, const TimerSetup& setup) {
    SimPortBus sim(std::size_t{1} << 18);
    TickStampingBus bus(sim);
    ThreadTickDriver driver;
    SetUp(driver, setup);
    Engine engine(bus, driver);
    bus.SetKeyer(&engine.keyer);
    engine.ResetHandover();
    engine.portSettings.KeyPortNumber = kKeyPortNumber;
    const int dotTicks = speed.dotMs / speed.tickMs;
    engine.keyerSettings.DotTicks = dotTicks;
    engine.keyerSettings.DashTicks = dotTicks * 3;
    engine.keyerSettings.WeightTicks = 0;

    std::vector<std::uint8_t> codes;
    std::size_t letters = 0;
    for (const char* p = speed.text; *p != '\0'; ++p) {
        codes.push_back(CharToCode(static_cast<std::uint8_t>(*p)));
        if (codes.back() != CodeWordSpace) ++letters;
    }

    KeyedRun run;
    if (!engine.timer.StartKeyerTimer().empty() || !engine.timer.RecreateKeyerTimer(speed.tickMs)) {
        std::printf("  the keyer timer could not be started\n");
        return run;
    }
    SettleScheduling(driver);
    SleepMs(50);  // let the thread settle before the text starts
    driver.Stats().Reset();
    CpuMeter cpu;

    // The window thread: refill the mailbox on each WM_KEYER_NEED_CODE, echo from the ring.
    std::size_t fed = 0;
    std::size_t echoed = 0;
    if (engine.mailbox.Fill(codes[fed])) ++fed;
    const std::int64_t limitNs = NowNs(CLOCK_MONOTONIC) + static_cast<std::int64_t>(codes.size()) *
                                                              40 * speed.dotMs * kNsPerMs;
    while (echoed < letters && NowNs(CLOCK_MONOTONIC) < limitNs) {
        // As the window thread, woken by the keyer's notifications only (libcw's side blocks
        // until its queue is empty); the bound just ends a run that hangs.
        pollfd p{engine.notifications.WakeupFd(), POLLIN, 0};
        poll(&p, 1, kWindowWaitBoundMs);
        engine.notifications.ClearWakeup();
        Notification n;
        while (engine.notifications.Pop(n)) {
            if (n == Notification::WM_KEYER_NEED_CODE && fed < codes.size() &&
                engine.mailbox.Fill(codes[fed])) {
                ++fed;
            }
        }
        std::uint8_t code;
        while (engine.ring.Pop(code)) {
            if (code != CodeWordSpace) ++echoed;
        }
    }
    run.figures.cpuPerWall = cpu.Ratio();
    run.complete = echoed == letters;
    engine.timer.StopKeyerTimer();
    run.lateness = Lateness(driver.Stats());
    run.scheduling = driver.Scheduling();

    // Key edges from the time stamps of the key register writes.
    const std::vector<PortWrite> writes = sim.Writes();
    struct Edge {
        std::uint64_t timeNs;
        std::uint64_t tick;
    };
    std::vector<Edge> edges;
    bool down = false;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        if (writes[i].port != kKeyRegister) continue;
        const bool nowDown = (writes[i].value & engine.portSettings.KeyMask) != 0;
        if (nowDown != down) edges.push_back({writes[i].timeNs, bus.TickOf(i)});
        down = nowDown;
    }
    const double tickUs = speed.tickMs * 1000.0;
    std::vector<double> errors;
    for (std::size_t i = 1; i < edges.size(); ++i) {
        const double measured = static_cast<double>(edges[i].timeNs - edges[i - 1].timeNs) / 1000.0;
        const double ideal = static_cast<double>(edges[i].tick - edges[i - 1].tick) * tickUs;
        errors.push_back(std::fabs(measured - ideal));
    }
    run.figures.errorUs = Summarise(errors);
    run.figures.segments = errors.size();
    run.dotUs = speed.dotMs * 1000.0;
    if (edges.size() >= 2) {
        const double measured =
            static_cast<double>(edges.back().timeNs - edges.front().timeNs) / 1000.0;
        const double ideal = static_cast<double>(edges.back().tick - edges.front().tick) * tickUs;
        run.figures.driftUs = measured - ideal;
        run.figures.seconds = measured / 1e6;
    }
    return run;
}

double IdleKeyerCpu(double seconds, const TimerSetup& setup, LatenessFigures& lateness) {
    SimPortBus sim(std::size_t{1} << 14);
    ThreadTickDriver driver;
    SetUp(driver, setup);
    Engine engine(sim, driver);
    engine.portSettings.KeyPortNumber = kKeyPortNumber;
    engine.keyerSettings.DotTicks = 6;
    engine.keyerSettings.DashTicks = 18;
    engine.timer.StartKeyerTimer();
    engine.timer.RecreateKeyerTimer(1);
    SettleScheduling(driver);
    SleepMs(50);
    driver.Stats().Reset();
    CpuMeter cpu;
    SleepMs(static_cast<int>(seconds * 1000));
    const double ratio = cpu.Ratio();
    engine.timer.StopKeyerTimer();
    lateness = Lateness(driver.Stats());
    return ratio;
}

double Ratio(double a, double b) {
    return b > 0 ? a / b : 0.0;
}

void PrintKeyedRun(const Speed& speed, const TimerSetup& setup) {
    std::printf("Keying %zu characters at %d LPM (dot %d ms, tick %d ms), missed ticks %s\n",
                std::strlen(speed.text), speed.lpm, speed.dotMs, speed.tickMs,
                setup.missed == MissedTicks::Skip ? "skipped" : "caught up");
    const KeyedRun run = KeyText(speed, setup);
    const KeyingFigures& f = run.figures;
    if (!run.complete) std::printf("  (the text did not complete)\n");
    std::printf("  scheduling: %s\n", setup.broker != nullptr
                                          ? SchedulingReport(run.scheduling, *setup.broker).c_str()
                                          : DescribeScheduling(run.scheduling).c_str());
    std::printf("  key segments measured        %zu over %.2f s\n", f.segments, f.seconds);
    std::printf(
        "  edge-length error            p50 %7.1f us  p99 %7.1f us  p99.9 %7.1f us  "
        "max %8.1f us\n",
        f.errorUs.p50, f.errorUs.p99, f.errorUs.p999, f.errorUs.max);
    std::printf(
        "    in per cent of a dot       p50 %7.3f %%   p99 %7.3f %%   p99.9 %7.3f %%   "
        "max %8.3f %%\n",
        100 * f.errorUs.p50 / run.dotUs, 100 * f.errorUs.p99 / run.dotUs,
        100 * f.errorUs.p999 / run.dotUs, 100 * f.errorUs.max / run.dotUs);
    std::printf("  total drift of the text      %+.1f us (%.4f ticks)\n", f.driftUs,
                f.driftUs / (speed.tickMs * 1000.0));
    PrintLateness("tick wake-up lateness", run.lateness);
    std::printf("  CPU per wall second          %.5f\n", f.cpuPerWall);
    PrintResultLine("telkey", speed.lpm, run.scheduling.IsRealtime(), f);
}

Speed SpeedOf(int lpm, const char* text) {
    const SpeedRow& row = kSpeedTable[static_cast<std::size_t>(NearestSpeedRow(lpm))];
    return {row.lpm, row.dotMs, row.tickMs, text};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // for the D-Bus connection to RealtimeKit
    TimerSetup setup;
    double idleSeconds = 5.0;
    int lpm = 0;
    std::string text = kDefaultText;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--no-realtime") {
            setup.wantRealtime = false;
        } else if (arg.starts_with("--idle-seconds=")) {
            idleSeconds = std::atof(argv[i] + std::strlen("--idle-seconds="));
        } else if (arg.starts_with("--lpm=")) {
            lpm = std::atoi(argv[i] + std::strlen("--lpm="));
        } else if (arg.starts_with("--text=")) {
            text = argv[i] + std::strlen("--text=");
        } else if (arg.starts_with("--edge-lead=")) {
            setup.edgeLeadPercentile = std::atoi(argv[i] + std::strlen("--edge-lead="));
        } else if (arg == "--missed=skip" || arg == "--missed=catch-up") {
            setup.missed = arg == "--missed=skip" ? MissedTicks::Skip : MissedTicks::CatchUp;
        } else {
            std::fprintf(stderr,
                         "usage: keyer_timing [--no-realtime] [--idle-seconds=N] [--lpm=N] "
                         "[--text=TEXT] [--missed=catch-up|skip] [--edge-lead=PERCENTILE]\n");
            return 2;
        }
    }
    RealtimeKit realtimeKit;
    setup.broker = &realtimeKit;

    if (lpm > 0) {
        PrintKeyedRun(SpeedOf(lpm, text.c_str()), setup);
        return 0;
    }

    std::printf("Keyer timing on the simulated port bus (%u CPUs)\n\n",
                std::thread::hardware_concurrency());

    std::printf("Baseline: bare clock_nanosleep loop at 1 ms, %.0f s\n", idleSeconds);
    const Baseline bare = RunBareLoop(idleSeconds, setup);
    std::printf("  real-time priority: %s\n", bare.realtime ? "granted" : "not granted");
    PrintLateness("wake-up lateness", bare.lateness);
    std::printf("  CPU per wall second          %.5f\n\n", bare.cpuPerWall);

    std::printf("Idle keyer at a 1 ms tick, %.0f s\n", idleSeconds);
    LatenessFigures idleLateness;
    const double idleCpu = IdleKeyerCpu(idleSeconds, setup, idleLateness);
    PrintLateness("wake-up lateness", idleLateness);
    std::printf("  CPU per wall second          %.5f   (%.2fx the bare loop)\n\n", idleCpu,
                Ratio(idleCpu, bare.cpuPerWall));

    const char* const textOf[] = {text.c_str(), text.c_str(), kShortText};
    const int lpms[] = {6000, 1000, 60};
    for (std::size_t i = 0; i < std::size(lpms); ++i) {
        PrintKeyedRun(SpeedOf(lpms[i], textOf[i]), setup);
        std::printf("\n");
    }
    std::printf("Idle CPU at 1 ms: keyer %.5f, bare loop %.5f, ratio %.2f\n", idleCpu,
                bare.cpuPerWall, Ratio(idleCpu, bare.cpuPerWall));
    std::printf("Idle lateness vs bare loop: p50 %.2fx, p99 %.2fx, max %.2fx\n",
                Ratio(idleLateness.p50Us, bare.lateness.p50Us),
                Ratio(idleLateness.p99Us, bare.lateness.p99Us),
                Ratio(idleLateness.maxUs, bare.lateness.maxUs));
    return 0;
}
