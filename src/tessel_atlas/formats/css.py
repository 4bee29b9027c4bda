"""CSS sprites: atlas.css, a stylesheet with one class per sprite (its
size, and the layer image as its background, placed so that the sprite
shows), and atlas.html, a page showing every sprite by its class.

A class name is the prefix (--css-prefix) and the sprite's name without
its image extension, every character but ASCII letters and digits, - and
_ (and those past ASCII, which CSS names may hold) turned into -; one that
would not start as a CSS name must (with a letter, _ or a character past
ASCII) gets a _ in front. Two sprites given one class are refused.

Scale variants: the one of lowest resolution (formats.resolutions) gives
the rules, in CSS pixels of that resolution; each higher one gives the
image and place again inside a media query for screens of at least its
resolution, so that such a screen shows the larger variant's pixels.
Element sizes stay whole CSS pixels (browsers place half ones a device
pixel either way), so where a side is odd in the larger variant the
element is a device pixel larger than its sprite there: every layer then
keeps at least a transparent pixel around each sprite (VARIANT_SPACING),
which shows there instead of the neighbour, and which a screen between
two resolutions, scaling the larger variant, filters in.
(The variants' layers are laid out each on its own, so one place cannot
serve every image, as image-set() would need.) A background can neither
add trimmed borders back (it would show the neighbours in the layer) nor
turn a region: this format never trims or rotates."""

import re
from typing import Dict, List, Sequence, Tuple

from .. import __version__
from ..model import AtlasLayer
from . import FormatOptions

ROTATES = False
TRIMS = False
ANIMATIONS = False
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = None  # browsers draw backgrounds from PNG or WebP
FORBIDDEN_IN_NAMES = None  # every name is made a class name
# What a class name may not hold: ASCII but letters, digits, _ and -; and
# what it may start with: letters, _, or anything beyond ASCII. Spelt as
# ranges of ASCII: classes up to U+10FFFF took 9 ms each to compile, at
# every start of the command.
OUTSIDE_NAMES = re.compile(r"[\x00-\x2c\x2e\x2f\x3a-\x40\x5b-\x5e\x60\x7b-\x7f]")
NAME_START = re.compile(r"[^\x00-\x40\x5b-\x5e\x60\x7b-\x7f]")

# The gap around each sprite that a css atlas with variants keeps at least:
# shape padding 2, border padding 1.
VARIANT_SPACING = (2, 1)


def class_name(name: str, prefix: str) -> str:
    stem = re.sub(r"\.[^./]*$", "", name)
    made = prefix + OUTSIDE_NAMES.sub("-", stem)
    return made if NAME_START.match(made) else "_" + made


def keys(names: Sequence[str], options: FormatOptions) -> Dict[str, Tuple[str]]:
    """Two sprites of one class name would be one."""
    return {name: (f"class {class_name(name, options.css_prefix)!r}",) for name in names}


def _length(pixels: float) -> str:
    """CSS pixels, as short as exact: 12px, 4.5px, 0."""
    text = f"{pixels:.4f}".rstrip("0").rstrip(".")
    return "0" if text in ("0", "-0") else f"{text}px"


def _background(layer: AtlasLayer, frame_x: int, frame_y: int) -> str:
    r = layer.resolution
    return (f'background: url("{layer.image}") {_length(-frame_x / r)} {_length(-frame_y / r)} / '
            f"{_length(layer.width / r)} {_length(layer.height / r)} no-repeat;")


def manifests(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> Dict[str, str]:
    ordered = sorted(variants, key=lambda layers: layers[0].resolution if layers else 0)
    base, higher = ordered[0], ordered[1:]
    lines = [f"/* tessel-atlas {__version__}: one class per sprite; see atlas.html */"]
    names = []
    for layer in base:
        r = layer.resolution
        for frame in layer.frames:
            names.append((class_name(frame.name, options.css_prefix), frame.name))
            lines.append(f".{names[-1][0]} {{ display: inline-block; width: {_length(frame.width / r)}; "
                         f"height: {_length(frame.height / r)}; {_background(layer, frame.x, frame.y)} }}")
    for layers in higher:
        r = layers[0].resolution
        lines.append(f"@media (-webkit-min-device-pixel-ratio: {r:g}), (min-resolution: {r:g}dppx) {{")
        for layer in layers:
            for frame in layer.frames:
                lines.append(f"  .{class_name(frame.name, options.css_prefix)} "
                             f"{{ {_background(layer, frame.x, frame.y)} }}")
        lines.append("}")
    import html  # here, where a page is made: a millisecond of every start-up otherwise

    page = ['<!DOCTYPE html>', '<html lang="en"><head><meta charset="utf-8"><title>tessel-atlas sprites</title>',
            '<link rel="stylesheet" href="atlas.css"></head><body>']
    page += [f'<div class="{cls}" title="{html.escape(name)}"></div>' for cls, name in names]
    return {"atlas.css": "\n".join(lines) + "\n", "atlas.html": "\n".join(page + ["</body></html>"]) + "\n"}
