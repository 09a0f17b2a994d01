#!/usr/bin/env bash
# Runs the README's two commands on a bare Debian machine: a minimal Debian tree made
# with debootstrap in ROOT, a folder that does not exist yet, with nothing but cmake,
# make and g++ installed, and a clone of this repository's HEAD. Prints how long each
# command took. (An existing ROOT is used as it is, with whatever an earlier run
# installed.) Needs root, debootstrap and the network to Debian's package mirror;
# the tree takes about 650 MB.
#
#   sudo bash .ci/bare_machine.sh ROOT [MIRROR]
#
# The machine's own package sources and certificate authorities are copied into the
# tree, so that it reaches the registries as this machine does.
set -euo pipefail
root=${1:?usage: bare_machine.sh ROOT [MIRROR]}
mirror=${2:-http://deb.debian.org/debian}
repo=$(cd "$(dirname "$0")/.." && pwd)

mounts=(proc sys dev dev/pts)
unmount() {
    local m
    for ((k = ${#mounts[@]} - 1; k >= 0; --k)); do
        m=$root/${mounts[k]}
        if mountpoint -q "$m"; then umount "$m" || umount -l "$m"; fi
    done
}
trap unmount EXIT
in_root() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive bash -c "$1"; }

if [[ ! -x $root/usr/bin/g++ ]]; then
    debootstrap --variant=minbase bookworm "$root" "$mirror"
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        cp /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/"
        rm -f "$root/etc/apt/sources.list"
    fi
fi
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [[ ! -x $root/usr/bin/g++ ]]; then
    in_root 'apt-get update && apt-get install -y --no-install-recommends cmake make g++ ca-certificates'
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
    in_root update-ca-certificates
fi

rm -rf "$root/root/karvo"
git clone -q "$repo" "$root/root/karvo"
for command in \
    'cmake -S . -B build && cmake --build build --parallel 4 && build/KARVO2 examples/demo.mdx -midi demo.mid -o demo.fxb' \
    'bash tests/run_tests.sh'; do
    echo "== $command"
    start=$(date +%s)
    in_root "cd /root/karvo && $command" >"$root/root/last.log" 2>&1 || {
        tail -n 30 "$root/root/last.log"
        echo "FAILED after $(($(date +%s) - start)) s: $command"
        exit 1
    }
    tail -n 3 "$root/root/last.log"
    echo "took $(($(date +%s) - start)) s"
done
