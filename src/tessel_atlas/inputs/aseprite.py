"""Aseprite files (.ase, .aseprite): every frame composed from its visible
layers, with its duration, the file's tags (direction and repeat count)
and its slices (nine-slice borders and pivots).

Reading the structure (layers, durations, tags, slices) touches no pixels,
so a scan knows a file's sprites before any is decoded; composing inflates
each cel once per frame that shows it. Layers drawn with a blend mode
other than Normal and tilemap layers are refused, naming the layer: a
composite that differs from what the artist sees would be worse than none.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from ..errors import AtlasError, require_pillow
from ..images import DECODING, DECODING_BYTES_PER_PIXEL
from ..model import DIRECTIONS, NO_DURATION, Timing
from ..sprites import valid_pivot
from .frames import Sheet, Tag
from .still import EXPORT_AGAIN

EXTENSIONS = frozenset((".ase", ".aseprite"))

BLEND_MODES = ("Normal", "Multiply", "Screen", "Overlay", "Darken", "Lighten", "Color Dodge", "Color Burn",
               "Hard Light", "Soft Light", "Difference", "Exclusion", "Hue", "Saturation", "Color", "Luminosity",
               "Addition", "Subtract", "Divide")
# Layer flags.
VISIBLE, BACKGROUND, REFERENCE = 1, 8, 64
IMAGE_LAYER, GROUP_LAYER, TILEMAP_LAYER = 0, 1, 2


@dataclass
class _Layer:
    flags: int
    kind: int
    parent: Optional[int]
    blend: int
    opacity: int
    name: str


@dataclass
class _Cel:
    layer: int
    x: int
    y: int
    opacity: int
    kind: int
    z: int
    start: int  # of its data after the cel header, in the file
    end: int


@dataclass
class Document:
    """An Aseprite file's structure; pixels are read from `data` on demand."""

    path: str
    data: bytes
    width: int
    height: int
    depth: int
    transparent: int
    layer_opacity: bool
    layers: List[_Layer] = field(default_factory=list)
    cels: List[List[_Cel]] = field(default_factory=list)  # per frame
    durations: List[int] = field(default_factory=list)
    tags: List[Tag] = field(default_factory=list)
    slices: List[Tuple[int, str, List[tuple]]] = field(default_factory=list)  # flags, name, keys
    palette: np.ndarray = field(default_factory=lambda: np.zeros((256, 4), np.uint8))


class _Bytes:
    """Little-endian fields read in turn from data[start:end]; reading past
    end is a truncated file."""

    def __init__(self, doc_path: str, data: bytes, start: int, end: int):
        self.path, self.data, self.at, self.end = doc_path, data, start, end

    def take(self, fmt: str) -> tuple:
        size = struct.calcsize("<" + fmt)
        if self.at + size > self.end:
            raise _broken(self.path, f"truncated at byte {self.end}")
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += size
        return values

    def one(self, fmt: str) -> int:
        return self.take(fmt)[0]

    def skip(self, count: int) -> None:
        self.take(f"{count}x")

    def string(self) -> str:
        length = self.one("H")
        if self.at + length > self.end:
            raise _broken(self.path, f"truncated at byte {self.end}")
        text = self.data[self.at:self.at + length].decode("utf-8", "replace")
        self.at += length
        return text


def _broken(path: str, what: str) -> AtlasError:
    return AtlasError(f"{path}: not a readable Aseprite file ({what}); {EXPORT_AGAIN}")


