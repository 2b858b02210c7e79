#!/bin/sh
# Takes docs/screenshot.png: the manager's main window under Xvfb with a sample
# store. Usage: tools/screenshot.sh [build-dir]   (default: build)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
OUT=$ROOT/docs/screenshot.png
DISPLAY_NUMBER=${SCREENSHOT_DISPLAY:-:77}

need() { command -v "$1" >/dev/null 2>&1; }
if ! need Xvfb || ! need import; then
    echo "installing xvfb and imagemagick" >&2
    apt-get install -y xvfb imagemagick >/dev/null
fi

cmake --build "$BUILD" --target travenor travenor-reg >/dev/null
TRAVENOR=$BUILD/app/travenor
REG=$(find "$BUILD/tools" -type f -name travenor-reg -perm -u+x | head -n 1)

WORK=$(mktemp -d)
XVFB_PID=
FIRST_PID=
cleanup() {
    [ -n "$FIRST_PID" ] && kill "$FIRST_PID" 2>/dev/null || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

export QUORVALINK_HOME=$WORK/home QUORVALINK_DEVDIR=$WORK/dev XDG_RUNTIME_DIR=$WORK/run
mkdir -p "$QUORVALINK_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

cat >"$WORK/sample.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Enum\Root\Redirector\0000]
"PORTNAME"="COM5"
"IPAddr01"="127.0.0.11"
"TCPPortNo01"=dword:00000001
"Description01"="Lab bench A"
"IPAddr02"="127.0.0.12"
"TCPPortNo02"=dword:00000002
"Description02"="Lab bench B"
"CurIPAddr"="127.0.0.12"
"CurTCPPortNo"=dword:00000002

[HKEY_LOCAL_MACHINE\Enum\Root\Redirector\0001]
"PORTNAME"="COM6"
"IPAddr01"="127.0.0.13"
"TCPPortNo01"=dword:00000010
"Description01"="Weighbridge"

[HKEY_LOCAL_MACHINE\Enum\Root\Redirector\0002]
"PORTNAME"="COM12"
"IPAddr01"="127.0.0.14"
"TCPPortNo01"=dword:00000003
"Description01"="Barcode printer"
"IPAddr02"="127.0.0.15"
"TCPPortNo02"=dword:00000003
"Description02"="Spare printer"
"CurIPAddr"="127.0.0.14"
"CurTCPPortNo"=dword:00000003
REG
"$REG" import "$WORK/sample.reg"

Xvfb "$DISPLAY_NUMBER" -screen 0 800x400x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
export DISPLAY=$DISPLAY_NUMBER QT_QPA_PLATFORM=xcb
sleep 1

"$TRAVENOR" &
FIRST_PID=$!
# The start-up timer hides the window after half a second; a second start brings
# it back, as a user would.
sleep 2
"$TRAVENOR"
sleep 1
import -window "Quorvalink Redirector Manager v1.2" "$OUT"
echo "wrote $OUT"
