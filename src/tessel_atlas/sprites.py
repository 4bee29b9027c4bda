"""Finding the sprites to pack: image files, folders of images, or CSV layouts."""

from __future__ import annotations

import csv
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, List, Optional

from .errors import AtlasError, require_pillow


@dataclass(frozen=True)
class Sprite:
    """One rectangle to place; `load` gives its pixels, None for a pixel-less layout."""

    name: str
    width: int
    height: int
    load: Optional[Callable[[], "object"]] = None


def _image_extensions() -> set:
    Image = require_pillow()
    return {ext.lower() for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def _image_sprite(path: Path, name: str) -> Sprite:
    Image = require_pillow()
    try:
        with Image.open(path) as image:
            width, height = image.size
    except (OSError, Image.DecompressionBombError) as error:
        raise AtlasError(f"{path}: not a readable image ({error})") from error

    def load() -> "object":
        try:
            with Image.open(path) as image:
                return image.convert("RGBA")
        except (OSError, Image.DecompressionBombError) as error:
            raise AtlasError(f"{path}: not a readable image ({error})") from error

    return Sprite(name, width, height, load)


def _csv_sprites(path: Path) -> Iterable[Sprite]:
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
        yield Sprite(name, width, height)


def collect_sprites(inputs: Iterable[Path]) -> List[Sprite]:
    """Sprites of every input in order: folders are searched recursively for images."""
    sprites: List[Sprite] = []
    for path in inputs:
        if path.is_dir():
            extensions = _image_extensions()
            for file in sorted(p for p in path.rglob("*") if p.is_file()):
                if file.suffix.lower() in extensions:
                    sprites.append(_image_sprite(file, file.relative_to(path).as_posix()))
        elif path.suffix.lower() == ".csv":
            sprites.extend(_csv_sprites(path))
        elif path.is_file():
            sprites.append(_image_sprite(path, path.name))
        else:
            raise AtlasError(f"{path}: no such file or folder")

    if not sprites:
        raise AtlasError("no sprites found in the input")
    seen = set()
    for sprite in sprites:
        if sprite.name in seen:
            raise AtlasError(f"two sprites are both named {sprite.name!r}; manifest keys must be unique")
        seen.add(sprite.name)
    return sprites