def parse(path: str, data: bytes) -> Document:
    """The file's structure, every field checked against the file's length."""
    header = _Bytes(path, data, 0, len(data))
    _, magic, frames, width, height, depth, flags, speed = header.take("IHHHHHIH")
    header.skip(8)
    transparent = header.one("B")
    if magic != 0xA5E0:
        raise _broken(path, "no Aseprite header")
    if depth not in (8, 16, 32):
        raise _broken(path, f"colour depth {depth}")
    if width == 0 or height == 0 or frames == 0:
        raise _broken(path, f"a canvas of {width} x {height} pixels and {frames} frames")
    doc = Document(path, data, width, height, depth, transparent, bool(flags & 1))
    old_palette: Optional[np.ndarray] = None
    parents: List[int] = []  # the latest layer at each nesting level
    at = 128
    for number in range(frames):
        frame = _Bytes(path, data, at, len(data))
        size, magic, old_count, duration = frame.take("IHHH")
        frame.skip(2)
        new_count = frame.one("I")
        if magic != 0xF1FA or size < 16 or at + size > len(data):
            raise _broken(path, f"frame {number} is damaged at byte {at}")
        doc.durations.append(duration or speed or NO_DURATION)
        doc.cels.append([])
        chunk_at, end = at + 16, at + size
        for _ in range(new_count or old_count):
            chunk = _Bytes(path, data, chunk_at, end)
            chunk_size, kind = chunk.take("IH")
            if chunk_size < 6 or chunk_at + chunk_size > end:
                raise _broken(path, f"frame {number} has a damaged chunk at byte {chunk_at}")
            body = _Bytes(path, data, chunk_at + 6, chunk_at + chunk_size)
            if kind == 0x2004:
                layer_flags, layer_kind, level = body.take("HHH")
                body.skip(4)
                blend, opacity = body.take("HB")
                body.skip(3)
                name = body.string()
                if level > len(parents):
                    raise _broken(path, f"layer {name!r} is nested below no group")
                del parents[level:]
                parent = parents[-1] if parents else None
                parents.append(len(doc.layers))
                doc.layers.append(_Layer(layer_flags, layer_kind, parent, blend, opacity, name))
            elif kind == 0x2005:
                layer, x, y, opacity, cel_kind, z = body.take("HhhBHh")
                body.skip(5)
                doc.cels[-1].append(_Cel(layer, x, y, opacity, cel_kind, z, body.at, body.end))
            elif kind == 0x2018:
                count = body.one("H")
                body.skip(8)
                for _ in range(count):
                    first, last, direction, repeat = body.take("HHBH")
                    body.skip(10)
                    name = body.string()
                    if not first <= last < frames or direction >= len(DIRECTIONS) or not name:
                        raise _broken(path, f"tag {name!r} is damaged (frames {first} to {last}, "
                                            f"direction {direction})")
                    doc.tags.append(Tag(name, first, last, Timing(DIRECTIONS[direction], repeat)))
            elif kind == 0x2019:
                _, first, last = body.take("III")
                body.skip(8)
                for index in range(first, last + 1):
                    entry_flags, *rgba = body.take("HBBBB")
                    if entry_flags & 1:
                        body.string()
                    if index < 256:
                        doc.palette[index] = rgba
            elif kind in (0x0004, 0x0011):  # used only where the newer palette chunk is absent
                old_palette = _old_palette(body, kind == 0x0011, old_palette)
            elif kind == 0x2022:
                count, slice_flags = body.take("II")
                body.skip(4)
                name = body.string()
                keys = []
                for _ in range(count):
                    key = body.take("IiiII")
                    centre = body.take("iiII") if slice_flags & 1 else None
                    pivot = body.take("ii") if slice_flags & 2 else None
                    keys.append((key, centre, pivot))
                doc.slices.append((slice_flags, name, keys))
            chunk_at += chunk_size
        at += size
    if old_palette is not None and not doc.palette.any():
        doc.palette = old_palette
    for frame_cels in doc.cels:
        for cel in frame_cels:
            if cel.layer >= len(doc.layers):
                raise _broken(path, f"a cel of layer {cel.layer}, which the file does not have")
    return doc


def _old_palette(body: _Bytes, six_bits: bool, palette: Optional[np.ndarray]) -> np.ndarray:
    palette = np.zeros((256, 4), np.uint8) if palette is None else palette
    index = 0
    for _ in range(body.one("H")):
        skip, count = body.take("BB")
        index += skip
        for _ in range(count or 256):
            rgb = body.take("BBB")
            if index < 256:
                palette[index] = [((v & 63) << 2 | (v & 63) >> 4) if six_bits else v for v in rgb] + [255]
            index += 1
    return palette


def sheet(doc: Document) -> Sheet:
    """What the scan needs: sizes, durations, tags, and each frame's
    nine-slice borders and pivot from the first slice that gives them there."""
    width, height = doc.width, doc.height
    settings: List[Dict[str, object]] = []
    for frame in range(len(doc.durations)):
        own: Dict[str, object] = {}
        for flags, name, keys in doc.slices:
            active = [k for k in keys if k[0][0] <= frame]
            if not active:
                continue
            (_, x, y, w, h), centre, pivot = max(active, key=lambda k: k[0][0])
            if w == 0 or h == 0:
                continue
            if centre and "nine_slice" not in own:
                cx, cy, cw, ch = centre
                borders = (x + cx, y + cy, width - (x + cx + cw), height - (y + cy + ch))
                if min(borders) < 0:
                    raise _broken(doc.path, f"slice {name!r} has its centre outside the canvas")
                own["nine_slice"] = borders
            if pivot and "pivot" not in own:
                fraction = ((x + pivot[0]) / width, (y + pivot[1]) / height)
                if not valid_pivot(*fraction):
                    raise _broken(doc.path, f"slice {name!r} has its pivot far outside the canvas")
                own["pivot"] = fraction
        settings.append(own)
    return Sheet((width, height), doc.durations, doc.tags, settings)


def _drawn(doc: Document, index: int) -> bool:
    """Whether a layer shows: it and every group above it visible, and not a reference layer."""
    layer: Optional[int] = index
    while layer is not None:
        if not doc.layers[layer].flags & VISIBLE or doc.layers[layer].flags & REFERENCE:
            return False
        layer = doc.layers[layer].parent
    return True


