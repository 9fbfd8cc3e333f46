#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one
# for FUZZ_SECONDS seconds (default 60) on a copy of its committed seed
# corpus. Crash, leak, time-out and out-of-memory inputs are written to
# build-fuzz/findings/<target>/; the script ends non-zero when any target
# found something. Per target it prints the executions and the coverage
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
    -DCALMORA_BUILD_TOOLS=OFF ${CMAKE_FLAGS:-}
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    # a fresh copy each time, so a run never grows the committed seeds
    rm -rf "$corpus" "$findings"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    # a target may come with a dictionary of the tokens its input format uses
    options=()
    if [ -f "tests/fuzz/$target.dict" ]; then
        options+=(-dict="tests/fuzz/$target.dict")
    fi
    echo "== $target: ${seconds} s"
    status=0
    "$build/tests/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${options[@]}" >"$log" 2>&1 || status=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    coverage=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -n 1 || true)
    line="$target: ${execs:-?} executions, ${coverage:-no coverage line}"
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
        line="$line, FINDING (exit $status, log $log)"
        failed+=("$target")
        grep -E 'ERROR|finding|runtime error|SUMMARY' "$log" | head -n 5 || true
        ls "$findings"
    fi
    echo "$line"
    summary+=("$line")
done

echo "== fuzzing summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "findings in: ${failed[*]} (inputs in $build/findings/)" >&2
    exit 1
fi
