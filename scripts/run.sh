#!/usr/bin/env bash
# Installs what is missing, builds Telkey and runs it; every argument goes to telkey.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target telkey telkey-msg
exec build/telkey "$@"
