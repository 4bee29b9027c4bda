"""Image operations: reading sprites' pixels (trimmed and fingerprinted),
extruding edges, composing layers and drawing previews. Files are decoded
by the input modules (tessel_atlas.inputs), through each Sprite's open.

Pixels are NumPy arrays of RGBA, (height, width, 4). Decoding, hashing and
encoding release the interpreter lock, so the work is spread over a thread
per core.
"""

from __future__ import annotations

import hashlib
import heapq
import math
import os
import threading
from collections import deque
from contextlib import contextmanager
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, TypeVar

import numpy as np

from ._png import bleed, draw, read_png_files, visible_box
from . import interrupts
from .errors import AtlasError, require_pillow
from .png import pixel_limit
from .sprites import Sprite

T = TypeVar("T")
R = TypeVar("R")

Box = Tuple[int, int, int, int]

# Trimmed sprites kept in memory between reading and composing, at most;
# past that they are decoded again when their layer is composed. Measured on
# wesnoth's 14,000 sprites (about 840 MB of RGBA untrimmed), three clean
# builds each: 192 MiB kept, 4.5 to 4.7 s at a peak of 510 to 530 MiB;
# 384, 4.2 to 4.3 s at 600 to 615; all of them, 4.1 to 4.3 s at 650 (and
# supertux 1.9 s against 2.0 to 2.2, at 425 MiB against 370). The largest
# are the ones let go: opening a file costs as much as decoding tens of
# kilobytes, so small sprites are the dearest to read again.
KEEP_BUDGET_BYTES = 384 * 2**20
# Memory that images being decoded may take at once, over all reading
# threads; an image that needs more is decoded alone. Large canvases would
# otherwise be decoded side by side, a gigabyte or more each.
DECODING_BUDGET_BYTES = 256 * 2**20
# What decoding costs per pixel at its peak: the decoder's own image (or the
# inflated rows), the RGBA pixels, and a copy on the way to NumPy.
DECODING_BYTES_PER_PIXEL = 12


def workers() -> int:
    return max(1, min(8, os.cpu_count() or 1))


def ordered_map(fn: Callable[[T], R], items: Iterable[T], ahead: int,
                here: Callable[[T], bool] = lambda item: False) -> Iterator[R]:
    """fn over items on a thread per core, results in order, with at most
    `ahead` items on the threads so that results do not pile up in memory;
    the items `here` picks are done in the calling thread as their turn
    comes, and count for nothing, so that the threads keep that many items
    ahead of it however many small ones lie between theirs.
    On an error or interrupt, what has not started is cancelled and what
    runs is waited for; an item that a thread takes up after an earlier
    one has failed is not done (the earlier error ends the map before its
    result is wanted): ahead of a refused canvas, the other thread would
    otherwise decode the next one, holding hundreds of megabytes for
    nothing. Earlier by position, not by time: a thread can take up an
    item and be held back until after the next item, on the other
    thread, has failed. A caller that stops taking results on an error of
    its own closes the iterator (contextlib.closing), so that what runs
    is waited for before it goes on."""
    first_failed = [math.inf]  # the position of the earliest item that failed
    failing = threading.Lock()

    def noted(position: int, item: T) -> R:
        try:
            return fn(item)
        except BaseException:
            with failing:
                first_failed[0] = min(first_failed[0], position)
            raise

    def guarded(position: int, item: T) -> R:
        if first_failed[0] < position:
            raise _Abandoned()
        return noted(position, item)

    def result(in_this_thread: bool, position: int, what: Any) -> R:
        return noted(position, what) if in_this_thread else what.result()

    pool = ThreadPoolExecutor(workers())
    # (in this thread, position, the item), or (not, position, its future)
    pending: Deque[Tuple[bool, int, Any]] = deque()
    on_threads = 0
    try:
        for position, item in enumerate(items):
            if here(item):
                pending.append((True, position, item))
                continue
            pending.append((False, position, pool.submit(guarded, position, item)))
            on_threads += 1
            while on_threads >= ahead:
                in_this_thread, at, what = pending.popleft()
                on_threads -= not in_this_thread
                yield result(in_this_thread, at, what)
        while pending:
            yield result(*pending.popleft())
    finally:
        for in_this_thread, _, future in pending:
            if not in_this_thread:
                future.cancel()
        # Through a second Ctrl-C too: callers remove what the items write
        # (a staging folder) once this returns, and the interpreter would
        # wait for these threads before ending anyway.
        with interrupts.held():
            pool.shutdown(wait=True)


