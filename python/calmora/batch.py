"""Stabilisation of many files on a Dask cluster (python3-distributed).

- One task per input file: the ordinary file run (stabilise_file) in a
  worker process whose OpenCV loops run on one thread, so each output is
  byte for byte the one a single call writes, wherever it ran.
- Tasks carry paths and return summary figures: the frames stay on storage
  that every worker sees and never travel through the scheduler.
- The whole batch is checked before any task starts: two inputs writing one
  output, an output that is an input, a folder that cannot be made, and
  every setting, through the run library's own check of a file run.
- A file that does not decode, is missing or unreadable returns its error
  as its task's result, so Dask never runs it again (it would fail the same
  way). A task whose worker process died is run again by the scheduler, up
  to its allowed-failures (retries= for the embedded cluster).
- Each output is written under a temporary name that keeps the container's
  extension and renamed when whole, so a final name is always a whole file
  and resume= can skip it.
"""

import argparse
import contextlib
import csv
import json
import os
import sys
from pathlib import Path

import dask
from distributed import Client, LocalCluster, as_completed

from . import _calmora

CONTAINER = "avi"  # MJPG in .avi, as the command line writes by default
FIELDS = ["input", "output", "status", "error"]
METAVARS = {"choice": "NAME", "number_or_auto": "FLOAT|auto"}
# Test hook: a path; the first task to reach its fifth frame while that file
# does not exist creates it and ends its worker process.
CRASH_MARKER = "CALMORA_BATCH_CRASH_MARKER"


class BatchRefused(ValueError):
    """A batch refused before anything ran; the message names the input or setting."""


def plan(inputs, out_dir, container=CONTAINER, **settings):
    """(input, output, temporary output) per input, in order, after the checks.

    Makes out_dir; BatchRefused for outputs that collide or name an input, a
    folder that cannot be made, or settings the run refuses."""
    inputs = [os.fspath(i) for i in inputs]
    sources = {os.path.realpath(i): i for i in inputs}
    jobs, writers = [], {}
    for k, source in enumerate(inputs):
        stem = Path(source).stem
        job = (source, os.path.join(out_dir, f"{stem}.{container}"),
               os.path.join(out_dir, f".{stem}.partial.{container}"))
        for name in job[1:]:
            real = os.path.realpath(name)
            if real in sources:
                raise BatchRefused(f"the output {name} is the input {sources[real]}")
            if writers.setdefault(real, k) != k:
                raise BatchRefused(f"{inputs[writers[real]]} and {source} would both write {name}")
        jobs.append(job)
    for source, output, partial in jobs:
        try:
            _calmora._check_file(source, partial, others=[output], **settings)
        except FileNotFoundError:
            pass  # a missing input fails its own task; the folder is made next
        except (TypeError, ValueError) as error:
            raise BatchRefused(str(error)) from None
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as error:
        raise BatchRefused(f"cannot make the folder {out_dir}: {error.strerror}") from None
    return jobs


def _crash_hook():
    marker = os.environ.get(CRASH_MARKER)

    def progress(done, total):
        if done == 5:
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return
            os._exit(3)

    return progress if marker else None


def _figures(summary, prefix=""):
    """The summary's numbers flattened: {"jitter.ratio": 4.2, ...}."""
    flat = {}
    for name, value in summary.items():
        if isinstance(value, dict):
            flat.update(_figures(value, f"{prefix}{name}."))
        else:
            flat[prefix + name] = value
    return flat


def stabilise_one(source, output, partial, settings):
    """One task: stabilises source into partial, renames it to output and
    returns the batch entry; a failure is the entry's error, not an exception."""
    _calmora._set_threads(1)
    entry = {"input": source, "output": output, "status": "done", "error": ""}
    try:
        report = _calmora.stabilise_file(source, partial, progress=_crash_hook(), **settings)
        os.replace(partial, output)
    except Exception as error:  # noqa: BLE001 -- every failure is this file's record
        with contextlib.suppress(OSError):
            os.remove(partial)
        return {**entry, "status": "failed", "error": f"{type(error).__name__}: {error}"}
    return {**entry, **_figures(report["summary"])}


