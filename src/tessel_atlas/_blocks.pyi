"""BC3 blocks for tessel-atlas's bc3 texture format."""

import numpy as np
import numpy.typing as npt

def bc3_blocks(pixels: npt.NDArray[np.uint8]) -> bytes: ...
