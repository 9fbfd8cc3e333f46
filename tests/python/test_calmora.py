import ast
import json
import math
import os
import subprocess
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

import calmora

W, H, N = 160, 120, 40
MODES = ["live", "lookahead", "offline"]
CLASSES = {"live": calmora.Stabiliser, "lookahead": calmora.LookaheadStabiliser}
ROWS = {row["name"]: row for row in calmora._settings()}  # the parameter table, front-end units


def shaky(seed, n=N):
    """A still textured scene seen by a camera shaken by known whole-pixel moves."""
    rng = np.random.default_rng(seed)
    scene = cv2.GaussianBlur(rng.integers(0, 256, (H + 80, W + 80, 3), dtype=np.uint8), (0, 0), 1.5)
    moves = rng.integers(-6, 7, (n, 2))
    return [scene[40 + dy : 40 + dy + H, 40 + dx : 40 + dx + W].copy() for dx, dy in moves]


def motion(frames):
    """Mean measured shift between consecutive frames (their centres), pixels."""
    grey = [np.float32(cv2.cvtColor(f, cv2.COLOR_BGR2GRAY)[24:-24, 24:-24]) for f in frames]
    return np.mean([np.hypot(*cv2.phaseCorrelate(a, b)[0]) for a, b in zip(grey, grey[1:])])


def clip(path, frames):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (W, H))
    for f in frames:
        writer.write(f)
    writer.release()
    capture, back = cv2.VideoCapture(str(path)), []
    while (frame := capture.read()[1]) is not None:
        back.append(frame)
    return back


def run_live(frames, **params):
    s = calmora.Stabiliser(**params)
    return [s.stabilise(f) for f in frames]


@pytest.mark.parametrize("mode, kind", [("live", 0), ("live", 1), ("live", 2), ("lookahead", 2)])
def test_residual_motion_falls(mode, kind):
    frames = shaky(7)
    if mode == "live":
        out = run_live(frames, type=kind)
    else:
        s = calmora.LookaheadStabiliser(latency=6, type=kind)
        out = [r for r in (s.stabilise(f) for f in frames) if r is not None] + s.drain()
    assert len(out) == N and all(o.shape == (H, W, 3) for o in out)
    assert motion(out[8:]) < 0.3 * motion(frames[8:])


def test_lookahead_gives_every_frame_latency_calls_late():
    frames = shaky(8, 12)
    s = calmora.LookaheadStabiliser(latency=4, enable=False)  # frames pass unchanged
    out = [s.stabilise(f) for f in frames]
    assert out[:4] == [None] * 4
    assert all(np.array_equal(a, b) for a, b in zip(out[4:] + s.drain(), frames, strict=True))


@pytest.mark.parametrize("make, settings, found", [
    (calmora.Stabiliser, {}, [20]),  # on unless switched off, in every mode
    (calmora.Stabiliser, {"detect_cuts": False}, []),
    (lambda **kw: calmora.LookaheadStabiliser(latency=4, **kw), {}, [20]),
    (lambda **kw: calmora.LookaheadStabiliser(latency=4, **kw), {"cut_detection": False}, []),
])
def test_the_cut_between_two_clips_is_found_unless_switched_off(make, settings, found):
    s = make(**settings)
    frames = shaky(7, 20) + shaky(9, 20)  # two scenes
    assert [k for k, f in enumerate(frames) if (s.stabilise(f), s.last_was_cut)[1]] == found


@pytest.mark.parametrize("kind", [0, 2])
def test_the_stabiliser_and_the_file_runs_give_the_same_offsets(tmp_path, kind):
    frames = clip(tmp_path / "in.avi", shaky(3))
    params = {"type": kind, "x_filter_coeff": 0.7, "y_offset_limit": 9, "const_x_offset": 3}
    s = calmora.Stabiliser(**params)
    ours = [(s.stabilise(f), s.offsets)[1] for f in frames]
    reports = [calmora.stabilise_file(tmp_path / "in.avi", tmp_path / "py.avi", **params)]
    if "CALMORA_CLI" in os.environ:  # the command line, where it is built
        options = [f"--{k.replace('_', '-')}={v}" for k, v in params.items()]
        subprocess.run([os.environ["CALMORA_CLI"], "stabilise", str(tmp_path / "in.avi"),
                        str(tmp_path / "cli.avi"), "--report", str(tmp_path / "r.json"), "-q",
                        *options], check=True)
        reports.append(json.loads((tmp_path / "r.json").read_text()))
    assert len(ours) == N
    for report in reports:
        theirs = [[f["offset"][k] for k in ("x", "y", "angle")] for f in report["frames"]]
        np.testing.assert_allclose(theirs, ours, atol=1e-4)


