"""TesselPack internal module for TesselTexturePacker"""

from typing import Tuple

import numpy as np
import numpy.typing as npt

__version__: Tuple[int, int, int]

def pack(rect_sizes: npt.ArrayLike, max_texture_size: int) -> Tuple[npt.NDArray[np.int32], int, int]:
    """Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,4) arrays with attributes x, y, layer, flip (bool), each layer being a different texture of maximum size 'max_texture_size' (if it is greater than 0)."""
