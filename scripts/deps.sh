#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
# python3-serial, picocom and tmux: the real-client tests (tests/clients);
# clang and libclang-rt-14-dev: the fuzz targets and the lock check.
packages=(build-essential cmake ninja-build clang libclang-rt-14-dev qt6-base-dev qt6-qpa-plugins
          libxcb1-dev libsqlite3-dev libgtest-dev ccache socat xvfb xauth imagemagick
          python3-serial picocom tmux)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
