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
#   with the rate's code, the DATA frames, CLOSE; com_sessions.exe: twenty
#   CreateFile/CloseHandle cycles, each with its own echo in a session of its own, a
#   second CreateFile while the port is open, and SetCommState giving the device only
#   real changes; com_lines.exe and the C library's tcsendbreak: what the modem-line,
#   event and break calls answer and what reaches the device;
# - with it (LD_PRELOAD for the whole Wine session, its server included), com_modem.exe
#   on COM5: EscapeCommFunction, GetCommModemStatus, SetCommState 7E1, WaitCommEvent for
#   EV_CTS and EV_RXCHAR, and the MCR and SREQ frames the device got; com_echo.exe and
#   the programs above again; and com_modem.exe on COM6, whose CreateFile must fail.
# It checks what the programs printed and what the device server received, and prints
# the programs' output. Exit status 0 when every check passed.
#
# QUORVALINK_BUILD_DIR names the build folder (default: build, by the default preset).
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

build=${QUORVALINK_BUILD_DIR:-build}
if [ "$build" = build ]; then
    cmake --preset default >/dev/null
else
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target travenor travenor-reg vorlix-sim quorvalink-preload
build=$(cd "$build" && pwd)
preload=$build/preload/libquorvalink-preload.so

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
for program in com_echo com_modem com_sessions com_lines; do
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
"$build"/tools/travenor_reg/travenor-reg import "$work/port.reg"
"$build"/tools/vorlix_sim/vorlix-sim --address "$address" --ports 2 --refuse=2 --loopback-lines \
    --log "$work/device.log" >/dev/null 2>&1 &
sim_pid=$!
"$build"/app/travenor --service 2>"$work/manager.log" &
manager_pid=$!
# The link is there from the manager's start on; the port is started once its queues
# are published in its key.
started() {
    [ -L "$link" ] &&
        "$build"/tools/travenor_reg/travenor-reg query 'HKLM\Enum\Root\Redirector\0000' /v pInQueue \
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

run_wine() { # run_wine output program arguments...: its output is also shown
    local output=$1 program=$2
    shift 2
    wine "$work/$program.exe" "$@" 2>>"$work/wine.log" | tr -d '\r' | tee "$output"
    return "${PIPESTATUS[0]}"
}
run_client() { # run_client rate text
    run_wine "$work/client-$1.txt" com_echo COM5 "$1" "$2"
}
opens() { grep -c '^4001 #[0-9]* < OPEN' "$work/device.log" || true; }
# The device's view of the next session on COM5 after the given number of opens: every
# frame of its connection (each session has one of its own), once its CLOSE came.
session_log() { # session_log opens-before file
    local id=""
    for _ in $(seq 50); do
        id=$(grep '^4001 #[0-9]* < OPEN' "$work/device.log" | sed -n "$(($1 + 1))p" | cut -d' ' -f2)
        [ -n "$id" ] && grep -q "^4001 $id < CLOSE" "$work/device.log" && break
        sleep 0.1
    done
    grep "^4001 $id " "$work/device.log" >"$2" || true
}
# What the device received in a session, a frame a line: DATA as its text, SREQ and MCR
# with their values.
story() { # story session-log
    local direction name bytes text
    while read -r _ _ direction name bytes; do
        [ "$direction" = "<" ] || continue
        # shellcheck disable=SC2086
        set -- $bytes
        case $name in
        DATA)
            shift 4
            text=""
            while [ $# -gt 1 ]; do
                text+="\\x$1"
                shift
            done
            printf "DATA '%b'\n" "$text"
            ;;
        SREQ) echo "SREQ $3 $4 $5" ;;
        MCR) echo "MCR $3" ;;
        *) echo "$name" ;;
        esac
    done <"$1"
}
hex_of() { printf '%s' "$1" | od -An -tx1 | tr 'a-f' 'A-F' | tr -s ' \n' ' ' | sed 's/^ //;s/ $//'; }

