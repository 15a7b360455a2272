#!/usr/bin/env bash
# The layers of src/ point one way: a file includes only from its own layer
# and the layers below it. The order is the one src/CMakeLists.txt builds
# (VALTD_LAYERS). Prints every include that points up and fails if there is
# one; also fails on a folder of src/ that is not a layer.
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a layers < <(sed -n 's/^set(VALTD_LAYERS \(.*\)$/\1/p' src/CMakeLists.txt)
declare -A rank
for i in "${!layers[@]}"; do
    rank[${layers[$i]}]=$i
done

bad=0
for dir in src/*/; do
    layer=$(basename "$dir")
    if [[ -z ${rank[$layer]+x} ]]; then
        echo "src/$layer is not a layer (add it to VALTD_LAYERS in src/CMakeLists.txt)"
        bad=1
        continue
    fi
    while IFS=: read -r file line target; do
        if [[ -z ${rank[$target]+x} ]]; then
            echo "$file:$line: includes from $target/, which is not a layer"
            bad=1
        elif ((rank[$target] > rank[$layer])); then
            echo "$file:$line: $layer includes from $target/, a layer above it"
            bad=1
        fi
    done < <(grep -Hn '^#include "[A-Za-z0-9_]*/' "$dir"* |
        sed 's/^\([^:]*\):\([0-9]*\):#include "\([A-Za-z0-9_]*\)\/.*/\1:\2:\3/')
done

if ((bad)); then
    echo "layer check failed; the order, bottom to top: ${layers[*]}"
    exit 1
fi
echo "layers point down: ${layers[*]}"
