#!/usr/bin/env bash
# The package on a fresh Debian 12, as a new user meets it. Makes a minimal Debian 12
# root with debootstrap in a temporary folder and copies it once, untouched, for the
# install. Then:
#   - build root: a clean clone of this repository's HEAD (uncommitted changes are not
#     in it) runs the README's "Install (Debian 12)" commands as they are written, as
#     root: scripts/package.sh installs what the build needs, builds the package, and
#     apt-get installs it; travenor --version answers;
#   - fresh root, with the network: apt-get install ./the.deb pulls what the programs
#     need (nothing else installed but the tools of the checks);
#   - fresh root, without a network (loopback only, so that nothing on the host's
#     addresses is in the way): every program finds its libraries, travenor --version,
#     the desktop entry validates; the first port: travenor-reg import, the manager as
#     a service, an application's echo through the link, without and with the preload
#     library, a second manager refused with status 1, SIGTERM ends it with status 0
#     and removes the link; the systemd user unit verifies; apt-get purge --autoremove
#     removes every file the package brought, and the system is as before it.
# The user unit is not started: a user systemd needs a booted systemd and the host's
# control groups, and this check leaves the host alone. Every command in a root runs in
# namespaces of its own (mounts, processes, and for the checks the network), so that
# its mounts and processes end with it, and every wait has a time limit.
#
# Needs root (debootstrap, namespaces, chroot) and Debian's package mirror (DEBIAN_MIRROR,
# default deb.debian.org); takes 10 to 20 minutes on 2 cores. Not part of scripts/test.sh.
# Prints PASS/FAIL/SKIP per check and "N passed, M failed"; the folder is kept when
# something failed (or with KEEP=1).
#
#     bash scripts/package-check.sh
set -euo pipefail
shopt -s lastpipe
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-check: run as root (debootstrap, chroot)" >&2; exit 2; }
repo=$PWD
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
work=$(mktemp -d /tmp/quorvalink-check.XXXXXX)
status=1
finish() {
    if [ $status -eq 0 ] && [ -z "${KEEP:-}" ]; then rm -rf "$work"; else echo "kept: $work"; fi
}
trap finish EXIT

# Inside the namespaces: fresh /proc, /run, /dev/shm and pseudo-terminals for the root,
# the host's basic device nodes where debootstrap made none, then the command in the
# root with a clean environment.
enterRoot() {
    local root=$1
    shift
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    mkdir -p "$root/dev/shm" "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
    [ -e "$root/dev/ptmx" ] || touch "$root/dev/ptmx"
    mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
    for node in null zero full random urandom tty; do
        [ -c "$root/dev/$node" ] && continue
        touch "$root/dev/$node"
        mount --bind "/dev/$node" "$root/dev/$node"
    done
    ip link set lo up 2>/dev/null || true
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LC_ALL=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# inRoot [--offline] ROOT SECONDS COMMAND...: the command in the root, isolated (below),
# also with IPC and UTS namespaces of its own (--offline: and a network of loopback only).
inRoot() {
    local net=()
    if [ "$1" = --offline ]; then
        net=(--net)
        shift
    fi
    local root=$1 seconds=$2
    shift 2
    isolated "$seconds" --ipc --uts "${net[@]}" -- bash -c "$(declare -f enterRoot)"'; enterRoot "$@"' \
        enterRoot "$root" "$@"
}

# isolated SECONDS [UNSHARE OPTIONS...] -- COMMAND...: the command in mount and pid
# namespaces of its own, so that its mounts and every process it started end with it:
# at its end, at Ctrl-C, or after SECONDS.
isolated() {
    local seconds=$1
    shift
    timeout --foreground --kill-after=10 "$seconds" \
        unshare --mount --propagation private --pid --kill-child "$@"
}

passed=0
failed=0
# Echoes the checks' lines and counts them (in this shell: lastpipe).
report() {
    local line
    while IFS= read -r line; do
        echo "$line"
        case $line in
        PASS*) passed=$((passed + 1)) ;;
        FAIL*) failed=$((failed + 1)) ;;
        esac
    done
}
ended() {
    echo "FAIL the checks in the root ended early (status $1)"
    failed=$((failed + 1))
}

