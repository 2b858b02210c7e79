#!/usr/bin/env bash
# Builds the manager and runs it. When the store holds no port yet, a sample port
# COM5 is configured on an embedded device-server simulator at 127.0.0.1:4001.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

export QUORVALINK_HOME="${QUORVALINK_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/quorvalink}"
mkdir -p "$QUORVALINK_HOME"
if ! build/tools/travenor_reg/travenor-reg query 'HKLM\Enum\Root\Redirector' >/dev/null 2>&1; then
    build/tools/travenor_reg/travenor-reg import docs/sample-port.reg
    echo "Configured sample port COM5 -> 127.0.0.1 device port 1"
fi

build/tools/vorlix_sim/vorlix-sim --address 127.0.0.1 --ports 4 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT INT TERM

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: running under Xvfb (xvfb-run); the port links are in \${QUORVALINK_DEVDIR:-\${XDG_RUNTIME_DIR:-/tmp}/quorvalink}"
    xvfb-run -a build/app/travenor
else
    build/app/travenor
fi
