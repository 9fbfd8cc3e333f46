#!/usr/bin/env python3
"""Time per 1920x1080 BGR frame of calmora.Stabiliser.stabilise from Python
against the C++ call CalmoraOpenCv::stabilise.

Frames: a shaky clip of that size, read back through OpenCV as a Python
program would. For every call the C++ figure is the library's own time of
that frame (processing_time_mks: CalmoraOpenCv::stabilise from its start to
its publishing of the offsets), so both columns time the same frames in the
same process; "Python" allocates a new result per call, "out=" hands the
same array to every call. With --cpp, bench/stabiliser_bench's BM_Stabilise
(the call alone in a C++ loop over its own clip, scale factor 1) is shown
beside them.

    PYTHONPATH=build/python python3 bench/python_bench.py \
        [--frames N] [--cpp build/bench/stabiliser_bench]
"""

import argparse
import json
import subprocess
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import calmora

W, H = 1920, 1080


def shaky_clip(path, count):
    """A textured scene seen by a camera shaken by up to 12 pixels."""
    rng = np.random.default_rng(1)
    scene = rng.integers(0, 256, ((H + 64) // 4, (W + 64) // 4, 3), dtype=np.uint8)
    scene = cv2.GaussianBlur(cv2.resize(scene, (W + 64, H + 64)), (0, 0), 2)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (W, H))
    for dx, dy in rng.integers(-12, 13, (count, 2)):
        writer.write(scene[32 + dy : 32 + dy + H, 32 + dx : 32 + dx + W])
    writer.release()
    capture, frames = cv2.VideoCapture(str(path)), []
    while (frame := capture.read()[1]) is not None:
        frames.append(frame)
    return frames


def timed(frames, kind, reuse):
    """Mean ms per frame from Python and inside the library."""
    stabiliser = calmora.Stabiliser(type=kind)
    out = np.zeros_like(frames[0]) if reuse else None
    outside, inside = [], []
    for frame in frames:
        start = time.perf_counter()
        stabiliser.stabilise(frame, out=out)
        outside.append(time.perf_counter() - start)
        inside.append(stabiliser.processing_time_mks / 1e6)
    # the first frame allocates the library's buffers
    return 1000.0 * float(np.mean(outside[1:])), 1000.0 * float(np.mean(inside[1:]))


def cpp_ms(program, kind):
    """ms per frame of BM_Stabilise for `kind` at 1080p, scale factor 1."""
    name = f"BM_Stabilise/type:{kind}/h:1080/scale:1/nv12:0"
    result = subprocess.run([program, f"--benchmark_filter={name}$", "--benchmark_format=json"],
                            check=True, capture_output=True, text=True)
    return 1000.0 / json.loads(result.stdout)["benchmarks"][0]["fps"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--cpp", help="path of the built stabiliser_bench")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        frames = shaky_clip(Path(folder) / "clip.avi", args.frames)
    print(f"{len(frames)} frames of {W}x{H} BGR, calmora {calmora.__version__}")
    print("type  C++ ms  Python ms  ratio | C++ ms  out= ms  ratio | stabiliser_bench ms")
    for kind in (0, 1, 2):
        fresh, fresh_native = timed(frames, kind, reuse=False)
        reused, reused_native = timed(frames, kind, reuse=True)
        loop = cpp_ms(args.cpp, kind) if args.cpp else float("nan")
        print(f"{kind:>4} {fresh_native:7.2f} {fresh:10.2f} {fresh / fresh_native:6.2f} |"
              f" {reused_native:6.2f} {reused:8.2f} {reused / reused_native:6.2f} | {loop:8.2f}")


if __name__ == "__main__":
    main()
