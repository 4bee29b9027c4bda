"""Manifest formats. Each module here describes one: ROTATES and TRIMS
(whether its loaders can draw frames stored turned, and trimmed),
ANIMATIONS (whether it lists the animations whose frames share a layer),
ANIMATIONS_WHOLE (whether the layout must keep each animation in one layer),
FORBIDDEN_IN_NAMES (a pattern of the characters its files cannot hold in a
sprite's name, or None) and manifests(atlas), the files it
writes by name (a dict for JSON, a string for text). Adding a format is
adding a module and a line below. What a sprite's settings add to its
frame (pivot, nine-slice borders) is written by AtlasLayer.frame, the one
place every format takes frames from."""

from __future__ import annotations

import hashlib
import math
import re
from dataclasses import dataclass, field
from typing import Dict, List, Sequence, Tuple

from .. import __version__
from ..errors import AtlasError
from ..images import Entry
from ..layout import Layer, Placement
from ..sprites import Sprite


@dataclass
class AtlasLayer:
    """A layer as the manifests see it: its image file, the sprites in it
    (in natural name order) and the animations whose frames it holds."""

    layer: Layer
    image: str
    entries: List[Entry]
    placement_of: Dict[int, Placement]
    animations: Dict[str, List[str]] = field(default_factory=dict)
    premultiplied: bool = False
    resolution: float = 1.0  # see resolutions()

    def frame(self, entry: Entry, pivot_key: str = "pivot",
              border_keys: Tuple[str, ...] = ("borders", "scale9Borders")) -> dict:
        """The frame record of the hash layout. A rotated frame keeps the
        sprite's own w and h; in the image it covers h x w, turned a quarter
        turn clockwise. A pivot, where set, goes under `pivot_key`;
        nine-slice borders under the `border_keys` asked for: "borders" as
        PixiJS reads them (left, top, right, bottom), "scale9Borders" as
        Phaser does (the centre's x, y, w and h)."""
        p = self.placement_of[id(entry.pixels)]
        w, h = entry.pixels.width, entry.pixels.height
        x0, y0 = entry.box[:2]
        record = {
            "frame": {"x": p.x, "y": p.y, "w": w, "h": h},
            "rotated": p.rotated,
            "trimmed": entry.trimmed,
            "spriteSourceSize": {"x": x0, "y": y0, "w": w, "h": h},
            "sourceSize": {"w": entry.size[0], "h": entry.size[1]},
        }
        settings = entry.sprite.settings
        if settings.pivot is not None:
            record[pivot_key] = {"x": settings.pivot[0], "y": settings.pivot[1]}
        if settings.nine_slice is not None:
            left, top, right, bottom = settings.nine_slice
            if "borders" in border_keys:
                record["borders"] = {"left": left, "top": top, "right": right, "bottom": bottom}
            if "scale9Borders" in border_keys:
                record["scale9Borders"] = {"x": left, "y": top, "w": entry.size[0] - left - right,
                                           "h": entry.size[1] - top - bottom}
        return record

    def meta(self) -> dict:
        return {
            "app": "tessel-atlas",
            "version": __version__,
            "image": self.image,
            "format": "RGBA8888",
            "size": {"w": self.layer.width, "h": self.layer.height},
            # PixiJS takes it as the texture's resolution, so that every
            # variant draws at the same size.
            "scale": f"{self.resolution:g}",
            # PixiJS's name for it; PixiJS 8 takes it from the load call's
            # texture options, not from here (see the README).
            **({"alphaMode": "premultiplied-alpha"} if self.premultiplied else {}),
        }


# The part of a file name from which PixiJS 7 takes a texture's resolution,
# before the manifest's meta.scale (PixiJS 8 takes meta.scale first).
RESOLUTION_IN_NAME = re.compile(r"@([0-9.]+)x")


def resolutions(variants: Sequence[Tuple[float, str]]) -> Dict[str, float]:
    """Each variant's texture resolution by suffix: its scale relative to
    the scale that draws at resolution 1, so that every variant draws at
    one size on screen. A suffix that names a resolution (@2x) must agree
    with it, since PixiJS 7 takes the name's; without one, the sprites'
    own scale (1) draws at resolution 1. Variants whose named resolutions
    do not follow their scales are refused."""
    named = []
    for scale, suffix in variants:
        found = RESOLUTION_IN_NAME.search(suffix)
        if found:
            number = re.match(r"\d*(\.\d*)?", found.group(1)).group()  # what JavaScript's parseFloat reads
            if number in ("", "."):
                raise AtlasError(f"--variant {scale:g}:{suffix}: PixiJS 7 reads a resolution from "
                                 f"{found.group()!r} and finds no number; write it as @2x or @0.5x")
            named.append((scale, suffix, float(number)))
    base = named[0][0] / named[0][2] if named else 1.0
    for scale, suffix, resolution in named:
        if not math.isclose(scale / base, resolution, rel_tol=1e-9):
            first = named[0]
            raise AtlasError(f"--variant {scale:g}:{suffix} names resolution {resolution:g}, but beside --variant "
                             f"{first[0]:g}:{first[1]} its scale makes it {scale / base:g}; PixiJS 7 takes the "
                             "resolution from the name, so make the names follow the scales "
                             "(--variant 1:@2x --variant 0.5:)")
    return {suffix: scale / base for scale, suffix in variants}


def manifests_key(format_name: str, layers: Sequence[AtlasLayer]) -> str:
    """A key of everything a format's manifests of these layers say: a
    rebuild whose key is the same keeps the files, without making them."""
    digest = hashlib.sha256(repr((format_name, __version__)).encode())
    for layer in layers:
        header = (layer.image, layer.layer.index, layer.layer.width, layer.layer.height, layer.layer.suffix,
                  layer.resolution, layer.premultiplied, layer.animations)
        digest.update(repr(header).encode())
        for e in layer.entries:
            p, settings = layer.placement_of[id(e.pixels)], e.sprite.settings
            digest.update(f"{e.sprite.name}\0{e.box}{e.size}{settings.pivot}{settings.nine_slice}"
                          f"{p.x},{p.y},{p.rotated},{e.pixels.width},{e.pixels.height}\n".encode())
    return digest.hexdigest()


def layer_manifest_name(layer: AtlasLayer) -> str:
    return f"{layer.layer.stem}.json"


from . import json_array, json_hash, phaser3, pixijs, sparrow  # noqa: E402  (they use the helpers above)

FORMATS = {"json-hash": json_hash, "json-array": json_array, "phaser3": phaser3, "pixijs": pixijs,
           "sparrow": sparrow}


def shown(text: str) -> str:
    """Text for a message, the characters a terminal would not show escaped."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def check_names(sprites: Sequence[Sprite], format_name: str) -> None:
    """Refuses, before any work, a sprite name that the format's files cannot hold."""
    forbidden = FORMATS[format_name].FORBIDDEN_IN_NAMES
    for sprite in sprites if forbidden else ():
        found = forbidden.search(sprite.name)
        if found:
            raise AtlasError(f"{shown(sprite.source)}: the name holds U+{ord(found.group()):04X}, a character that "
                             f"{format_name} files cannot hold; rename the file, or choose another --format")
