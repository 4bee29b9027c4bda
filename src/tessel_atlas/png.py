"""Writing RGBA layers as PNG files, and reading RGBA sprites from them.

Encoding and decoding PNG are the bulk of a run's time, so layers are not
saved through Pillow, nor are the common sprites read through it: its
encoder filters rows several times slower than _png.filter_rows does, and
its decoder holds the interpreter lock (so reading threads take turns).
Sprites are read by _png, chunks, inflating and rows alike, in one call
that runs without the interpreter. By default deflate looks for runs of
one byte only (RUNS): filtered rows of sprites, and the transparent space
between them, are mostly such runs, so on the layers of three games that
writes files 3 to 8% larger than level 3. _png.deflate_rows filters and
deflates so, in about half the time zlib-ng's run-length strategy takes
for the same files (bench/png_encoders.py), a layer's strips on several
threads at once; zlib-ng (installed with tessel-atlas
where it has wheels) deflates at zlib's levels three to four times faster
than zlib. Every other kind of PNG, and every irregular file, is left to
Pillow.
"""

from __future__ import annotations

import struct
import sys
import zlib
from pathlib import Path
from typing import BinaryIO, Iterable, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from ._png import deflate_rows, filter_rows, patched_png, png_size, read_png, read_strips

try:
    from zlib_ng import zlib_ng as deflater
except ImportError:  # no wheel for this Python: the same stream, more slowly
    deflater = zlib  # type: ignore[no-redef]

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# The level that deflates runs of one byte only (zlib's run-length strategy).
RUNS = "rle"
# Rows filtered and deflated at a time: a few megabytes at most, instead of
# a filtered copy of the whole layer.
STRIP_BYTES = 1 << 21


# How layers are laid out in strips, in every cache's key: files written
# before each strip was filtered and deflated apart are neither kept nor
# written again a strip at a time.
STRIP_LAYOUT = "png strips apart"