# Twenty CreateFile/CloseHandle cycles without a pause: each reads its own echo, and each
# is a session of its own at the device (a connection with OPEN, the cycle's 16 bytes and
# CLOSE, nothing of another cycle).
cycles_test() { # cycles_test label
    local label=$1 output=$work/cycles-$1.txt before n text own=0 sreqs=0
    echo "== com_sessions.exe COM5 cycles ($label)"
    before=$(opens)
    check "twenty cycles each read their own echo ($label)" run_wine "$output" com_sessions COM5 cycles
    for n in $(seq 20); do
        session_log $((before + n - 1)) "$work/cycle-$label-$n.log"
        story "$work/cycle-$label-$n.log" >"$work/cycle-$label-$n.story"
        text=$(sed -n "s/^cycle $(printf %02d "$n") .* own echo '\(.*\)'$/\1/p" "$output")
        [ -n "$text" ] && [ "$(grep '^DATA' "$work/cycle-$label-$n.story")" = "DATA '$text'" ] &&
            grep -qx CLOSE "$work/cycle-$label-$n.story" && own=$((own + 1))
        sreqs=$((sreqs + $(grep -c '^SREQ' "$work/cycle-$label-$n.story" || true)))
    done
    check "twenty sessions at the device, each with exactly its cycle's bytes ($label, $own)" \
        test "$own" -eq 20
    echo "   SREQ frames in the twenty sessions: $sreqs"
    awk '/^cycle [0-9]+ / { n++; if ($3 > 20) over++; if ($3 > worst) worst = $3 }
         END { printf "   slowest cycle %.2f ms; %d of %d over the 20 ms target\n", worst, over, n }' \
        "$output"
}

# A second CreateFile while the port is open: what it gives, and the first handle goes on.
busy_test() { # busy_test label
    local label=$1 status=0 before lines shared
    echo "== com_sessions.exe COM5 busy ($label)"
    before=$(opens)
    lines=$(wc -l <"$work/device.log")
    run_wine "$work/busy-$label.txt" com_sessions COM5 busy || status=$?
    echo "   exit status $status"
    session_log "$before" "$work/busy-$label.log"
    check "one session at the device, the first handle's ($label)" test "$(opens)" -eq $((before + 1))
    check "the first handle still echoes after the second CreateFile ($label)" \
        grep -qx 'OK first handle still echoes' "$work/busy-$label.txt"
    shared=no
    tail -n +$((lines + 1)) "$work/device.log" | grep -q "$(hex_of 'second opener!!!')" && shared=yes
    # With the library the open waits until the driver has taken the first one, then
    # finds a fresh pty and fails as busy. Without it the open returns at once: one that
    # comes before the driver has moved the link on shares the first handle's pty.
    if [ "$label" = library ]; then
        check "a second CreateFile fails with 5 (access denied), as on Windows" \
            grep -q '^OK second CreateFile failed with error 5 ' "$work/busy-$label.txt"
        check "nothing of the second handle reaches the device" test "$shared" = no
    else
        echo "   the second handle's bytes reached the first one's session: $shared"
    fi
}

