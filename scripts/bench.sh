#!/usr/bin/env bash
# Keys the same text with Telkey's keyer (bench/keyer_timing) and with libcw's (bench/peer_libcw)
# back to back, at 300 and 100 letters per minute (60 and 20 wpm), with and without real-time
# priority, and prints their figures and ratios side by side. A benchmark: it asserts nothing.
#   scripts/bench.sh [--user=NAME] [--text=TEXT]
# --user runs both keyers as that (ordinary) user, e.g. to measure RealtimeKit instead of root's
# SCHED_FIFO. Installs libcw-dev when missing; without libcw only Telkey's rows are measured.
set -euo pipefail
cd "$(dirname "$0")/.."

text="CQ CQ DE DL1ABC DL1ABC PSE K = UR RST 599 599 NAME HANS QTH BERLIN = TNX 73 SK"
user=""
for arg in "$@"; do
    case "$arg" in
        --user=*) user="${arg#--user=}" ;;
        --text=*) text="${arg#--text=}" ;;
        *) echo "usage: scripts/bench.sh [--user=NAME] [--text=TEXT]" >&2; exit 2 ;;
    esac
done

scripts/deps.sh
if ! dpkg-query -W -f='${Status}' libcw-dev 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get install -y -qq libcw-dev || echo "libcw-dev could not be installed" >&2
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(keyer_timing)
grep -q '^LIBCW_FOUND:INTERNAL=1' build/CMakeCache.txt && targets+=(peer_libcw)
cmake --build build -j "$(nproc)" --target "${targets[@]}" >/dev/null

run() {
    if [ -n "$user" ]; then runuser -u "$user" -- "$@"; else "$@"; fi
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
echo "Machine: $(nproc) CPUs, load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "User: ${user:-$(id -un)}; text: $text"
for lpm in 300 100; do
    for rt in yes no; do
        flag=()
        [ "$rt" = no ] && flag=(--no-realtime)
        run build/bench/keyer_timing --lpm="$lpm" --text="$text" "${flag[@]}" | tee -a "$results"
        if [ -x build/bench/peer_libcw ]; then
            run build/bench/peer_libcw --lpm="$lpm" --text="$text" "${flag[@]}" | tee -a "$results"
        else
            echo "peer_libcw not built (libcw-dev missing): skipped"
        fi
    done
done
echo "Load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# One row per speed and priority wish: Telkey, libcw, and Telkey/libcw ratios (p99, |drift|).
awk '
/^RESULT / {
    delete f
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = f["lpm"] " " (++seen[f["keyer"] f["lpm"]] <= 1 ? "A" : "B")
    row[key] = 1
    for (k in f) v[key, f["keyer"], k] = f[k]
}
function show(key, who) {
    if ((key, who, "p99") in v)
        return sprintf("%-3s %7.1f %8.1f %8.1f %9.1f %9.1f", v[key, who, "rt"], v[key, who, "p50"],
                       v[key, who, "p99"], v[key, who, "p999"], v[key, who, "max"],
                       v[key, who, "drift"])
    return sprintf("%-47s", "   (not measured)")
}
function ratio(a, b) { return b != 0 ? sprintf("%9.4f", a / b) : "        -" }
function abs(x) { return x < 0 ? -x : x }
END {
    printf "%-5s %-47s | %-47s | %s\n", "LPM", "Telkey: rt p50 p99 p99.9 max drift (us)",
           "libcw:  rt p50 p99 p99.9 max drift (us)", "p99 ratio |drift| ratio"
    split("300 A,300 B,100 A,100 B", order, ",")
    for (i = 1; i <= 4; i++) {
        key = order[i]
        if (!(key in row)) continue
        split(key, parts, " ")
        line = sprintf("%-5s %s | %s |", parts[1], show(key, "telkey"), show(key, "libcw"))
        if ((key, "libcw", "p99") in v && (key, "telkey", "p99") in v)
            line = line ratio(v[key, "telkey", "p99"], v[key, "libcw", "p99"]) "   " \
                   ratio(abs(v[key, "telkey", "drift"]), abs(v[key, "libcw", "drift"]))
        print line
    }
}' "$results"
