#!/usr/bin/env bash
# Runs the production mgtask, unmodified, in private mount and network
# namespaces: /home is a tmpfs, /dev/ttyO1 is the pty slave given, loopback is
# up, and "reboot" is a recording stub (first in PATH and over the real one).
# Usage: mgtask_namespace.sh SCRATCH PTY_SLAVE MGTASK FWTOOL
# (run it under: unshare --mount --net --fork). MGTASK_RUNNER, when set, is the
# command that runs the binary (e.g. "qemu-arm -L /usr/arm-linux-gnueabihf").
set -euo pipefail
S=$1 SLAVE=$2 MGTASK=$3 FWTOOL=$4

mount --make-rprivate /
ip link set lo up
mount -t tmpfs tmpfs /home
mkdir -p /home/ubuntu
cp "$S/McuUpdate.tar.gz" /home/ubuntu/

# The serial port: a fresh /dev with the few nodes a shell needs, and the pty slave as ttyO1.
mkdir -p "$S/olddev"
mount --rbind /dev "$S/olddev"
mount -t tmpfs tmpfs /dev
for n in null zero full random urandom tty; do
    touch "/dev/$n"
    mount --bind "$S/olddev/$n" "/dev/$n"
done
mkdir /dev/pts
mount --rbind "$S/olddev/pts" /dev/pts
ln -s pts/ptmx /dev/ptmx
touch /dev/ttyO1
mount --bind "$S/olddev/${SLAVE#/dev/}" /dev/ttyO1

# reboot: a stub that only records.
mkdir -p "$S/bin"
printf '#!/bin/sh\necho "reboot $*" >> %s/reboot.log\n' "$S" > "$S/bin/reboot"
chmod +x "$S/bin/reboot"
real=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v reboot || true)
if [ -n "$real" ]; then mount --bind "$S/bin/reboot" "$real"; fi
export PATH="$S/bin:$PATH"

cd "$S"
# shellcheck disable=SC2086 # the runner is a command with its arguments
${MGTASK_RUNNER:-} "$MGTASK" > "$S/mgtask.log" 2>&1 &
pid=$!
for _ in $(seq 400); do grep -q "m_socket = " "$S/mgtask.log" && break; sleep 0.05; done

"$FWTOOL" vela --wait 0.5 valens "UPG TX" > "$S/vela-valens.log"
"$FWTOOL" vela --wait 120 package > "$S/vela-package.log" &
vela=$!
for _ in $(seq 1200); do [ -s "$S/reboot.log" ] && break; sleep 0.1; done
ls -R /home/ubuntu > "$S/home-after.txt" 2>&1 || true
kill "$pid" "$vela" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
umount /dev/ttyO1 2>/dev/null || true
