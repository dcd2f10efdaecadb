#!/usr/bin/env bash
# Fails when a source file includes from a layer above its own, or from a sibling link. Layers
# point one way: serial/, then primary/ and secondary/ (which never include each other), then
# the sinks (publish/), then app/ (widgets, layout, wiring) with data/ beside it.
#   scripts/check-layers.sh      exit status 1 and one line per offending include
set -euo pipefail
cd "$(dirname "$0")/.."

# What each layer may include from this repository, besides its own folder.
declare -A allowed=(
    [serial]=""
    [primary]="serial"
    [secondary]="serial"
    [publish]="serial primary secondary"
    [data]=""
    [app]="serial primary secondary publish data"
    [tools]=""
)

status=0
for layer in "${!allowed[@]}"; do
    [[ -d $layer ]] || continue
    while IFS=: read -r file line text; do
        target=${text#*\"}
        target=${target%%/*}
        [[ $target == "$layer" ]] && continue
        # Includes without a folder ("moc" output, the simulator's own files) are local.
        [[ $text != *\"*/* ]] && continue
        if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
            echo "$file:$line: $layer/ must not include from $target/: $text"
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$layer" \
                 --include='*.cpp' --include='*.h' || true)
done
exit $status