class _Abandoned(Exception):
    """An item not done because an earlier one failed; never seen."""


class MemoryBudget:
    """Bytes shared out between threads: reserve() waits until what it asks
    for fits beside what the others hold, or until it is alone."""

    def __init__(self, limit: int):
        self.limit = limit
        self.used = 0
        self.changed = threading.Condition()

    @contextmanager
    def reserve(self, amount: int) -> Iterator[None]:
        with self.changed:
            self.changed.wait_for(lambda: self.used == 0 or self.used + amount <= self.limit)
            self.used += amount
        try:
            yield
        finally:
            with self.changed:
                self.used -= amount
                self.changed.notify_all()


DECODING = MemoryBudget(DECODING_BUDGET_BYTES)
# How far bleeding goes past the gap around a sprite, into transparent
# holes: linear filtering reaches a pixel, two at half scale. Bleeding every
# transparent pixel of a frame cost 5 to 7% in file size and a third more
# writing time on the benchmark's sets, for pixels no filter reads.
BLEED_INTO_HOLES = 2


# A normal map's "facing the viewer": where a sprite has none, and between
# sprites, so that lighting there is as on a flat sprite.
FLAT_NORMAL = (128, 128, 255, 255)


def scaled_side(side: int, scale: float) -> int:
    """A side at another scale, halves rounded up (a 9 px side is 5 px at 0.5)."""
    return int(side * scale + 0.5)


def scaled(pixels: np.ndarray, scale: float, source: str, straight: bool = False) -> np.ndarray:
    """The RGBA pixels resized by `scale` (Lanczos), on premultiplied
    colour: fully transparent pixels carry no colour into the edges, which
    a plain resize would darken. `straight` resizes the values as they are
    (a normal map's are directions, not colours). A scale that leaves a
    side below 1 px is refused, naming the sprite."""
    if scale == 1:
        return pixels
    height, width = pixels.shape[:2]
    size = (scaled_side(width, scale), scaled_side(height, scale))
    if min(size) < 1:
        raise AtlasError(f"{source}: {width} x {height} pixels would be less than 1 px a side at scale {scale:g}; "
                         "use a larger --variant scale")
    Image = require_pillow()
    image = Image.fromarray(np.ascontiguousarray(pixels))
    if straight:
        return np.asarray(image.resize(size, Image.LANCZOS))
    return np.asarray(image.convert("RGBa").resize(size, Image.LANCZOS).convert("RGBA"))


class SpriteChanged(AtlasError):
    """A sprite file read again to compose its layer no longer holds what
    the build read from it (saved meanwhile, or a cache that misled it)."""


@dataclass
class Pixels:
    """One distinct picture to place: `box` of the first sprite that shows
    it, inside that sprite's whole `size`, kept decoded in `kept` or read
    again from the sprite when needed, and extruded by `extrusion` pixels
    around. A sprite without pixels (a CSV row) is a box of its whole size."""

    sprite: Sprite
    box: Box
    size: Tuple[int, int]
    kept: Optional[np.ndarray] = None
    extrusion: int = 0
    fingerprint: Optional[bytes] = None  # of the pixels inside box
    index: int = 0  # its own among the pictures of a variant: entries showing it share it
    # The same box of the sprite's normal map, where it has one: placed
    # where this is, in the normal layers.
    normal: Optional["Pixels"] = None

    @property
    def width(self) -> int:
        return self.box[2] - self.box[0]

    @property
    def height(self) -> int:
        return self.box[3] - self.box[1]

    @property
    def trimmed(self) -> bool:
        return self.box != (0, 0) + self.size

    def image(self) -> np.ndarray:
        """The pixels inside box. Read again, they must be what the build
        read (the same size and fingerprint), or the layer would mix the
        file's old layout with its new pixels: SpriteChanged."""
        if self.kept is not None:
            return self.kept
        whole = self.sprite.open(None)
        pixels = _cropped(whole, self.box) if _size(whole) == self.size else None
        if pixels is None or _fingerprint(pixels) != self.fingerprint:
            raise SpriteChanged(f"{self.sprite.source}: changed while the atlas was being built; "
                                "build again once it is saved")
        return pixels


