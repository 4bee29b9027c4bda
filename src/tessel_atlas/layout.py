"""Placing the pictures with the engine: padding and extrusion around each,
checks in the command's own terms, and each layer's size."""

from __future__ import annotations

import hashlib
import math
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

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
    # The variant it belongs to: the sprites' scale, and its files' suffix.
    scale: float = 1.0
    suffix: str = ""
    # What it holds: "" the sprites, or the normal maps' suffix (`_n`) for the
    # layer of their normal maps, placed as they are in the layer of that index.
    map: str = ""

    @property
    def stem(self) -> str:
        """Its files' name without the extension: atlas_0, atlas_0@2x, atlas_0_n, ..."""
        return f"atlas_{self.index}{self.suffix}{self.map}"

    @property
    def fill_ratio(self) -> float:
        used = sum(p.pixels.width * p.pixels.height for p in self.placements)
        return used / (self.width * self.height) if self.width and self.height else 0.0


@dataclass(frozen=True)
class Spacing:
    """Transparent pixels between sprites (`shape`) and between sprites and
    the texture's edges (`border`), outside each sprite's extrusion."""

    shape: int = 0
    border: int = 0


def _describe_margin(picture: Pixels, spacing: Spacing) -> str:
    parts = [f"{spacing.border} px border padding" if spacing.border else "",
             f"{picture.extrusion} px extrusion" if picture.extrusion else ""]
    return " with " + " and ".join(p for p in parts if p) if any(parts) else ""


def check_fit(picture: Pixels, *, texture: int, spacing: Spacing) -> None:
    """Refuses, naming the sprite and the option to change, a picture that
    no texture can hold: checked as each sprite is read, before the rest."""
    limit = texture or MAX_SIDE
    extruded = max(picture.width, picture.height) + 2 * picture.extrusion
    if extruded + (2 * spacing.border if texture else spacing.shape) > limit:
        trimmed = " (trimmed)" if picture.trimmed else ""
        fix = "raise --max-texture-size" if texture else "use --max-texture-size to spread sprites over textures"
        raise AtlasError(
            f"{picture.sprite.source}: {picture.width} x {picture.height} pixels{trimmed}"
            f"{_describe_margin(picture, spacing)} does not fit a {limit} x {limit} texture; {fix}"
        )


def _round_up_to_power_of_two(side: int) -> int:
    return 1 << max(0, math.ceil(math.log2(side))) if side > 0 else 0


# Placements of earlier builds by a key of what was placed: the engine's
# answer depends on nothing else, so a rebuild whose sizes did not change
# takes it from here. Each answer is [width, height, rows as one list].
Layouts = Dict[str, list]


def _placement_key(sizes: np.ndarray, side: int, rotation: bool) -> str:
    what = repr((side, rotation, SINGLE_BIN_GROWTH, sizes.shape)).encode()
    return hashlib.sha256(what + np.ascontiguousarray(sizes, dtype=np.int64).tobytes()).hexdigest()


def _known_rows(known: list, sizes: np.ndarray, side: int, rotation: bool) -> Optional[np.ndarray]:
    """An earlier answer, if it is one the engine could have given: a row
    per size, each inside its bin (a damaged cache is not followed)."""
    width, height, flat = known
    rows = np.array(flat, dtype=np.int64).reshape(-1, 4) if len(flat) == 4 * len(sizes) else None
    if rows is None or not len(rows):
        return rows
    x, y, layer, turned = rows.T
    footprint = np.where(turned[:, None] == 1, sizes[:, ::-1], sizes)
    limits = (side, side) if side else (width, height)
    if (rows[:, :3] < 0).any() or (turned > (1 if rotation else 0)).any() or (x + footprint[:, 0] > limits[0]).any() or \
            (y + footprint[:, 1] > limits[1]).any():
        return None
    return rows.astype(np.int32)


def _place(sizes: np.ndarray, side: int, rotation: bool, progress: Callable[[int], None],
           layouts: Optional[Layouts] = None, placed: Optional[Layouts] = None):
    """The engine's placements of sizes, or those of an earlier build for
    the same sizes (`layouts`); `placed` collects every answer given."""
    key = _placement_key(sizes, side, rotation)
    known = (layouts or {}).get(key)
    rows = _known_rows(known, sizes, side, rotation) if known is not None else None
    if rows is not None:
        result = rows, known[0], known[1]
    else:
        try:
            result = place(sizes, side, allow_rotation=rotation, growth=SINGLE_BIN_GROWTH, progress=progress)
        except RuntimeError as error:  # the checks before should leave nothing for the engine to refuse
            raise AtlasError(f"the packer refused the layout: {error}") from None
    if placed is not None:
        placed[key] = known if rows is not None else [int(result[1]), int(result[2]), result[0].ravel().tolist()]
    return result


