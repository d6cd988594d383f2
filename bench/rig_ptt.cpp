// PTT through rigctld and its dummy rig: from the request to the rig's confirmation, as the keyer
// would wait for it before keying; and the first element's delay after transmit on, with the
// PTT by the rig and by the port's line (the keyer on its real thread, 1 ms ticks, a PTT lead of
// 10 ms). Prints p50, p99 and max; asserts nothing.
// Usage: rig_ptt [SWITCHES]
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "backends/port_bus_sim.h"
#include "bench/bench_figures.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "engine/thread_tick_driver.h"
#include "rig/rig_bridge.h"
#include "rig/rig_link.h"
#include "support/rigctld_process.h"
#include "support/scratch_dir.h"

using namespace std::chrono_literals;
using telkey::bench::NowNs;

namespace {

constexpr int kDefaultSwitches = 200;

// Switches PTT `switches` times to `on`-then-off; returns the confirmation times, in µs, of the
// switches to `measured`.
std::vector<double> Switch(telkey::rig::RigLink& link, int switches, bool measured) {
    std::vector<double> us;
    for (int i = 0; i < switches; ++i) {
        for (const bool on : {true, false}) {
            std::atomic<std::int64_t> confirmed{0};
            const std::int64_t asked = NowNs(CLOCK_MONOTONIC);
            auto ticket = link.SetPtt(
                on, [&](const telkey::rig::RigTicket&) { confirmed = NowNs(CLOCK_MONOTONIC); });
            if (ticket->Wait(2s) != telkey::rig::RigOutcome::Ok) {
                std::fprintf(stderr, "PTT %s failed: %s\n", on ? "on" : "off",
                             ticket->Words().c_str());
                std::exit(1);
            }
            while (confirmed == 0) std::this_thread::yield();  // the callback runs after Wait wakes
            if (on == measured) us.push_back(static_cast<double>(confirmed - asked) / 1000.0);
        }
    }
    return us;
}

constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::int32_t kLpt1Number = 5;
constexpr std::int32_t kLeadMs = 10;

// Transmit on with a character waiting, `rounds` times: the ms from TX on to its first key-down.
std::vector<double> FirstElementDelays(telkey::rig::PttVia ptt, int port, int rounds) {
    using namespace telkey;
    SimPortBus sim(std::size_t{1} << 16);
    ThreadTickDriver driver;
    Engine engine(sim, driver);
    engine.ResetHandover();
    engine.portSettings.KeyPortNumber = kLpt1Number;
    engine.keyerSettings.DotTicks = 10;
    engine.keyerSettings.DashTicks = 30;
    engine.keyerSettings.MoxOn = 1;
    engine.keyerSettings.RxAtSilence = 0;
    engine.keyerSettings.PaddleDelay = kLeadMs;
    engine.timer.StartKeyerTimer();
    engine.timer.RecreateKeyerTimer(1);
    engine.keyerSettings.TickMs = 1;
    rig::RigChoice choice;
    choice.ptt = ptt;
    choice.target.host = "127.0.0.1";
    choice.target.port = port;
    std::unique_ptr<rig::RigBridge> bridge;
    if (choice.UsesRig())
        bridge = std::make_unique<rig::RigBridge>(engine, choice, rig::RigBridge::Events{});
    // The window thread's loop, for `ms`, or until `done`.
    const auto serve = [&](int ms, const std::function<bool()>& done) {
        for (const std::int64_t end = NowNs(CLOCK_MONOTONIC) + ms * bench::kNsPerMs;
             NowNs(CLOCK_MONOTONIC) < end && !done();) {
            if (!bridge) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            pollfd p{bridge->WakeupFd(), POLLIN, 0};
            ::poll(&p, 1, 1);
            bridge->Service();
        }
    };
    serve(500, [] { return false; });
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        engine.HandOver(CharToCode('e'));
        sim.Clear();
        const std::int64_t on = NowNs(CLOCK_MONOTONIC);
        engine.flags.Transmitting = 1;
        engine.ports.SetTx(1);
        const auto keyed = [&] { return (sim.LastValue(kLpt1).value_or(0) & 1) != 0; };
        serve(2000, keyed);
        for (const PortWrite& write : sim.WritesTo(kLpt1)) {
            if ((write.value & 1) == 0) continue;
            ms.push_back(static_cast<double>(static_cast<std::int64_t>(write.timeNs) - on) / 1e6);
            break;
        }
        engine.flags.Transmitting = 0;
        engine.SwitchTxOff();
        serve(250, [] { return false; });
    }
    engine.timer.StopKeyerTimer();
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int switches = argc > 1 ? std::atoi(argv[1]) : kDefaultSwitches;
    telkey::test::ScratchDir scratch;
    telkey::test::Rigctld rigctld(scratch.Path() + "/rigctld.log");
    telkey::rig::RigTarget target;
    target.host = "127.0.0.1";
    target.port = rigctld.Port();
    telkey::rig::RigLink link(target);
    if (link.Identify()->Wait(5s) != telkey::rig::RigOutcome::Ok) {
        std::fprintf(stderr, "rigctld did not answer: %s\n", link.Status().words.c_str());
        return 1;
    }
    for (const bool on : {true, false}) {
        const auto figures = telkey::bench::Summarise(Switch(link, switches, on));
        std::printf(
            "PTT %-3s through rigctld, request to confirmation over %d switches: "
            "p50 %.0f us, p99 %.0f us, max %.0f us\n",
            on ? "on" : "off", switches, figures.p50, figures.p99, figures.max);
    }
    for (const auto ptt : {telkey::rig::PttVia::Line, telkey::rig::PttVia::Rig}) {
        const int rounds = std::max(10, switches / 4);
        const auto figures =
            telkey::bench::Summarise(FirstElementDelays(ptt, rigctld.Port(), rounds));
        std::printf(
            "First element after TX on, PTT by %-4s (lead %d ms, 1 ms ticks) over %d: "
            "p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
            std::string(telkey::rig::PttViaWord(ptt)).c_str(), kLeadMs, rounds, figures.p50,
            figures.p99, figures.max);
    }
    return 0;
}
