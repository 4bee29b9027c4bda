"""Finding the sprites to pack: image files, folders searched for images, or CSV layouts."""

from __future__ import annotations

import csv
import fnmatch
import math
import os
from dataclasses import dataclass, field, replace
from pathlib import Path
from stat import S_ISREG
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np

from .errors import AtlasError
from .images import Examine, read_image

# Raster formats only: Pillow also opens PostScript, video and science
# formats, which need outside programs or are not sprites at all.
IMAGE_EXTENSIONS = frozenset(
    ".png .apng .jpg .jpeg .jpe .gif .bmp .dib .tga .webp .tif .tiff .ppm .pgm .pbm .pnm .qoi .ico".split()
)


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


# A file as a scan found it: size, modification and change times (ns), inode.
FileStamp = Tuple[int, int, int, int]


def file_stamp(stat: os.stat_result) -> FileStamp:
    return stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino


@dataclass(frozen=True)
class Sprite:
    """One rectangle to place. `source` names where it came from in messages.
    `open(examine)` gives an image's pixels, RGBA of shape (height, width,
    4) (its size is known once read), letting `examine` (when not None)
    see its size first (images.Examine); `stamp` is what its file was when
    found. A layout row has a size and no pixels."""

    name: str
    source: str
    size: Optional[Tuple[int, int]] = None
    open: Optional[Callable[[Optional[Examine]], np.ndarray]] = None
    settings: SpriteSettings = SpriteSettings()
    stamp: Optional[FileStamp] = None


@dataclass
class Found:
    """The sprites of a run, and how many other files the folder scan passed over."""

    sprites: List[Sprite] = field(default_factory=list)
    skipped_files: int = 0


def _image_sprite(path: str, name: str, stat: os.stat_result, settings: SpriteSettings) -> Sprite:
    # Not opened here: reading decodes each image once, on a thread per core.
    return Sprite(name, path, None, lambda examine: read_image(path, examine), settings, file_stamp(stat))


def _csv_sprites(path: Path) -> Iterator[Sprite]:
    try:
        with path.open(newline="", encoding="utf-8") as stream:
            rows = list(csv.reader(stream))
    except (OSError, UnicodeDecodeError) as error:
        raise AtlasError(f"{path}: cannot read ({error})") from error
    for number, row in enumerate(rows, start=1):
        if not row or (number == 1 and [cell.strip() for cell in row] == ["name", "w", "h"]):
            continue
        try:
            name, width, height = row[0].strip(), int(row[1]), int(row[2])
            if len(row) != 3 or not name or width <= 0 or height <= 0:
                raise ValueError
        except (ValueError, IndexError):
            raise AtlasError(
                f"{path}, line {number}: expected 'name,w,h' with positive whole numbers, got {row!r}"
            ) from None
        yield Sprite(name, f"{path}, line {number}", (width, height))


def _identity(stat: os.stat_result) -> Tuple[int, int]:
    return stat.st_dev, stat.st_ino


def _walk(root: str, skip: Set[Tuple[int, int]]) -> Iterator[Tuple[str, str, os.stat_result]]:
    """Every file under root in a stable order (a folder's files by name,
    then its subfolders' by name), with its path inside root and its
    stat: folder links followed once each (a link back up the tree would
    loop), folders whose identity is in `skip` left out. Folders and links
    that cannot be read are passed over, as a listing would."""
    seen = set()
    stack = [(root, "")]
    while stack:
        folder, prefix = stack.pop()
        try:
            identity = _identity(os.stat(folder))
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError:
            continue
        if identity in seen or identity in skip:
            continue
        seen.add(identity)
        subfolders = []
        for entry in entries:
            try:
                if entry.is_dir():
                    subfolders.append((entry.path, f"{prefix}{entry.name}/"))
                    continue
                stat = entry.stat()
            except OSError:  # a link to nothing
                continue
            if S_ISREG(stat.st_mode):
                yield entry.path, prefix + entry.name, stat
        stack.extend(reversed(subfolders))


def _excluded(relative: str, patterns: Sequence[str]) -> bool:
    name = relative.rsplit("/", 1)[-1]
    return any(fnmatch.fnmatchcase(relative, p) or fnmatch.fnmatchcase(name, p) for p in patterns)


def collect_sprites(inputs: Iterable[Path], exclude: Sequence[str] = (), skip: Sequence[Path] = (),
                    settings: SpriteSettings = SpriteSettings()) -> Found:
    """Sprites of every input in order, each with `settings`: folders are
    searched recursively for raster images (other files are counted, not
    read), CSV files give rows of name,w,h. Files matching an `exclude`
    pattern (against the path inside its folder, or the file name) and
    folders in `skip` are left out.

    A run is either all images or all CSV layout: a mix would leave some
    frames without pixels.
    """
    inputs = list(inputs)
    skipped = set()
    for folder in skip:
        try:
            skipped.add(_identity(os.stat(folder)))
        except OSError:  # not made yet: nothing in it to leave out
            pass
    found = Found()
    origin: Dict[str, str] = {}
    first_of_kind: Dict[bool, str] = {}

    def add(sprite: Sprite) -> None:
        try:
            sprite.name.encode("utf-8")
        except UnicodeEncodeError:  # bytes the file system gave that are not UTF-8
            shown = sprite.source.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            raise AtlasError(f"{shown}: the name is not valid UTF-8, so no manifest can hold it; "
                             "rename the file or folder") from None
        if sprite.name in origin:
            raise AtlasError(
                f"two sprites would both be named {sprite.name!r}: {origin[sprite.name]} and {sprite.source}; "
                "manifest keys must be unique, so rename one or pack them separately"
            )
        origin[sprite.name] = sprite.source
        first_of_kind.setdefault(sprite.open is not None, sprite.source)
        found.sprites.append(sprite)

    for path in inputs:
        if path.is_dir():
            if _identity(path.stat()) in skipped:
                raise AtlasError(f"{path}: the output folder (--out), which is never read as input; "
                                 "choose another --out")
            for file, relative, stat in _walk(str(path), skipped):
                if exclude and _excluded(relative, exclude):
                    continue
                if os.path.splitext(relative)[1].lower() in IMAGE_EXTENSIONS:
                    add(_image_sprite(file, relative, stat, settings))
                else:
                    found.skipped_files += 1
        elif path.suffix.lower() == ".csv" and path.is_file():
            for sprite in _csv_sprites(path):
                add(replace(sprite, settings=settings))
        elif path.is_file():
            add(_image_sprite(str(path), path.name, path.stat(), settings))
        else:
            raise AtlasError(f"{path}: no such file or folder")

    if not found.sprites:
        names = ", ".join(str(p) for p in inputs)
        raise AtlasError(f"no sprites found in {names} (looked for PNG, JPEG, GIF, BMP, TGA, WebP, TIFF, PNM, QOI "
                         "and ICO images)")
    if len(first_of_kind) == 2:
        raise AtlasError(
            f"images and CSV layouts cannot be packed together: {first_of_kind[True]} has pixels, "
            f"{first_of_kind[False]} has none; pack the images alone, or lay out the CSV alone"
        )
    return found
