#!/usr/bin/env bash
# The package on a fresh Debian 12: builds it (scripts/package.sh), makes a minimal
# Debian 12 root with debootstrap in a temporary folder and, inside it, as a new user
# of the package would:
#   - apt-get install ./the.deb pulls what the programs need (nothing else installed);
#   - travenor --version answers; the desktop entry validates (desktop-file-validate);
#   - the first port: travenor-reg import, the manager as a service, an application's
#     echo through the link, SIGTERM ends it with status 0;
#   - the systemd user unit: enable --now starts the manager, its traces are in the
#     journal, a second service is refused, stop ends it with status 0, disable;
#   - apt-get purge --autoremove removes every file the package brought; what is left
#     is the user's store and runtime files only.
# Needs root (debootstrap, chroot, mounts) and Debian's package mirror; takes a few
# minutes. Not part of scripts/test.sh.
#
#     bash scripts/package-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-check: run as root (debootstrap, chroot)" >&2; exit 2; }

deb=$(bash scripts/package.sh | tail -1)
if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

root=$(mktemp -d /tmp/quorvalink-root.XXXXXX)
mounted=()
finish() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -R "${mounted[i]}" 2>/dev/null || true; done
    if [ -n "${keep:-}" ]; then echo "kept: $root"; else rm -rf "$root"; fi
}
trap finish EXIT

echo "== debootstrap bookworm (minbase) into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
    { cat "$root.log"; exit 1; }
rm -f "$root.log"
for m in proc sys dev dev/pts; do
    case $m in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount --rbind /sys "$root/sys" ;;
    *) mount --bind "/$m" "$root/$m" ;;
    esac
    mounted+=("$root/$m")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/root/"
cp docs/sample-port.reg "$root/root/port.reg"

cat >"$root/root/check.sh" <<'INNER'
#!/bin/bash
set -u
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then echo "PASS $what"; passed=$((passed + 1)); else echo "FAIL $what"; failed=$((failed + 1)); fi
}
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /var/cache -o -path /var/lib -o -path /var/log -o -path /root \) -prune \
        -o -print 2>/dev/null | sort
}
deb=$(ls /root/quorvalink-redirector_*.deb)
apt-get update -qq
# The tools of the checks come first, so that they are not counted as the package's.
apt-get install -y -qq desktop-file-utils systemd dbus-user-session procps >/dev/null 2>&1
snapshot >/root/before.txt

check "apt-get install ./$(basename "$deb")" bash -c "apt-get install -y -qq $deb >/root/install.log 2>&1"
for f in /usr/bin/travenor /usr/bin/travenor-reg /usr/bin/vorlix-sim /usr/bin/travenor-win16 \
    /usr/bin/travenor-remote /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqoffscreen.so \
    /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so; do
    check "$f finds every library" bash -c "! ldd $f | grep -q 'not found'"
done
check "travenor --version answers" bash -c 'travenor --version | grep -q "^travenor 1.20 "'
check "desktop entry validates" desktop-file-validate /usr/share/applications/quorvalink-redirector.desktop
check "icon installed" test -s /usr/share/icons/hicolor/48x48/apps/quorvalink-redirector.png

export XDG_RUNTIME_DIR=/run/user/0
mkdir -p -m 700 $XDG_RUNTIME_DIR
link=$XDG_RUNTIME_DIR/quorvalink/COM5
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

check "travenor-reg import" travenor-reg import /root/port.reg
vorlix-sim --address 127.0.0.1 --ports 1 --log /root/device.log >/dev/null 2>&1 &
sim=$!

travenor --service 2>/root/service.log &
svc=$!
check "service: the port starts" wait_for_link
check "service: echo through the link" echo_through_link "hello"
kill -TERM $svc
status=0
wait $svc || status=$?
check "service: SIGTERM ends it with status 0" test $status -eq 0
check "service: link gone" test ! -e $link

# A user manager without a booted systemd: enough for systemctl --user.
mkdir -p /run/systemd/system /run/systemd/journal
/lib/systemd/systemd-journald >/dev/null 2>&1 &
journald=$!
sleep 1
/lib/systemd/systemd --user >/dev/null 2>&1 &
manager=$!
for _ in $(seq 50); do systemctl --user is-system-running >/dev/null 2>&1 && break; sleep 0.2; done
check "unit: enable --now" systemctl --user enable --now travenor
check "unit: the port starts" wait_for_link
check "unit: echo through the link" echo_through_link "unit"
check "unit: a second service is refused" bash -c '! travenor --service 2>/dev/null'
check "unit: still active" systemctl --user is-active --quiet travenor
check "unit: stop" systemctl --user stop travenor
check "unit: ended with status 0" bash -c \
    '[ "$(systemctl --user show travenor -p ExecMainStatus --value)" = 0 ] &&
     [ "$(systemctl --user show travenor -p Result --value)" = success ]'
check "unit: link gone" test ! -e $link
check "unit: traces in the journal" bash -c \
    'journalctl --no-pager SYSLOG_IDENTIFIER=travenor | grep -q "Hooking is Just Started"'
check "unit: disable" systemctl --user disable travenor
kill $manager; sleep 1; kill $journald $sim 2>/dev/null; wait 2>/dev/null

dpkg -L quorvalink-redirector >/root/package-files.txt
check "apt-get purge --autoremove" \
    bash -c "apt-get purge --autoremove -y -qq quorvalink-redirector >/root/purge.log 2>&1"
left=$(while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] && echo "$f"; done </root/package-files.txt)
check "no file of the package left" test -z "$left"
snapshot >/root/after.txt
changed=$(diff /root/before.txt /root/after.txt || true)
check "the system as before the package" test -z "$changed"
[ -n "$left$changed" ] && echo "$left$changed"
echo "left in the user's home: $(cd /root && find .local .config -type f 2>/dev/null | tr '\n' ' ')"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
INNER

echo "== checks in the fresh root"
status=0
chroot "$root" bash /root/check.sh || status=$?
[ $status -eq 0 ] || keep=1
exit $status
