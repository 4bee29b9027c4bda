"""One JSON file per layer, frames as a list with their names ('array' layout)."""

from typing import Dict, List

from . import AtlasLayer, layer_manifest_name

ROTATES = True
TRIMS = True
ANIMATIONS = False
ANIMATIONS_WHOLE = False
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character


def manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {
        layer_manifest_name(layer): {
            "frames": [{"filename": e.sprite.name, **layer.frame(e, border_keys=("scale9Borders",))}
                       for e in layer.entries],
            "meta": layer.meta(),
        }
        for layer in layers
    }
