#!/usr/bin/env bash
# Builds and runs every test: the whole suite under address+undefined
# sanitizers (g++), then the threaded tests under the thread sanitizer (clang++).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs="$(nproc)"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=address >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest -j"$jobs" --output-on-failure)

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DFWAGENT_SANITIZE=thread \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && ctest -j"$jobs" --output-on-failure -L component)
