"""What a sprite is, between finding it (tessel_atlas.inputs) and packing
it: its name, where it came from, how to read its pixels and its settings."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from .model import Timing


# A pivot lies within this many sprite sizes of the sprite's corner: one
# further out is a typing mistake, and 1e308 becomes infinity in engines.
PIVOT_LIMIT = 100.0


def valid_pivot(x: float, y: float) -> bool:
    return all(math.isfinite(v) and abs(v) <= PIVOT_LIMIT for v in (x, y))


@dataclass(frozen=True)
class SpriteSettings:
    """What a sprite asks beyond the run's options: a pivot in fractions of
    its source size, nine-slice borders (left, top, right, bottom) in pixels
    of its source, whether it is trimmed, and its extrusion."""

    pivot: Optional[Tuple[float, float]] = None
    nine_slice: Optional[Tuple[int, int, int, int]] = None
    trim: bool = True
    extrude: int = 0
    duration: Optional[int] = None  # how long it shows as an animation's frame, in ms


# Sees an image's size and whether it is opaque (trimming has nothing to
# cut) from its header, before it is decoded; raises AtlasError to refuse
# it there, so that a canvas no texture holds costs no decoding.
Examine = Callable[[Tuple[int, int], bool], None]




# A file as a scan found it: size, modification and change times (ns),
# inode; a sprite with a normal map has its file's four, then the map's.
FileStamp = Tuple[int, ...]


def file_stamp(stat: os.stat_result) -> FileStamp:
    return stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino


# What was found of a file modified or changed this close before it was
# looked at is not trusted: a second change within the clock's resolution
# (two seconds on FAT) could leave the same stamp.
RACY_NS = 2_000_000_000


def newest(stamp: FileStamp) -> int:
    """The latest modification or change time a stamp holds, in ns."""
    return max(stamp[1], stamp[2]) if len(stamp) == 4 else max(stamp[1::4] + stamp[2::4])


@dataclass(frozen=True)
class Sprite:
    """One rectangle to place. `source` names where it came from in messages.
    `open(examine)` gives an image's pixels, RGBA of shape (height, width,
    4) (its size is known once read), letting `examine` (when not None)
    see its size first (Examine); `stamp` is what its file was when
    found. `normal`, where the sprite has one, is its normal map, a
    sprite of the same size packed in the same place of the atlas's
    normal layers. `file` is the image file that `open` reads whole, as
    it is, where it does so (a still image at its own scale): many such
    files can be read at once. A layout row has a size and no pixels."""

    name: str
    source: str
    size: Optional[Tuple[int, int]] = None
    open: Optional[Callable[[Optional[Examine]], np.ndarray]] = None
    settings: SpriteSettings = SpriteSettings()
    stamp: Optional[FileStamp] = None
    normal: Optional["Sprite"] = None
    file: Optional[str] = None


@dataclass
class Found:
    """The sprites of a run, how many other files the folder scan passed
    over, and how the animations that files describe play."""

    sprites: List[Sprite] = field(default_factory=list)
    skipped_files: int = 0
    timings: Dict[str, Timing] = field(default_factory=dict)  # of animations whose files say how they play
    # What looking into each folder's PNG files found (inputs.png_heads).
    png_heads: Dict[str, list] = field(default_factory=dict)
    # What a scan of folders saw, for a later run to tell from stamps alone
    # that a scan would see the same (resaved.py): when it began (ns), each
    # folder it looked into as [path, mtime, ctime, inode] and each path it
    # could not look into as [path], every file it looked into with its
    # stat, and a key of the tables that gave the sprites their settings.
    # No folders where an input is a file.
    listed: int = 0
    folders: Optional[List[list]] = None
    files: List[Tuple[str, os.stat_result]] = field(default_factory=list)
    rules: str = ""