def strip_rows(width: int) -> int:
    """The rows of each strip of a layer `width` pixels wide."""
    return max(1, STRIP_BYTES // max(1, width * 4))


def _chunk(stream: BinaryIO, kind: bytes, data: bytes) -> None:
    stream.write(struct.pack(">I", len(data)) + kind)
    stream.write(data)
    stream.write(struct.pack(">I", zlib.crc32(data, zlib.crc32(kind))))


def write_png(path: Path, pixels: np.ndarray, level: Union[int, str], threads: int = 1) -> None:
    """Writes 8-bit RGBA pixels of shape (height, width, 4), deflated at
    zlib `level` (0 stores, 9 is smallest and slowest; RUNS finds runs
    only), strip by strip: each piece of deflated data becomes an IDAT
    chunk. RUNS deflates the strips on up to `threads` threads at once,
    the same file whatever their number (_png.deflate_rows); a zlib level
    deflates them in turn, each piece written as it comes."""
    pixels = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = pixels.shape[:2]
    rows_per_strip = strip_rows(width)
    with open(path, "wb") as stream:
        stream.write(SIGNATURE)
        # 8 bits per channel, colour type 6 (RGBA), deflate, adaptive filters, no interlacing
        _chunk(stream, b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
        if level == RUNS:
            for data in deflate_rows(pixels, rows_per_strip, threads):
                _chunk(stream, b"IDAT", data)
        else:
            deflating = deflater.compressobj(int(level))
            for start in range(0, height, rows_per_strip):
                data = deflating.compress(filter_rows(pixels, start, min(height, start + rows_per_strip)))
                if data:
                    _chunk(stream, b"IDAT", data)
            _chunk(stream, b"IDAT", deflating.flush())
        _chunk(stream, b"IEND", b"")


class Strips(NamedTuple):
    """A layer image file as write_png wrote it at RUNS, read back only in
    the strips that some rows cross (read_layer_strips): its bytes, its pixels
    (zeros outside those strips), the strips' numbers and their checksums."""

    data: bytes
    pixels: np.ndarray
    numbers: List[int]
    checksums: List[int]


def read_layer_strips(data: bytes, size: Tuple[int, int], rows: Iterable[Tuple[int, int]],
                      threads: int = 1) -> Optional[Strips]:
    """The layer image file's bytes `data` of `size` (width, height) read
    back in the strips that the row ranges (top, bottom) cross, for
    write_patched to write again once only those rows changed: a one-sprite
    rebuild decodes and deflates a strip or two, not the whole layer. None
    where the file is not as write_png writes it at RUNS."""
    width, height = size
    per_strip = strip_rows(width)
    numbers = sorted({k for top, bottom in rows if bottom > top for k in range(top // per_strip,
                                                                               (bottom - 1) // per_strip + 1)})
    pixels = np.zeros((height, width, 4), np.uint8)  # untouched pages: the other strips cost nothing
    checksums = read_strips(data, pixels, per_strip, numbers, threads)
    return None if checksums is None else Strips(data, pixels, numbers, checksums)


def shown_alike(strips: Strips, pixels: np.ndarray) -> bool:
    """Whether pixels of the layer's size show what its file does in the strips read."""
    per_strip = strip_rows(strips.pixels.shape[1])
    return pixels.shape == strips.pixels.shape and all(
        np.array_equal(pixels[k * per_strip:(k + 1) * per_strip], strips.pixels[k * per_strip:(k + 1) * per_strip])
        for k in strips.numbers)


def write_patched(path: Path, strips: Strips, threads: int = 1) -> None:
    """Writes what write_png would write at RUNS of strips.pixels, drawn
    onto in the strips read only: the file read, those strips made anew."""
    data = patched_png(strips.data, strips.pixels, strip_rows(strips.pixels.shape[1]), strips.numbers,
                       strips.checksums, threads)
    assert data is not None, "read_layer_strips took the file"
    with open(path, "wb") as stream:
        stream.write(data)


# Pillow's own limit on an image's pixels (MAX_IMAGE_PIXELS), as it has
# been since long before the oldest Pillow tessel-atlas takes.
PILLOW_DEFAULT_PIXELS = 1024 * 1024 * 1024 // 4 // 3


def pixel_limit() -> int:
    """The most pixels Pillow would decode, past which a PNG is left to it
    (to warn or refuse in its own words): its limit as a program may have
    set it, or, while Pillow is not imported, its default, which nothing
    can have changed. Importing Pillow only to ask takes a few hundredths
    of a second, a twentieth of a small build."""
    # Being imported by another thread, it cannot have been changed yet.
    return getattr(sys.modules.get("PIL.Image"), "MAX_IMAGE_PIXELS", PILLOW_DEFAULT_PIXELS)


def rgba_size(data: bytes) -> Optional[Tuple[Tuple[int, int], bool]]:
    """The width and height in a PNG's header when it is of a kind that
    read_rgba reads, and whether the file surely has no transparency (no
    alpha, and no tRNS chunk anywhere), without checking anything else;
    None for any other file."""
    return png_size(data)


def read_rgba(data: bytes, max_pixels: Optional[int]) -> Optional[np.ndarray]:
    """The (height, width, 4) RGBA pixels of a PNG file's bytes when the
    file is of a kind read here, as nearly every sprite is: 8-bit grey, RGB,
    indexed, grey and alpha or RGBA, indexed of 1, 2 or 4 bits, or grey of
    those without transparency; not interlaced. And in the strict form: IHDR
    first and once, an indexed image's palette (PLTE) and any transparency
    (tRNS) once each before the image data, IDAT chunks in one unbroken
    run, only harmless chunks in their strict form (or private ancillary
    ones) beside them, every checksum right. Grey becomes grey RGB; alpha,
    where the kind has none, is 255 or the transparency chunk's. None for any
    other file, anything irregular, or more than `max_pixels` pixels:
    Pillow reads (or refuses) those, in its own words. Pillow leaves these
    pixels as stored too (no gamma or colour profile is applied), so either
    way they are the same. Decoded in one call that lets other threads run
    Python meanwhile. Memory: the file, the inflated rows and the pixels
    (and the image data joined, when it comes in several chunks)."""
    return read_png(data, max_pixels)
