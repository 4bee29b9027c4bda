"""Writing RGBA layers as PNG files, and reading RGBA sprites from them.

Encoding and decoding PNG are the bulk of a run's time, so layers are not
saved through Pillow, nor are the common sprites read through it: its
encoder filters rows several times slower than _png.filter_rows does, and
zlib-ng (installed with tessel-atlas where it has wheels) deflates three to
four times faster than zlib at a given size and inflates three times faster.
Measured on the sprites of three games: level 3 writes files 2 to 8% larger
than Pillow's default level, in a fifth of the time. Every other kind of
PNG, and every irregular file, is left to Pillow.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import BinaryIO, Optional

import numpy as np

from ._png import filter_rows, unfilter_rows

try:
    from zlib_ng import zlib_ng as deflater
except ImportError:  # no wheel for this Python: the same stream, more slowly
    deflater = zlib  # type: ignore[no-redef]

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Rows filtered and deflated at a time: a few megabytes at most, instead of
# a filtered copy of the whole layer.
STRIP_BYTES = 1 << 21


def _chunk(stream: BinaryIO, kind: bytes, data: bytes) -> None:
    stream.write(struct.pack(">I", len(data)) + kind)
    stream.write(data)
    stream.write(struct.pack(">I", zlib.crc32(data, zlib.crc32(kind))))


def write_png(path: Path, pixels: np.ndarray, level: int) -> None:
    """Writes 8-bit RGBA pixels of shape (height, width, 4), deflated at
    zlib `level` (0 stores, 9 is smallest and slowest), strip by strip: each
    piece of deflated data becomes an IDAT chunk as it comes."""
    pixels = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = pixels.shape[:2]
    rows_per_strip = max(1, STRIP_BYTES // max(1, width * 4))
    compressor = deflater.compressobj(level)
    with open(path, "wb") as stream:
        stream.write(SIGNATURE)
        # 8 bits per channel, colour type 6 (RGBA), deflate, adaptive filters, no interlacing
        _chunk(stream, b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
        for start in range(0, height, rows_per_strip):
            data = compressor.compress(filter_rows(pixels, start, min(height, start + rows_per_strip)))
            if data:
                _chunk(stream, b"IDAT", data)
        _chunk(stream, b"IDAT", compressor.flush())
        _chunk(stream, b"IEND", b"")


# IHDR's bit depth, colour type (RGBA), compression, filter method and
# interlacing that read_rgba reads itself.
PLAIN_RGBA = (8, 6, 0, 0, 0)


def read_rgba(path: Path, max_pixels: Optional[int]) -> Optional[np.ndarray]:
    """The (height, width, 4) pixels of a PNG file that is 8-bit RGBA without
    interlacing, the kind nearly every sprite is, with every chunk's checksum
    verified. None for any other file, anything irregular, or more than
    `max_pixels` pixels: Pillow reads (or refuses) those, in its own words.
    Pillow leaves these pixels as stored too (no gamma or colour profile is
    applied), so either way they are the same."""
    with open(path, "rb") as stream:
        data = memoryview(stream.read())
    if data[:8] != SIGNATURE:
        return None
    header, image_data, position = None, [], len(SIGNATURE)
    while True:
        if position + 12 > len(data):
            return None  # ends before IEND
        length, kind = struct.unpack_from(">I4s", data, position)
        body = data[position + 8:position + 8 + length]
        end = position + 12 + length
        if end > len(data) or struct.unpack_from(">I", data, end - 4)[0] != zlib.crc32(body, zlib.crc32(kind)):
            return None
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body) if length == 13 else None
        elif kind == b"IDAT":
            image_data.append(body)
        elif kind == b"IEND":
            break
        position = end
    if header is None or header[2:] != PLAIN_RGBA:
        return None
    width, height = header[:2]
    if width == 0 or height == 0 or (max_pixels is not None and width * height > max_pixels):
        return None
    expected = height * (1 + 4 * width)
    try:
        # At most the expected bytes: a stream that inflates to more is not inflated whole.
        raw = deflater.decompressobj().decompress(b"".join(image_data), expected)
        return unfilter_rows(raw, width, height) if len(raw) == expected else None
    except (deflater.error, ValueError):
        return None
