"""Animated GIF, PNG (APNG) and WebP files: each frame as Pillow composes
it (the format's disposal and blending applied), with its duration and the
file's loop count. A file of one frame is a still image."""

from __future__ import annotations

from typing import Callable, List, Optional, Tuple

import numpy as np

from .._png import may_be_animated
from ..errors import require_pillow
from ..images import DECODING, DECODING_BYTES_PER_PIXEL
from ..model import Timing
from .frames import Sheet
from .still import unreadable

EXTENSIONS = frozenset((".gif", ".png", ".apng", ".webp"))
# Browsers show a GIF frame of no delay for a tenth of a second.
GIF_NO_DELAY = 100
# How far into a PNG to look for the animation chunk, which comes before
# the image data: most PNGs are stills, and this keeps the scan from
# opening them with Pillow.
PNG_HEAD = 4096


def maybe_animated(path: str) -> bool:
    """Whether the file may hold frames: any of these but a PNG whose
    head holds no animation chunk (pngs_maybe_animated)."""
    return pngs_maybe_animated([path])[0] if path.lower().endswith(".png") else True


def pngs_maybe_animated(paths: List[str], threads: int = 1) -> List[bool]:
    """Whether each PNG's head holds the animation chunk before any image
    data, looked into on up to `threads` threads; False for a file that
    cannot be read, which reading it then reports."""
    return may_be_animated(paths, PNG_HEAD, threads)


def _frames(image) -> List[np.ndarray]:
    frames = []
    for number in range(image.n_frames):
        image.seek(number)
        frames.append(np.array(image.convert("RGBA")))
    return frames


def read(path: str, maybe: Optional[bool] = None) -> Optional[Tuple[Sheet, Callable[[], List[np.ndarray]]]]:
    """The file's sheet and how to decode its frames, or None for a still
    image; `maybe` is maybe_animated(path), where the caller knows it."""
    if not (maybe_animated(path) if maybe is None else maybe):
        return None
    Image = require_pillow()
    try:
        with Image.open(path) as image:
            if getattr(image, "n_frames", 1) < 2:
                return None
            durations = []
            for number in range(image.n_frames):
                image.seek(number)
                if image.format == "WEBP":
                    image.load()  # which is where it reads the frame's duration
                duration = int(round(image.info.get("duration") or 0))
                durations.append(duration or GIF_NO_DELAY if image.format == "GIF" else duration)
            loop = image.info.get("loop")
            size = image.size
    except Exception as error:  # Pillow's plugins raise many kinds
        raise unreadable(path, error) from None
    # No loop count: played once (GIF without its looping extension); 0: for ever.
    timing = Timing("forward", 1 if loop is None else int(loop))

    def decode() -> List[np.ndarray]:
        with DECODING.reserve(size[0] * size[1] * DECODING_BYTES_PER_PIXEL):
            try:
                with Image.open(path) as image:
                    return _frames(image)
            except Exception as error:
                raise unreadable(path, error) from None

    return Sheet(size, durations, timing=timing), decode
