import csv
import filecmp
import json
import os
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

import calmora
from calmora import batch
from calmora.__main__ import main

SETTINGS = ["--mode", "lookahead", "--latency", "4", "--cut-detection", "no"]
KEYWORDS = {"mode": "lookahead", "latency": 4, "detect_cuts": False}
NAMES = ["clip0.avi", "clip1.avi", "clip2.avi"]
LATENCY_BEYOND = str(int(next(r for r in calmora._settings() if r["name"] == "latency")["max"]) + 1)


@pytest.fixture(autouse=True)
def deadline():
    """A hung cluster fails its test, its finally blocks run, instead of stalling the suite."""
    def expired(*_):
        raise TimeoutError("over 120 s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(120)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, old)


@pytest.fixture
def clips(tmp_path):
    """Three short shaken clips, and stabilise_file's output of each in ref/."""
    rng = np.random.default_rng(5)
    (tmp_path / "ref").mkdir()
    for name in NAMES:
        scene = cv2.GaussianBlur(rng.integers(0, 256, (88, 104, 3), dtype=np.uint8), (0, 0), 1.5)
        writer = cv2.VideoWriter(str(tmp_path / name), cv2.VideoWriter_fourcc(*"MJPG"), 30, (64, 48))
        for dx, dy in rng.integers(-6, 7, (20, 2)):
            writer.write(scene[20 + dy : 68 + dy, 20 + dx : 84 + dx].copy())
        writer.release()
        calmora.stabilise_file(tmp_path / name, tmp_path / "ref" / name, **KEYWORDS)
    return [str(tmp_path / name) for name in NAMES]


def command(*argv):
    try:
        return main(["batch", *map(str, argv)])
    except SystemExit as done:  # argparse's refusals
        return done.code


def same_as_one_by_one(out, names=NAMES):
    ref = out.parent / "ref"
    return all(filecmp.cmp(out / n, ref / n, shallow=False) for n in names)


def test_two_workers_write_what_stabilise_file_writes_and_report_the_corrupt_file(clips, tmp_path):
    junk, out = tmp_path / "junk.mp4", tmp_path / "out"
    junk.write_bytes(np.random.default_rng(1).bytes(4000))
    assert command(*clips, junk, "--out", out, "--workers", 2, *SETTINGS) == 1
    entries = json.loads((out / "batch.json").read_text())
    assert [(e["input"], e["status"]) for e in entries] == [
        (c, "done") for c in clips] + [(str(junk), "failed")]
    assert "cannot open" in entries[3]["error"] and entries[0]["frames"] == 20
    assert [r["status"] for r in csv.DictReader(open(out / "batch.csv"))] == ["done"] * 3 + ["failed"]
    assert same_as_one_by_one(out)
    assert sorted(os.listdir(out)) == ["batch.csv", "batch.json"] + NAMES  # nothing partial


@pytest.mark.parametrize("retries, status", [(2, "done"), (0, "failed")])
def test_a_task_whose_worker_died_runs_again_up_to_the_retries(clips, tmp_path, monkeypatch, retries,
                                                               status):
    marker = tmp_path / "died"
    monkeypatch.setenv(batch.CRASH_MARKER, str(marker))
    # one file per worker, so that the worker that dies was running no other
    entries = batch.stabilise_files(clips[:2], tmp_path / "out", workers=2, retries=retries,
                                    **KEYWORDS)
    assert marker.exists()
    assert sorted(e["status"] for e in entries) == ["done", status]
    done = [os.path.basename(e["output"]) for e in entries if e["status"] == "done"]
    assert same_as_one_by_one(tmp_path / "out", done)
    assert sorted(os.listdir(tmp_path / "out")) == sorted(["batch.csv", "batch.json"] + done)


@pytest.fixture
def scheduler(tmp_path):
    """The address of a scheduler and one worker, each a process of its own on 127.0.0.1."""
    file, cli = tmp_path / "scheduler.json", [sys.executable, "-m", "distributed.cli."]
    started = [subprocess.Popen([cli[0], cli[1], cli[2] + "dask_scheduler", "--host", "127.0.0.1",
                                 "--port", "0", "--no-dashboard", "--scheduler-file", file])]
    try:
        started.append(subprocess.Popen([cli[0], cli[1], cli[2] + "dask_worker", "--nthreads", "1",
                                         "--host", "127.0.0.1", "--no-dashboard",
                                         "--scheduler-file", file]))
        while not file.exists() or not file.read_text():
            time.sleep(0.1)
        address = json.loads(file.read_text())["address"]
        with batch.Client(address, timeout=30) as client:
            client.wait_for_workers(1, timeout=60)
        yield address
    finally:
        for process in started:
            process.terminate()
        for process in started:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def test_a_running_scheduler_takes_the_batch_and_resume_runs_only_what_is_missing(
        clips, tmp_path, scheduler):
    out = tmp_path / "out"
    assert command(*clips, "--out", out, "--scheduler", scheduler, *SETTINGS) == 0
    (out / "clip1.avi").unlink()
    assert command(*clips, "--out", out, "--scheduler", scheduler, "--resume", *SETTINGS) == 0
    entries = json.loads((out / "batch.json").read_text())
    assert [e["status"] for e in entries] == ["skipped", "done", "skipped"]
    assert entries[0]["frames"] == 20  # the earlier run's figures
    assert same_as_one_by_one(out)


@pytest.mark.parametrize("inputs, out, options", [
    (["clip0.avi", "sub/clip0.mp4"], "out", []),  # one output from two inputs
    (["clip0.avi", "clip0.avi"], "out", []),
    (["clip1.avi"], ".", []),  # the output would be the input
    (["clip1.avi"], "clip0.avi/out", []),  # a folder under a file
    (["clip1.avi"], "out", ["--latency", "4"]),  # live mode does not read it
    (["clip1.avi"], "out", ["--mode", "lookahead", "--latency", LATENCY_BEYOND]),
    (["clip1.avi"], "out", ["--zoom", "wide"]),
    (["clip1.avi"], "out", ["--workers", "0"]),
    (["clip1.avi"], "out", ["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"]),
])
def test_a_batch_that_cannot_work_is_refused_before_anything_runs(
        clips, tmp_path, monkeypatch, inputs, out, options):
    monkeypatch.chdir(tmp_path)
    assert command(*inputs, "--out", out, *options) == 2
    assert not os.path.exists("out") and not os.path.exists("batch.json")
