"""The hash layout per layer, each naming the other layers' files in
meta.related_multi_packs, so that loading the first loads them all. PixiJS
takes a frame's pivot as its texture's default anchor, from `anchor`."""

from typing import Dict, List

from . import AtlasLayer, each_variant, json_hash, layer_manifest_name

ROTATES = True
TRIMS = True
ANIMATIONS = True
# PixiJS reads an animation from one layer's manifest: the layout keeps each whole.
ANIMATIONS_WHOLE = True
# PixiJS takes block-compressed textures as straight alpha.
BLOCK_ALPHA = "straight"
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character
keys = None  # sprites are named as they are


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    names = [layer_manifest_name(layer) for layer in layers]
    out = {}
    for name, layer in zip(names, layers):
        manifest = json_hash.manifest(layer, pivot_key="anchor", border_keys=("borders",))
        manifest["meta"]["related_multi_packs"] = [other for other in names if other != name]
        out[name] = manifest
    return out


manifests = each_variant(variant_manifests)
