// PTT through rigctld and its dummy rig: from the request to the rig's confirmation, as the keyer
// would wait for it before keying. Prints p50, p99 and max; asserts nothing.
// Usage: rig_ptt [SWITCHES]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/bench_figures.h"
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
    return 0;
}