@dataclass
class Entry:
    """A sprite as the manifest names it: its pixels (maybe shared with other
    sprites) and where they lie inside its own, untrimmed size."""

    sprite: Sprite
    pixels: Pixels
    box: Box  # of the sprite's own pixels: identical pixels may lie elsewhere in another sprite
    size: Tuple[int, int]  # the sprite's own, untrimmed

    @property
    def trimmed(self) -> bool:
        return self.box != (0, 0) + self.size


def _size(pixels: np.ndarray) -> Tuple[int, int]:
    return pixels.shape[1], pixels.shape[0]


def _cropped(pixels: np.ndarray, box: Box) -> np.ndarray:
    """The pixels inside box, copied: a view would keep the whole image alive."""
    if box == (0, 0) + _size(pixels):
        return pixels
    return np.ascontiguousarray(pixels[box[1]:box[3], box[0]:box[2]])


@dataclass(frozen=True)
class Trim:
    """Trimming cuts off rows and columns whose alpha is at most `threshold`,
    keeping up to `margin` of them around what is left."""

    threshold: int = 0
    margin: int = 0


def _visible_box(pixels: np.ndarray, trim: Optional[Trim]) -> Box:
    """The box of the pixels that `trim` keeps (all of them for None); a
    fully transparent image keeps its corner pixel."""
    if trim is None:
        return (0, 0) + _size(pixels)
    return visible_box(pixels, trim.threshold, trim.margin)


def _fingerprint(pixels: np.ndarray) -> bytes:
    # SHA-256: collision-proof like any cryptographic hash, and the fastest of
    # them where processors compute it in hardware (most made since 2017).
    return hashlib.sha256(np.ascontiguousarray(pixels)).digest()


# What reading a sprite finds: its box (what trimming keeps), its whole
# size, and the fingerprint of the pixels inside the box.
Reading = Tuple[Box, Tuple[int, int], bytes]


# Sprite files smaller than this that read_again reads are read in the
# calling thread: handing one to a reading thread and back costs more than
# reading it, and the threads' turns at the interpreter cost more still.
SMALL_FILE_BYTES = 16 * 1024


# A batch of PNG files decoded in one call holds at most this many, of at
# most this many bytes in all (a larger file is a batch of its own). Images
# of more pixels than this are read as other files are, each waiting its
# turn in DECODING; and once a batch has kept this many bytes of pixels,
# the rest of its files are too.
BATCH_FILES = 64
BATCH_BYTES = 1 << 20
BATCH_MOST_PIXELS = 1 << 22
BATCH_KEPT_BYTES = 64 << 20


def _batches(sprites: Iterable[Sprite]) -> Iterator[Tuple[List[str], List[Sprite]]]:
    """The sprites in order, in batches with their files, or one by one
    (no files) where they are not read from a file whole."""
    files: List[str] = []
    batch: List[Sprite] = []
    size = 0
    for sprite in sprites:
        if sprite.file is None or sprite.normal is not None or sprite.stamp is None:
            if batch:
                yield files, batch
                files, batch, size = [], [], 0
            yield [], [sprite]
            continue
        if batch and (len(batch) == BATCH_FILES or size + sprite.stamp[0] > BATCH_BYTES):
            yield files, batch
            files, batch, size = [], [], 0
        files.append(sprite.file)
        batch.append(sprite)
        size += sprite.stamp[0]
    if batch:
        yield files, batch


def _small(sprite: Sprite) -> bool:
    return sprite.stamp is not None and sum(sprite.stamp[::4]) < SMALL_FILE_BYTES


