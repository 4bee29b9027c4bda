"""One JSON file per layer, frames keyed by sprite name (the 'hash' layout),
with the animations whose frames the layer holds."""

from typing import Dict, List, Tuple

from . import AtlasLayer, each_variant, hash_meta, hash_record, layer_manifest_name, played

ROTATES = True
TRIMS = True
ANIMATIONS = True
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = "plain"  # as --premultiply asks
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character
keys = None  # sprites are named as they are


def manifest(layer: AtlasLayer, pivot_key: str = "pivot",
             border_keys: Tuple[str, ...] = ("borders", "scale9Borders")) -> dict:
    frames = {f.name: hash_record(f, pivot_key, border_keys) for f in layer.frames}
    return {"frames": frames, **({"animations": played(layer)} if layer.animations else {}),
            "meta": hash_meta(layer)}


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {layer_manifest_name(layer): manifest(layer) for layer in layers}


manifests = each_variant(variant_manifests)
