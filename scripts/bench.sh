#!/usr/bin/env bash
# Keys the same text with Telkey's keyer (bench/keyer_timing) and with libcw's (bench/peer_libcw)
# at 300 and 100 letters per minute (60 and 20 wpm), with and without real-time priority, and
# prints their figures and ratios. Both are started together in every round, so a stall of the
# machine hits both alike; the summary gives the median and the worst of the rounds' ratios
# (edge-length error p99 and CPU per wall second). A benchmark: it asserts nothing.
#   scripts/bench.sh [--user=NAME] [--text=TEXT] [--rounds=N] [--back-to-back] [--edge-lead=P]
# --user runs both keyers as that (ordinary) user, e.g. to measure RealtimeKit instead of root's
# SCHED_FIFO. --back-to-back runs them one after the other instead. --edge-lead is passed to
# keyer_timing (the percentile of wake-up lateness an edge is woken early by; 0: not at all). Installs libcw-dev when
# missing; without libcw only Telkey's rows are measured.
set -euo pipefail
cd "$(dirname "$0")/.."

text="CQ CQ DE DL1ABC DL1ABC PSE K = UR RST 599 599 NAME HANS QTH BERLIN = TNX 73 SK"
user=""
rounds=5
together=yes
lead=()
for arg in "$@"; do
    case "$arg" in
        --user=*) user="${arg#--user=}" ;;
        --text=*) text="${arg#--text=}" ;;
        --rounds=*) rounds="${arg#--rounds=}" ;;
        --back-to-back) together=no ;;
        --edge-lead=*) lead=("$arg") ;;
        *) echo "usage: scripts/bench.sh [--user=NAME] [--text=TEXT] [--rounds=N] [--back-to-back] [--edge-lead=P]" >&2
           exit 2 ;;
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
telkey_out=$(mktemp)
libcw_out=$(mktemp)
trap 'rm -f "$results" "$telkey_out" "$libcw_out"' EXIT
have_libcw=no
[ -x build/bench/peer_libcw ] && have_libcw=yes
[ "$have_libcw" = no ] && echo "peer_libcw not built (libcw-dev missing): only Telkey is measured"
echo "Rounds: $rounds, $([ "$together" = yes ] && echo "both keyers together" || echo "back to back")"
for lpm in 300 100; do
    for rt in yes no; do
        flag=()
        [ "$rt" = no ] && flag=(--no-realtime)
        for round in $(seq 1 "$rounds"); do
            : >"$libcw_out"
            if [ "$together" = yes ]; then
                run build/bench/keyer_timing --lpm="$lpm" --text="$text" "${flag[@]}" "${lead[@]}" >"$telkey_out" &
                [ "$have_libcw" = yes ] &&
                    run build/bench/peer_libcw --lpm="$lpm" --text="$text" "${flag[@]}" >"$libcw_out" &
                wait
            else
                run build/bench/keyer_timing --lpm="$lpm" --text="$text" "${flag[@]}" "${lead[@]}" >"$telkey_out"
                [ "$have_libcw" = yes ] &&
                    run build/bench/peer_libcw --lpm="$lpm" --text="$text" "${flag[@]}" >"$libcw_out"
            fi
            cat "$telkey_out" "$libcw_out"
            grep -h '^RESULT ' "$telkey_out" "$libcw_out" | sed "s/\$/ wish=$rt round=$round/" >>"$results"
        done
    done
done
echo "Load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# Per speed and priority wish: Telkey's and libcw's medians over the rounds, and the median and
# worst of the rounds' Telkey/libcw ratios (edge-length error p99, CPU per wall second).
awk '
function median(list, n,    i, j, t, a) {
    split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
/^RESULT / {
    delete f
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = f["lpm"] " " f["wish"]
    id = key SUBSEP f["round"]
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
    p99[id, f["keyer"]] = f["p99"]; cpu[id, f["keyer"]] = f["cpu"]; rt[key, f["keyer"]] = f["rt"]
    rounds[key] = f["round"] > rounds[key] ? f["round"] : rounds[key]
}
END {
    printf "%-4s %-3s | %-22s | %-22s | %-25s | %s\n", "LPM", "RT", "Telkey p99 us / cpu", \
           "libcw p99 us / cpu", "p99 ratio median / worst", "cpu ratio median / worst"
    for (k = 1; k <= keys; k++) {
        key = order[k]; n = 0; tp = tc = lp = lc = rp = rc = ""; worstp = worstc = 0
        for (r = 1; r <= rounds[key]; r++) {
            id = key SUBSEP r
            if (!((id, "telkey") in p99)) continue
            n++; tp = tp " " p99[id, "telkey"]; tc = tc " " cpu[id, "telkey"]
            if ((id, "libcw") in p99) {
                m++
                lp = lp " " p99[id, "libcw"]; lc = lc " " cpu[id, "libcw"]
                a = p99[id, "libcw"] > 0 ? p99[id, "telkey"] / p99[id, "libcw"] : 0
                b = cpu[id, "libcw"] > 0 ? cpu[id, "telkey"] / cpu[id, "libcw"] : 0
                rp = rp " " a; rc = rc " " b
                if (a > worstp) worstp = a
                if (b > worstc) worstc = b
            }
        }
        split(key, parts, " ")
        line = sprintf("%-4s %-3s | %9.1f / %10.5f | ", parts[1], parts[2], median(tp, n), median(tc, n))
        if (lp != "")
            line = line sprintf("%9.1f / %10.5f | %10.3f / %10.3f  | %10.3f / %10.3f", median(lp, n), \
                                median(lc, n), median(rp, n), worstp, median(rc, n), worstc)
        else
            line = line "(libcw not measured)"
        print line
    }
}' "$results"