def _kept_together(rows: np.ndarray, sizes: np.ndarray, side: int, gap: int, rotation: bool,
                   together: Dict[str, List[int]], layouts: Optional[Layouts], placed: Optional[Layouts]) -> np.ndarray:
    """Rows in which each group of `together` (picture indices by name, no
    picture in two groups) lies in one layer, where one texture can hold
    it: when the rows split any, every group is packed on its own, unturned,
    into a block, and the blocks
    placed with the other pictures. A block has the shape padding on every
    side, so that it keeps its distance turned or not; a turned block turns
    its pictures with it."""
    if all(len(set(rows[members, 2].tolist())) < 2 for members in together.values()):
        return rows
    # Placing the others again can split a group that was whole: every group becomes a block.
    block_of: Dict[int, Tuple[int, int, int]] = {}  # picture -> (block, x and y inside it)
    block_sizes: List[Tuple[int, int]] = []
    for members in together.values():
        members = [m for m in dict.fromkeys(members) if m not in block_of]  # groups should not share
        if not members:
            continue
        inner, _, _ = _place(sizes[members], side - gap, False, lambda _: None, layouts, placed)
        if inner[:, 2].any():  # more than one texture holds: it stays split
            continue
        for member, (x, y, _, _) in zip(members, inner.tolist()):
            block_of[member] = (len(block_sizes), x + gap, y + gap)
        far = (inner[:, :2] + sizes[members]).max(axis=0)
        block_sizes.append((int(far[0]) + gap, int(far[1]) + gap))
    if not block_sizes:
        return rows
    loose = [i for i in range(len(sizes)) if i not in block_of]
    outer, _, _ = _place(np.concatenate([sizes[loose], np.array(block_sizes)]), side, rotation, lambda _: None,
                         layouts, placed)
    result = rows.copy()
    result[loose] = outer[:len(loose)]
    for member, (block, x, y) in block_of.items():
        block_x, block_y, layer, turned = outer[len(loose) + block].tolist()
        if turned:  # a quarter turn clockwise: the member's own region, without its gap, turns with it
            own_height = int(sizes[member][1]) - gap
            result[member] = (block_x + block_sizes[block][1] - y - own_height, block_y + x, layer, 1)
        else:
            result[member] = (block_x + x, block_y + y, layer, 0)
    return result


def lay_out(pictures: Sequence[Pixels], *, max_texture_size: int, spacing: Spacing, rotation: bool,
            texture_sizes: str, progress: Callable[[int], None],
            together: Optional[Dict[str, List[int]]] = None, layouts: Optional[Layouts] = None,
            placed: Optional[Layouts] = None, side_multiple: int = 1, align: int = 1) -> List[Layer]:
    """Packs the pictures, each extruded as it asks, `spacing.shape` pixels
    apart and `spacing.border` pixels from the edges, into layers. Each
    layer is cropped to what it uses, rounded up to a power of two
    (texture_sizes 'pot'), or as large as the texture ('full'; with
    max_texture_size 0 that is the bin the engine found, with its borders),
    and then up to a multiple of `side_multiple` (which max_texture_size
    must be).
    The pictures of each group in `together` (indices by name) end up in
    one layer. Placements of an earlier build for the same sizes are taken
    from `layouts`; every placement used is added to `placed`.

    With `align` (block formats' side), every picture starts at a multiple
    of it in x and y and what it takes (extrusion and padding) rounds up to
    one, so that no block of align x align pixels holds two pictures.

    The engine places rectangles edge to edge, so each is given the shape
    padding on its right and bottom, in a texture that much larger and the
    borders smaller. Sizes that are all multiples of `align` place every
    rectangle at one; each picture is moved in from its rectangle's corner
    (`lead`) so that its own pixels, past the border and its extrusion, do."""
    gap, border = spacing.shape, spacing.border
    for picture in pictures:
        check_fit(picture, texture=max_texture_size, spacing=spacing)
    boxes = np.array([p.box + (p.extrusion,) for p in pictures], dtype=np.int64).reshape(-1, 5)
    lead = -(border + boxes[:, 4]) % align
    gap = -(-gap // align) * align
    sizes = -(-(boxes[:, 2:4] - boxes[:, 0:2] + 2 * boxes[:, 4:5] + lead[:, None]) // align) * align + gap
    if not max_texture_size and int((sizes[:, 0] * sizes[:, 1]).sum()) > MAX_SIDE * MAX_SIDE:
        raise AtlasError(
            f"the sprites need more than one bin of {MAX_SIDE} x {MAX_SIDE} pixels; "
            "use --max-texture-size to spread them over textures"
        )
    done = [len(pictures)]

    def advance(remaining: int) -> None:
        progress(done[0] - remaining)
        done[0] = remaining

    engine_side = max_texture_size - 2 * border + gap if max_texture_size else 0
    rows, bin_w, bin_h = _place(sizes, engine_side, rotation, advance, layouts, placed)
    if max_texture_size and together:
        rows = _kept_together(rows, sizes, engine_side, gap, rotation, together, layouts, placed)

    layers: List[Layer] = []
    for picture, (x, y, layer_index, flip), ahead in zip(pictures, rows.tolist(), lead.tolist()):
        while len(layers) <= layer_index:
            layers.append(Layer(len(layers)))
        layer = layers[layer_index]
        e = picture.extrusion + ahead
        placement = Placement(picture, x + border + e, y + border + e, bool(flip))
        layer.placements.append(placement)
        w, h = placement.footprint
        layer.width = max(layer.width, x + w + 2 * e - ahead + 2 * border)
        layer.height = max(layer.height, y + h + 2 * e - ahead + 2 * border)
    for layer in layers:
        if texture_sizes == "full":
            full = (max_texture_size,) * 2 if max_texture_size else (bin_w - gap + 2 * border, bin_h - gap + 2 * border)
            layer.width, layer.height = full
        elif texture_sizes == "pot":
            layer.width, layer.height = map(_round_up_to_power_of_two, (layer.width, layer.height))
        layer.width, layer.height = (-(-side // side_multiple) * side_multiple for side in (layer.width, layer.height))
    return layers