# debootstrap: the host's, or its package unpacked in the work folder (nothing is
# installed on the host).
if command -v debootstrap >/dev/null; then
    bootstrap=(debootstrap)
else
    # (apt warns that its sandbox user cannot write to the private folder: expected.)
    (cd "$work" && timeout 300 apt-get download -qq debootstrap >"$work/download.log" 2>&1) || {
        cat "$work/download.log"
        echo "package-check: cannot fetch debootstrap (apt-get update first?)" >&2
        exit 1
    }
    dpkg-deb -x "$work"/debootstrap_*.deb "$work/debootstrap"
    bootstrap=(env DEBOOTSTRAP_DIR="$work/debootstrap/usr/share/debootstrap"
               "$work/debootstrap/usr/sbin/debootstrap")
fi

start=$(date +%s)
echo "== debootstrap bookworm (minbase) from $mirror into $work/build"
isolated 1800 -- "${bootstrap[@]}" --variant=minbase bookworm "$work/build" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; exit 1; }
cp /etc/resolv.conf "$work/build/etc/resolv.conf"
# The host's settings for reaching the mirror (a proxy, an old mirror's release dates).
for conf in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
    [ -f "$conf" ] && grep -qiE 'Proxy|Check-Valid-Until|Check-Date' "$conf" &&
        cp "$conf" "$work/build/etc/apt/apt.conf.d/99host-$(basename "$conf")"
done
cp -a "$work/build" "$work/fresh"
echo "   $(($(date +%s) - start)) s"

echo "== build root: the README's Install commands in a clean clone"
git clone -q "$repo" "$work/build/root/quorvalink"
install=$(awk '/^## Install \(Debian 12\)/ { section = 1; next }
               section && /^## / { exit }
               section && /^    / { sub(/^    /, ""); print; code = 1; next }
               section && code { exit }' "$work/build/root/quorvalink/README.md")
[ -n "$install" ] || { echo "package-check: no commands under the README's Install" >&2; exit 1; }
sed 's/^/   /' <<<"$install"
start=$(date +%s)
built=0
inRoot "$work/build" 3600 bash -c "cd /root/quorvalink && set -ex && $install" \
    >"$work/build.log" 2>&1 || built=$?
if [ $built -eq 0 ]; then
    echo "PASS the README's Install commands ($(($(date +%s) - start)) s)" | report
else
    tail -n 30 "$work/build.log"
    echo "FAIL the README's Install commands (status $built; $work/build.log)"
    exit 1
fi
inRoot "$work/build" 60 bash -c 'travenor --version | grep -q "^travenor 1\.20 " &&
    echo "PASS travenor --version in the build root" ||
    echo "FAIL travenor --version in the build root"' | report || ended $?
deb=$(ls "$work"/build/root/quorvalink/build-package/quorvalink-redirector_*.deb)
cp "$deb" "$work/fresh/root/"
cp docs/sample-port.reg "$work/fresh/root/port.reg"

cat >"$work/fresh/root/check.sh" <<'INNER'
#!/bin/bash
# $1 = install (with the network) or behave (loopback only).
set -u
export DEBIAN_FRONTEND=noninteractive
check() {
    local what=$1
    shift
    if timeout 120 "$@"; then echo "PASS $what"; else echo "FAIL $what"; fi
}
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /var/cache -o -path /var/lib -o -path /var/log -o -path /root \) -prune \
        -o -print 2>/dev/null | sort
}
deb=$(ls /root/quorvalink-redirector_*.deb)

if [ "$1" = install ]; then
    timeout 600 apt-get update -qq
    # The tools of the checks come first, so that they are not counted as the package's;
    # without what they recommend, so that they keep nothing of the package's own
    # dependencies from being removed with it.
    timeout 900 apt-get install -y -qq --no-install-recommends desktop-file-utils procps systemd \
        >/dev/null 2>&1
    snapshot >/root/before.txt
    check "apt-get install ./$(basename "$deb")" \
        bash -c "apt-get install -y -qq $deb >/root/install.log 2>&1"
    exit 0
fi

for f in /usr/bin/travenor /usr/bin/travenor-reg /usr/bin/vorlix-sim /usr/bin/travenor-win16 \
    /usr/bin/travenor-remote /usr/lib/x86_64-linux-gnu/quorvalink/libquorvalink-preload.so \
    /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqoffscreen.so \
    /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so; do
    check "$f finds every library" bash -c "! ldd $f | grep -q 'not found'"
