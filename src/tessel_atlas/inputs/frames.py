"""Files of many frames (Aseprite, animated GIF/PNG/WebP, PSD layers) as
sprites: one per frame, named after the file, and the file decoded once for
all of them."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass, replace
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..model import Timing
from ..sprites import Examine, FileStamp, Sprite, SpriteSettings

# Decoded files kept for the sprites that show their frames, at most (the
# least recently used let go first): a file's sprites are read one after
# another, so one file at a time per reading thread is what counts.
KEEP_BYTES = 256 * 2**20


@dataclass(frozen=True)
class Tag:
    """Frames first to last (0-based, inclusive) that play as an animation."""

    name: str
    first: int
    last: int
    timing: Timing = Timing()


@dataclass(frozen=True)
class Sheet:
    """What a file holds, known before its pixels are decoded: its canvas
    size, each frame's duration (ms, or None where the file has none), its
    tags, each frame's own settings (nine-slice borders, pivot) and how
    the whole file plays as one animation, where it says."""

    size: Tuple[int, int]
    durations: Sequence[Optional[int]]
    tags: Sequence[Tag] = ()
    settings: Sequence[Dict[str, object]] = ()
    timing: Optional[Timing] = None


# (path, stamp) -> its frames
_decoded: "OrderedDict[Tuple[str, FileStamp], List[np.ndarray]]" = OrderedDict()
_decoding: Dict[Tuple[str, FileStamp], threading.Lock] = {}
_lock = threading.Lock()


def decoded_frames(path: str, stamp: FileStamp, decode: Callable[[], List[np.ndarray]]) -> List[np.ndarray]:
    """The file's frames, decoded by one thread while the others that ask wait."""
    key = (path, stamp)
    with _lock:
        busy = _decoding.setdefault(key, threading.Lock())
    with busy:
        with _lock:
            if key in _decoded:
                _decoded.move_to_end(key)
                return _decoded[key]
        frames = decode()
        with _lock:
            _decoded[key] = frames
            total = sum(f.nbytes for fs in _decoded.values() for f in fs)
            while total > KEEP_BYTES and len(_decoded) > 1:
                total -= sum(f.nbytes for f in _decoded.popitem(last=False)[1])
            del _decoding[key]
        return frames


def frame_sprites(path: str, name: str, stamp: FileStamp, settings: SpriteSettings, sheet: Sheet,
                  decode: Callable[[], List[np.ndarray]]) -> Tuple[List[Sprite], Dict[str, Timing]]:
    """A sprite for each frame, named FILE_N (N from 0, FILE the name
    without its extension), and again FILE/TAG_N for the frames of each tag
    (sharing the picture, so that engines find each tag by name); a file of
    one frame and no tags is one sprite, FILE. The tags' timings come back
    by animation name."""
    stem = os.path.splitext(name)[0]

    def sprite(label: str, index: int, source: str) -> Sprite:
        own = dict(sheet.settings[index]) if sheet.settings else {}
        duration = sheet.durations[index]

        def open_frame(examine: Optional[Examine]) -> np.ndarray:
            if examine is not None:
                examine(sheet.size, False)
            return decoded_frames(path, stamp, decode)[index]

        return Sprite(label, source, None, open_frame, replace(settings, duration=duration, **own), stamp)

    count = len(sheet.durations)
    if count == 1 and not sheet.tags:
        return [sprite(stem, 0, path)], {}
    sprites = [sprite(f"{stem}_{i}", i, f"{path}, frame {i}") for i in range(count)]
    timings = {stem: sheet.timing} if sheet.timing else {}
    for tag in sheet.tags:
        group = f"{stem}/{tag.name}"
        timings[group] = tag.timing
        sprites += [sprite(f"{group}_{n}", i, f"{path}, frame {i} (tag {tag.name!r})")
                    for n, i in enumerate(range(tag.first, tag.last + 1))]
    return sprites, timings
