#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it without installing it: its contents
# and dependencies, that apt can resolve them, the desktop entry, the AppStream metadata, the
# manual pages, lintian's verdict, and the packaged programs keying a macro sent over the message
# bus, started as the desktop entry starts them. Exits 77 (skipped) when a tool it needs is missing.
# Usage: tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"

skip() {
    echo "skipped: $*"
    exit 77
}
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps apt-get desktop-file-validate appstreamcli man \
    readelf lintian; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

scratch="$(mktemp -d "${TMPDIR:-/tmp}/telkey-package-XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Waits up to 30 s (a loaded machine) for a condition given as a command.
wait_for() {
    local deadline=$((SECONDS + 30))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

echo "== the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
deb="$scratch/out/telkey_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$scratch/out")"
echo "$(basename "$deb"), $(stat -c %s "$deb") bytes"
depends="$(dpkg-deb --field "$deb" Depends)"
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
    [[ ", $depends," =~ ,\ "$lib"[\ ,] ]] || fail "Depends lacks $lib"
done

echo "== its contents"
dpkg-deb --extract "$deb" "$scratch/root"
root="$scratch/root"
for file in usr/bin/telkey usr/bin/telkey-msg \
    usr/share/applications/telkey.desktop usr/share/metainfo/telkey.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/telkey.svg \
    usr/share/icons/hicolor/16x16/apps/telkey.png usr/share/icons/hicolor/256x256/apps/telkey.png \
    usr/share/man/man1/telkey.1.gz usr/share/man/man1/telkey-msg.1.gz \
    usr/share/doc/telkey/copyright usr/share/doc/telkey/changelog.gz \
    usr/share/doc/telkey/README.md usr/share/doc/telkey/docs/hardware.md \
    usr/share/doc/telkey/udev/70-telkey.rules usr/share/doc/telkey/nftables/telkey-cwdaemon.nft; do
    [ -f "$root/$file" ] || fail "the package lacks /$file"
done
outside="$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)"
[ -z "$outside" ] || fail "files outside /usr: $outside"
# The udev rules are an example to copy, never active as installed.
[ ! -e "$root/etc" ] && [ ! -e "$root/usr/lib/udev" ] || fail "active udev rules"
for program in telkey telkey-msg; do
    if readelf --dynamic "$root/usr/bin/$program" | grep -E 'RPATH|RUNPATH'; then
        fail "$program carries a library path"
    fi
    if readelf --section-headers "$root/usr/bin/$program" | grep -q '\.debug_info'; then
        fail "$program is not stripped"
    fi
done

echo "== apt resolves its dependencies"
apt-get install --simulate "$deb" >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log"; fail "apt-get install --simulate"; }
grep -qE '^Inst telkey |telkey is already the newest version' "$scratch/apt.log" ||
    { cat "$scratch/apt.log"; fail "apt-get would not install telkey"; }

echo "== lintian"
# Errors fail; warnings and the rest are shown.
lintian --fail-on error --display-info "$deb" || fail "lintian found errors"

echo "== desktop entry and AppStream metadata"
desktop="$root/usr/share/applications/telkey.desktop"
out="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qx 'Categories=HamRadio;Network;' "$desktop" || fail "desktop entry categories"
# Telkey owns no domain to put in front of its name, so its id is plain "telkey".
appstreamcli validate --no-net --override=cid-desktopapp-is-not-rdns=info \
    "$root/usr/share/metainfo/telkey.metainfo.xml" || fail "appstreamcli validate"

echo "== manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    lines="$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)"
    [ "$lines" -gt 40 ] || fail "$(basename "$page") renders only $lines lines"
done

echo "== the packaged programs key a macro sent over the bus"
bin="$root/usr/bin"
[[ "$("$bin/telkey" --version)" == "Telkey $version" ]] || fail "telkey --version"
"$bin/telkey-msg" --help >/dev/null || fail "telkey-msg --help"
[[ "$("$bin/telkey-msg" --version)" == "telkey-msg (Telkey) $version" ]] ||
    fail "telkey-msg --version"
# A world of its own: home, configuration, bus and common directory in the scratch directory.
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" TELKEY_BUS_DIR="$scratch/bus"
export TELKEY_COMMON_DIR="$scratch/common" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME/telkey"
# Key port LPT1 (0x378: bit 0 keys, bit 1 is TX), MOX on, the fastest speed.
printf '[Qor_Cw]\nKeyPortNumber=5\nSpeed=6000\n[MOX]\nMoxOn=1\n[Cw_Macros]\nMacro1="TEST"\n' \
    >"$XDG_CONFIG_HOME/telkey/Telkey.ini"
trace="$scratch/trace.txt"
listened="$scratch/listen.txt"

"$bin/telkey-msg" listen Telkey_Message >"$listened" 2>&1 &
pids+=($!)
sockets() { [ "$(find "$TELKEY_BUS_DIR" -type s 2>/dev/null | wc -l)" -ge "$1" ]; }
wait_for sockets 1 || fail "telkey-msg listen did not join the bus"

# The desktop entry's command line, started in the home directory as a desktop starts it.
read -ra exec_line <<<"$(sed -n 's/^Exec=//p' "$desktop")"
[ "${exec_line[0]}" = telkey ] || fail "Exec= does not start telkey: ${exec_line[*]}"
(cd "$HOME" && exec "$bin/telkey" "${exec_line[@]:1}" --ports=sim --port-trace="$trace" \
    >"$scratch/telkey.log" 2>&1) &
telkey=$!
pids+=("$telkey")
announced() { [ "$(grep -c "^Telkey_Message $1 0\$" "$listened")" -ge "$2" ]; }
wait_for announced 110 1 || { cat "$scratch/telkey.log"; fail "telkey did not start up"; }

"$bin/telkey-msg" send BRX_CW 1 || fail "telkey-msg send"
key_down() { grep -qE '^[0-9]+ 0x378 0x[0-9a-f]?[13579bdf]$' "$trace"; }
wait_for key_down || { cat "$scratch/telkey.log"; fail "macro 1 was not keyed on 0x378"; }
wait_for announced 111 1 || fail "no announcement of the transmitter going on"
wait_for announced 110 2 || fail "no announcement of the transmitter going off"
[ ! -e "$HOME/Telkey.ini" ] || fail "settings in the home directory"

kill -TERM "$telkey"
status=0
wait "$telkey" || status=$?
# SIGTERM ends it as that signal would (128 + 15), after releasing the lines.
[ "$status" -eq 143 ] || { cat "$scratch/telkey.log"; fail "telkey ended with status $status"; }
last="$(grep -E '^[0-9]+ 0x378 ' "$trace" | tail -n 1)"
(( ($(echo "$last" | cut -d' ' -f3) & 3) == 0 )) || fail "lines left on at the end: $last"
echo "keyed $(grep -cE '^[0-9]+ 0x378 0x[0-9a-f]?[13579bdf]$' "$trace") key-downs; ended cleanly"
echo "package checks passed"
