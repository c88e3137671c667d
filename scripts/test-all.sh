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

# Tests that keep a wall clock: the production binary at the board's pace and
# the Mender client (they mostly sleep, so they run beside the next build),
# and the rows at the board's pace on the emulated board (alone, at the end).
prod_binary='MgTaskBlackBox|MenderE2e'
board_pace='RealTime'
tests_at_once=$((jobs * 2))
# In the background: its status and output are kept for wait_for.
in_background() {
    local name="$1"; shift
    ( "$@" > "$work/$name.log" 2>&1; echo $? > "$work/$name.rc" ) &
}
wait_for() {
    wait
    for rc in "$work"/*.rc; do
        [ -e "$rc" ] || continue
        if [ "$(cat "$rc")" != 0 ]; then
            echo "FAIL: ${rc%.rc}:"; cat "${rc%.rc}.log"; exit 1
        fi
        rm -f "$rc"
    done
}
# Sanitizer builds keep line tables only: stack traces name the lines, and
# the build takes less time.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DFWAGENT_WERROR=ON
    -DFWAGENT_MENDER_DIR="$mender_dir")

cmake -S . -B build-asan -DFWAGENT_SANITIZE=address "${sanitizer_flags[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest -j"$tests_at_once" --output-on-failure -E "$prod_binary|$board_pace")
in_background asan-production-binary sh -c "cd build-asan && ctest -j8 --output-on-failure -R '$prod_binary'"

cmake -S . -B build-tsan -DFWAGENT_SANITIZE=thread -DCMAKE_CXX_COMPILER=clang++ "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j"$jobs"
# Race reports go to files: any one fails the phase, whatever the test said.
# (The production binary ran under the address sanitizer.)
(export TSAN_OPTIONS="log_path=$work/tsan-report"
    cd build-tsan && ctest -j"$tests_at_once" --output-on-failure -E "$prod_binary|$board_pace")
if compgen -G "$work/tsan-report*" >/dev/null; then
    echo "FAIL: the thread sanitizer reported:"; cat "$work"/tsan-report*; exit 1
fi
wait_for
check_clean

cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    -DCMAKE_BUILD_TYPE=Release -DFWAGENT_WERROR=ON >/dev/null
cmake --build build-armhf -j"$jobs"
(cd build-armhf && ctest -j"$tests_at_once" --output-on-failure)
# The armhf mgtask as a black box, and the fleet roll-out's success case with
# Debian's Mender client and the armhf agent: exactly that test, passed (a
# skip or a filter that matches nothing fails). Beside the next build.
in_background armhf-blackbox build-asan/fwtool simulate --agent "$PWD/build-armhf/mgtask" \
    --agent-runner "qemu-arm -L /usr/arm-linux-gnueabihf" --light
in_background armhf-mender sh -c "FWAGENT_E2E_AGENT='$PWD/build-armhf/mgtask' \
    FWAGENT_E2E_RUNNER='qemu-arm -L /usr/arm-linux-gnueabihf' \
    build-asan/mender_e2e_test --gtest_filter='Rows/MenderE2e.ClientModuleAndAgent/Success' |
    tee /dev/stderr | grep '^\[  PASSED  \] 1 test\.\$' >/dev/null"

# The build a user makes first: Release, tests included, warnings as errors.
cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DFWAGENT_BUILD_TESTS=ON -DFWAGENT_WERROR=ON \
    -DFWAGENT_MENDER_DIR="$mender_dir" >/dev/null
cmake --build build-rel -j"$jobs" --target all fwagent_manpages
(cd build-rel && ctest -j"$tests_at_once" --output-on-failure -L unit)
wait_for
# The emulated board at the board's own pace, alone: one EP port, one master push.
(cd build-rel && ctest --output-on-failure -R "$board_pace")
check_clean
for b in build-armhf:armhf build-rel:"$(dpkg --print-architecture)"; do
    (cd "${b%%:*}" && cpack -G DEB -B packages >/dev/null)
    packaging/check-debs.sh "${b%%:*}/packages" "${b##*:}"
done
rm -rf "$work"
echo "all tests passed; no stray reboot, no file or process left behind"
