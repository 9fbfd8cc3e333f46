#!/usr/bin/env bash
# The main job: build in Release, make the built-in shaky sample from a real
# photograph, stabilise it, and say where everything is.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
out=out/sample

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target calmora
calmora="$build/tools/calmora/calmora"
mkdir -p "$out"

photo_args=()
if scripts/sample-photo.sh "$out/photo.png"; then
    photo_args=(--photo "$out/photo.png")
else
    echo "note: the photograph could not be downloaded; the sample uses a drawn scene"
fi
"$calmora" sample "$out/shaky.avi" "${photo_args[@]}"
echo "== live mode, as the library runs on a live feed"
"$calmora" stabilise "$out/shaky.avi" "$out/stabilised.avi" \
    --side-by-side "$out/side_by_side.avi" --report "$out/report.json" --plot "$out/path.png"
echo
echo "== lookahead mode: a fixed latency of 15 frames, the path smoothed without lag"
"$calmora" stabilise "$out/shaky.avi" "$out/stabilised_lookahead.avi" --mode lookahead \
    --latency 15 --report "$out/report_lookahead.json" --plot "$out/path_lookahead.png"
echo
echo "== offline mode: two passes over the whole file, no border"
"$calmora" stabilise "$out/shaky.avi" "$out/stabilised_offline.avi" --mode offline --zoom auto \
    --report "$out/report_offline.json" --plot "$out/path_offline.png"

echo
echo "Results in $out/:"
echo "  shaky.avi         the built-in sample (slow pan plus hand shake with rotation)"
echo "  stabilised.avi    the stabilised video"
echo "  side_by_side.avi  source above result"
echo "  report.json       per-frame offsets and times, summary"
echo "  path.png          camera path before and after"
echo "  *_lookahead.*     the same for the lookahead mode (stabilised video, report, plot)"
echo "  *_offline.*       the same for the offline mode"
