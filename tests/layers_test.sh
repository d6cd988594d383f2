#!/usr/bin/env bash
# The layer check passes on this tree and fails on a scratch copy with an include pointing up.
set -euo pipefail
source_dir="$1"
check="$source_dir/scripts/check_layers.sh"
"$check" "$source_dir"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cp -r "$source_dir/engine" "$source_dir/ui" "$scratch/"
echo '#include "ui/main_form.h"' >> "$scratch/engine/keyer.cpp"
if "$check" "$scratch" > "$scratch/out"; then
    echo "an include from engine/ up to ui/ was not caught"
    exit 1
fi
grep -q 'engine/keyer.cpp:.*a layer above engine/' "$scratch/out"

rm -rf "$scratch/engine" && cp -r "$source_dir/engine" "$scratch/"
echo '#include <QString>' >> "$scratch/engine/ports.h"
if "$check" "$scratch" > "$scratch/out"; then
    echo "a Qt include in engine/ was not caught"
    exit 1
fi
