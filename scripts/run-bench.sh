#!/usr/bin/env bash
# Runs every benchmark program built in the given build folder.
set -euo pipefail
dir="${1:-build-bench}"
found=0
for exe in "$dir"/bench/*_bench; do
    [[ -x "$exe" ]] || continue
    found=1
    echo "== $(basename "$exe")"
    "$exe" --benchmark_counters_tabular=true
done
[[ $found -eq 1 ]] || echo "no benchmark programs in $dir/bench"
