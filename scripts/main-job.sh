#!/usr/bin/env bash
# The main job: builds the agent and runs a whole upgrade against the emulated
# board (fast mode), then prints the summary. Exit status 0 only when it all held.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DFWAGENT_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target fwtool mgtask
exec build-release/fwtool simulate "$@"
