"""One multi-atlas JSON file listing every layer with its frames (and its
normal maps' layer, where there is one), for the multi-atlas loader of
Phaser 3, which cannot draw rotated frames."""

from typing import Dict, List

from .. import __version__
from . import AtlasLayer, each_variant, hash_meta, hash_record

ROTATES = False
TRIMS = True
ANIMATIONS = False
ANIMATIONS_WHOLE = False
# Phaser blends block-compressed textures as premultiplied, and cannot
# premultiply them as it uploads them.
BLOCK_ALPHA = "premultiplied"
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character
keys = None  # sprites are named as they are


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    textures = []
    for layer in layers:
        meta = hash_meta(layer)
        textures.append({
            "image": meta["image"],
            # Phaser's multi-atlas loader loads it as the texture's normal map, which its lights read.
            **({"normalMap": layer.normal_image} if layer.normal_image else {}),
            "format": meta["format"],
            "size": meta["size"],
            "scale": layer.resolution,
            "frames": [{"filename": f.name, **hash_record(f, border_keys=("scale9Borders",))} for f in layer.frames],
        })
    suffix = layers[0].suffix + layers[0].tag if layers else ""
    return {f"atlas{suffix}.json": {"textures": textures, "meta": {"app": "tessel-atlas", "version": __version__}}}


manifests = each_variant(variant_manifests)
