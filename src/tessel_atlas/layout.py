"""Placing sprites with the engine: padding, the engine's errors, and per-layer results."""

from __future__ import annotations

import os
import re
import sys
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Iterator, List, Sequence, Tuple

import numpy as np
import TesselPack

from .errors import AtlasError
from .sprites import Sprite


@dataclass(frozen=True)
class Placement:
    """Where a sprite lies in its layer; its atlas footprint is turned when `rotated`."""

    sprite: Sprite
    x: int
    y: int
    rotated: bool

    @property
    def footprint(self) -> Tuple[int, int]:
        s = self.sprite
        return (s.height, s.width) if self.rotated else (s.width, s.height)


@dataclass
class Layer:
    index: int
    width: int = 0
    height: int = 0
    placements: List[Placement] = field(default_factory=list)

    @property
    def fill_ratio(self) -> float:
        used = sum(p.sprite.width * p.sprite.height for p in self.placements)
        return used / (self.width * self.height) if self.width and self.height else 0.0


@contextmanager
def quiet_stdout() -> Iterator[None]:
    """Hides the engine's per-layer progress lines, which it writes below Python."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


_ROW_TOO_LARGE = re.compile(r"rect_sizes row (\d+) \(\d+ x \d+\) does not fit a (\d+) x \d+ ")


def layout(sprites: Sequence[Sprite], max_texture_size: int, padding: int) -> List[Layer]:
    """Packs the sprites, each with `padding` pixels of empty border, into layers.

    Every layer is cropped to what it uses (with max_texture_size 0 that is the
    smallest bin the engine finds).
    """
    sizes = np.array([[s.width + 2 * padding, s.height + 2 * padding] for s in sprites], dtype=np.int64)
    try:
        with quiet_stdout():
            rows, _, _ = TesselPack.pack(sizes, max_texture_size)
    except RuntimeError as error:
        too_large = _ROW_TOO_LARGE.match(str(error))
        if too_large:
            sprite = sprites[int(too_large.group(1))]
            limit = too_large.group(2)
            raise AtlasError(
                f"{sprite.name}: {sprite.width} x {sprite.height} pixels"
                f"{f' with {padding} px padding' if padding else ''}"
                f" does not fit a {limit} x {limit} texture; raise --max-texture-size"
            ) from None
        raise AtlasError(str(error)) from None

    layers: List[Layer] = []
    for sprite, (x, y, layer_index, flip) in zip(sprites, rows.tolist()):
        while len(layers) <= layer_index:
            layers.append(Layer(len(layers)))
        layer = layers[layer_index]
        placement = Placement(sprite, x + padding, y + padding, bool(flip))
        layer.placements.append(placement)
        w, h = placement.footprint
        layer.width = max(layer.width, x + w + 2 * padding)
        layer.height = max(layer.height, y + h + 2 * padding)
    return layers
