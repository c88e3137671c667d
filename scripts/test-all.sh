#!/usr/bin/env bash
# Builds and runs every test: the whole suite under address+undefined
# sanitizers (g++), then again under the thread sanitizer (clang++): every tier,
# the scheduler and whole-upgrade tests included, and the fuzz corpora; then the
# board's build (armhf, cross compiler) with its unit and component tests and
# the production mgtask as a black box under qemu-user, alone and with Debian's
# Mender client installing an artifact through it; then the plain Release build
# a user makes, its tests included, with its unit tier; and last the Debian
# packages of both architectures (and the update module's, for all) checked by
# lintian and installed into a scratch root. Every test passes on its first
# run: the tests that drive the agent against the emulated board are on virtual
# time, so a busy machine makes them slower, never different.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs="$(nproc)"
# Debian's Mender client and artifact tool, unpacked (never installed) for the
# update module's and the artifact tests.
mender_dir="$PWD/build-mender"
scripts/mender-tools.sh "$mender_dir"

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

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=address -DFWAGENT_WERROR=ON \
    -DFWAGENT_MENDER_DIR="$mender_dir" >/dev/null
cmake --build build-asan -j"$jobs"
# Tests on a wall clock mostly sleep (the production binary at the board's
# pace, the Mender client): more of them at once than there are cores.
tests_at_once=$((jobs * 3))
(cd build-asan && ctest -j"$tests_at_once" --output-on-failure)
check_clean

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=thread -DFWAGENT_WERROR=ON \
    -DCMAKE_CXX_COMPILER=clang++ -DFWAGENT_MENDER_DIR="$mender_dir" >/dev/null
cmake --build build-tsan -j"$jobs"
# Race reports go to files: any one fails the phase, whatever the test said.
(export TSAN_OPTIONS="log_path=$work/tsan-report"
    cd build-tsan && ctest -j"$tests_at_once" --output-on-failure)
if compgen -G "$work/tsan-report*" >/dev/null; then
    echo "FAIL: the thread sanitizer reported:"; cat "$work"/tsan-report*; exit 1
fi
check_clean

cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    -DCMAKE_BUILD_TYPE=Release -DFWAGENT_WERROR=ON >/dev/null
cmake --build build-armhf -j"$jobs"
(cd build-armhf && ctest -j"$tests_at_once" --output-on-failure)
if ! build-asan/fwtool simulate --agent "$PWD/build-armhf/mgtask" \
    --agent-runner "qemu-arm -L /usr/arm-linux-gnueabihf" --light > "$work/armhf-blackbox.txt" 2>&1; then
    echo "FAIL: the armhf mgtask as a black box:"; cat "$work/armhf-blackbox.txt"; exit 1
fi
# The fleet roll-out's success case with Debian's Mender client and the armhf
# agent: exactly that test, passed (a skip or a filter that matches nothing fails).
if ! FWAGENT_E2E_AGENT="$PWD/build-armhf/mgtask" FWAGENT_E2E_RUNNER="qemu-arm -L /usr/arm-linux-gnueabihf" \
    build-asan/mender_e2e_test --gtest_filter='Rows/MenderE2e.ClientModuleAndAgent/Success' \
    > "$work/armhf-mender.txt" 2>&1 || ! grep -q '^\[  PASSED  \] 1 test\.$' "$work/armhf-mender.txt"; then
    echo "FAIL: the armhf mgtask with the Mender client:"; cat "$work/armhf-mender.txt"; exit 1
fi
check_clean

# The build a user makes first: Release, tests included, warnings as errors.
cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DFWAGENT_BUILD_TESTS=ON -DFWAGENT_WERROR=ON \
    -DFWAGENT_MENDER_DIR="$mender_dir" >/dev/null
cmake --build build-rel -j"$jobs" --target all fwagent_manpages
(cd build-rel && ctest -j"$tests_at_once" --output-on-failure -L unit)
check_clean
for b in build-armhf:armhf build-rel:"$(dpkg --print-architecture)"; do
    (cd "${b%%:*}" && cpack -G DEB -B packages >/dev/null)
    packaging/check-debs.sh "${b%%:*}/packages" "${b##*:}"
done
rm -rf "$work"
echo "all tests passed; no stray reboot, no file or process left behind"
