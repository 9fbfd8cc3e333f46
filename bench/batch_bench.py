#!/usr/bin/env python3
"""Wall time of calmora.batch over a few clips with 1 and 2 embedded
workers, against plain calmora.stabilise_file over the same clips one after
the other in this process.

Clips: shaky MJPG clips written first (default 8 of 640x360, 150 frames).
Each figure is the shortest of --repeat runs, which sheds most of the
noise of a shared machine.
"plain" runs stabilise_file on each clip in turn with OpenCV on one thread,
as a worker runs it. For each worker count the cluster's start is timed
apart from the batch on it (stabilise_files given the started client), and
the per-file overhead is (batch on 1 worker - plain) / clips: scheduling,
the task's round trips and the rename, what a file costs beyond its run.

    PYTHONPATH=build/python python3 bench/batch_bench.py [--clips 8] [--frames 150] [--repeat 3]
"""

import argparse
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import calmora
from calmora import _calmora, batch

W, H = 640, 360


def write_clips(folder, count, frames):
    rng = np.random.default_rng(1)
    paths = []
    for k in range(count):
        scene = rng.integers(0, 256, ((H + 48) // 4, (W + 48) // 4, 3), dtype=np.uint8)
        scene = cv2.GaussianBlur(cv2.resize(scene, (W + 48, H + 48)), (0, 0), 2)
        path = folder / f"clip{k}.avi"
        writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (W, H))
        for dx, dy in rng.integers(-12, 13, (frames, 2)):
            writer.write(scene[24 + dy : 24 + dy + H, 24 + dx : 24 + dx + W])
        writer.release()
        paths.append(str(path))
    return paths


def timed(call, repeat):
    """The shortest of `repeat` wall times of call(), seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clips", type=int, default=8)
    parser.add_argument("--frames", type=int, default=150)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each; the shortest counts")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        clips = write_clips(folder, args.clips, args.frames)
        _calmora._set_threads(1)
        plain = timed(lambda: [calmora.stabilise_file(c, folder / f"plain{k}.avi")
                               for k, c in enumerate(clips)], args.repeat)
        print(f"{args.clips} clips of {W}x{H}, {args.frames} frames, shortest of {args.repeat}")
        print(f"plain stabilise_file, one after another: {plain:7.2f} s")
        walls = {}
        for workers in (1, 2):
            started = time.perf_counter()
            with batch.connect(workers=workers) as client:
                start = time.perf_counter() - started
                walls[workers] = timed(lambda: batch.stabilise_files(
                    clips, folder / f"out{workers}", client=client), args.repeat)
            print(f"batch, {workers} worker(s): {walls[workers]:7.2f} s "
                  f"(+ {start:.2f} s to start the cluster)")
        print(f"speed-up of 2 workers over 1: {walls[1] / walls[2]:.2f}x")
        print(f"per-file overhead on 1 worker: {1000 * (walls[1] - plain) / args.clips:.0f} ms")


if __name__ == "__main__":
    main()
