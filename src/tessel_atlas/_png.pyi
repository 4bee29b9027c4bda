"""Row filtering for tessel-atlas's PNG writer."""

import numpy.typing as npt

def filter_rows(pixels: npt.ArrayLike) -> bytes: ...
