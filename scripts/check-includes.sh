#!/usr/bin/env bash
# Fails when an include points up the layers of src/ (the order is Z39_CORE_LAYERS in
# cmake/Z39Sources.cmake, then ui on top), or when Qt is included outside src/ui.
set -euo pipefail
cd "$(dirname "$0")/.."
read -r -a layers <<<"$(sed -n 's/^set(Z39_CORE_LAYERS \(.*\))$/\1/p' cmake/Z39Sources.cmake) ui"
rank() {
    local i
    for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }; done
    echo -1
}
bad=0
for dir in src/*/; do
    folder=$(basename "$dir")
    own=$(rank "$folder")
    if ((own < 0)); then
        echo "src/$folder is not a known layer (add it to cmake/Z39Sources.cmake)"
        bad=1
        continue
    fi
    while IFS=: read -r file line text; do
        target=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")
        if (($(rank "$target") > own || $(rank "$target") < 0)); then
            echo "$file:$line: $folder includes from $target: $text"
            bad=1
        fi
    done < <(grep -HnE '^#include "[^/"]+/' "$dir"* || true)
done
# Only the windows speak Qt; the core and the servers stay testable without it.
while IFS= read -r hit; do
    echo "$hit: Qt outside src/ui"
    bad=1
done < <(grep -rnE '^#include <Q' src tools --include=*.h --include=*.cpp | grep -v '^src/ui/' || true)
while IFS= read -r hit; do
    echo "$hit: tools include the windows"
    bad=1
done < <(grep -rnE '^#include "ui/' tools || true)
# Back ends are adapters: they fill no shared result and touch no run state.
while IFS= read -r hit; do
    echo "$hit: a back end includes what only the search session may touch"
    bad=1
done < <(grep -rnE '^#include "(state/app_state|records/result_index|records/record_store)\.h"' \
    src/backends || true)
# What kind a target is gets decided in one place.
while IFS= read -r hit; do
    echo "$hit: the kind of a target is told outside src/targets"
    bad=1
done < <(grep -rnE 'kSharedCatalogueSlot|kWebOpacDomainLabel' src --include=*.h --include=*.cpp |
    grep -v '^src/targets/' || true)
((bad == 0)) && echo "includes: every folder depends only on the ones below it"
exit $bad
