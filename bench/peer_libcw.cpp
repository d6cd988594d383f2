// The peer keyer for comparison: libcw (Debian's libcw-dev) keys a text at a given speed on its
// NULL sound system, and each key change is stamped in its keying callback. Every key-down and
// key-up is compared with the nearest whole number of dots. Prints the same figures as
// keyer_timing; asserts nothing. Built only when libcw is installed.
//
//   peer_libcw [--lpm=N] [--text=TEXT] [--no-realtime]
#include <dirent.h>
#include <libcw.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/realtime_kit.h"
#include "bench/bench_figures.h"
#include "engine/thread_priority.h"
#include "engine/thread_tick_driver.h"

using namespace telkey;
using namespace telkey::bench;

namespace {

constexpr int kLettersPerWord = 5;  // PARIS: words per minute = letters per minute / 5
constexpr std::size_t kMaxEdges = 1 << 16;

struct KeyEdges {
    std::vector<std::int64_t> timeNs = std::vector<std::int64_t>(kMaxEdges);
    std::vector<int> state = std::vector<int>(kMaxEdges);
    std::atomic<std::size_t> count{0};
};

void OnKey(void* arg, int state) {
    const std::int64_t now = NowNs(CLOCK_MONOTONIC);
    auto& edges = *static_cast<KeyEdges*>(arg);
    const std::size_t i = edges.count.load(std::memory_order_relaxed);
    if (i >= kMaxEdges) return;
    edges.timeNs[i] = now;
    edges.state[i] = state;
    edges.count.store(i + 1, std::memory_order_release);
}

std::vector<pid_t> Threads() {
    std::vector<pid_t> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (const dirent* entry = readdir(dir)) {
        const auto tid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (tid > 0) tids.push_back(tid);
    }
    closedir(dir);
    return tids;
}

// Raises the threads that are not in `before` (libcw's generator thread); reports the worst.
ThreadScheduling RaiseNewThreads(const std::vector<pid_t>& before, RealtimeBroker* broker) {
    ThreadScheduling worst;
    bool first = true;
    for (const pid_t tid : Threads()) {
        if (std::find(before.begin(), before.end(), tid) != before.end()) continue;
        // RealtimeKit fails (EIO) on libcw's thread name "deq global gen " with its blanks.
        std::FILE* comm =
            std::fopen(("/proc/self/task/" + std::to_string(tid) + "/comm").c_str(), "w");
        if (comm != nullptr) {
            std::fputs("libcw-generator", comm);
            std::fclose(comm);
        }
        const ThreadScheduling s =
            broker == nullptr
                ? CurrentScheduling(tid, SchedulingKind::NotAsked)
                : RaiseThreadPriority(tid, ThreadTickDriver::kRealtimePriority, broker);
        if (first || !s.IsRealtime()) worst = s;
        first = false;
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // for the D-Bus connection to RealtimeKit
    bool wantRealtime = true;
    int lpm = 300;
    std::string text = kDefaultText;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--no-realtime") {
            wantRealtime = false;
        } else if (arg.starts_with("--lpm=")) {
            lpm = std::atoi(argv[i] + std::strlen("--lpm="));
        } else if (arg.starts_with("--text=")) {
            text = argv[i] + std::strlen("--text=");
        } else {
            std::fprintf(stderr, "usage: peer_libcw [--lpm=N] [--text=TEXT] [--no-realtime]\n");
            return 2;
        }
    }
    const int wpm = lpm / kLettersPerWord;
    if (wpm < CW_SPEED_MIN || wpm > CW_SPEED_MAX) {
        std::fprintf(stderr, "peer_libcw: libcw keys %d to %d words per minute only\n",
                     CW_SPEED_MIN, CW_SPEED_MAX);
        return 2;
    }

    RealtimeKit realtimeKit;
    const std::vector<pid_t> before = Threads();
    if (cw_generator_new(CW_AUDIO_NULL, nullptr) != CW_SUCCESS) {
        std::fprintf(stderr, "peer_libcw: no libcw generator\n");
        return 1;
    }
    cw_set_send_speed(wpm);
    KeyEdges edges;
    cw_register_keying_callback(OnKey, &edges);
    cw_generator_start();

    const ThreadScheduling scheduling =
        RaiseNewThreads(before, wantRealtime ? &realtimeKit : nullptr);
    int dotUs = 0, dashUs = 0, eoeUs = 0, eocUs = 0, eowUs = 0, additionalUs = 0, adjustUs = 0;
    cw_get_send_parameters(&dotUs, &dashUs, &eoeUs, &eocUs, &eowUs, &additionalUs, &adjustUs);

    std::printf("libcw keying %zu characters at %d letters per minute (%d wpm, dot %d us)\n",
                text.size(), lpm, wpm, dotUs);
    // The same words as for Telkey's keyer thread, said of libcw's generator thread.
    std::printf("  scheduling (generator thread): %s\n",
                SchedulingReport(scheduling, realtimeKit).c_str());

    CpuMeter cpu;
    const bool sent = cw_send_string(text.c_str()) == CW_SUCCESS;
    cw_wait_for_tone_queue();
    const double cpuPerWall = cpu.Ratio();
    cw_generator_stop();
    cw_generator_delete();
    if (!sent) std::printf("  (libcw refused part of the text)\n");

    // Key segments between changes of the key; each against the nearest whole number of dots.
    const std::size_t n = edges.count.load(std::memory_order_acquire);
    std::vector<std::int64_t> changes;
    int last = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (edges.state[i] == last) continue;
        changes.push_back(edges.timeNs[i]);
        last = edges.state[i];
    }
    KeyingFigures f;
    std::vector<double> errors;
    double signedSum = 0;
    for (std::size_t i = 1; i < changes.size(); ++i) {
        const double measured = static_cast<double>(changes[i] - changes[i - 1]) / 1000.0;
        const double ideal = std::max(1.0, std::round(measured / dotUs)) * dotUs;
        errors.push_back(std::fabs(measured - ideal));
        signedSum += measured - ideal;
    }
    f.errorUs = Summarise(errors);
    f.segments = errors.size();
    f.driftUs = signedSum;
    f.seconds = changes.size() >= 2
                    ? static_cast<double>(changes.back() - changes.front()) / kNsPerSec
                    : 0.0;
    f.cpuPerWall = cpuPerWall;

    std::printf("  key segments measured        %zu over %.2f s\n", f.segments, f.seconds);
    std::printf(
        "  edge-length error            p50 %7.1f us  p99 %7.1f us  p99.9 %7.1f us  max %8.1f "
        "us\n",
        f.errorUs.p50, f.errorUs.p99, f.errorUs.p999, f.errorUs.max);
    std::printf("  total drift of the text      %+.1f us\n", f.driftUs);
    std::printf("  CPU per wall second          %.5f\n", f.cpuPerWall);
    PrintResultLine("libcw", lpm, scheduling.IsRealtime(), f);
    return 0;
}
