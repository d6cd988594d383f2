#!/usr/bin/env bash
# Renders data/icons/telkey.svg into the PNG sizes that are installed beside it (needs
# rsvg-convert, Debian package librsvg2-bin). The PNGs are kept in the tree, so a build does not.
set -euo pipefail
cd "$(dirname "$0")/../data/icons"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" telkey.svg --output "telkey-$size.png"
done