def _cel_pixels(doc: Document, cel: _Cel, background: bool) -> np.ndarray:
    """A cel's pixels as RGBA, (h, w, 4)."""
    body = _Bytes(doc.path, doc.data, cel.start, cel.end)
    width, height = body.take("HH")
    channels = doc.depth // 8
    need = width * height * channels
    if width * height > require_pillow().MAX_IMAGE_PIXELS:
        raise _broken(doc.path, f"a cel of {width} x {height} pixels")
    if cel.kind == 0:
        raw = doc.data[body.at:body.at + need]
    else:
        inflate = zlib.decompressobj()
        try:
            raw = inflate.decompress(doc.data[body.at:body.end], need)
        except zlib.error as error:
            raise _broken(doc.path, f"a cel of layer {doc.layers[cel.layer].name!r} does not inflate: {error}")
    if len(raw) != need:
        raise _broken(doc.path, f"a cel of layer {doc.layers[cel.layer].name!r} holds too few pixels")
    samples = np.frombuffer(raw, np.uint8)
    if channels == 4:
        return samples.reshape(height, width, 4)
    if channels == 2:
        grey = samples.reshape(height, width, 2)
        return np.concatenate([np.repeat(grey[..., :1], 3, axis=2), grey[..., 1:]], axis=2)
    pixels = doc.palette[samples.reshape(height, width)]
    if not background:
        pixels[samples.reshape(height, width) == doc.transparent, 3] = 0
    return pixels


def _over(canvas: np.ndarray, pixels: np.ndarray, opacity: float) -> None:
    """Straight-alpha "over" of pixels, their alpha scaled by opacity
    (0 to 1), onto canvas in place, rounded to 8 bits; where alpha rounds
    to 0, colour is 0."""
    if opacity == 1 and (not canvas[..., 3].any() or (pixels[..., 3] == 255).all()):
        # Onto nothing, or opaque: the source as it is (the rounding is exact
        # there), transparent pixels without colour. Most layers are one of these.
        canvas[...] = pixels
        canvas[pixels[..., 3] == 0] = 0
        return
    src = pixels.astype(np.float64)
    dst = canvas.astype(np.float64)
    sa = src[..., 3:] * opacity
    da = dst[..., 3:]
    keep = da * (255.0 - sa) / 255.0
    oa = sa + keep
    with np.errstate(invalid="ignore", divide="ignore"):
        colour = np.where(oa > 0, (src[..., :3] * sa + dst[..., :3] * keep) / oa, 0.0)
    alpha = np.floor(oa + 0.5).clip(0, 255)
    # A pixel left with no alpha keeps no colour, as one never drawn on.
    canvas[..., :3] = np.where(alpha > 0, np.floor(colour + 0.5).clip(0, 255), 0)
    canvas[..., 3:] = alpha


def compose(doc: Document, frame: int) -> np.ndarray:
    """One frame as the artist sees it: the visible image layers' cels
    (linked ones resolved), each at its place, clipped to the canvas, in
    layer order (moved by z-index), drawn over one another."""
    canvas = np.zeros((doc.height, doc.width, 4), np.uint8)
    for cel in sorted(doc.cels[frame], key=lambda c: (c.layer + c.z, c.z)):
        layer = doc.layers[cel.layer]
        if layer.kind == GROUP_LAYER or not _drawn(doc, cel.layer):
            continue
        if layer.kind == TILEMAP_LAYER or cel.kind == 3:
            raise AtlasError(f"{doc.path}: layer {layer.name!r} is a tilemap, which tessel-atlas does not draw; "
                             "convert it to a normal layer in Aseprite and save again")
        if layer.blend != 0:
            mode = BLEND_MODES[layer.blend] if layer.blend < len(BLEND_MODES) else f"number {layer.blend}"
            raise AtlasError(f"{doc.path}: layer {layer.name!r} uses the blend mode {mode}, which tessel-atlas "
                             "does not draw; set it to Normal (or merge the layer down) and save again")
        source = cel
        if cel.kind == 1:
            (linked,) = _Bytes(doc.path, doc.data, cel.start, cel.end).take("H")
            found = [c for c in doc.cels[linked] if c.layer == cel.layer and c.kind != 1] \
                if linked < len(doc.cels) else []
            if not found:
                raise _broken(doc.path, f"a cel of layer {layer.name!r} links to frame {linked}, which has none")
            source = found[0]
        elif cel.kind not in (0, 2):
            raise _broken(doc.path, f"a cel of layer {layer.name!r} is of unknown type {cel.kind}")
        pixels = _cel_pixels(doc, source, bool(layer.flags & BACKGROUND))
        opacity = source.opacity * (layer.opacity if doc.layer_opacity else 255) / 255
        left, top = max(source.x, 0), max(source.y, 0)
        right = min(source.x + pixels.shape[1], doc.width)
        bottom = min(source.y + pixels.shape[0], doc.height)
        if left < right and top < bottom and opacity > 0:
            _over(canvas[top:bottom, left:right],
                  pixels[top - source.y:bottom - source.y, left - source.x:right - source.x], opacity / 255)
    return canvas


def read(path: str) -> Tuple[Sheet, Callable[[], List[np.ndarray]]]:
    """The file's sheet, and how to decode its frames."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise AtlasError(f"{path}: cannot read ({error.strerror})") from None
    doc = parse(path, data)

    def decode() -> List[np.ndarray]:
        with DECODING.reserve(doc.width * doc.height * DECODING_BYTES_PER_PIXEL):
            return [compose(doc, frame) for frame in range(len(doc.durations))]

    return sheet(doc), decode
