"""Real-time video stabiliser on numpy frames.

Stabiliser (live) and LookaheadStabiliser take one frame at a time, and
stabilise_frames() runs either over an iterable of frames. stabilise_file()
stabilises a whole file as the command line does and returns its report,
whose camera path plot_report() draws. The classes and stabilise_file() are
the compiled module calmora._calmora; help() on each lists its settings.
"""

from ._calmora import LookaheadStabiliser, Stabiliser, stabilise_file
from ._calmora import __version__ as __version__
from ._calmora import _plot_data as _plot_data
from ._calmora import _settings as _settings
from ._calmora import _stub as _stub
from ._frames import stabilise_frames
from ._plot import plot_report

__all__ = ["LookaheadStabiliser", "Stabiliser", "plot_report", "stabilise_file",
           "stabilise_frames"]
