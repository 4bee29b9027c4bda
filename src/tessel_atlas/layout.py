"""Placing the pictures with the engine: padding and extrusion around each,
checks in the command's own terms, and each layer's size."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, List, Sequence, Tuple

import numpy as np

from . import place
from .errors import AtlasError
from .images import Pixels

# The engine's largest single bin.
MAX_SIDE = 46340
# Single bins grow by 1% between attempts: on the benchmark's sprite sets
# (bench/place.py) that gave denser bins than pack's 10%, and was faster.
SINGLE_BIN_GROWTH = 1.01


@dataclass(frozen=True)
class Placement:
    """Where a picture's own pixels lie in its layer; it covers h x w there when rotated."""

    pixels: Pixels
    x: int
    y: int
    rotated: bool

    @property
    def footprint(self) -> Tuple[int, int]:
        p = self.pixels
        return (p.height, p.width) if self.rotated else (p.width, p.height)


@dataclass
class Layer:
    index: int
    width: int = 0
    height: int = 0
    placements: List[Placement] = field(default_factory=list)

    @property
    def fill_ratio(self) -> float:
        used = sum(p.pixels.width * p.pixels.height for p in self.placements)
        return used / (self.width * self.height) if self.width and self.height else 0.0


def _describe_margin(padding: int, extrusion: int) -> str:
    parts = [f"{padding} px padding" if padding else "", f"{extrusion} px extrusion" if extrusion else ""]
    return " with " + " and ".join(p for p in parts if p) if padding or extrusion else ""


def check_fit(picture: Pixels, *, texture: int, padding: int, extrusion: int) -> None:
    """Refuses, naming the sprite and the option to change, a picture that
    no texture can hold: checked as each sprite is read, before the rest."""
    limit = texture or MAX_SIDE
    if max(picture.width, picture.height) + 2 * (padding + extrusion) > limit:
        trimmed = " (trimmed)" if picture.trimmed else ""
        fix = "raise --max-texture-size" if texture else "use --max-texture-size to spread sprites over textures"
        raise AtlasError(
            f"{picture.sprite.source}: {picture.width} x {picture.height} pixels{trimmed}"
            f"{_describe_margin(padding, extrusion)} does not fit a {limit} x {limit} texture; {fix}"
        )


def _check(pictures: Sequence[Pixels], sizes: np.ndarray, texture: int, padding: int, extrusion: int) -> None:
    """Refuses what the engine cannot place, in the command's own terms."""
    for picture in pictures:
        check_fit(picture, texture=texture, padding=padding, extrusion=extrusion)
    if not texture and int((sizes[:, 0] * sizes[:, 1]).sum()) > MAX_SIDE * MAX_SIDE:
        raise AtlasError(
            f"the sprites need more than one bin of {MAX_SIDE} x {MAX_SIDE} pixels; "
            "use --max-texture-size to spread them over textures"
        )


def _round_up_to_power_of_two(side: int) -> int:
    return 1 << max(0, math.ceil(math.log2(side))) if side > 0 else 0


def lay_out(pictures: Sequence[Pixels], *, max_texture_size: int, padding: int, extrusion: int, rotation: bool,
            texture_sizes: str, progress: Callable[[int], None]) -> List[Layer]:
    """Packs the pictures, each with `extrusion` and then `padding` pixels of
    border, into layers. Each layer is cropped to what it uses, rounded up to
    a power of two (texture_sizes 'pot'), or as large as the texture ('full';
    with max_texture_size 0 that is the bin the engine found)."""
    margin = padding + extrusion
    sizes = np.array([[p.width + 2 * margin, p.height + 2 * margin] for p in pictures], dtype=np.int64)
    _check(pictures, sizes, max_texture_size, padding, extrusion)
    done = [len(pictures)]

    def advance(remaining: int) -> None:
        progress(done[0] - remaining)
        done[0] = remaining

    try:
        rows, bin_w, bin_h = place(sizes.reshape(-1, 2), max_texture_size, allow_rotation=rotation,
                                   growth=SINGLE_BIN_GROWTH, progress=advance)
    except RuntimeError as error:  # the checks above should leave nothing for the engine to refuse
        raise AtlasError(f"the packer refused the layout: {error}") from None

    layers: List[Layer] = []
    for picture, (x, y, layer_index, flip) in zip(pictures, rows.tolist()):
        while len(layers) <= layer_index:
            layers.append(Layer(len(layers)))
        layer = layers[layer_index]
        placement = Placement(picture, x + margin, y + margin, bool(flip))
        layer.placements.append(placement)
        w, h = placement.footprint
        layer.width = max(layer.width, x + w + 2 * margin)
        layer.height = max(layer.height, y + h + 2 * margin)
    for layer in layers:
        if texture_sizes == "full":
            layer.width, layer.height = (max_texture_size,) * 2 if max_texture_size else (bin_w, bin_h)
        elif texture_sizes == "pot":
            layer.width, layer.height = map(_round_up_to_power_of_two, (layer.width, layer.height))
    return layers