# SetCommState 9600 8N1, the same again, 9600 7E1, the same again, 115200 8N1, each call
# followed by a marker: the SREQ frames by the call they followed (0..4; 5: after the last
# marker). Only real changes may reach the device, and Wine's SetCommState (rate, then
# line control, then flow control) must not show it the passing 115200 7E1.
settings_test() { # settings_test label
    local label=$1 before sreq=$work/settings-$1.sreq status=0
    echo "== com_sessions.exe COM5 settings ($label)"
    before=$(opens)
    run_wine "$work/settings-$label.txt" com_sessions COM5 settings || status=$?
    session_log "$before" "$work/settings-$label.log"
    story "$work/settings-$label.log" >"$work/settings-$label.story"
    awk '/^DATA/ { step++ } /^SREQ/ { print step + 0 ": " $0 }' "$work/settings-$label.story" >"$sreq"
    sed 's/^/   /' "$work/settings-$label.story"
    echo "   SREQ frames in the session: $(wc -l <"$sreq")"
    for step in "SetCommState 9600 8N1" "SetCommState 9600 8N1 again" "SetCommState 115200 8N1"; do
        check "$step ($label)" grep -qx "OK $step" "$work/settings-$label.txt"
    done
    check "every marker's echo came back ($label)" bash -c "! grep -q '^FAIL echo' '$work/settings-$label.txt'"
    check "the first call gives at most 9600 8N1 ($label)" \
        test -z "$(grep '^0: ' "$sreq" | grep -vx '0: SREQ 0C 03 00')"
    check "SetCommState with the settings already set gives no SREQ ($label)" \
        test -z "$(grep -e '^1: ' -e '^3: ' "$sreq")"
    check "9600 7E1 to 115200 8N1 gives one SREQ, 115200 8N1 ($label)" \
        test "$(grep '^4: ' "$sreq")" = "4: SREQ 10 03 00"
    check "no passing state 115200 7E1, nothing after the last call ($label)" \
        test -z "$(grep -e 'SREQ 10 1A' -e '^5: ' "$sreq")"
    if [ "$label" = library ]; then
        check "every SetCommState succeeds with the library" test "$status" -eq 0
        check "9600 7E1 goes out as SREQ 0C 1A with the library" \
            test "$(grep '^2: ' "$sreq")" = "2: SREQ 0C 1A 00"
    else
        # The pty keeps 8N: the device is not told of 7E1.
        check "9600 7E1 gives no SREQ without the library" test -z "$(grep '^2: ' "$sreq")"
    fi
}

# The modem-line, event and break calls: what they answer, and the frames each step gave
# (between the markers). Without the library the pty has no modem lines: DTR and RTS
# through SetCommState report success and reach nobody, WaitCommEvent cannot wait for a
# line, and a wait for EV_RXCHAR alone ends at Wine's first look at the lines. A Vorlix
# device has no break: it gets nothing either way; with the library the manager's relay
# sees the break on and off (its trace), without it nothing.
# How many breaks (on and off) the manager's relay has traced so far.
breaks_traced() {
    grep -c -e '\[BREAK\] on' -e '\[BREAK\] off' "$work/manager.log" || true
}
# check_breaks label count_before: with the library one on and one off more, else none.
check_breaks() {
    local label=$1 wanted=$2 now
    [ "$label" = library ] && wanted=$((wanted + 2))
    now=$(breaks_traced)
    check "the manager's relay traced $((wanted - $2)) break requests ($label, got $((now - $2)))" \
        test "$now" -eq "$wanted"
}

lines_test() { # lines_test label
    local label=$1 before output=$work/lines-$1.txt story=$work/lines-$1.story mcr others breaks
    echo "== com_lines.exe COM5 ($label)"
    breaks=$(breaks_traced)
    before=$(opens)
    check "com_lines ends with status 0 ($label)" run_wine "$output" com_lines COM5
    session_log "$before" "$work/lines-$label.log"
    story "$work/lines-$label.log" >"$story"
    sed 's/^/   /' "$story"
    mcr=$(awk '/^MCR/ { printf "%s ", $2 }' "$story")
    others=$(grep -v -e '^DATA' -e '^MCR' -e '^SREQ' -e '^ALIVE' -e '^IDENT' -e '^OPEN$' -e '^CLOSE$' \
        "$story" || true)
    for call in "SetCommState DTR, RTS DISABLE" "SetCommState DTR, RTS ENABLE" SetCommBreak \
        ClearCommBreak; do
        check "$call reports success ($label)" grep -qx "INFO $call: success" "$output"
    done
    check "WaitCommEvent EV_RXCHAR with bytes waiting returns EV_RXCHAR at once ($label)" \
        grep -qx 'INFO WaitCommEvent EV_RXCHAR, 16 bytes to read: returned at once, events 0x1' \
        "$output"
    check "the breaks reach the device as nothing ($label${others:+, got: $others})" test -z "$others"
    check_breaks "$label" "$breaks"
    if [ "$label" = library ]; then
        # DTR off, RTS off, DTR on, RTS on (Wine sets DTR, then RTS).
        check "DTR and RTS through SetCommState reach the device (MCR: $mcr)" \
            test "$mcr" = "03 02 00 01 03 00 "
        check "WaitCommEvent for the modem lines waits" grep -q \
            '^INFO WaitCommEvent EV_CTS|EV_DSR|EV_RLSD|EV_RING: still pending' "$output"
        check "WaitCommEvent for EV_RXCHAR alone waits" grep -q \
            '^INFO WaitCommEvent EV_RXCHAR, nothing to read: still pending' "$output"
    else
        check "DTR and RTS through SetCommState reach nobody (MCR: $mcr)" test "$mcr" = "03 00 "
        check "WaitCommEvent with a modem event in the mask fails with error 50" grep -qx \
            'INFO WaitCommEvent EV_CTS|EV_DSR|EV_RLSD|EV_RING: error 50 at once' "$output"
        check "WaitCommEvent EV_RXCHAR alone ends with error 995 and no event" grep -q \
            '^INFO WaitCommEvent EV_RXCHAR, nothing to read: pending, ended after .* with error 995, events 0x0$' \
            "$output"
    fi
}

