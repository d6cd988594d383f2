#!/usr/bin/env bash
# The real telkey read through AT-SPI, as the Orca screen reader reads it: a private X server,
# a private session bus and the at-spi2 registry on its accessibility bus, started here and ended
# here. Skips (77) only when the registry cannot be started at all.
# Usage: accessible_tree_test.sh TELKEY_BINARY WINDOW_OPENER_LIBRARY
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
binary="$1"
opener="$2"
launcher=/usr/libexec/at-spi-bus-launcher
python=/usr/bin/python3
skip() { echo "SKIP: $*"; exit 77; }

for tool in Xvfb dbus-daemon dbus-send; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/deps.sh installs it)"
done
[ -x "$launcher" ] || skip "$launcher is missing (at-spi2-core; scripts/deps.sh installs it)"
if ! "$python" -c 'import gi; gi.require_version("Atspi", "2.0"); from gi.repository import Atspi'; then
    echo "FAIL: $python cannot load Atspi (python3-pyatspi; scripts/deps.sh installs it)"
    exit 1
fi

work="$(mktemp -d)"
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Bounded wait: up to 600 polls of 0.1 s for a command to succeed.
await() {
    for _ in $(seq 600); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
await test -s "$work/display" || skip "the X server did not start"
export DISPLAY=":$(head -n1 "$work/display")"

dbus-daemon --session --nofork --print-address=4 4>"$work/bus" &
pids+=($!)
await test -s "$work/bus" || skip "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$work/bus")"
unset AT_SPI_BUS_ADDRESS
# The accessibility bus's socket goes here, not into the user's own runtime directory.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

"$launcher" --launch-immediately 2>"$work/launcher.log" &
pids+=($!)
get_address() {
    dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress | grep -q unix
}
await get_address || skip "the accessibility bus did not start: $(cat "$work/launcher.log")"
registry() {
    local address
    address="$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress | tr -d ' ')"
    dbus-send --bus="$address" --print-reply --dest=org.a11y.atspi.Registry \
        /org/a11y/atspi/accessible/root org.freedesktop.DBus.Properties.Get \
        string:org.a11y.atspi.Accessible string:ChildCount
}
await registry || skip "the at-spi2 registry did not start"

"$python" "$here/accessible_tree.py" "$binary" "$opener"