done
check "travenor --version answers" bash -c 'travenor --version | grep -q "^travenor 1\.20 "'
check "desktop entry validates" desktop-file-validate /usr/share/applications/quorvalink-redirector.desktop
check "icon installed" test -s /usr/share/icons/hicolor/48x48/apps/quorvalink-redirector.png

export XDG_RUNTIME_DIR=/run/user/0 link=/run/user/0/quorvalink/COM5
mkdir -p -m 700 $XDG_RUNTIME_DIR
echo_through_link() {
    [ -L $link ] || return 1
    exec 3<>$link
    printf '%s' "$1" >&3
    local got
    got=$(timeout 3 head -c ${#1} <&3)
    exec 3>&-
    [ "$got" = "$1" ]
}
# The link is there from the manager's start on; the port is started once its queues
# are published in its key.
started() { [ -L $link ] && travenor-reg query 'HKLM\Enum\Root\Redirector\0000' /v pInQueue >/dev/null 2>&1; }
wait_for_link() { for _ in $(seq 100); do started && return 0; sleep 0.1; done; return 1; }
# The status of process $1 once it has ended, within $2 seconds; 255 when it has not.
ended_within() {
    for _ in $(seq $(($2 * 10))); do kill -0 $1 2>/dev/null || break; sleep 0.1; done
    kill -0 $1 2>/dev/null && return 255
    wait $1
}
export -f echo_through_link started wait_for_link

check "travenor-reg import" travenor-reg import /root/port.reg
vorlix-sim --address 127.0.0.1 --ports 1 --log /root/device.log >/dev/null 2>&1 &
sim=$!
travenor --service 2>/root/service.log &
svc=$!
check "service: the port starts" bash -c wait_for_link
check "service: echo through the link" bash -c 'echo_through_link hello'
check "service: echo through the link with the preload library" \
    env LD_PRELOAD=/usr/lib/x86_64-linux-gnu/quorvalink/libquorvalink-preload.so \
    bash -c 'echo_through_link preloaded'
check "service: a second manager is refused with status 1" \
    bash -c 'timeout 20 travenor --service 2>/dev/null; [ $? -eq 1 ]'
kill -TERM $svc
status=0
ended_within $svc 20 || status=$?
check "service: SIGTERM ends it with status 0" test $status -eq 0
check "service: link gone" test ! -e $link
kill -KILL $svc 2>/dev/null
kill -TERM $sim
ended_within $sim 10 >/dev/null || kill -KILL $sim

unit=/usr/lib/systemd/user/travenor.service
check "unit: runs travenor --service" grep -qx 'ExecStart=/usr/bin/travenor --service' $unit
check "unit: systemd-analyze verify" bash -c "systemd-analyze --user verify $unit >/root/verify.log 2>&1"
echo "SKIP unit: systemctl --user enable --now, stop, disable (no running systemd in this root)"

dpkg -L quorvalink-redirector >/root/package-files.txt
# What the package's dependencies recommended goes with them, whatever else would
# recommend it too.
check "apt-get purge --autoremove" bash -c "apt-get purge --autoremove -y -qq \
    -o APT::AutoRemove::RecommendsImportant=false quorvalink-redirector >/root/purge.log 2>&1"
left=$(while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] && echo "$f"; done </root/package-files.txt)
check "no file of the package left" test -z "$left"
snapshot >/root/after.txt
changed=$(diff /root/before.txt /root/after.txt || true)
check "the system as before the package" test -z "$changed"
[ -n "$left$changed" ] && echo "$left$changed"
echo "left in the user's home: $(cd /root && find .local .config -type f 2>/dev/null | tr '\n' ' ')"
INNER

echo "== fresh root: install the package"
inRoot "$work/fresh" 1800 bash /root/check.sh install | report || ended $?
echo "== fresh root: the programs, without a network"
inRoot --offline "$work/fresh" 900 bash /root/check.sh behave | report || ended $?
echo "$passed passed, $failed failed ($SECONDS s)"
[ $failed -eq 0 ] && [ $passed -gt 0 ] && status=0
exit $status
