#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one
# for FUZZ_SECONDS seconds (default 60) on a copy of its committed seed
# corpus, JOBS targets at a time. Crash, leak, time-out and out-of-memory
# inputs are written to build-fuzz/findings/<target>/; the script ends
# non-zero when any target found something. Per target it prints the executions and the coverage
# libFuzzer reached.
#
#   FUZZ_SECONDS=600 scripts/fuzz.sh                 # ten minutes each
#   FUZZ_TARGETS="shift_fuzz frame_fuzz" scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-$(nproc)}
read -r -a targets <<< "${FUZZ_TARGETS:-frame_fuzz shift_fuzz stabiliser_fuzz source_text_fuzz demo_config_fuzz}"

# configure and build; CMAKE_FLAGS may add e.g. -DCALMORA_WARNINGS_AS_ERRORS=ON
# shellcheck disable=SC2086
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCALMORA_BUILD_FUZZ=ON -DCALMORA_BUILD_TESTS=OFF -DCALMORA_BUILD_DEMO=OFF \
    -DCALMORA_BUILD_TOOLS=OFF -DCALMORA_BUILD_PYTHON=OFF -DCALMORA_BUILD_GSTREAMER=OFF ${CMAKE_FLAGS:-}
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# one target: a fresh copy of its seeds (so a run never grows the committed
# ones), then libFuzzer; the result line goes to $build/logs/<target>.result
fuzz_one() {
    local target=$1 corpus="$build/corpus/$1" findings="$build/findings/$1" log="$build/logs/$1.log"
    rm -rf "$corpus" "$findings"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    # a target may come with a dictionary of the tokens its input format uses
    local options=()
    if [ -f "tests/fuzz/$target.dict" ]; then
        options+=(-dict="tests/fuzz/$target.dict")
    fi
    local status=0
    "$build/tests/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${options[@]}" >"$log" 2>&1 || status=$?

    local execs coverage line
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    coverage=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -n 1 || true)
    line="$target: ${execs:-?} executions, ${coverage:-no coverage line}"
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
        line="$line, FINDING (exit $status, log $log)"
    fi
    echo "$line" >"$build/logs/$target.result"
}

# the targets share the machine's cores: $jobs of them run at once
echo "== ${#targets[@]} targets, ${seconds} s each, $jobs at a time"
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    fuzz_one "$target" &
done
wait

failed=()
echo "== fuzzing summary (${seconds} s per target)"
for target in "${targets[@]}"; do
    line=$(cat "$build/logs/$target.result" 2>/dev/null || echo "$target: no result")
    echo "$line"
    if [[ "$line" != *executions* || "$line" == *FINDING* ]]; then
        failed+=("$target")
        grep -E 'ERROR|finding|runtime error|SUMMARY' "$build/logs/$target.log" | head -n 5 || true
    fi
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "findings in: ${failed[*]} (inputs in $build/findings/)" >&2
    exit 1
fi
