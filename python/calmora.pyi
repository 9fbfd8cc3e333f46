"""Real-time video stabiliser on numpy frames."""

import os
from typing import Any, Callable, Dict, List, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

Frame = npt.NDArray[np.uint8]
Number = Union[bool, int, float]
Path = Union[str, os.PathLike[str]]

class Stabiliser:
    """The live stabiliser: one frame in, the same frame stabilised out."""

    def __init__(
        self,
        *,
        scale_factor: int = ...,
        x_offset_limit: int = ...,
        y_offset_limit: int = ...,
        a_offset_limit: float = ...,
        x_filter_coeff: float = ...,
        y_filter_coeff: float = ...,
        a_filter_coeff: float = ...,
        enable: bool = ...,
        transparent_border: bool = ...,
        const_x_offset: int = ...,
        const_y_offset: int = ...,
        const_a_offset: float = ...,
        type: int = ...,
        cut_frequency_hz: float = ...,
        fps: float = ...,
        log_mod: int = ...,
    ) -> None: ...
    def stabilise(
        self,
        frame: Frame,
        out: Optional[Frame] = None,
        fourcc: Optional[str] = None,
        size: Optional[Tuple[int, int]] = None,
    ) -> Frame: ...
    @property
    def offsets(self) -> Tuple[float, float, float]: ...
    @property
    def processing_time_mks(self) -> int: ...
    def reset(self) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    @property
    def params(self) -> Dict[str, Number]: ...
    def set_param(self, name: str, value: Number) -> None: ...

class LookaheadStabiliser:
    """Stabilisation with a fixed latency of `latency` frames."""

    def __init__(
        self,
        latency: int = 15,
        detect_cuts: bool = False,
        *,
        scale_factor: int = ...,
        x_offset_limit: int = ...,
        y_offset_limit: int = ...,
        a_offset_limit: float = ...,
        enable: bool = ...,
        transparent_border: bool = ...,
        const_x_offset: int = ...,
        const_y_offset: int = ...,
        const_a_offset: float = ...,
        type: int = ...,
        **params: Number,
    ) -> None: ...
    def stabilise(
        self,
        frame: Frame,
        fourcc: Optional[str] = None,
        size: Optional[Tuple[int, int]] = None,
    ) -> Optional[Frame]: ...
    def drain(self) -> List[Frame]: ...
    def cut(self) -> None: ...
    @property
    def last_was_cut(self) -> bool: ...
    def reset(self) -> None: ...
    @property
    def latency(self) -> int: ...
    @property
    def params(self) -> Dict[str, Number]: ...
    def set_param(self, name: str, value: Number) -> None: ...

def stabilise_file(
    input: Path,
    output: Path,
    mode: Literal["live", "lookahead", "offline"] = "live",
    progress: Optional[Callable[[int, Optional[int]], Any]] = None,
    *,
    latency: int = ...,
    smoothing: float = ...,
    cut_detection: bool = ...,
    zoom: float = ...,
    zoom_auto: bool = ...,
    max_frames: int = ...,
    codec: str = ...,
    side_by_side: Path = ...,
    **params: Number,
) -> Dict[str, Any]: ...
