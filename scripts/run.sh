#!/usr/bin/env bash
# Builds the manager and runs it beside a device-server simulator on 127.0.0.1
# (TCP ports 4001..4004). When the store holds no port yet, a sample port COM5 is
# configured on the simulator's device port 1 (docs/sample-port.reg).
#
# With a display the manager shows its window; without one it runs as a service
# (travenor --service). Once the ports have started, one line per port says where its
# link is. Ctrl-C stops the manager (every port stopped, the links removed) and the
# simulator, and ends with status 0. Logs: build/run/travenor.log (the manager's
# traces) and build/run/vorlix-sim.log (every frame the simulator received).
#
#     bash scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target travenor travenor-reg vorlix-sim \
    quorvalink-preload

reg=build/tools/travenor_reg/travenor-reg
export QUORVALINK_HOME="${QUORVALINK_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/quorvalink}"
export QUORVALINK_TRACE="${QUORVALINK_TRACE:-1}"
# Without a session's runtime folder the manager keeps its lock and socket in
# /tmp/quorvalink-<uid> and the links in /tmp/quorvalink; naming that folder for Qt as
# well keeps Qt's complaint about a missing runtime folder away and the paths the same
# as for a manager started by hand in another shell.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=/tmp/quorvalink-$(id -u)
    export QUORVALINK_DEVDIR="${QUORVALINK_DEVDIR:-/tmp/quorvalink}"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
devdir=${QUORVALINK_DEVDIR:-$XDG_RUNTIME_DIR/quorvalink}

mkdir -p -m 700 "$QUORVALINK_HOME"
if ! "$reg" query 'HKLM\Enum\Root\Redirector' >/dev/null 2>&1; then
    "$reg" import docs/sample-port.reg
    echo "Configured the sample port COM5 on the simulator 127.0.0.1, device port 1"
fi

logs=$PWD/build/run
mkdir -p "$logs"
simAddress=127.0.0.1
simLog=$logs/vorlix-sim.log
managerLog=$logs/travenor.log
: >"$simLog"
: >"$managerLog"
work=$(mktemp -d)

# Both run in sessions of their own, so that a Ctrl-C in the terminal reaches this
# script alone, which then stops the manager before the simulator: each port ends
# cleanly and removes its link.
set +e
setsid build/tools/vorlix_sim/vorlix-sim --address "$simAddress" --ports 4 --log "$simLog" &
sim=$!
manager=
stopping=
trap 'stopping=1' INT TERM HUP

# Waits up to $2 tenths of a second for process $1 to end; its status, or 255 when it
# is still running.
endedWithin() {
    for ((i = 0; i < $2; i++)); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1 || true
    done
    kill -0 "$1" 2>/dev/null && return 255
    wait "$1"
}

finish() {
    local status=$1
    trap - INT TERM HUP
    if [ -n "$manager" ] && kill -0 "$manager" 2>/dev/null; then
        kill -TERM "$manager"
        endedWithin "$manager" 150
        status=$?
        if [ $status -eq 255 ]; then
            echo "The manager did not end within 15 s; killed (its links stay until its next start)."
            kill -KILL "$manager"
            wait "$manager"
        fi
    fi
    kill -TERM "$sim" 2>/dev/null
    endedWithin "$sim" 50 >/dev/null || kill -KILL "$sim" 2>/dev/null
    rm -rf "$work"
    [ -n "$stopping" ] && echo "Stopped: the manager ended with status $status, the simulator too."
    exit "$status"
}

sleep 0.3
if ! kill -0 "$sim" 2>/dev/null; then
    echo "The simulator did not start (is another one listening on $simAddress:4001?)."
    finish 1
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    setsid build/app/travenor 2>"$managerLog" &
    mode="its window"
    hint="start it in the window"
else
    setsid build/app/travenor --service 2>"$managerLog" &
    mode="no display: it runs without window (travenor --service)"
    hint="its saved current host is not one of its hosts"
fi
manager=$!
echo "The manager runs ($mode); its traces: $managerLog"

# Every port of the store: "COMn host port-hex started", host "-" when none is saved.
listPorts() {
    "$reg" export 'HKLM\Enum\Root\Redirector' "$work/ports.reg" >/dev/null 2>&1 || return 0
    awk '
        function flush() {
            if (inPort && name != "") print name, (host == "" ? "-" : host), port, started
        }
        /^\[/ {
            flush()
            inPort = $0 ~ /^\[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\[^\\]+\]/
            name = ""; host = ""; port = "0"; started = 0
            next
        }
        inPort && index($0, "=") {
            at = index($0, "=")
            key = tolower(substr($0, 1, at - 1)); value = substr($0, at + 1)
            gsub(/"/, "", value)
            if (key == "\"portname\"") name = value
            else if (key == "\"curipaddr\"") host = value
            else if (key == "\"curtcpportno\"" && value ~ /^dword:/) port = substr(value, 7)
            else if (key == "\"pinqueue\"") started = 1
        }
        END { flush() }' "$work/ports.reg"
}

# The ready line of each port as it starts; the ports that have a saved current host
# are waited for, up to 20 s.
declare -A announced=()
for ((round = 0; round < 40; round++)); do
    [ -n "$stopping" ] && finish 0
    if ! kill -0 "$manager" 2>/dev/null; then
        wait "$manager"
        status=$?
        echo "The manager ended with status $status:"
        tail -n 5 "$managerLog"
        finish "$status"
    fi
    waiting=0
    while read -r name host port started; do
        [ -n "${announced[$name]:-}" ] && continue
        if [ "$started" = 1 ] && [ -L "$devdir/$name" ]; then
            where="device server $host"
            [ "$host" = "$simAddress" ] && where="simulator $host"
            echo "$name is ready: $(realpath -m "$devdir")/$name ($where, device port $((16#$port)))"
            announced[$name]=1
        elif [ "$host" != - ]; then
            waiting=1
        fi
    done < <(listPorts)
    [ $waiting -eq 0 ] && [ $round -ge 4 ] && break
    sleep 0.5 || true
done
while read -r name host port started; do
    [ -z "${announced[$name]:-}" ] && echo "$name is not started ($hint; see $managerLog)"
done < <(listPorts)
echo "The simulator logs every frame it receives in $simLog."
echo "Ctrl-C stops the manager and the simulator; the links are removed."

while :; do
    wait "$manager"
    status=$?
    [ -n "$stopping" ] && finish 0
    kill -0 "$manager" 2>/dev/null && continue
    echo "The manager ended with status $status."
    manager=
    finish "$status"
done
