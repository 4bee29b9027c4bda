"""One XML file per layer in the Starling/Sparrow layout (TextureAtlas of
SubTexture elements), which Phaser's load.atlasXML, HaxeFlixel and Starling
read. Phaser's XML reader ignores rotation, so this format never rotates.
A trimmed frame gives where its pixels lie in the original as frameX and
frameY (negative: the original's corner relative to the frame) and the
original size as frameWidth and frameHeight."""

from typing import Dict, List
from xml.sax.saxutils import quoteattr

from . import AtlasLayer

ROTATES = False
ANIMATIONS = False


def manifest_name(layer: AtlasLayer) -> str:
    return f"atlas_{layer.layer.index}.xml"


def _sub_texture(layer: AtlasLayer, entry) -> str:
    f = layer.frame(entry)
    place, source, inside = f["frame"], f["sourceSize"], f["spriteSourceSize"]
    attributes = [("name", entry.sprite.name), ("x", place["x"]), ("y", place["y"]),
                  ("width", place["w"]), ("height", place["h"])]
    if f["trimmed"]:
        attributes += [("frameX", -inside["x"]), ("frameY", -inside["y"]),
                       ("frameWidth", source["w"]), ("frameHeight", source["h"])]
    return "  <SubTexture " + " ".join(f"{key}={quoteattr(str(value))}" for key, value in attributes) + "/>"


def manifests(layers: List[AtlasLayer]) -> Dict[str, str]:
    return {
        manifest_name(layer): "\n".join(
            ['<?xml version="1.0" encoding="UTF-8"?>', f"<TextureAtlas imagePath={quoteattr(layer.image)}>"]
            + [_sub_texture(layer, entry) for entry in layer.entries] + ["</TextureAtlas>", ""])
        for layer in layers
    }