def _worker_environ():
    """What a nanny sets before it starts a worker, but for a fixed malloc trim
    threshold: under it glibc hands every frame-sized block back to the system
    when freed and maps it again for the next frame, a third more time per run."""
    environ = dask.config.get("distributed.nanny.pre-spawn-environ")
    return {k: v for k, v in environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}


@contextlib.contextmanager
def connect(client=None, workers=None, retries=2):
    """A client for batches, as stabilise_files takes them: `client` itself, one
    connected to a scheduler address, or one on an embedded LocalCluster of
    `workers` single-threaded worker processes that lets a task whose worker
    died run `retries` more times. What it made is closed at the end."""
    if isinstance(client, Client):
        yield client
    elif client is not None:
        with Client(client) as connected:
            yield connected
    else:
        # a batch larger than twice the workers waits in the scheduler's
        # queue, one task at a time per worker: a file goes to the first free
        # worker, not behind a long clip, and a worker that dies counts a
        # failure only against the file it was running
        with dask.config.set({"distributed.scheduler.allowed-failures": retries,
                              "distributed.scheduler.worker-saturation": 1.0,
                              "distributed.nanny.pre-spawn-environ": _worker_environ()}):
            cluster = LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1,
                                   processes=True, host="127.0.0.1", dashboard_address=":0")
        with cluster, Client(cluster) as connected:
            yield connected


def _previous(out_dir):
    """The entries of an earlier batch.json in out_dir, by input."""
    try:
        with open(os.path.join(out_dir, "batch.json"), encoding="utf-8") as f:
            return {e["input"]: e for e in json.load(f)}
    except (OSError, ValueError, KeyError, TypeError):
        return {}


def write_records(out_dir, entries):
    """DIR/batch.json and DIR/batch.csv: one entry per input, in order."""
    with open(os.path.join(out_dir, "batch.json"), "w", encoding="utf-8") as f:
        json.dump(entries, f, indent=2)
    columns = FIELDS + [k for k in dict.fromkeys(k for e in entries for k in e) if k not in FIELDS]
    with open(os.path.join(out_dir, "batch.csv"), "w", encoding="utf-8", newline="") as f:
        writer = csv.DictWriter(f, columns, restval="")
        writer.writeheader()
        writer.writerows(entries)


def stabilise_files(inputs, out_dir, *, client=None, workers=None, retries=2, progress=None,
                    resume=False, container=CONTAINER, **settings):
    """Stabilises each input into out_dir/<name>.<container> on a Dask cluster.

    settings are stabilise_file's (mode and every keyword). client is a
    distributed.Client or a scheduler address; without one an embedded
    LocalCluster runs `workers` single-threaded worker processes (one per
    core by default), lets a task whose worker died run `retries` more
    times, and is closed at the end (a scheduler of one's own has its own
    allowed-failures). progress(done, total, failed) is called as files
    finish. With resume, an input whose output exists is skipped. Returns
    one entry per input (output, status done/failed/skipped, error and the
    summary figures), also written to out_dir/batch.json and batch.csv.
    BatchRefused before anything runs for a batch that cannot work."""
    out_dir = os.fspath(out_dir)
    jobs = plan(inputs, out_dir, container, **settings)
    earlier = _previous(out_dir) if resume else {}
    entries = [None] * len(jobs)
    for k, (source, output, _) in enumerate(jobs):
        if resume and os.path.isfile(output):
            entries[k] = {**earlier.get(source, {"input": source, "output": output, "error": ""}),
                          "status": "skipped"}
    todo = [k for k, e in enumerate(entries) if e is None]
    if todo:
        with connect(client, workers, retries) as c:
            futures = {c.submit(stabilise_one, *jobs[k], settings, pure=False): k for k in todo}
            for future in as_completed(futures):
                entries[futures[future]] = _outcome(future, jobs[futures[future]])
                if progress is not None:
                    known = [e for e in entries if e is not None]
                    progress(len(known), len(jobs), sum(e["status"] == "failed" for e in known))
    write_records(out_dir, entries)
    return entries


