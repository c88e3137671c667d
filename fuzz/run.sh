#!/usr/bin/env bash
# Runs fuzz targets one after another (nice, one job each) from a libFuzzer
# build:  fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# Each stops at 10 million executions or after SECONDS. New inputs gather in
# BUILD_DIR/fuzz-work/<name>; the seed corpus is left as it is (merge by hand
# with -merge=1). Final statistics go to BUILD_DIR/fuzz-work/<name>.log.
set -uo pipefail
build="$1" seconds="$2"
shift 2
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" _fuzz.cpp)"); done
for t in "${targets[@]}"; do
    work="$build/fuzz-work/$t"
    mkdir -p "$work" "$build/fuzz-work/crashes"
    start=$(date +%s)
    nice -n 10 "$build/${t}_fuzz" -runs=10000000 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz-work/crashes/$t-" "$work" "fuzz/corpus/$t" \
        >"$build/fuzz-work/$t.log" 2>&1
    rc=$?
    execs=$(grep -o 'number_of_executed_units: [0-9]*' "$build/fuzz-work/$t.log" | grep -o '[0-9]*$')
    echo "$t: rc=$rc executions=${execs:-?} seconds=$(($(date +%s) - start))"
done
