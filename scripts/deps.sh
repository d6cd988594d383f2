#!/usr/bin/env bash
# Installs the Debian 12 packages that Telkey needs to build, test and run, when any is missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgtest-dev libgmock-dev libpulse-dev
          xvfb openbox xdotool x11-utils fonts-liberation tlf tmux dbus-daemon)
# Running on Wayland, and its test under a headless compositor.
packages+=(qt6-wayland weston)
missing=()
# Building the Debian package and checking it.
packages+=(dpkg-dev desktop-file-utils appstream man-db)
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
