#!/usr/bin/env bash
# The Wine test: Windows serial software on a virtual COM port through Wine's COM
# mapping. Heavy (Wine and mingw-w64 are large, a fresh prefix takes a while), so it is
# not part of scripts/test.sh; run it by hand:
#
#     bash scripts/wine-test.sh
#
# It installs wine, wine64 and mingw-w64 when missing, builds the manager, the store
# tool, the simulator and tests/clients/wine/com_echo.c (a Win32 console program), then,
# in folders of its own: a device-server simulator on a loopback address, the manager
# in service mode with COM5 on it, a fresh Wine prefix whose COM5 is mapped to the
# port's link (docs/packaging.md, "Wine"), and com_echo.exe on COM5 at 9600 and at 19200.
# It checks what the program printed and what the device server received: OPEN, SREQ
# with the rate's code, the DATA frames, CLOSE. Exit status 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh
wine_packages=(wine wine64 mingw-w64)
missing=()
for p in "${wine_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]} (this takes a while)"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target travenor travenor-reg vorlix-sim

work=$(mktemp -d /tmp/quorvalink-wine.XXXXXX)
sim_pid=""
manager_pid=""
finish() {
    WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
    [ -n "$manager_pid" ] && kill "$manager_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap finish EXIT

export QUORVALINK_HOME=$work/store QUORVALINK_DEVDIR=$work/dev XDG_RUNTIME_DIR=$work/run
export QUORVALINK_REMOTE_PORT=0
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$QUORVALINK_HOME" "$QUORVALINK_DEVDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
link=$QUORVALINK_DEVDIR/COM5

passed=0
failed=0
check() { # check "what" command...
    local what=$1
    shift
    if "$@"; then
        echo "PASS $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what"
        failed=$((failed + 1))
    fi
}

# A loopback address of its own, so that a simulator or a manager of the demo on
# 127.0.0.1:4001 does not matter.
address=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).1

echo "== Win32 client"
x86_64-w64-mingw32-gcc -Wall -Wextra -O2 -o "$work/com_echo.exe" tests/clients/wine/com_echo.c

echo "== device server $address, manager in service mode, COM5 -> device port 1"
cat >"$work/port.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0000]
"PORTNAME"="COM5"
"IpAddr01"="$address"
"TCPPortNo01"=dword:00000001
"Description01"="Wine test"
"CurIPAddr"="$address"
"CurTCPPortNo"=dword:00000001
REG
build/tools/travenor_reg/travenor-reg import "$work/port.reg"
build/tools/vorlix_sim/vorlix-sim --address "$address" --ports 1 --log "$work/device.log" \
    >/dev/null 2>&1 &
sim_pid=$!
build/app/travenor --service 2>"$work/manager.log" &
manager_pid=$!
# The link is there from the manager's start on; the port is started once its queues
# are published in its key.
started() {
    [ -L "$link" ] &&
        build/tools/travenor_reg/travenor-reg query 'HKLM\Enum\Root\Redirector\0000' /v pInQueue \
            >/dev/null 2>&1
}
for _ in $(seq 100); do started && break; sleep 0.1; done
check "the port is started" started

echo "== Wine prefix (first start: about a minute) and the COM5 mapping"
wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w
# The documented mapping (docs/packaging.md): the link's own path, never its target.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$link" /f >/dev/null 2>&1
wineserver -k || true
wineserver -w

run_client() { # run_client rate text
    wine "$work/com_echo.exe" COM5 "$1" "$2" 2>>"$work/wine.log" | tr -d '\r' | tee "$work/client-$1.txt"
    return "${PIPESTATUS[0]}"
}
sessions() { grep -c '< CLOSE' "$work/device.log" || true; }

for rate in 9600 19200; do
    echo "== com_echo.exe COM5 $rate"
    text="hello from Wine at $rate"
    before=$(sessions)
    check "com_echo at $rate ends with status 0" run_client "$rate" "$text"
    check "echo read back at $rate" grep -qx "OK echo '$text'" "$work/client-$rate.txt"
    for _ in $(seq 50); do [ "$(sessions)" -gt "$before" ] && break; sleep 0.1; done
    # The device's view of this session: from its OPEN to its CLOSE.
    awk -v n="$((before + 1))" '/< OPEN/ { s++ } s == n { print } s == n && /< CLOSE/ { exit }' \
        "$work/device.log" >"$work/session-$rate.log"
    code=$(printf '%02X' $((rate == 9600 ? 12 : 13)))
    hex=$(printf '%s' "$text" | od -An -tx1 | tr 'a-f' 'A-F' | tr -s ' \n' ' ' | sed 's/^ //;s/ $//')
    check "device saw OPEN" grep -q '< OPEN F0 71 E0' "$work/session-$rate.log"
    check "device saw SREQ with $rate's code $code" grep -q "< SREQ F0 21 $code " "$work/session-$rate.log"
    check "device saw the DATA" grep -q "< DATA F0 31 00 [0-9A-F][0-9A-F] $hex E0" "$work/session-$rate.log"
    check "device saw CLOSE" grep -q '< CLOSE F0 72 E0' "$work/session-$rate.log"
done

check "COM5 is mapped to the link, not to its target" \
    test "$(readlink "$WINEPREFIX/dosdevices/com5")" = "$link"
grep -h '^INFO' "$work"/client-*.txt | sort -u | sed 's/^/   /'

kill "$manager_pid"
status=0
wait "$manager_pid" || status=$?
manager_pid=""
check "the manager ends on SIGTERM with status 0" test "$status" -eq 0

echo "== device log"
sed 's/^/   /' "$work/device.log"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && rm -rf "$work"
[ "$failed" -eq 0 ]
