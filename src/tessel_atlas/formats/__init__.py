"""Manifest formats. Each module here describes one: ROTATES (whether its
loaders can draw frames stored turned) and manifests(atlas), the JSON files
it writes by name. Adding a format is adding a module and a line below."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List

from .. import __version__
from ..images import Entry
from ..layout import Layer, Placement


@dataclass
class AtlasLayer:
    """A layer as the manifests see it: its image file and the sprites in it."""

    layer: Layer
    image: str
    entries: List[Entry]
    placement_of: Dict[int, Placement]

    def frame(self, entry: Entry) -> dict:
        """The frame record of the hash layout. A rotated frame keeps the
        sprite's own w and h; in the image it covers h x w, turned a quarter
        turn clockwise."""
        p = self.placement_of[id(entry.pixels)]
        w, h = entry.pixels.width, entry.pixels.height
        x0, y0 = entry.box[:2]
        return {
            "frame": {"x": p.x, "y": p.y, "w": w, "h": h},
            "rotated": p.rotated,
            "trimmed": entry.trimmed,
            "spriteSourceSize": {"x": x0, "y": y0, "w": w, "h": h},
            "sourceSize": {"w": entry.size[0], "h": entry.size[1]},
        }

    def meta(self) -> dict:
        return {
            "app": "tessel-atlas",
            "version": __version__,
            "image": self.image,
            "format": "RGBA8888",
            "size": {"w": self.layer.width, "h": self.layer.height},
            "scale": "1",
        }


def layer_manifest_name(layer: AtlasLayer) -> str:
    return f"atlas_{layer.layer.index}.json"


from . import json_array, json_hash, phaser3, pixijs  # noqa: E402  (they use the helpers above)

FORMATS = {"json-hash": json_hash, "json-array": json_array, "phaser3": phaser3, "pixijs": pixijs}
