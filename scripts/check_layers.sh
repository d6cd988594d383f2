#!/usr/bin/env bash
# Fails when a file includes from a folder above its own, or when a Qt-free folder includes Qt.
# Usage: scripts/check_layers.sh [TREE]   (default: this checkout)
set -euo pipefail
tree="${1:-$(dirname "$0")/..}"

# The layers from the bottom up: a folder may include from itself and from those before it.
layers=(engine backends profile bus rig widgets options transmit exchange ui app tools bench)
# Folders that must build without Qt.
qt_free=(engine backends profile bus rig tools)

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
for folder in "${layers[@]}"; do
    [ -d "$tree/$folder" ] || continue
    while IFS= read -r -d '' file; do
        while IFS=: read -r line target; do
            top="${target%%/*}"
            [ -n "${rank[$top]+set}" ] || continue
            if [ "${rank[$top]}" -gt "${rank[$folder]}" ]; then
                echo "${file#"$tree"/}:$line: includes \"$target\" from $top/, a layer above $folder/"
                status=1
            fi
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
                 sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/' || true)
        for free in "${qt_free[@]}"; do
            if [ "$folder" = "$free" ] && grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file" >/dev/null; then
                echo "${file#"$tree"/}: includes Qt, but $folder/ is Qt-free"
                status=1
            fi
        done
    done < <(find "$tree/$folder" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
