#!/usr/bin/env bash
# The long reliability campaigns of docs/reliability.md, one after the other, each with
# its log in build/campaigns/: every fuzz target until 10^7 inputs or SECONDS (default
# 1800), 1000 device-server faults on 8 ports, a gigabyte each way through one port,
# and 100 SIGKILLs of travenor-reg and of the manager. Fails when any of them does.
#
#   bash scripts/campaigns.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
seconds=${1:-1800}
logs=build/campaigns
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target soak_device_faults soak_relay_gigabyte \
    reliability_crash_test travenor travenor-reg
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen QUORVALINK_REMOTE_PORT=0

status=0
run() {
    local name=$1 code=0
    shift
    echo "== $name"
    "$@" >"$logs/$name.log" 2>&1 || code=$?
    tail -n 20 "$logs/$name.log"
    [ $code -eq 0 ] || { status=1; echo "== $name FAILED (log: $logs/$name.log)"; }
}
run fuzz bash scripts/fuzz.sh long "$seconds"
run device-faults build/bench/soak_device_faults --ports 8 --devices 4 --faults 1000 --seed "$RANDOM"
run relay-gigabyte build/bench/soak_relay_gigabyte
run crashes env QUORVALINK_TOOL_CRASH_ROUNDS=100 QUORVALINK_MANAGER_CRASH_ROUNDS=100 \
    build/tests/reliability/reliability_crash_test
exit $status