def i420_to(planes, order):
    """I420 bytes as NV12 (order "uv") or NV21 ("vu")."""
    flat = planes.ravel()
    u, v = flat[W * H : W * H * 5 // 4], flat[W * H * 5 // 4 :]
    chroma = np.stack([u, v] if order == "uv" else [v, u], axis=1).ravel()
    return np.concatenate([flat[: W * H], chroma]).reshape(H * 3 // 2, W)


def packed422(bgr, luma):
    yuv = cv2.cvtColor(bgr, cv2.COLOR_BGR2YUV)
    out = np.empty((H, W, 2), np.uint8)
    out[:, :, luma] = yuv[:, :, 0]
    out[:, 0::2, 1 - luma], out[:, 1::2, 1 - luma] = yuv[:, 0::2, 1], yuv[:, 0::2, 2]
    return out


def cvt(code):
    return lambda f: cv2.cvtColor(f, code)


FORMATS = [  # fourcc (None: from the shape), to the format, back to BGR
    (None, lambda f: f, lambda f: f),
    (None, cvt(cv2.COLOR_BGR2GRAY), lambda f: f),
    ("RGB3", cvt(cv2.COLOR_BGR2RGB), cvt(cv2.COLOR_RGB2BGR)),
    ("YUV3", cvt(cv2.COLOR_BGR2YUV), cvt(cv2.COLOR_YUV2BGR)),
    ("I420", cvt(cv2.COLOR_BGR2YUV_I420), cvt(cv2.COLOR_YUV2BGR_I420)),
    ("YV12", cvt(cv2.COLOR_BGR2YUV_YV12), cvt(cv2.COLOR_YUV2BGR_YV12)),
    ("NV12", lambda f: i420_to(cv2.cvtColor(f, cv2.COLOR_BGR2YUV_I420), "uv"),
     cvt(cv2.COLOR_YUV2BGR_NV12)),
    ("NV21", lambda f: i420_to(cv2.cvtColor(f, cv2.COLOR_BGR2YUV_I420), "vu").ravel(),
     lambda f: cv2.cvtColor(f.reshape(H * 3 // 2, W), cv2.COLOR_YUV2BGR_NV21)),
    ("YUY2", lambda f: packed422(f, 0), cvt(cv2.COLOR_YUV2BGR_YUY2)),
    ("UYVY", lambda f: packed422(f, 1), cvt(cv2.COLOR_YUV2BGR_UYVY)),
]


@pytest.mark.parametrize("fourcc, to, back", FORMATS)
def test_every_format_is_moved_back_into_out(fourcc, to, back):
    # the second frame is the first moved 6 right and 6 down; with the path
    # held still its picture goes back where the first one was
    rng = np.random.default_rng(5)
    scene = cv2.GaussianBlur(rng.integers(0, 256, (H + 8, W + 8, 3), dtype=np.uint8), (0, 0), 1.5)
    first, second = to(scene[6 : 6 + H, 6 : 6 + W].copy()), to(scene[:H, :W].copy())
    s = calmora.Stabiliser(type=0, x_filter_coeff=1, y_filter_coeff=1)
    kw = {"fourcc": fourcc, "size": (W, H)} if fourcc else {}
    assert s.stabilise(first, **kw).shape == first.shape
    out = np.full_like(second, 77)
    assert s.stabilise(second, out=out, **kw) is out
    assert np.array_equal(back(out)[: H - 8, : W - 8], back(first)[: H - 8, : W - 8])
    assert (out.ravel()[-W:] == 77).all()  # uncovered bottom rows keep what out held


frame = np.zeros((H, W, 3), np.uint8)
BAD = [
    (lambda s: s.stabilise(frame.astype(np.float32)), TypeError, "uint8"),
    (lambda s: s.stabilise(frame[:, ::2]), ValueError, "contiguous"),
    (lambda s: s.stabilise(frame.tolist()), TypeError, "ndarray"),
    (lambda s: s.stabilise(np.zeros((H, W, 4), np.uint8)), ValueError, "(120, 160, 4)"),
    (lambda s: s.stabilise(np.zeros(W * H, np.uint8), fourcc="NV12", size=(W, H)), ValueError,
     "28800"),
    (lambda s: s.stabilise(np.zeros((H * 3 // 2, W), np.uint8), fourcc="YV12", size=(W, H + 2)),
     ValueError, "(183, 160)"),
    (lambda s: s.stabilise(np.zeros((H, 2 * W), np.uint8), fourcc="UYVY", size=(W, H - 1)),
     ValueError, "(119, 320)"),
    (lambda s: s.stabilise(np.zeros(W * H, np.uint8), fourcc="H264", size=(W, H)), ValueError,
     "H264"),
    (lambda s: s.stabilise(frame, out=np.zeros((H, W), np.uint8)), ValueError, "shape"),
    (lambda s: s.stabilise(frame, out=frame), ValueError, "share memory"),
    (lambda s: calmora.Stabiliser(x_filter_coeff=1.5), ValueError, "x_filter_coeff: 1.5 is outside"),
    (lambda s: s.set_param("type", "fast"), ValueError, "fft, flow or flow-rotation"),
    (lambda s: s.set_param("a_offset_limit", "big"), TypeError, "str"),
    (lambda s: s.set_param("enable", 0.5), TypeError, "float"),
    (lambda s: calmora.Stabiliser(shake=1), TypeError, "shake"),
    (lambda s: calmora.Stabiliser(xFilterCoeff=1), TypeError, "xFilterCoeff"),
    (lambda s: calmora.Stabiliser(zoom="auto"), ValueError, "offline"),
    (lambda s: calmora.stabilise_file("a.avi", "b.avi", mode="fast"), ValueError, "fast"),
    (lambda s: calmora.stabilise_file("a.avi", "b.avi", mode=3), ValueError, "mode"),
    (lambda s: calmora.stabilise_file("a.avi", "b.avi", speed=2), TypeError, "speed"),
    (lambda s: calmora.stabilise_file("a.avi", "b.avi", codec="MJPEG"), ValueError, "four"),
    (lambda s: calmora.stabilise_file("no-such.avi", "b.avi"), FileNotFoundError, "no-such.avi"),
    (lambda s: calmora.stabilise_frames([], "offline"), ValueError, "stabilise_file"),
    (lambda s: calmora.stabilise_frames([], "lookahead", x_filter_coeff=0.5), ValueError, "x_filter"),
    (lambda s: calmora.Stabiliser(rolling_shutter=0.5, refinements=False).stabilise(
        np.zeros(W * H * 3 // 2, np.uint8), fourcc="NV12", size=(W, H)), ValueError, "row by row"),
    (lambda s: calmora.LookaheadStabiliser(3, rolling_shutter=0.5, refinements=False).stabilise(
        np.zeros(W * H * 3 // 2, np.uint8), fourcc="NV12", size=(W, H)), ValueError, "row by row"),
]


@pytest.mark.parametrize("call, error, text", BAD)
def test_bad_input_is_refused(call, error, text):
    s = calmora.Stabiliser()
    with pytest.raises(error) as raised:
        call(s)
    assert text in str(raised.value)
    assert np.array_equal(s.stabilise(shaky(1, 1)[0]), shaky(1, 1)[0])  # still usable


def test_two_threads_give_the_results_of_one_after_the_other():
    clips = [shaky(11), shaky(12)]
    alone = [run_live(c) for c in clips]
    together = [None, None]
    threads = [threading.Thread(target=lambda i=i: together.__setitem__(i, run_live(clips[i])))
               for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        assert all(np.array_equal(x, y) for x, y in zip(a, b))


@pytest.mark.parametrize("mode", MODES)
def test_stabilise_file_writes_every_frame_and_its_plot(tmp_path, mode):
    clip(tmp_path / "in.avi", shaky(9))
    calls = []
    options = {"latency": 5} if mode == "lookahead" else {}
    report = calmora.stabilise_file(str(tmp_path / "in.avi"), str(tmp_path / "out.avi"), mode,
                                    progress=lambda done, total, pass_: calls.append((done, total, pass_)),
                                    **options)
    capture = cv2.VideoCapture(str(tmp_path / "out.avi"))
    assert int(capture.get(cv2.CAP_PROP_FRAME_COUNT)) == N
    assert capture.read()[1].shape == (H, W, 3)
    passes = ["measure", "write"] if mode == "offline" else ["write"]  # offline measures first
    assert calls == [(i + 1, N, p) for p in passes for i in range(N)]
    assert (report["mode"], report["summary"]["frames"], len(report["frames"])) == (mode, N, N)
    assert report["summary"]["jitter"]["after"] < 0.5 * report["summary"]["jitter"]["before"]
    calmora.plot_report(report, tmp_path / "plot", size=(500, 300))
    assert cv2.imread(str(tmp_path / "plot")).shape == (300, 500, 3)


def test_an_error_in_a_two_argument_progress_stops_the_run(tmp_path):
    clip(tmp_path / "in.avi", shaky(9))
    calls = []

    def progress(done, total):  # both passes as one count
        calls.append((done, total))
        if done == N + 3:
            raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        calmora.stabilise_file(tmp_path / "in.avi", tmp_path / "out.avi", "offline", progress)
    assert calls == [(i + 1, 2 * N) for i in range(N + 3)]


def test_the_plotted_paths_add_the_motions_up_shot_by_shot():
    frames = [{"cut": cut, "inputMotion": {"x": 1, "y": -2, "angle": 0.5},
               "outputMotion": {"x": 3, "y": 0, "angle": 0}} for cut in (False, False, True, False)]
    report = {"input": "in.avi", "output": "out.avi", "mode": "live", "zoom": 1.5, "frames": frames}
    data = calmora._plot_data(report, "plot.png")  # the output's motion is zoomed: 3 / 1.5
    assert data["before"] == [(0, 0, 0), (1, -2, 0.5), (0, 0, 0), (1, -2, 0.5)]
    assert (data["after"][1], data["after"][3], data["cuts"]) == ((2, 0, 0), (2, 0, 0), [2])


@pytest.mark.parametrize("mode, settings", [("live", {"type": 0}), ("lookahead", {"latency": 4})])
def test_stabilise_frames_gives_the_classes_frames_one_for_one(mode, settings):
    frames = shaky(4, 12)
    s = CLASSES[mode](**settings)
    theirs = [o for o in map(s.stabilise, frames) if o is not None] + (s.drain() if mode != "live" else [])
    ours = list(calmora.stabilise_frames(iter(frames), mode, **settings))
    assert len(ours) == len(frames) and all(np.array_equal(a, b) for a, b in zip(ours, theirs, strict=True))


@pytest.mark.parametrize("output, side", [("in.avi", None), ("link.avi", None), ("./in.avi", None),
                                          ("out.avi", "in.avi"), ("out.avi", "./out.avi")])
def test_stabilise_file_never_writes_over_its_input(tmp_path, output, side):
    clip(tmp_path / "in.avi", shaky(9, 5))
    (tmp_path / "link.avi").symlink_to(tmp_path / "in.avi")
    before, names = (tmp_path / "in.avi").read_bytes(), sorted(os.listdir(tmp_path))
    options = {"side_by_side": f"{tmp_path}/{side}"} if side else {}
    with pytest.raises(ValueError):
        calmora.stabilise_file(tmp_path / "in.avi", f"{tmp_path}/{output}", **options)
    assert (tmp_path / "in.avi").read_bytes() == before and sorted(os.listdir(tmp_path)) == names


def edges(row, mode):
    """Values at the ends of a row's range, and values just outside it."""
    lo, hi, kind, names = row["min"], row["max"], row["kind"], row["choices"]
    if kind == "bool":
        return [False, True], [-1, 2]
    if kind == "choice":
        return [0, len(names) - 1, names[-1]], [-1, len(names), "none-such"]
    if math.isinf(lo):
        return [-10**6, 10**6], [math.nan, math.inf]
    if kind == "int":
        return [int(lo), int(hi)], [int(lo) - 1, int(hi) + 1]
    step, auto = 1e-6 * max(1.0, abs(hi)), ["auto"] if kind == "number_or_auto" else []
    offline = mode == "offline"  # only a whole path gives an automatic zoom
    return [lo, hi] + auto * offline, [lo - step, hi + step] + auto * (not offline)


def refusals(tmp_path, mode, **settings):
    """What each front end of `mode` makes of `settings`: None where taken, else the error."""
    calls = [lambda: calmora.stabilise_file(tmp_path / "none.avi", tmp_path / "o.avi", mode, **settings)]
    calls += [lambda: CLASSES[mode](**settings)] if mode in CLASSES else []
    errors = []
    for call in calls:
        try:
            call()
            errors.append(None)
        except FileNotFoundError:  # past every check of the settings, then no input
            errors.append(None)
        except (TypeError, ValueError) as error:
            errors.append(error)
    return errors


@pytest.mark.parametrize("name", [name for name in ROWS if name != "mode"])
def test_every_setting_takes_its_range_only_in_the_modes_that_use_it(tmp_path, name):
    row = ROWS[name]
    for mode in MODES:
        used = mode in row["modes"]
        good, bad = edges(row, mode) if used else ([], [row["default"]])
        for spelled in [name] + row["aliases"]:
            for value in good:
                assert refusals(tmp_path, mode, **{spelled: value}) == [None] * (1 + (mode in CLASSES))
            for value in bad:
                for error in refusals(tmp_path, mode, **{spelled: value}):
                    assert isinstance(error, ValueError) and str(error).startswith(spelled)
                    assert used or f"is not used in {mode} mode" in str(error)
        for value in good if mode in CLASSES else []:  # held as given, a choice by its index
            held = value if not isinstance(value, str) else row["choices"].index(value)
            assert value == "auto" or CLASSES[mode](**{name: value}).params[name] == held


def listed(mode):
    return [r for r in ROWS.values() if mode is None or (mode in r["modes"] and r["name"] != "mode")]


def literal(row):
    return row["choices"][row["default"]] if row["kind"] == "choice" else row["default"]


@pytest.mark.parametrize("front, mode", [(calmora.Stabiliser, "live"),
                                         (calmora.LookaheadStabiliser, "lookahead"),
                                         (calmora.stabilise_file, None)])
def test_help_lists_every_setting_with_the_default_it_starts_from(front, mode):
    lines = {line.split(" (")[0].strip(): line for line in front.__doc__.splitlines()
             if line.startswith("    ") and line[4] != " "}
    for row in listed(mode):
        assert f"; default {literal(row)!r}" in lines.pop(row["name"])
    assert set(lines) == (set() if mode else {"zoom_auto", "max_frames", "codec", "side_by_side"})
    assert mode is None or front().params == {row["name"]: row["default"] for row in listed(mode)}


def test_the_stub_beside_the_module_is_the_one_the_table_gives():
    stub = (Path(calmora.__file__).parent / "_calmora.pyi").read_text()
    assert stub == calmora._stub()
    tree = {node.name: node for node in ast.parse(stub).body if hasattr(node, "name")}
    for name, mode in [("Stabiliser", "live"), ("LookaheadStabiliser", "lookahead"),
                       ("stabilise_file", None)]:
        node = tree[name] if mode is None else next(f for f in tree[name].body if getattr(f, "name", "") == "__init__")
        a = node.args
        given = list(zip(a.args[len(a.args) - len(a.defaults):], a.defaults))
        given = {arg.arg: ast.literal_eval(value) for arg, value in given + list(zip(a.kwonlyargs, a.kw_defaults))}
        assert {row["name"]: given.pop(row["name"]) for row in listed(mode)} == \
            {row["name"]: literal(row) for row in listed(mode)}
        assert set(given) <= {"progress", "zoom_auto", "max_frames", "codec", "side_by_side"}