def read_entries(sprites: Sequence[Sprite], trim: Optional[Trim], share: bool, step: Callable[[int], None],
                 check: Callable[[Pixels], None],
                 known: Callable[[Sprite], Optional[Reading]] = lambda sprite: None,
                 most_side: int = 2**32) -> List[Entry]:
    """Every sprite's entry, trimmed as `trim` says (None: never) unless its
    settings keep it whole (no trimming, or nine-slice borders, which are
    given in pixels of the whole source); with `share`, sprites whose
    (trimmed) pixels and extrusion are identical share one Pixels. Pictures
    are fingerprinted as they are decoded: afterwards some would have to be
    decoded again. A sprite that `known` has a reading for is not decoded
    now (its pixels are read when its layer is composed). `check` sees each
    picture as soon as it is decoded, so that one that cannot be packed
    ends the run before the rest are read, and before it is handed on
    whole.

    PNG files are decoded in batches by the reading threads, without the
    interpreter, and what is done with their pixels is done in this thread:
    two threads running Python take turns at the interpreter, which, for
    thousands of small sprites, cost more than reading them one thread at a
    time. Other sprites are read one by one on the reading threads. A PNG
    with a side past `most_side` (more than a texture holds) is read here,
    as other files are, so that `check` can refuse it before it is decoded
    where trimming could not make it fit."""

    def trims(sprite: Sprite) -> bool:
        return trim is not None and sprite.settings.trim and not sprite.settings.nine_slice

    def finish(sprite: Sprite, whole: np.ndarray) -> Tuple[np.ndarray, Box, Tuple[int, int], bytes, Optional[Pixels]]:
        """What reading the sprite finds, from its pixels."""
        box, size = _visible_box(whole, trim if trims(sprite) else None), _size(whole)
        refused = None
        try:
            check(Pixels(sprite, box, size, None, sprite.settings.extrude))  # before a copy of what is kept
        except AtlasError as error:
            refused = error
        if refused is not None:
            del whole  # the traceback would keep a canvas of any size alive until the run ends
            raise refused
        return fingerprinted(sprite, _cropped(whole, box), box, size)

    def fingerprinted(sprite: Sprite, image: np.ndarray, box: Box, size: Tuple[int, int]
                      ) -> Tuple[np.ndarray, Box, Tuple[int, int], bytes, Optional[Pixels]]:
        settings = sprite.settings
        normal = None
        if sprite.normal is not None:
            normal_whole = sprite.normal.open(None)
            if _size(normal_whole) != size:
                raise AtlasError(f"{sprite.normal.source}: {_size(normal_whole)[0]} x {_size(normal_whole)[1]} px, "
                                 f"but its sprite {sprite.source} is {size[0]} x {size[1]} px; a normal map must be "
                                 "the size of its sprite: export it again at that size")
            normal_image = _cropped(normal_whole, box)
            normal = Pixels(sprite.normal, box, size, normal_image, settings.extrude, _fingerprint(normal_image))
        return image, box, size, _fingerprint(image), normal

    def read(sprite: Sprite) -> Tuple[np.ndarray, Box, Tuple[int, int], bytes, Optional[Pixels]]:
        def examine(size: Tuple[int, int], opaque: bool) -> None:
            if opaque or not trims(sprite):  # what is read is all kept
                check(Pixels(sprite, (0, 0) + size, size, None, sprite.settings.extrude))

        return finish(sprite, sprite.open(examine))

    def from_batch(sprite: Sprite, image: np.ndarray, box: Box, size: Tuple[int, int], fingerprint: bytes
                   ) -> Tuple[np.ndarray, Box, Tuple[int, int], bytes, Optional[Pixels]]:
        check(Pixels(sprite, box, size, None, sprite.settings.extrude))
        return image, box, size, fingerprint, None  # sprites with normal maps are not read in batches

    def read_batch(batch: Tuple[List[str], List[Sprite]]) -> Tuple[Tuple[List[str], List[Sprite]], list]:
        """The batch with its files decoded, trimmed and fingerprinted (None
        for each to read as other files are), or with its one sprite read.
        Fingerprints are taken here, on the reading threads: hashing lets
        other threads run, and in the gathering thread it was a tenth of
        reading."""
        files, members = batch
        if files:
            found = read_png_files(files, [trims(s) for s in members], trim.threshold if trim else 0,
                                   trim.margin if trim else 0, pixel_limit(), most_side, BATCH_MOST_PIXELS,
                                   BATCH_KEPT_BYTES)
            return batch, [None if done is None else (*done, _fingerprint(done[0])) for done in found]
        return batch, [read(members[0])]

    def decoded_in_order(to_read: List[Sprite]) -> Iterator[Tuple[np.ndarray, Box, Tuple[int, int], bytes,
                                                                  Optional[Pixels]]]:
        done = ordered_map(read_batch, _batches(to_read), ahead=2 * workers())
        try:
            for (files, members), found in done:
                if not files:
                    yield found[0]
                    continue
                for sprite, done_here in zip(members, found):
                    yield read(sprite) if done_here is None else from_batch(sprite, *done_here)
        finally:
            done.close()  # cancels what has not started, waits for what runs

    # Known readings are taken here, in order; only the others are read.
    readings = [known(sprite) for sprite in sprites]
    decoded = decoded_in_order([s for s, reading in zip(sprites, readings) if reading is None])
    entries: List[Entry] = []
    by_fingerprint: Dict[Tuple[Tuple[int, int], bytes, int, Optional[bytes]], Pixels] = {}
    kept: List[Tuple[int, int, Pixels]] = []  # a heap, largest first: (-bytes, order, pixels)
    kept_bytes = 0
    pictures = 0
    try:
        for sprite, reading in zip(sprites, readings):
            image: Optional[np.ndarray] = None
            normal: Optional[Pixels] = None
            if reading is None:
                image, box, size, fingerprint, normal = next(decoded)
            else:  # checked with the rest, before packing: no decoding to spare
                box, size, fingerprint = reading
            # Sprites share a picture only if their normal maps are alike too.
            key = ((box[2] - box[0], box[3] - box[1]), fingerprint, sprite.settings.extrude,
                   normal.fingerprint if normal else None)
            pixels = by_fingerprint.get(key) if share else None
            if pixels is None:
                pixels = Pixels(sprite, box, size, image, sprite.settings.extrude, fingerprint, pictures, normal)
                if normal is not None:
                    normal.index = pictures
                pictures += 1
                if image is not None:
                    held = image.nbytes + (normal.kept.nbytes if normal and normal.kept is not None else 0)
                    heapq.heappush(kept, (-held, len(entries), pixels))
                    kept_bytes += held
                while kept_bytes > KEEP_BUDGET_BYTES:
                    negative_bytes, _, largest = heapq.heappop(kept)
                    largest.kept = None
                    if largest.normal is not None:
                        largest.normal.kept = None
                    kept_bytes += negative_bytes
                if share:
                    by_fingerprint[key] = pixels
            entries.append(Entry(sprite, pixels, box, size))
            step(1)
            interrupts.checkpoint()
    finally:
        decoded.close()
    return entries


