#!/usr/bin/env bash
# Installs the Debian packages a task needs, when missing (apt-get; sudo when not root).
#
#     bash scripts/deps.sh package   building the Debian package (scripts/package.sh)
#     bash scripts/deps.sh run       building and running the manager (scripts/run.sh)
#     bash scripts/deps.sh test      building and running the tests (scripts/test.sh)
#     bash scripts/deps.sh [all]     all of it, with clang for the lock check and fuzzing
set -euo pipefail
task=${1:-all}
build=(build-essential cmake ninja-build qt6-base-dev libsqlite3-dev)
case $task in
# CPack's Debian generator reads the programs with `file`; dpkg-shlibdeps comes with
# build-essential (dpkg-dev).
package) packages=("${build[@]}" file) ;;
# The platform plugins: xcb for a desktop, offscreen for the service. The build folder
# it shares with the tests is configured with them, which needs GoogleTest and libxcb.
run) packages=("${build[@]}" ccache qt6-qpa-plugins libgtest-dev libxcb1-dev) ;;
# libxcb1-dev and xvfb: the test of a lost display; socat: the relay benchmark;
# python3-serial, picocom and tmux: the real-client tests (tests/clients); ser2net: the
# RFC 2217 peer of the device tests.
test) packages=("${build[@]}" ccache qt6-qpa-plugins libgtest-dev libxcb1-dev xvfb socat
                python3-serial picocom tmux ser2net) ;;
# clang and libclang-rt-14-dev: the fuzz targets and the lock check.
all) packages=("${build[@]}" file ccache qt6-qpa-plugins libgtest-dev libxcb1-dev xvfb socat
               python3-serial picocom tmux ser2net clang libclang-rt-14-dev) ;;
*)
    echo "usage: bash scripts/deps.sh [package|run|test|all]" >&2
    exit 2
    ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
