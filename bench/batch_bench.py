#!/usr/bin/env python3
"""Wall time of calmora.batch over a few clips with 1 and 2 embedded
workers, against plain calmora.stabilise_file over the same clips one after
the other in this process.

Clips: shaky MJPG clips written first (default 8 of 640x360, 150 frames).
"plain" runs stabilise_file on each clip in turn with OpenCV on one thread,
as a worker runs it. Both embedded clusters are started first (their start
timed apart), then each of --repeat rounds runs plain and the batch on each
cluster (stabilise_files given the started client); the shortest time of
each counts, which sheds most of the noise of a shared machine. The per-file
overhead is (batch on 1 worker - plain) / clips: scheduling, the task's
round trips and the rename, what a file costs beyond its run.

    PYTHONPATH=build/python python3 bench/batch_bench.py [--clips 8] [--frames 150] [--repeat 3]
"""

import argparse
import contextlib
import functools
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


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clips", type=int, default=8)
    parser.add_argument("--frames", type=int, default=150)
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the shortest time counts")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as clusters:
        folder = Path(tmp)
        clips = write_clips(folder, args.clips, args.frames)
        _calmora._set_threads(1)
        runs = {"plain": lambda: [calmora.stabilise_file(c, folder / f"plain{k}.avi")
                                  for k, c in enumerate(clips)]}
        for workers in (1, 2):
            started = time.perf_counter()
            client = clusters.enter_context(batch.connect(workers=workers))
            print(f"embedded cluster of {workers} worker(s) started in "
                  f"{time.perf_counter() - started:.2f} s")
            runs[workers] = functools.partial(batch.stabilise_files, clips,
                                              folder / f"out{workers}", client=client)
        # rounds of all three, so that a busy spell of the machine slows each alike
        walls = {}
        for _ in range(args.repeat):
            for name, run in runs.items():
                walls[name] = min(walls.get(name, float("inf")), timed(run))
    print(f"{args.clips} clips of {W}x{H}, {args.frames} frames, shortest of {args.repeat} rounds")
    print(f"plain stabilise_file, one after another: {walls['plain']:7.2f} s")
    for workers in (1, 2):
        print(f"batch, {workers} worker(s): {walls[workers]:7.2f} s")
    print(f"speed-up of 2 workers over 1: {walls[1] / walls[2]:.2f}x")
    print(f"per-file overhead on 1 worker: {1000 * (walls[1] - walls['plain']) / args.clips:.0f} ms")


if __name__ == "__main__":
    main()