def read_again(pictures: Iterable[Pixels]) -> None:
    """Reads and keeps the pictures that are not kept (those whose
    readings a rebuild took from its cache), smallest first, while all
    that are kept stay within KEEP_BUDGET_BYTES, as reading does, for the
    layers about to be composed whole: each layer's thread would read its
    own one at a time, the threads taking turns at the interpreter. Each
    must still be what the build read (Pixels.image)."""
    unique = list({id(p): p for p in pictures}.values())
    room = KEEP_BUDGET_BYTES - sum(p.kept.nbytes for p in unique if p.kept is not None)
    wanted = []
    for picture in sorted((p for p in unique if p.kept is None), key=lambda p: p.width * p.height):
        room -= 4 * picture.width * picture.height
        if room < 0:
            break
        wanted.append(picture)
    for picture, image in zip(wanted, ordered_map(Pixels.image, wanted, ahead=4 * workers(),
                                                  here=lambda p: _small(p.sprite))):
        picture.kept = image


# Sprites are drawn into a layer many at a time; those not kept since they
# were read are read again as they are drawn, so a batch ends once this
# much of them has been read, not a layer's worth.
DRAW_READ_BYTES = 32 * 2**20


def drawn_regions(size: Tuple[int, int], placements: Sequence,
                  bleed_reach: Optional[int] = None) -> List[Tuple[int, int, int, int]]:
    """Where compose draws each placement (see there): its extruded frame
    and the bleed_reach pixels around it, within the layer, as (left, top,
    right, bottom)."""
    width, height = size
    reach = bleed_reach or 0
    return [(max(0, p.x - m), max(0, p.y - m), min(width, p.x + p.footprint[0] + m),
             min(height, p.y + p.footprint[1] + m)) for p, m in ((p, p.pixels.extrusion + reach) for p in placements)]


