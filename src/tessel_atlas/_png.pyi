"""Row filtering for tessel-atlas's PNG writer and reader, and the alpha box trimming cuts to."""

from typing import Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

def filter_rows(pixels: npt.NDArray[np.uint8], start: int, stop: int) -> bytes: ...
def unfilter_rows(image_data: Union[bytes, bytearray, memoryview], width: int, height: int) -> npt.NDArray[np.uint8]: ...
def alpha_box(pixels: npt.NDArray[np.uint8], threshold: int = 0) -> Optional[Tuple[int, int, int, int]]: ...
