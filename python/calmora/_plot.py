"""plot_report(): the camera path before and after of a run, drawn with matplotlib.

The paths are the run library's own (calmora._plot_data): the per-frame
motions the report holds, added up shot by shot from 0, as the report's
summary and the command line's plot measure them. matplotlib is imported
only here, and drawn through its Agg canvas without pyplot, so plotting
neither needs a display nor changes the caller's backend.
"""

import os
from typing import Any, Mapping, Tuple, Union

from ._calmora import _plot_data

PANELS = [("horizontal path", "pixels"), ("vertical path", "pixels"), ("rotation path", "radians")]


def plot_report(report: Mapping[str, Any], path: Union[str, "os.PathLike[str]"],
                size: Tuple[int, int] = (1200, 900)) -> None:
    """Draws the camera path of `report` into a PNG of `size` (width, height) pixels.

    report is what stabilise_file() returns, or the command line's --report
    file read with json.load. Three panels, x, y and angle against the frame
    number, show the input's path (before) and the stabilised one (after),
    with each cut as a vertical line; the title names the mode, the jitter,
    the cuts and the zoom. A path that is the run's input or output is
    refused (ValueError). Needs matplotlib (Debian: python3-matplotlib).
    """
    # Debian 12's matplotlib ships no type information
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import]
    from matplotlib.figure import Figure  # type: ignore[import]

    data = _plot_data(dict(report), path)
    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(PANELS), 1, sharex=True)
    for k, (ax, (title, unit)) in enumerate(zip(axes, PANELS)):
        ax.plot([p[k] for p in data["before"]], color="tab:red", label="input (before)")
        ax.plot([p[k] for p in data["after"]], color="tab:green", label="stabilised (after)")
        for cut in data["cuts"]:
            ax.axvline(cut, color="tab:blue", linewidth=1)
        ax.set_title(title, loc="left", fontsize="medium")
        ax.set_ylabel(unit)
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("frame")
    axes[0].legend(loc="upper right", fontsize="small")
    figure.suptitle(_title(report, data["mode"]))
    figure.savefig(os.fspath(path), format="png", dpi=dpi)


def _title(report: Mapping[str, Any], mode: str) -> str:
    summary = report["summary"]
    title = (f"Camera path, {summary['frames']} frames, {mode}, jitter "
             f"{summary['jitter']['before']:.2f} -> {summary['jitter']['after']:.2f} px")
    if report["cuts"]:
        title += f", {len(report['cuts'])} cut(s)"
    if report["zoom"] != 1.0:
        title += f", zoom {100.0 * report['zoom']:.1f}%"
    return title
