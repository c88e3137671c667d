#!/usr/bin/env bash
# Installs the Debian packages of one build into a scratch root, as dpkg --root
# does for an image (maintainer scripts run outside a chroot with DPKG_ROOT set),
# and looks at what landed: the files, the architecture of the binaries, the
# unit (systemd-analyze verify), whether the agent is enabled (only on armhf),
# the one version the programs print and the packages carry, what Debian wants
# of every package (copyright, changelog, manual pages; lintian finds no
# error), and that removal takes it all away again.
# Usage: packaging/check-debs.sh DIR_WITH_DEBS ARCH
set -euo pipefail
dir=${1:?usage: $0 DIR_WITH_DEBS ARCH} arch=${2:?usage: $0 DIR_WITH_DEBS ARCH}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL ($arch): $*"; exit 1; }

agent=$(ls "$dir"/mgtask_*_"$arch".deb) || fail "no mgtask package"
tool=$(ls "$dir"/fwtool_*_"$arch".deb) || fail "no fwtool package"
mender=$(ls "$dir"/mgtask-mender_*_all.deb) || fail "no mgtask-mender package"

# lintian: no error; its warnings are printed (README lists why each stays).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/deps.sh)"
out=$(lintian --tag-display-limit 0 "$agent" "$tool" "$mender" 2>&1) || fail "lintian: $out"
if grep -q '^E:' <<<"$out"; then fail "lintian: $out"; fi
grep '^W:' <<<"$out" || true

version=$(dpkg-deb -f "$agent" Version)
[ "$(dpkg-deb -f "$tool" Version)" = "$version" ] && [ "$(dpkg-deb -f "$mender" Version)" = "$version" ] ||
    fail "the packages carry different versions"
[ "$(dpkg-deb -f "$mender" Depends)" = "mgtask (= $version)" ] || fail "mgtask-mender does not depend on mgtask $version"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc/systemd/system"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root holds no other package: dependencies are not checked.
dpkg_root() {
    local out
    out=$(dpkg --root="$root" --force-not-root --force-depends --force-architecture \
        --force-script-chrootless --log=/dev/null "$@" 2>&1) || fail "dpkg $*: $out"
}
dpkg_root -i "$agent" "$tool" "$mender"

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

module="$root/usr/share/mender/modules/v3/matrix-mcu"
[ -x "$module" ] || fail "the matrix-mcu update module is missing"
[ "$("$module" SupportsRollback /nonexistent)" = Yes ] || fail "the update module does not answer"
for pkg in mgtask fwtool mgtask-mender; do
    [ -f "$root/usr/share/doc/$pkg/copyright" ] || fail "$pkg has no copyright file"
    zcat "$root/usr/share/doc/$pkg/changelog.Debian.gz" | head -1 | grep -qF "($version)" ||
        fail "$pkg's changelog is not of version $version"
done
[ -f "$root/usr/share/man/man8/mgtask.8.gz" ] && [ -f "$root/usr/share/man/man1/fwtool.1.gz" ] ||
    fail "manual pages missing"
[ -f "$root/usr/share/bash-completion/completions/fwtool" ] || fail "fwtool's completion missing"
# The programs print the packages' version (the board's under its emulator).
run=""
[ "$arch" = armhf ] && run="qemu-arm -L /usr/arm-linux-gnueabihf"
[ "$($run "$root/usr/sbin/mgtask" --version)" = "mgtask $version" ] || fail "mgtask --version is not $version"
[ "$($run "$root/usr/bin/fwtool" --version)" = "fwtool $version" ] || fail "fwtool --version is not $version"
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

dpkg_root --purge mgtask-mender mgtask fwtool
if [ -e "$root/usr/sbin/mgtask" ] || [ -e "$unit" ] || [ -e "$module" ]; then fail "removal left the agent behind"; fi
[ ! -L "$wants" ] && [ ! -L "$socket_wants" ] || fail "removal left the agent enabled"
echo "packages for $arch install, enable as they should and remove cleanly"
