"""One multi-atlas JSON file listing every layer with its frames, for the
multi-atlas loader of Phaser 3, which cannot draw rotated frames."""

from typing import Dict, List

from .. import __version__
from . import AtlasLayer

ROTATES = False
TRIMS = True
ANIMATIONS = False
ANIMATIONS_WHOLE = False
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character


def manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    textures = []
    for layer in layers:
        meta = layer.meta()
        textures.append({
            "image": meta["image"],
            "format": meta["format"],
            "size": meta["size"],
            "scale": layer.resolution,
            "frames": [{"filename": e.sprite.name, **layer.frame(e, border_keys=("scale9Borders",))}
                       for e in layer.entries],
        })
    suffix = layers[0].layer.suffix if layers else ""
    return {f"atlas{suffix}.json": {"textures": textures, "meta": {"app": "tessel-atlas", "version": __version__}}}
