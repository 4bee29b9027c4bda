"""Layered Photoshop files (.psd, .psb): each visible pixel layer a sprite
of the canvas's size with the layer's pixels at its place (so trimming
keeps the layer's offset), named FILE/GROUP/LAYER. Read through psd-tools,
an optional extra (it needs Python 3.11 or later)."""

from __future__ import annotations

import os
from typing import List, Tuple

import numpy as np

from ..errors import AtlasError
from ..images import DECODING, DECODING_BYTES_PER_PIXEL
from ..sprites import FileStamp, Sprite, SpriteSettings
from .frames import decoded_frames
from .still import EXPORT_AGAIN

EXTENSIONS = frozenset((".psd", ".psb"))
INSTALL = "pip install 'TesselPack[psd]' (psd-tools, on Python 3.11 or later)"


def _open(path: str):
    try:
        from psd_tools import PSDImage
    except ImportError:
        raise AtlasError(f"{path}: reading Photoshop files needs psd-tools: {INSTALL}; or export the layers "
                         "as PNG files") from None
    try:
        return PSDImage.open(path)
    except Exception as error:  # its parser raises many kinds
        raise AtlasError(f"{path}: not a readable Photoshop file ({error}); {EXPORT_AGAIN}") from None


def _layers(psd) -> List[Tuple[str, object]]:
    """Every visible pixel layer, with its path of group names."""
    found = []

    def walk(group, prefix: str) -> None:
        for layer in group:
            if not layer.visible:
                continue
            if layer.is_group():
                walk(layer, f"{prefix}{layer.name}/")
            elif layer.has_pixels():
                found.append((prefix + layer.name, layer))

    walk(psd, "")
    return found


def _canvas(psd, layer) -> np.ndarray:
    width, height = psd.size
    canvas = np.zeros((height, width, 4), np.uint8)
    pixels = np.array(layer.topil().convert("RGBA"))
    pixels[..., 3] = (pixels[..., 3].astype(np.uint16) * layer.opacity + 127) // 255
    left, top = layer.left, layer.top
    x0, y0 = max(left, 0), max(top, 0)
    x1, y1 = min(left + pixels.shape[1], width), min(top + pixels.shape[0], height)
    if x0 < x1 and y0 < y1:
        canvas[y0:y1, x0:x1] = pixels[y0 - top:y1 - top, x0 - left:x1 - left]
    return canvas


def sprites(path: str, name: str, stamp: FileStamp, settings: SpriteSettings) -> List[Sprite]:
    psd = _open(path)
    stem = os.path.splitext(name)[0]
    names = [layer_name for layer_name, _ in _layers(psd)]
    size = psd.size

    def decode() -> List[np.ndarray]:
        with DECODING.reserve(size[0] * size[1] * DECODING_BYTES_PER_PIXEL):
            opened = _open(path)
            layers = _layers(opened)
            if [layer_name for layer_name, _ in layers] != names:
                raise AtlasError(f"{path}: changed while the atlas was being built; build again once it is saved")
            try:
                return [_canvas(opened, layer) for _, layer in layers]
            except Exception as error:
                raise AtlasError(f"{path}: not a readable Photoshop file ({error}); {EXPORT_AGAIN}") from None

    def sprite(index: int) -> Sprite:
        def open_layer(examine) -> np.ndarray:
            if examine is not None:
                examine(size, False)
            return decoded_frames(path, stamp, decode)[index]

        return Sprite(f"{stem}/{names[index]}", f"{path}, layer {names[index]!r}", None, open_layer, settings, stamp)

    if not names:
        raise AtlasError(f"{path}: no visible pixel layer to pack; show a layer in it, or leave it out with --exclude")
    return [sprite(index) for index in range(len(names))]
