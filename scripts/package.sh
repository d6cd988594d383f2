#!/usr/bin/env bash
# Installs what is missing, builds Telkey for release and packs it as a Debian package:
# build-package/telkey_<version>_<arch>.deb, to be installed with
#   sudo apt install ./build-package/telkey_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELKEY_TESTS=OFF \
    -DTELKEY_BENCH=OFF >/dev/null
cmake --build build-package -j "$(nproc)"
(cd build-package && cpack -G DEB)
ls build-package/telkey_*.deb
