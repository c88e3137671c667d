#!/usr/bin/env bash
# Builds and runs every test: the whole suite under address+undefined
# sanitizers (g++), then again under the thread sanitizer (clang++): every tier,
# the scheduler and whole-upgrade tests included, and the fuzz corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs="$(nproc)"

# Tests keep their files under a private TMPDIR, which must be empty again
# afterwards; a "reboot" that reached the PATH guard is recorded and fails the run.
work="$(mktemp -d)"
export TMPDIR="$work/tmp" FWAGENT_STRAY_REBOOT_LOG="$work/stray-reboot.log"
mkdir -p "$TMPDIR"
check_clean() {
    if [ -e "$FWAGENT_STRAY_REBOOT_LOG" ]; then
        echo "FAIL: a test ran reboot outside its stub:"; cat "$FWAGENT_STRAY_REBOOT_LOG"; exit 1
    fi
    if [ -n "$(ls -A "$TMPDIR")" ]; then
        echo "FAIL: tests left files behind:"; ls -la "$TMPDIR"; exit 1
    fi
    if pgrep -f -a "mgtask|fwtool|socat .*(rb|sb) " >/dev/null; then
        echo "FAIL: tests left processes behind:"; pgrep -f -a "mgtask|fwtool|socat .*(rb|sb) "; exit 1
    fi
}

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=address >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest -j"$jobs" --output-on-failure)
check_clean

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=thread \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-tsan -j"$jobs"
# The whole-upgrade tests run one at a time: their answer windows are scaled
# down, and two of them side by side under this sanitizer crowd two cores.
(cd build-tsan && ctest -j"$jobs" --output-on-failure -LE system && ctest -j1 --output-on-failure -L system)
check_clean
rm -rf "$work"
echo "all tests passed; no stray reboot, no file or process left behind"
