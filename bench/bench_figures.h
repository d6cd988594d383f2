#pragma once
// Figures shared by the keying benchmarks: percentiles of the edge-length error, CPU per wall
// second, and the one summary line scripts/bench.sh reads.
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace telkey::bench {

inline constexpr std::int64_t kNsPerSec = 1'000'000'000;
inline constexpr std::int64_t kNsPerMs = 1'000'000;

// The text keyed when none is given.
inline constexpr char kDefaultText[] =
    "CQ CQ CQ DE DL1ABC DL1ABC PSE K. R TNX FER CALL UR RST 599 599 NAME IS HANS QTH NR "
    "BERLIN HW? RIG HR IS HOMEBREW ES ANT IS DIPOLE 20M WX IS SUNNY TEMP 21C. 73 ES GL "
    "= THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 / ? , SK";

inline std::int64_t NowNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * kNsPerSec + t.tv_nsec;
}

// Process CPU time per wall time over a stretch.
class CpuMeter {
  public:
    CpuMeter() : wall_(NowNs(CLOCK_MONOTONIC)), cpu_(NowNs(CLOCK_PROCESS_CPUTIME_ID)) {}
    double Ratio() const {
        const double wall = static_cast<double>(NowNs(CLOCK_MONOTONIC) - wall_);
        return static_cast<double>(NowNs(CLOCK_PROCESS_CPUTIME_ID) - cpu_) / wall;
    }

  private:
    std::int64_t wall_;
    std::int64_t cpu_;
};

struct Percentiles {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;
};

inline Percentiles Summarise(std::vector<double> values) {
    Percentiles p;
    if (values.empty()) return p;
    std::sort(values.begin(), values.end());
    auto at = [&](double f) {
        const auto i = static_cast<std::size_t>(f * static_cast<double>(values.size() - 1) + 0.5);
        return values[std::min(i, values.size() - 1)];
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    p.p999 = at(0.999);
    p.max = values.back();
    return p;
}

// What one keyed text measured: errors of the key-down and key-up lengths against their ideal
// lengths, and how far the end of the text drifted from its ideal time.
struct KeyingFigures {
    Percentiles errorUs;
    std::size_t segments = 0;
    double driftUs = 0;
    double seconds = 0;
    double cpuPerWall = 0;
};

// One line per run for scripts: "RESULT keyer=NAME lpm=N rt=yes|no p50=... (µs) cpu=...".
inline void PrintResultLine(const char* keyer, int lpm, bool realtime, const KeyingFigures& f) {
    std::printf(
        "RESULT keyer=%s lpm=%d rt=%s segments=%zu p50=%.1f p99=%.1f p999=%.1f max=%.1f "
        "drift=%.1f cpu=%.5f\n",
        keyer, lpm, realtime ? "yes" : "no", f.segments, f.errorUs.p50, f.errorUs.p99,
        f.errorUs.p999, f.errorUs.max, f.driftUs, f.cpuPerWall);
}

}  // namespace telkey::bench
