"""Aseprite files written from the format's published description, and the
frames they show composed independently of the reader under test."""

import struct
import zlib
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

import numpy as np


@dataclass
class Layer:
    name: str
    visible: bool = True
    group: bool = False
    level: int = 0
    opacity: int = 255
    blend: int = 0
    background: bool = False
    reference: bool = False


@dataclass
class Cel:
    layer: int
    x: int
    y: int
    pixels: Optional[np.ndarray] = None  # (h, w, channels) in the file's depth; None for a linked cel
    opacity: int = 255
    z: int = 0
    compressed: bool = True
    link: int = 0  # the frame whose cel this one repeats


@dataclass
class Frame:
    duration: int
    cels: List[Cel] = field(default_factory=list)


@dataclass
class Document:
    width: int
    height: int
    layers: List[Layer]
    frames: List[Frame]
    depth: int = 32
    palette: Optional[np.ndarray] = None  # (n, 4) RGBA
    transparent: int = 0
    tags: List[Tuple[str, int, int, int, int]] = field(default_factory=list)  # name, from, to, direction, repeat
    # name, x, y, w, h, centre (x, y, w, h) or None, pivot (x, y) or None
    slices: List[tuple] = field(default_factory=list)
    speed: int = 100


def _string(text: str) -> bytes:
    data = text.encode()
    return struct.pack("<H", len(data)) + data


def _chunk(kind: int, body: bytes) -> bytes:
    return struct.pack("<IH", len(body) + 6, kind) + body


def write(doc: Document) -> bytes:
    frames = []
    for number, frame in enumerate(doc.frames):
        chunks = []
        if number == 0:
            if doc.palette is not None:
                entries = b"".join(struct.pack("<HBBBB", 0, *map(int, rgba)) for rgba in doc.palette)
                chunks.append(_chunk(0x2019, struct.pack("<III", len(doc.palette), 0, len(doc.palette) - 1)
                                     + bytes(8) + entries))
            for layer in doc.layers:
                flags = (1 if layer.visible else 0) | (8 if layer.background else 0) | (64 if layer.reference else 0)
                chunks.append(_chunk(0x2004, struct.pack("<HHHHHHB3x", flags, 1 if layer.group else 0, layer.level,
                                                         0, 0, layer.blend, layer.opacity) + _string(layer.name)))
            if doc.tags:
                body = struct.pack("<H8x", len(doc.tags))
                for name, first, last, direction, repeat in doc.tags:
                    body += struct.pack("<HHBH6x3xx", first, last, direction, repeat) + _string(name)
                chunks.append(_chunk(0x2018, body))
            for name, x, y, w, h, centre, pivot in doc.slices:
                flags = (1 if centre else 0) | (2 if pivot else 0)
                body = struct.pack("<III", 1, flags, 0) + _string(name) + struct.pack("<IiiII", 0, x, y, w, h)
                body += struct.pack("<iiII", *centre) if centre else b""
                body += struct.pack("<ii", *pivot) if pivot else b""
                chunks.append(_chunk(0x2022, body))
        for cel in frame.cels:
            head = struct.pack("<HhhBHh5x", cel.layer, cel.x, cel.y, cel.opacity,
                               1 if cel.pixels is None else 2 if cel.compressed else 0, cel.z)
            if cel.pixels is None:
                body = struct.pack("<H", cel.link)
            else:
                h, w = cel.pixels.shape[:2]
                raw = np.ascontiguousarray(cel.pixels, np.uint8).tobytes()
                body = struct.pack("<HH", w, h) + (zlib.compress(raw) if cel.compressed else raw)
            chunks.append(_chunk(0x2005, head + body))
        data = b"".join(chunks)
        frames.append(struct.pack("<IHHH2xI", 16 + len(data), 0xF1FA, min(len(chunks), 0xFFFF), frame.duration,
                                  len(chunks)) + data)
    body = b"".join(frames)
    header = struct.pack("<IHHHHHIHIIB3xHBBhhHH", 128 + len(body), 0xA5E0, len(doc.frames), doc.width, doc.height,
                         doc.depth, 1, doc.speed, 0, 0, doc.transparent,
                         0 if doc.palette is None else len(doc.palette), 1, 1, 0, 0, 16, 16)
    return header + bytes(128 - len(header)) + body


def _rgba(doc: Document, pixels: np.ndarray, layer: Layer) -> np.ndarray:
    if doc.depth == 32:
        return pixels.astype(np.float64)
    if doc.depth == 16:
        v, a = pixels[..., 0].astype(np.float64), pixels[..., 1].astype(np.float64)
        return np.stack([v, v, v, a], axis=-1)
    out = doc.palette[pixels[..., 0]].astype(np.float64)
    if not layer.background:
        out[pixels[..., 0] == doc.transparent, 3] = 0
    return out


def _shows(doc: Document, index: int) -> bool:
    """A layer shows if it and every group above it are visible and none
    is a reference layer; a layer's group is the nearest earlier layer one
    level up."""
    while True:
        layer = doc.layers[index]
        if not layer.visible or layer.reference:
            return False
        if layer.level == 0:
            return True
        index = max(j for j in range(index) if doc.layers[j].level == layer.level - 1)


def composite(doc: Document, frame: int) -> np.ndarray:
    """The frame as the description composes it: cels in layer order moved
    by z-index, each "over" the canvas with straight alpha, rounded (a
    pixel whose alpha rounds to 0 is given no colour)."""
    canvas = np.zeros((doc.height, doc.width, 4), np.float64)
    cels = sorted(doc.frames[frame].cels, key=lambda c: (c.layer + c.z, c.z))
    for cel in cels:
        layer = doc.layers[cel.layer]
        if layer.group or not _shows(doc, cel.layer):
            continue
        source = cel if cel.pixels is not None else \
            next(c for c in doc.frames[cel.link].cels if c.layer == cel.layer and c.pixels is not None)
        pixels = _rgba(doc, source.pixels, layer)
        for row in range(pixels.shape[0]):
            for column in range(pixels.shape[1]):
                x, y = source.x + column, source.y + row
                if not (0 <= x < doc.width and 0 <= y < doc.height):
                    continue
                s = pixels[row, column]
                d = canvas[y, x]
                sa = s[3] * source.opacity * layer.opacity / 255 / 255
                da = d[3]
                out_a = sa + da - sa * da / 255
                colour = (s[:3] * sa + d[:3] * da * (1 - sa / 255)) / out_a if out_a > 0 else np.zeros(3)
                canvas[y, x, 3] = np.floor(out_a + 0.5)
                canvas[y, x, :3] = np.floor(colour + 0.5) if canvas[y, x, 3] else 0  # no alpha, no colour
    return canvas.astype(np.uint8)
