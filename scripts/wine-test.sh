#!/usr/bin/env bash
# The Wine test: Windows serial software on a virtual COM port through Wine's COM
# mapping. Heavy (Wine and mingw-w64 are large, a fresh prefix takes a while), so it is
# not part of scripts/test.sh; run it by hand:
#
#     bash scripts/wine-test.sh
#
# It installs wine, wine64 and mingw-w64 when missing, builds the manager, the store
# tool, the simulator, the preload library and the Win32 console programs of
# tests/clients/wine, then, in folders of its own: a device-server simulator on a
# loopback address (its lines wired back as by a loopback plug: RTS to CTS, DTR to DSR
# and DCD), the manager in service mode with COM5 and COM6 on it (COM6's device refuses
# connections), a fresh Wine prefix whose COM5 and COM6 are mapped to the ports' links
# (docs/packaging.md, "Wine"), and:
# - without the preload library, com_echo.exe on COM5 at 9600 and at 19200: OPEN, SREQ
#   with the rate's code, the DATA frames, CLOSE;
# - with it (LD_PRELOAD for the whole Wine session, its server included), com_modem.exe
#   on COM5: EscapeCommFunction, GetCommModemStatus, SetCommState 7E1, WaitCommEvent for
#   EV_CTS and EV_RXCHAR, and the MCR and SREQ frames the device got; com_echo.exe again;
#   and com_modem.exe on COM6, whose CreateFile must fail.
# It checks what the programs printed and what the device server received. Exit status
# 0 when every check passed.
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
cmake --build --preset default -j "$(nproc)" --target travenor travenor-reg vorlix-sim \
    quorvalink-preload
preload=$root/build/preload/libquorvalink-preload.so

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

echo "== Win32 clients"
for program in com_echo com_modem; do
    x86_64-w64-mingw32-gcc -Wall -Wextra -O2 -o "$work/$program.exe" "tests/clients/wine/$program.c"
done

echo "== device server $address, manager in service mode, COM5 -> device port 1, COM6 -> 2"
cat >"$work/port.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0000]
"PORTNAME"="COM5"
"IpAddr01"="$address"
"TCPPortNo01"=dword:00000001
"Description01"="Wine test"
"CurIPAddr"="$address"
"CurTCPPortNo"=dword:00000001

[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0001]
"PORTNAME"="COM6"
"IpAddr01"="$address"
"TCPPortNo01"=dword:00000002
"Description01"="Wine test, device refuses"
"CurIPAddr"="$address"
"CurTCPPortNo"=dword:00000002
REG
build/tools/travenor_reg/travenor-reg import "$work/port.reg"
build/tools/vorlix_sim/vorlix-sim --address "$address" --ports 2 --refuse=2 --loopback-lines \
    --log "$work/device.log" >/dev/null 2>&1 &
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

echo "== Wine prefix (first start: about a minute) and the COM5 and COM6 mappings"
wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w
# The documented mapping (docs/packaging.md): the link's own path, never its target.
for com in COM5 COM6; do
    wine reg add 'HKLM\Software\Wine\Ports' /v $com /t REG_SZ /d "$QUORVALINK_DEVDIR/$com" /f \
        >/dev/null 2>&1
done
wineserver -k || true
wineserver -w

run_client() { # run_client rate text
    wine "$work/com_echo.exe" COM5 "$1" "$2" 2>>"$work/wine.log" | tr -d '\r' | tee "$work/client-$1.txt"
    return "${PIPESTATUS[0]}"
}
sessions() { grep -c '^4001 .*< CLOSE' "$work/device.log" || true; }
# The device's view of the next session on COM5 after the given number of sessions: from
# its OPEN to its CLOSE.
session_log() { # session_log sessions-before file
    for _ in $(seq 50); do [ "$(sessions)" -gt "$1" ] && break; sleep 0.1; done
    grep '^4001 ' "$work/device.log" |
        awk -v n="$(($1 + 1))" '/< OPEN/ { s++ } s == n { print } s == n && /< CLOSE/ { exit }' >"$2"
}

for rate in 9600 19200; do
    echo "== com_echo.exe COM5 $rate"
    text="hello from Wine at $rate"
    before=$(sessions)
    check "com_echo at $rate ends with status 0" run_client "$rate" "$text"
    check "echo read back at $rate" grep -qx "OK echo '$text'" "$work/client-$rate.txt"
    session_log "$before" "$work/session-$rate.log"
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

# The whole Wine session with the library: its server opens the ports (and waits there
# for the device), the program's own process makes the modem-line and termios calls.
echo "== with the preload library: a new Wine session under LD_PRELOAD"
wineserver -k || true
wineserver -w
export LD_PRELOAD=$preload
before=$(sessions)
run_modem() { # run_modem COMn output
    wine "$work/com_modem.exe" "$1" 2>>"$work/wine.log" | tr -d '\r' | tee "$2"
    return "${PIPESTATUS[0]}"
}
echo "== com_modem.exe COM5"
check "com_modem ends with status 0" run_modem COM5 "$work/client-modem.txt"
for step in "GetCommModemStatus CTS DSR RLSD" "EscapeCommFunction CLRDTR: DSR and RLSD dropped" \
    "EscapeCommFunction SETDTR: DSR and RLSD back" "SetCommState 7E1 read back" \
    "WaitCommEvent EV_CTS after CLRRTS" "WaitCommEvent EV_RXCHAR, echo 'ping' read"; do
    check "$step" grep -qx "OK $step" "$work/client-modem.txt"
done
session_log "$before" "$work/session-modem.log"
# DTR off, on, RTS off, on (after the open's 03); the line control 1A is 7 data bits with
# even parity; at the close 00.
mcr=$(grep -o '< MCR F0 41 [0-9A-F]*' "$work/session-modem.log" | awk '{ print $5 }' | tr '\n' ' ')
check "device saw MCR 03 02 03 01 03 00 (got: $mcr)" test "$mcr" = "03 02 03 01 03 00 "
check "device saw SREQ with 7E1's line control 1A" grep -q '< SREQ F0 21 0C 1A ' "$work/session-modem.log"
check "device saw the DATA" grep -q '< DATA F0 31 00 04 70 69 6E 67 E0' "$work/session-modem.log"

echo "== com_echo.exe COM5 9600, with the library"
check "com_echo with the library ends with status 0" run_client 9600 "hello with the library"
check "echo read back with the library" grep -qx "OK echo 'hello with the library'" \
    "$work/client-9600.txt"

echo "== com_modem.exe COM6: its device refuses"
refused=0
run_modem COM6 "$work/client-refused.txt" || refused=$?
check "com_modem on COM6 fails" test "$refused" -ne 0
check "CreateFile fails on COM6 with 433 (no such device)" \
    grep -qx 'FAIL CreateFile (error 433)' "$work/client-refused.txt"
check "Wine's server had no errno it could not map" \
    bash -c "! grep -q \"can't map error\" \"$work/wine.log\""
unset LD_PRELOAD

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
