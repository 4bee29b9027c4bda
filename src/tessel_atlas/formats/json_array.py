"""One JSON file per layer, frames as a list with their names ('array' layout)."""

from typing import Dict, List

from . import AtlasLayer, each_variant, hash_meta, hash_record, layer_manifest_name

ROTATES = True
TRIMS = True
ANIMATIONS = False
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = "plain"  # as --premultiply asks
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character
keys = None  # sprites are named as they are


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {
        layer_manifest_name(layer): {
            "frames": [{"filename": f.name, **hash_record(f, border_keys=("scale9Borders",))} for f in layer.frames],
            "meta": hash_meta(layer),
        }
        for layer in layers
    }


manifests = each_variant(variant_manifests)
