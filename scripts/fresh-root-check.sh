#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Tries the README's first hour on a stock Debian 12 machine: makes a Debian 12 root with
# mmdebstrap (--variant=apt, from the same Debian mirror as this machine's apt sources) with only
# git and make added, clones this checkout's committed HEAD into it, and runs `make demo`, then
# `make test`, there as the README says. Prints each one's wall time and result and the test
# stages' table, then unmounts and removes everything it made. Run as root; it takes about 12
# minutes on an idle 2-core machine. Not part of make test.
# Usage: scripts/fresh-root-check.sh [WORK_DIR]   (default: a new directory under /var/tmp)
# Environment: KEEP_ROOT=1 keeps the root and its logs for a look afterwards.
# Exit status 0 only when both commands passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-root-check: run as root (mmdebstrap, chroot and the mounts need it)" >&2
    exit 2
fi
command -v mmdebstrap >/dev/null 2>&1 || "$here/scripts/ensure-deps.sh" mmdebstrap
# In a mount namespace of its own, so that nothing it mounts outlives it, whatever ends it.
if [ -z "${VEMRICK_FRESH_ROOT_NS:-}" ]; then
    exec env VEMRICK_FRESH_ROOT_NS=1 unshare --mount --propagation private "$0" "$@"
fi
head=$(git -C "$here" rev-parse HEAD)
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ]; then
    echo "fresh-root-check: note: uncommitted changes are not part of the check (HEAD ${head:0:12})"
fi

command -v python3 >/dev/null 2>&1 || "$here/scripts/ensure-deps.sh" python3
mirrors=$(python3 "$here/scripts/debian_mirrors.py")

work=${1:-$(mktemp -d /var/tmp/vemrick-fresh-XXXXXX)}
root=$work/root
mkdir -p "$work"
mounted=()
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[$i]}" 2>/dev/null || true
    done
    mounted=()
    if [ "${KEEP_ROOT:-0}" = 1 ]; then
        echo "fresh-root-check: kept $work"
    elif ! grep -q " $work/" /proc/self/mounts; then
        rm -rf --one-file-system "$work"
    else
        echo "fresh-root-check: $work still has mounts; not removed" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "fresh-root-check: making a Debian 12 root in $root from:"
printf '%s\n' "$mirrors" | sed 's/^/  /'
start=$(date +%s)
printf '%s\n' "$mirrors" | mmdebstrap --quiet --variant=apt --include=git,make bookworm "$root" - \
    >"$work/mmdebstrap.log" 2>&1 || { tail -30 "$work/mmdebstrap.log" >&2; exit 1; }
echo "fresh-root-check: root made in $(($(date +%s) - start)) s"
[ -s "$root/etc/resolv.conf" ] || cp /etc/resolv.conf "$root/etc/resolv.conf"
# What Debian's installer writes and mmdebstrap does not: names for the loopback addresses.
[ -e "$root/etc/hosts" ] || printf '%s\n' "127.0.0.1	localhost" "::1		localhost ip6-localhost ip6-loopback" \
    >"$root/etc/hosts"
git clone -q --no-local "$here" "$root/root/vemrick"
git -C "$root/root/vemrick" checkout -q -B fresh-check "$head"

# What a running Debian system has mounted: the tests use /proc (valgrind, the sanitizers),
# /dev/pts, /dev/shm (Python), /dev/net/tun, and network namespaces of their own.
mount_in() { # TYPE SOURCE TARGET [OPTIONS]
    mkdir -p "$root$3"
    mount -t "$1" ${4:+-o "$4"} "$2" "$root$3"
    mounted+=("$root$3")
}
# The root bound onto itself: / is then a mount point in the chroot, as on a running system, so
# that tests which make mount namespaces of their own (unshare -m) can change its propagation.
mount --bind "$root" "$root"
mounted+=("$root")
mount_in proc proc /proc
mount_in sysfs sysfs /sys
mount_in devtmpfs udev /dev
mount_in devpts devpts /dev/pts newinstance,ptmxmode=0666
mount_in tmpfs tmpfs /dev/shm mode=1777
mount_in tmpfs tmpfs /run mode=755

# run NAME COMMAND: runs the command as root's login in the root, from the clone; logs to
# $work/NAME.log and records the wall time and result.
summary=()
status=0
run() {
    local name=$1 command=$2 begin result
    echo "fresh-root-check: $command ..."
    begin=$(date +%s)
    if chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        TERM=dumb /bin/bash -c "cd /root/vemrick && $command" >"$work/$name.log" 2>&1; then
        result=passed
    else
        result=FAILED
        status=1
        tail -60 "$work/$name.log"
    fi
    local seconds=$(($(date +%s) - begin))
    summary+=("$(printf '%-10s %-7s %4d min %02d s' "$command" "$result" $((seconds / 60)) $((seconds % 60)))")
}
run demo "make demo"
run test "make test"
echo
echo "fresh-root-check: the make test stages:"
sed -n '/^stage  *result  *seconds$/,$p' "$work/test.log"
echo
echo "fresh-root-check: Debian 12 root ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)), HEAD ${head:0:12}:"
printf '  %s\n' "${summary[@]}"
exit $status