def _outcome(future, job):
    """A task's entry; a task the cluster gave up on (its workers kept dying) as failed,
    without what its last run left under the temporary name."""
    try:
        return future.result()
    except Exception as error:  # noqa: BLE001 -- KilledWorker, a lost scheduler
        with contextlib.suppress(OSError):
            os.remove(job[2])
        return {"input": job[0], "output": job[1], "status": "failed",
                "error": f"{type(error).__name__}: {error}"}


def _count(least):
    def count(text):
        if not text.isdigit() or int(text) < least:
            raise argparse.ArgumentTypeError(f"takes a whole number from {least}, not '{text}'")
        return int(text)

    return count


def _setting(name):
    """argparse's type for a row: the text read by the table, as the command line reads it."""
    def value(text):
        try:
            return _calmora._setting_value(name, text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return value


def _help(row):
    default = row["choices"][row["default"]] if row["choices"] else row["default"]
    unit = f", {row['unit']}" if row["unit"] else ""
    only = "" if len(row["modes"]) == 3 else f"; {' and '.join(row['modes'])} mode only"
    return f"{row['meaning']} [{row['range']}, default {default}{unit}{only}]"


def add_command(commands):
    """The `batch` command on an argparse subparsers object."""
    p = commands.add_parser(
        "batch", help="stabilise many files on a Dask cluster",
        description="Stabilises each INPUT into DIR/<name>.<container>, one task per file, on an "
        "embedded cluster or a running scheduler, and writes DIR/batch.json and DIR/batch.csv. "
        "Exit status 0 when every file succeeded, 1 when any failed, 2 for bad arguments.")
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="video files every worker can read")
    p.add_argument("--out", required=True, metavar="DIR", help="folder of the outputs")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_count(1), metavar="N",
                       help="worker processes of the embedded cluster (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    p.add_argument("--retries", type=_count(0), default=2, metavar="N",
                   help="runs more of a task whose worker died, embedded cluster (default 2)")
    p.add_argument("--resume", action="store_true", help="skip inputs whose output exists")
    p.add_argument("--container", default=CONTAINER, metavar="EXT",
                   help=f"extension of the outputs, which chooses the codec (default {CONTAINER})")
    p.add_argument("--codec", default=argparse.SUPPRESS, metavar="FOURCC",
                   help="four-character codec instead of the container's")
    table = p.add_argument_group("settings (as the calmora command line takes them)")
    for row in _calmora._settings():
        names = [row["name"], *row["aliases"]]
        table.add_argument(*["--" + n.replace("_", "-") for n in names], dest=row["name"],
                           type=_setting(row["name"]), default=argparse.SUPPRESS,
                           metavar=METAVARS.get(row["kind"], row["kind"].upper()),
                           help=_help(row))
    p.set_defaults(run=_command)


def _command(args):
    given = vars(args)
    names = [row["name"] for row in _calmora._settings()] + ["codec"]
    settings = {name: given[name] for name in names if name in given}

    def report(done, total, failed):
        print(f"calmora batch: {done}/{total} files, {failed} failed", file=sys.stderr, flush=True)

    try:
        entries = stabilise_files(args.inputs, args.out, client=args.scheduler,
                                  workers=args.workers, retries=args.retries, progress=report,
                                  resume=args.resume, container=args.container.lstrip("."),
                                  **settings)
    except BatchRefused as error:
        print(f"calmora batch: {error}", file=sys.stderr)
        return 2
    except OSError as error:  # no scheduler at that address
        print(f"calmora batch: {error}", file=sys.stderr)
        return 1
    failed = [e for e in entries if e["status"] == "failed"]
    for e in failed:
        print(f"calmora batch: {e['input']}: {e['error']}", file=sys.stderr)
    print(f"calmora batch: {len(entries) - len(failed)} of {len(entries)} files stabilised, "
          f"{len(failed)} failed; {os.path.join(args.out, 'batch.json')}", file=sys.stderr)
    return 1 if failed else 0
