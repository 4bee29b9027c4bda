"""The TextureAtlas text format of libGDX, which every Spine runtime reads
too: one .atlas file for all the layers (pages) of a variant.

It is written with the keys every reader of the last several years takes:
each page's image file and `size`, `format`, `filter` and `repeat`; each
region's `rotate`, `xy`, `size`, `split` (nine-slice borders), `orig`,
`offset` and `index`, in that order, which readers before libGDX 1.9.13
and Spine 4 require (the newer `bounds:`/`offsets:` keys are read by the
newer ones only). `offset` is measured from the bottom-left corner of the
source, as both read it. Region names are sprite names without their
image extension, but for a name ending in `_` and a number, as libGDX's
own packer makes them: `walk_1.png` and `walk_2.png` are region `walk`
with `index` 1 and 2, which TextureAtlas.findRegions and the Spine runtimes
read in order (`tile0.png` stays region `tile0`, as a libGDX user asks for
it). An index is read as a Java int: a larger number (a timestamp) stays
in the region's name.

Nothing that no reader here can prove is written: regions are never
stored turned, and premultiplied alpha is not recorded (its `pma` key is
the newer format's)."""

import os
import re
from typing import Dict, List, Sequence, Tuple

from ..model import AtlasLayer, Frame
from . import FormatOptions, each_variant

ROTATES = False
TRIMS = True
ANIMATIONS = False  # named by index instead, across pages
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = "plain"  # as --premultiply asks
# A line holds a name whole: no line ends or other control characters, no
# colon (a reader takes a line with one for a key), no white space at
# either end (readers trim lines).
FORBIDDEN_IN_NAMES = re.compile(r"[\x00-\x1f\x7f:]|^\s|\s$")


def _region(name: str) -> str:
    return os.path.splitext(name)[0]


# What libGDX's packer makes an index of, and the largest its reader takes.
INDEXED = re.compile(r"(?P<region>.+)_(?P<number>[0-9]+)")
JAVA_INT_MAX = 2**31 - 1


def region(name: str) -> Tuple[str, int]:
    """A sprite's region name and index (-1: none)."""
    stem = _region(name)
    found = INDEXED.fullmatch(stem)
    if found and int(found["number"]) <= JAVA_INT_MAX:
        return found["region"], int(found["number"])
    return stem, -1


def keys(names: Sequence[str], options: FormatOptions) -> Dict[str, Tuple[str]]:
    """What tells sprites apart in the file: two with one region name and
    index would be one region."""
    return {name: ("region {!r}, index {}".format(*region(name)),) for name in names}


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, str]:
    lines: List[str] = []
    for layer in layers:
        lines += ["", layer.image, f"size: {layer.width},{layer.height}", "format: RGBA8888",
                  "filter: Linear,Linear", "repeat: none"]
        for frame in layer.frames:
            lines += _region_lines(frame, *region(frame.name))
    suffix = layers[0].suffix + layers[0].tag if layers else ""
    return {f"atlas{suffix}.atlas": "\n".join(lines) + "\n"}


def _region_lines(frame: Frame, region: str, index: int) -> List[str]:
    lines = [region, "  rotate: false", f"  xy: {frame.x}, {frame.y}", f"  size: {frame.width}, {frame.height}"]
    if frame.nine_slice is not None:
        left, top, right, bottom = frame.nine_slice
        lines.append(f"  split: {left}, {right}, {top}, {bottom}")
    bottom_offset = frame.source_height - frame.trim_y - frame.height
    return lines + [f"  orig: {frame.source_width}, {frame.source_height}",
                    f"  offset: {frame.trim_x}, {bottom_offset}", f"  index: {index}"]


manifests = each_variant(variant_manifests)