def compose(size: Tuple[int, int], placements: Sequence, bleed_reach: Optional[int] = None,
            premultiply: bool = False, onto: Optional[np.ndarray] = None,
            background: Tuple[int, int, int, int] = (0, 0, 0, 0)) -> np.ndarray:
    """A transparent layer of RGBA pixels, (height, width, 4), with every
    placement's pixels copied in, extruded as their picture asks and turned
    a quarter turn clockwise where the placement is rotated. An array rather
    than an image: the PNG writer reads it as it is, without a copy.

    With bleed_reach, the fully transparent pixels of each placement's
    extruded frame and of the bleed_reach pixels around it (half the gap
    to its neighbours), as far as bleed_reach plus two pixels from the
    sprite's visible ones, take the colour of the nearest of those, alpha
    staying 0: linear filtering then blends in the sprite's colour, not
    black. With premultiply, colour is stored multiplied by alpha.

    Each placement draws only inside its region (its extruded frame and
    that ring), and regions do not overlap; outside them the layer stays
    `background` (transparent black unless given). So `onto`, an earlier composition of a layer whose
    other placements are as these would draw them, needs only these
    placements' regions drawn again: they are cleared and drawn, and the
    result is the layer composed whole."""
    width, height = size
    regions = np.array(drawn_regions(size, placements, bleed_reach), dtype=np.int32).reshape(-1, 4)
    if onto is None:
        layer = np.zeros((height, width, 4), np.uint8)
        if any(background):
            layer[...] = background
    else:
        layer = onto
        for left, top, right, bottom in regions.tolist():
            layer[top:bottom, left:right] = background
    pictures: List[np.ndarray] = []
    places: List[Tuple[int, int, int, int]] = []
    reading = 0
    for n, p in enumerate(placements, 1):
        if p.pixels.kept is None:  # read from its file whole, which its crop keeps alive until drawn
            reading += 4 * p.pixels.size[0] * p.pixels.size[1]
        pictures.append(p.pixels.image())
        places.append((p.x - p.pixels.extrusion, p.y - p.pixels.extrusion, p.rotated, p.pixels.extrusion))
        if reading > DRAW_READ_BYTES or n == len(placements):
            draw(layer, pictures, np.array(places, dtype=np.int32))
            pictures, places, reading = [], [], 0
    if bleed_reach is not None:
        # The ring to the half gap, and two pixels into any transparent hole.
        bleed(layer, regions, bleed_reach + BLEED_INTO_HOLES)
    if premultiply:
        # Over the whole layer at once, or over the regions drawn again.
        for left, top, right, bottom in regions.tolist() if onto is not None else [(0, 0, width, height)]:
            premultiplied(layer[top:bottom, left:right])
    return layer


def premultiplied(pixels: np.ndarray) -> np.ndarray:
    """The RGBA pixels with colour multiplied by alpha, rounded, in place."""
    pixels[..., :3] = (pixels[..., :3].astype(np.uint16) * pixels[..., 3:] + 127) // 255
    return pixels


def _colour(name: str) -> tuple:
    digest = hashlib.md5(name.encode()).digest()
    return (80 + digest[0] % 160, 80 + digest[1] % 160, 80 + digest[2] % 160, 255)


def preview(size: Tuple[int, int], placements: Iterable, caption: str) -> "object":
    """Each placement as an outlined colour block, with a caption on top."""
    Image = require_pillow()
    from PIL import ImageDraw

    image = Image.new("RGBA", (max(size[0], 1), max(size[1], 1)), (24, 24, 28, 255))
    draw = ImageDraw.Draw(image)
    for p in placements:
        w, h = p.footprint
        fill = _colour(p.pixels.sprite.name)
        outline = tuple(c // 2 for c in fill[:3]) + (255,)
        draw.rectangle((p.x, p.y, p.x + w - 1, p.y + h - 1), fill=fill, outline=outline)
    box = draw.textbbox((4, 4), caption)
    draw.rectangle((box[0] - 3, box[1] - 3, box[2] + 3, box[3] + 3), fill=(0, 0, 0, 200))
    draw.text((4, 4), caption, fill=(255, 255, 255, 255))
    return image
