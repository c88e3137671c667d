#!/usr/bin/env bash
# Whole-process footprint of the production mgtask on its own defaults, in
# private mount and network namespaces as the black-box test runs it (needs
# root): stripped size, time from start to the order port bound, CPU over an
# idle minute, RSS at idle and its peak over a 2 MiB Valens upgrade against the
# emulated chip. Prints one "name value" line per figure.
# usage: bench/footprint.sh BUILD_DIR [MGTASK [RUNNER...]]
#   BUILD_DIR  a native build with -DFWAGENT_BUILD_BENCH=ON (fwtool, footprint_board)
#   MGTASK     the binary to measure (default BUILD_DIR/mgtask)
#   RUNNER     its emulator, e.g. qemu-arm -L /usr/arm-linux-gnueabihf; then the
#              figures are the emulator process's, and the emulator's own size
#              (running the bare dynamic loader) is printed beside them
# IDLE_SECONDS (default 60) sets the idle window.
set -euo pipefail

stat_field() { awk -v f="$2" '{ sub(/^.*\) /, ""); print $(f - 2) }' "/proc/$1/stat"; }
kib() { awk -v k="$2" '$1 == k ":" { print $2 }' "/proc/$1/status"; }

if [ "${1:-}" = --inside ]; then
    S=$2 SLAVE=$3 MGTASK=$4 FWTOOL=$5
    shift 5
    mount --make-rprivate /
    ip link set lo up
    mount -t tmpfs tmpfs /home
    mkdir -p /home/ubuntu/valens
    head -c 2097152 /dev/urandom > /home/ubuntu/valens/VSTX.hex
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
    mkdir -p "$S/bin"
    printf '#!/bin/sh\necho "reboot $*" >> %s/reboot.log\n' "$S" > "$S/bin/reboot"
    chmod +x "$S/bin/reboot"
    export PATH="$S/bin:$PATH"
    cd "$S"

    t0=$(date +%s%N)
    "$@" "$MGTASK" > "$S/mgtask.log" 2>&1 &
    pid=$!
    until ss -Hlun 'sport = :1158' | grep -q .; do sleep 0.001; done
    t1=$(date +%s%N)
    echo "start_to_bound_ms $(((t1 - t0) / 1000000))"
    sleep 1
    hz=$(getconf CLK_TCK)
    c0=$(($(stat_field $pid 14) + $(stat_field $pid 15)))
    sleep "${IDLE_SECONDS:-60}"
    c1=$(($(stat_field $pid 14) + $(stat_field $pid 15)))
    echo "idle_cpu_percent $(awk -v d=$((c1 - c0)) -v hz="$hz" -v s="${IDLE_SECONDS:-60}" \
        'BEGIN { printf "%.3f", 100 * d / hz / s }')"
    echo "idle_cpu_ticks $((c1 - c0)) of $((hz * ${IDLE_SECONDS:-60}))"
    echo "rss_idle_kib $(kib $pid VmRSS)"
    "$FWTOOL" vela --wait 600 valens "UPG VALENS TX" > "$S/vela.log"
    echo "rss_peak_kib $(kib $pid VmHWM)"
    echo "threads $(kib $pid Threads)"
    kill $pid
    wait $pid 2>/dev/null || true
    umount /dev/ttyO1 2>/dev/null || true
    exit 0
fi

build=${1:?usage: $0 BUILD_DIR [MGTASK [RUNNER...]]}
mgtask=$(readlink -f "${2:-$build/mgtask}")
shift $(($# > 1 ? 2 : 1))
runner=("$@")

strip="strip"
readelf -h "$mgtask" | grep -q "Machine:.*ARM" && strip=arm-linux-gnueabihf-strip
S=$(mktemp -d)
trap 'rm -rf "$S"' EXIT
$strip -o "$S/stripped" "$mgtask"
echo "binary_bytes $(stat -c %s "$mgtask")"
echo "stripped_bytes $(stat -c %s "$S/stripped")"
if [ ${#runner[@]} -gt 0 ]; then
    for ((i = 0; i + 1 < ${#runner[@]}; i++)); do
        [ "${runner[$i]}" = -L ] && ld=$(ls "${runner[$((i + 1))]}"/lib/ld-linux*.so.* 2>/dev/null | head -1)
    done
    [ -n "${ld:-}" ] && echo "emulator_alone_rss_kib $(/usr/bin/time -f %M "${runner[@]}" "$ld" --version 2>&1 >/dev/null | tail -1)"
fi

coproc BOARD { exec "$build/footprint_board"; }
board_pid=$BOARD_PID
read -r slave <&"${BOARD[0]}"
unshare --mount --net --fork "$0" --inside "$S" "$slave" "$mgtask" "$(readlink -f "$build/fwtool")" "${runner[@]}"
board_in=${BOARD[1]}
exec {board_in}>&-
read -r verdict <&"${BOARD[0]}" || verdict="valens chip: no answer"
wait "$board_pid" || true
echo "# $verdict"
