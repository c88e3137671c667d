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
case $arch in armhf) machine=ARM ;; amd64) machine=X86-64 ;; *) machine=unknown ;; esac
for bin in usr/sbin/mgtask usr/bin/fwtool; do
    readelf -h "$root/$bin" | grep -q "Machine:.*$machine" || fail "$bin is not built for $arch"
done
grep -qx "ExecStart=/usr/sbin/mgtask" "$unit" || fail "unit does not start /usr/sbin/mgtask"
# The unit's dependencies (targets) come from this machine's service manager.
cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
out=$(systemd-analyze verify --man=no --root="$root" mgtask.service 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

wants="$root/etc/systemd/system/multi-user.target.wants/mgtask.service"
if [ "$arch" = armhf ]; then
    [ -L "$wants" ] || fail "the agent is not enabled on install"
else
    [ ! -e "$wants" ] || fail "the agent is enabled on install"
fi

dpkg_root --purge mgtask fwtool
if [ -e "$root/usr/sbin/mgtask" ] || [ -e "$unit" ]; then fail "removal left the agent behind"; fi
[ ! -L "$wants" ] || fail "removal left the agent enabled"
echo "packages for $arch install, enable as they should and remove cleanly"
