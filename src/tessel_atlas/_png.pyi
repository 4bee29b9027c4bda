"""Row filtering for tessel-atlas's PNG writer and reader, and the alpha box trimming cuts to."""

from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

def filter_rows(pixels: npt.NDArray[np.uint8], start: int, stop: int) -> bytes: ...
def unfilter_rows(image_data: bytes, width: int, height: int) -> npt.NDArray[np.uint8]: ...
def alpha_box(pixels: npt.NDArray[np.uint8]) -> Optional[Tuple[int, int, int, int]]: ...
