"""One JSON file per layer, frames keyed by sprite name (the 'hash' layout),
with the animations whose frames the layer holds."""

from typing import Dict, List, Tuple

from . import AtlasLayer, layer_manifest_name

ROTATES = True
TRIMS = True
ANIMATIONS = True
ANIMATIONS_WHOLE = False
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character


def manifest(layer: AtlasLayer, pivot_key: str = "pivot",
             border_keys: Tuple[str, ...] = ("borders", "scale9Borders")) -> dict:
    frames = {e.sprite.name: layer.frame(e, pivot_key, border_keys) for e in layer.entries}
    return {"frames": frames, **({"animations": layer.animations} if layer.animations else {}), "meta": layer.meta()}


def manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {layer_manifest_name(layer): manifest(layer) for layer in layers}
