"""The packing engine behind tessel-atlas: place, TesselPack.pack with options."""

from typing import Callable, Optional, Tuple

import numpy as np
import numpy.typing as npt

def place(
    rect_sizes: npt.ArrayLike,
    max_texture_size: int,
    *,
    allow_rotation: bool = ...,
    growth: float = ...,
    resolution: int = ...,
    threads: int = ...,
    progress: Optional[Callable[[int], object]] = ...,
) -> Tuple[npt.NDArray[np.int32], int, int]: ...
