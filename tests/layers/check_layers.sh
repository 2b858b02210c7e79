#!/usr/bin/env bash
# The folders are the layers: each may include only itself and the folders listed for
# it below, so dependencies point one way (downwards) and no two folders include each
# other. Run by ctest; with --dot it prints the include graph between folders instead,
# for a drawing (dot -Tsvg).
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
mode=${2:-check}
cd "$root"

declare -A allowed=(
    [platform]="platform"
    [rings]="rings"
    [config]="config platform"
    [device]="device config rings platform"
    [driverlink]="driverlink device config rings platform"
    [procedures]="procedures driverlink device config rings platform"
    [remote]="remote procedures driverlink device config rings platform"
    [app]="app remote procedures driverlink device config rings platform portdriver"
    [portdriver]="portdriver rings platform"
    [preload]="preload rings"
    [tools]="tools platform"
)
# The store, tick, trace, events, the driver device and blocking TCP: what the store tool
# links. No Qt.
core="registry tick trace paths faults auto_event driver_device symbol_table thread_annotations
      pending_result driver_faults autostart wake_signal tcp_connection tcp_listener"

edges() {
    for folder in "${!allowed[@]}"; do
        [ -d "$folder" ] || continue
        grep -rhoE '^#include "[a-z_]+/' "$folder" --include='*.h' --include='*.cpp' --include='*.c' |
            sed -E 's/#include "([a-z_]+)\//\1/' | sort -u | sed "s/^/$folder /"
    done
}

if [ "$mode" = "--dot" ]; then
    echo "digraph layers {"
    edges | while read -r from to; do
        [ "$from" = "$to" ] || echo "  \"$from\" -> \"$to\";"
    done
    echo "}"
    exit 0
fi

status=0
while read -r from to; do
    if [[ " ${allowed[$from]} " != *" $to "* ]]; then
        echo "layer violation: $from/ includes $to/:"
        grep -rnE "^#include \"$to/" "$from" --include='*.h' --include='*.cpp' --include='*.c' | sed 's/^/  /'
        status=1
    fi
done < <(edges)

for name in $core; do
    for file in platform/$name.h platform/$name.cpp; do
        [ -f "$file" ] || continue
        if grep -nE '^#include <Q|^#include "platform/(message_box|ui_thread|async_socket|single_instance|termination_signal)\.h"' "$file"; then
            echo "platform core file $file uses Qt or the event-loop side of platform"
            status=1
        fi
    done
done
exit $status
