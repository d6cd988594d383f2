#!/usr/bin/env bash
# Installs the Debian 12 packages that Telkey needs, when any is missing.
# Usage: scripts/deps.sh            everything: build, test, run, check the package
#        scripts/deps.sh package    only what building the Debian package needs
set -euo pipefail
# Building Telkey and packing it (dpkg-shlibdeps and file compute the package's dependencies).
packages=(g++ cmake ninja-build pkg-config qt6-base-dev libpulse-dev dpkg-dev file)
if [ "${1:-}" != package ]; then
    packages+=(libgtest-dev libgmock-dev xvfb openbox xdotool x11-utils fonts-liberation tlf tmux
               dbus-daemon)
    # Rig control runs Hamlib's rigctld, a separate program; the tests also run rigctl.
    packages+=(libhamlib-utils)
    # Running on Wayland, and its test under a headless compositor.
    packages+=(qt6-wayland weston)
    # Checking the Debian package.
    packages+=(desktop-file-utils appstream man-db lintian)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
