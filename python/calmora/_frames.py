"""stabilise_frames(): a stabiliser of a streaming mode over an iterable of frames.

The stabilisers check every setting themselves; here only the mode picks
the class, and the lookahead stabiliser's held frames are drained at the
end, so that as many frames come out as went in, in order.
"""

from typing import Any, Iterable, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._calmora import LookaheadStabiliser, Stabiliser, _settings

Frame = npt.NDArray[np.uint8]


def stabilise_frames(frames: Iterable[Frame], mode: Union[str, int] = "live", *,
                     fourcc: Optional[str] = None, size: Optional[Tuple[int, int]] = None,
                     **settings: Any) -> Iterator[Frame]:
    """Yields every frame of `frames` stabilised, in order, one out per frame in.

    mode is 'live' (Stabiliser: each frame as it comes) or 'lookahead'
    (LookaheadStabiliser: frames come out `latency` frames late, and the
    held ones after the last); the settings are the keywords that class
    takes, latency included. fourcc and size describe raw frames, as for
    the classes' stabilise(). Offline mode reads its input twice, so it
    takes a file: stabilise_file(). A bad mode or setting raises ValueError
    (TypeError for an unknown keyword) at the call, before any frame is read.
    """
    names = next(row["choices"] for row in _settings() if row["name"] == "mode")
    name = names[mode] if isinstance(mode, int) and 0 <= mode < len(names) else mode
    if name == "live":
        live = Stabiliser(**settings)
        return (live.stabilise(frame, fourcc=fourcc, size=size) for frame in frames)
    if name == "lookahead":
        return _held_back(LookaheadStabiliser(**settings), frames, fourcc, size)
    if name == "offline":
        raise ValueError("offline mode reads its input twice, so it needs a file: "
                         "calmora.stabilise_file(input, output, mode='offline')")
    raise ValueError(f"mode: {mode!r} is none of {', '.join(names)}")


def _held_back(stabiliser: LookaheadStabiliser, frames: Iterable[Frame],
               fourcc: Optional[str], size: Optional[Tuple[int, int]]) -> Iterator[Frame]:
    for frame in frames:
        out = stabiliser.stabilise(frame, fourcc=fourcc, size=size)
        if out is not None:
            yield out
    yield from stabiliser.drain()
