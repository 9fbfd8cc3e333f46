#!/usr/bin/env bash
# Compares what two builds of the stabiliser hand back for the fixed
# sequence of bench/output_digest.cpp: offsets, measurements and output
# digests, frame for frame. The second build is also run on one thread.
# Usage: scripts/compare-outputs.sh BEFORE_BUILD AFTER_BUILD
# (both configured with -DCALMORA_BUILD_BENCH=ON; builds output_digest).
set -euo pipefail
if [[ $# -ne 2 ]]; then
    echo "usage: $0 BEFORE_BUILD AFTER_BUILD" >&2
    exit 2
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for build in "$1" "$2"; do
    cmake --build "$build" --target output_digest -j "$(nproc)" >/dev/null
done
"$1/bench/output_digest" "$out/before.txt"
"$2/bench/output_digest" "$out/after.txt"
"$2/bench/output_digest" "$out/after-one-thread.txt" 1
status=0
for run in after after-one-thread; do
    if cmp "$out/before.txt" "$out/$run.txt"; then
        echo "$run: identical ($(grep -vc '^#' "$out/before.txt") frames)"
    else
        diff "$out/before.txt" "$out/$run.txt" | head -20 || true
        status=1
    fi
done
exit $status
