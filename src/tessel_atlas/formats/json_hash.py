"""One JSON file per layer, frames keyed by sprite name (the 'hash' layout)."""

from typing import Dict, List

from . import AtlasLayer, layer_manifest_name

ROTATES = True


def manifest(layer: AtlasLayer) -> dict:
    return {"frames": {e.sprite.name: layer.frame(e) for e in layer.entries}, "meta": layer.meta()}


def manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {layer_manifest_name(layer): manifest(layer) for layer in layers}
