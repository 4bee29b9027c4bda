"""TesselPack internal module for TesselTexturePacker"""

from typing import Tuple

import numpy as np
import numpy.typing as npt

__version__: Tuple[int, int, int]

def pack(rect_sizes: npt.ArrayLike) -> Tuple[npt.NDArray[np.int32], int, int]:
    """Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,3) array with attributes x, y, flip (bool)."""