# The C library's tcsendbreak on the link (as picocom's or pyserial's break), then a marker
# and its echo.
break_test() { # break_test label
    local label=$1 before breaks
    echo "== tcsendbreak on the link ($label)"
    breaks=$(breaks_traced)
    before=$(opens)
    /usr/bin/python3 - "$link" <<'PY' | tee "$work/break-$label.txt"
import os, select, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
try:
    termios.tcsendbreak(fd, 0)
    print("INFO tcsendbreak: success")
except OSError as error:
    print("INFO tcsendbreak: %s" % error)
os.write(fd, b"mark: tcsendbrk ")
echo = b""
while len(echo) < 16 and select.select([fd], [], [], 2)[0]:
    echo += os.read(fd, 16 - len(echo))
print("INFO echo after it: %r" % echo)
os.close(fd)
PY
    session_log "$before" "$work/break-$label.log"
    story "$work/break-$label.log" >"$work/break-$label.story"
    sed 's/^/   /' "$work/break-$label.story"
    check "tcsendbreak reports success ($label)" grep -qx 'INFO tcsendbreak: success' \
        "$work/break-$label.txt"
    check "the break reaches the device as nothing ($label)" test "$(tr '\n' ' ' <"$work/break-$label.story")" \
        = "IDENT OPEN MCR 03 DATA 'mark: tcsendbrk ' MCR 00 CLOSE "
    check_breaks "$label" "$breaks"
}

for rate in 9600 19200; do
    echo "== com_echo.exe COM5 $rate"
    text="hello from Wine at $rate"
    before=$(opens)
    check "com_echo at $rate ends with status 0" run_client "$rate" "$text"
    check "echo read back at $rate" grep -qx "OK echo '$text'" "$work/client-$rate.txt"
    session_log "$before" "$work/session-$rate.log"
    code=$(printf '%02X' $((rate == 9600 ? 12 : 13)))
    hex=$(hex_of "$text")
    check "device saw OPEN" grep -q '< OPEN F0 71 E0' "$work/session-$rate.log"
    check "device saw SREQ with $rate's code $code" grep -q "< SREQ F0 21 $code " "$work/session-$rate.log"
    check "device saw the DATA" grep -q "< DATA F0 31 00 [0-9A-F][0-9A-F] $hex E0" "$work/session-$rate.log"
    check "device saw CLOSE" grep -q '< CLOSE F0 72 E0' "$work/session-$rate.log"
done

check "COM5 is mapped to the link, not to its target" \
    test "$(readlink "$WINEPREFIX/dosdevices/com5")" = "$link"
grep -h '^INFO' "$work"/client-*.txt | sort -u | sed 's/^/   /'

cycles_test plain
busy_test plain
settings_test plain
lines_test plain
break_test plain

# The whole Wine session with the library: its server opens the ports (and waits there
# for the device), the program's own process makes the modem-line and termios calls.
echo "== with the preload library: a new Wine session under LD_PRELOAD"
wineserver -k || true
wineserver -w
export LD_PRELOAD=$preload
before=$(opens)
run_modem() { # run_modem COMn output
    run_wine "$2" com_modem "$1"
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

cycles_test library
busy_test library
settings_test library
lines_test library
break_test library

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
