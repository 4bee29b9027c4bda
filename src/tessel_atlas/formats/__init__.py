"""Manifest formats. Each module here describes one: ROTATES and TRIMS
(whether its loaders can draw frames stored turned, and trimmed),
ANIMATIONS (whether it lists the animations whose frames share a layer),
ANIMATIONS_WHOLE (whether the layout must keep each animation in one layer)
and manifests(atlas), the files it
writes by name (a dict for JSON, a string for text). Adding a format is
adding a module and a line below. What a sprite's settings add to its
frame (pivot, nine-slice borders) is written by AtlasLayer.frame, the one
place every format takes frames from."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Tuple

from .. import __version__
from ..images import Entry
from ..layout import Layer, Placement


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
            # The sprites' scale: PixiJS takes it as the texture's resolution,
            # so that every variant draws at the same size.
            "scale": f"{self.layer.scale:g}",
            # PixiJS's name for it; PixiJS 8 takes it from the load call's
            # texture options, not from here (see the README).
            **({"alphaMode": "premultiplied-alpha"} if self.premultiplied else {}),
        }


def layer_manifest_name(layer: AtlasLayer) -> str:
    return f"{layer.layer.stem}.json"


from . import json_array, json_hash, phaser3, pixijs, sparrow  # noqa: E402  (they use the helpers above)

FORMATS = {"json-hash": json_hash, "json-array": json_array, "phaser3": phaser3, "pixijs": pixijs,
           "sparrow": sparrow}
