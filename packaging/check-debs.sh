#!/usr/bin/env bash
# Installs the Debian packages of one build into a scratch root, as dpkg --root
# does for an image (maintainer scripts run outside a chroot with DPKG_ROOT set),
# and looks at what landed: the files, the architecture of the binaries, the
# unit (systemd-analyze verify), whether the agent is enabled (only on armhf),
# and that removal takes it all away again.
# Usage: packaging/check-debs.sh DIR_WITH_DEBS ARCH
set -euo pipefail
dir=${1:?usage: $0 DIR_WITH_DEBS ARCH} arch=${2:?usage: $0 DIR_WITH_DEBS ARCH}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL ($arch): $*"; exit 1; }

agent=$(ls "$dir"/mgtask_*_"$arch".deb) || fail "no mgtask package"
tool=$(ls "$dir"/fwtool_*_"$arch".deb) || fail "no fwtool package"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc/systemd/system"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root holds no other package: dependencies are not checked.
dpkg_root() {
    local out
    out=$(dpkg --root="$root" --force-not-root --force-depends --force-architecture \
        --force-script-chrootless --log=/dev/null "$@" 2>&1) || fail "dpkg $*: $out"
}
dpkg_root -i "$agent" "$tool"

[ -x "$root/usr/sbin/mgtask" ] || fail "usr/sbin/mgtask missing"
[ -x "$root/usr/bin/fwtool" ] || fail "usr/bin/fwtool missing"
unit="$root/usr/lib/systemd/system/mgtask.service"
[ -f "$unit" ] || fail "unit missing"
[ -f "$root/usr/lib/systemd/system/mgtask.socket" ] || fail "socket unit missing"
grep -qx "ListenDatagram=127.0.0.1:1158" "$root/usr/lib/systemd/system/mgtask.socket" || fail "socket unit holds no order port"
case $arch in armhf) machine=ARM ;; amd64) machine=X86-64 ;; *) machine=unknown ;; esac
for bin in usr/sbin/mgtask usr/bin/fwtool; do
    readelf -h "$root/$bin" | grep -q "Machine:.*$machine" || fail "$bin is not built for $arch"
done
grep -qx "ExecStart=/usr/sbin/mgtask" "$unit" || fail "unit does not start /usr/sbin/mgtask"
# The unit's dependencies (targets) come from this machine's service manager.
cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
out=$(systemd-analyze verify --man=no --root="$root" mgtask.service mgtask.socket 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

wants="$root/etc/systemd/system/multi-user.target.wants/mgtask.service"
socket_wants="$root/etc/systemd/system/sockets.target.wants/mgtask.socket"
if [ "$arch" = armhf ]; then
    [ -L "$wants" ] && [ -L "$socket_wants" ] || fail "the agent is not enabled on install"
else
    [ ! -e "$wants" ] && [ ! -e "$socket_wants" ] || fail "the agent is enabled on install"
fi

# On a running board postinst restarts the agent, except in the middle of an
# upgrade: tried in a private mount namespace with a recording systemctl, a
# service manager's /run and a result record of this boot.
postinst_restarts() {  # PHASE: prints the systemctl calls postinst made
    local fake="$root/fake-bin" boot
    mkdir -p "$fake"
    printf '#!/bin/sh\necho "systemctl $*" >> "%s/systemctl.log"\n' "$fake" > "$fake/systemctl"
    chmod +x "$fake/systemctl"
    : > "$fake/systemctl.log"
    boot=$(cat /proc/sys/kernel/random/boot_id)
    unshare -m sh -c "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system &&
        mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/mgtask &&
        printf 'format=1\nboot_id=$boot\nphase=$1\n' > /var/lib/mgtask/last-run &&
        PATH='$fake':\$PATH sh '$root/var/lib/dpkg/info/mgtask.postinst' configure" >/dev/null
    cat "$fake/systemctl.log"
}
if [ "$arch" = armhf ]; then
    postinst_restarts finished | grep -q "restart mgtask.service" || fail "postinst does not restart the agent"
    ! postinst_restarts flashing | grep -q "restart" || fail "postinst restarts the agent mid-upgrade"
fi

dpkg_root --purge mgtask fwtool
if [ -e "$root/usr/sbin/mgtask" ] || [ -e "$unit" ]; then fail "removal left the agent behind"; fi
[ ! -L "$wants" ] && [ ! -L "$socket_wants" ] || fail "removal left the agent enabled"
echo "packages for $arch install, enable as they should and remove cleanly"
