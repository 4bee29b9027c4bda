"""One XML file per layer in the Starling/Sparrow layout (TextureAtlas of
SubTexture elements), which Phaser's load.atlasXML, HaxeFlixel and Starling
read. Phaser's XML reader ignores rotation, and reads the trimming
attributes the other way round (frameWidth and frameHeight as the trimmed
size, width and height as the original's: Phaser 3.80 draws such frames at
their trimmed size, shifted), so this format never rotates nor trims: each
SubTexture is a whole sprite."""

import re
from typing import Dict, List

from . import AtlasLayer, each_variant, Frame

# Escapes for text in an XML attribute; the white space ones keep it as it
# is (a reader turns plain tabs and line ends into spaces).
ATTRIBUTE_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\t": "&#9;", "\n": "&#10;",
                                   "\r": "&#13;"})

ROTATES = False
TRIMS = False
ANIMATIONS = False
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = "plain"  # as --premultiply asks
# Characters XML 1.0 forbids anywhere, escaped or not: a name holding one
# would make the file unreadable: the controls but tab and line ends,
# surrogates, U+FFFE and U+FFFF (listed, rather than the complement of
# what is allowed, which took 9 ms to compile at every start).
FORBIDDEN_IN_NAMES = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
keys = None  # sprites are named as they are


def quoteattr(text: str) -> str:
    """The attribute value quoted: in single quotes when it holds only
    double ones (Python's xml.sax.saxutils writes the same, without the
    imports it brings)."""
    text = text.translate(ATTRIBUTE_ESCAPES)
    if '"' in text and "'" not in text:
        return f"'{text}'"
    return '"' + text.replace('"', "&quot;") + '"'


def manifest_name(layer: AtlasLayer) -> str:
    return f"{layer.stem}{layer.tag}.xml"


def _sub_texture(frame: Frame) -> str:
    attributes = [("name", frame.name), ("x", frame.x), ("y", frame.y), ("width", frame.width),
                  ("height", frame.height)]
    return "  <SubTexture " + " ".join(f"{key}={quoteattr(str(value))}" for key, value in attributes) + "/>"


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, str]:
    return {
        manifest_name(layer): "\n".join(
            ['<?xml version="1.0" encoding="UTF-8"?>', f"<TextureAtlas imagePath={quoteattr(layer.image)}>"]
            + [_sub_texture(frame) for frame in layer.frames] + ["</TextureAtlas>", ""])
        for layer in layers
    }


manifests = each_variant(variant_manifests)
