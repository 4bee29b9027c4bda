"""Writing RGBA layers as PNG files, and reading RGBA sprites from them.

Encoding and decoding PNG are the bulk of a run's time, so layers are not
saved through Pillow, nor are the common sprites read through it: its
encoder filters rows several times slower than _png.filter_rows does, and
zlib-ng (installed with tessel-atlas where it has wheels) deflates three to
four times faster than zlib at a given size and inflates three times faster.
By default it looks for runs of one byte only (RUNS): filtered rows of
sprites, and the transparent space between them, are mostly such runs, so
on the layers of three games that writes files 3 to 8% larger than level
3 in about 0.7 of its time, filtering included (bench/png_encoders.py).
Every other kind of PNG, and every irregular file, is left to Pillow.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import BinaryIO, Optional, Tuple, Union

import numpy as np

from ._png import filter_rows, unfilter_rows

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


def _chunk(stream: BinaryIO, kind: bytes, data: bytes) -> None:
    stream.write(struct.pack(">I", len(data)) + kind)
    stream.write(data)
    stream.write(struct.pack(">I", zlib.crc32(data, zlib.crc32(kind))))


def compressor(level: Union[int, str]):  # zlib's Compress, or zlib-ng's
    """A zlib stream's compressor at `level`, or RUNS."""
    if level == RUNS:
        return deflater.compressobj(1, deflater.DEFLATED, deflater.MAX_WBITS, deflater.DEF_MEM_LEVEL, deflater.Z_RLE)
    return deflater.compressobj(level)


def write_png(path: Path, pixels: np.ndarray, level: Union[int, str]) -> None:
    """Writes 8-bit RGBA pixels of shape (height, width, 4), deflated at
    zlib `level` (0 stores, 9 is smallest and slowest; RUNS finds runs
    only), strip by strip: each piece of deflated data becomes an IDAT
    chunk as it comes."""
    pixels = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = pixels.shape[:2]
    rows_per_strip = max(1, STRIP_BYTES // max(1, width * 4))
    deflating = compressor(level)
    with open(path, "wb") as stream:
        stream.write(SIGNATURE)
        # 8 bits per channel, colour type 6 (RGBA), deflate, adaptive filters, no interlacing
        _chunk(stream, b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
        for start in range(0, height, rows_per_strip):
            data = deflating.compress(filter_rows(pixels, start, min(height, start + rows_per_strip)))
            if data:
                _chunk(stream, b"IDAT", data)
        _chunk(stream, b"IDAT", deflating.flush())
        _chunk(stream, b"IEND", b"")


# IHDR's bit depth, colour type (RGBA), compression, filter method and
# interlacing that read_rgba reads itself.
PLAIN_RGBA = (8, 6, 0, 0, 0)
# Chunks that may stand beside the image data in a file read here, with the
# one length they may have: none changes a pixel, and Pillow accepts each of
# them at that length. Text and colour profiles are judged by _text_bytes.
# Any other chunk, known or not, sends the file to Pillow, so that what it
# refuses stays refused.
FIXED_CHUNKS = {b"gAMA": 4, b"cHRM": 32, b"sRGB": 1, b"pHYs": 9, b"tIME": 7, b"bKGD": 6}
# Text past this, in all and inflated (Pillow allows 1 MiB a chunk inflated,
# 64 MiB in all), is Pillow's to judge.
TEXT_LIMIT = 1 << 20


def _inflated_size(data: bytes, limit: int) -> Optional[int]:
    """How much data inflates to, if it is one whole zlib stream of at most limit bytes."""
    inflater = zlib.decompressobj()
    try:
        size = len(inflater.decompress(data, limit))
    except zlib.error:
        return None
    whole = inflater.eof and not inflater.unconsumed_tail and not inflater.unused_data
    return size if whole else None


def _text_bytes(kind: bytes, body: bytes) -> Optional[int]:
    """The text a harmless text or profile chunk holds, inflated, or None
    for any other chunk and any such chunk out of its strict form."""
    if kind == b"tEXt":
        return len(body)
    keyword, _, rest = body.partition(b"\0")
    if not 1 <= len(keyword) <= 79 or len(rest) < 2:
        return None
    if kind in (b"zTXt", b"iCCP"):  # compression method 0, deflate
        return _inflated_size(rest[1:], TEXT_LIMIT) if rest[0] == 0 else None
    if kind == b"iTXt":  # compressed or not, then method 0; language and translated keyword
        compressed, method = rest[0], rest[1]
        parts = rest[2:].split(b"\0", 2)
        if compressed not in (0, 1) or method != 0 or len(parts) != 3:
            return None
        return _inflated_size(parts[2], TEXT_LIMIT) if compressed else len(parts[2])
    return None


def rgba_size(data: bytes) -> Optional[Tuple[int, int]]:
    """The width and height in a PNG's header when it says 8-bit RGBA
    without interlacing (what read_rgba reads), without checking anything
    else; None for any other file."""
    if data[:8] != SIGNATURE or data[12:16] != b"IHDR" or len(data) < 29 or \
            struct.unpack_from(">5B", data, 24) != PLAIN_RGBA:
        return None
    return struct.unpack_from(">II", data, 16)


def read_rgba(data: bytes, max_pixels: Optional[int]) -> Optional[np.ndarray]:
    """The (height, width, 4) pixels of a PNG file's bytes when the file is
    8-bit RGBA without interlacing, the kind nearly every sprite is, in the
    strict form: IHDR first and once, IDAT chunks in one unbroken run, only
    harmless chunks in their strict form beside them, every checksum right. None for any other
    file, anything irregular, or more than `max_pixels` pixels: Pillow reads
    (or refuses) those, in its own words. Pillow leaves these pixels as
    stored too (no gamma or colour profile is applied), so either way they
    are the same. Memory: the file, the inflated rows and the pixels,
    however the data is split into chunks."""
    if data[:8] != SIGNATURE:
        return None
    view = memoryview(data)
    header: Optional[tuple] = None
    width = height = 0
    inflater = deflater.decompressobj()
    rows: Union[bytes, bytearray] = b""  # one piece as it came, or a buffer that grows
    expected = text = 0
    image_data = "before"  # then "inside" the run of IDAT chunks, then "after" it
    position = len(SIGNATURE)
    while True:
        if position + 12 > len(data):
            return None  # ends before IEND
        length, kind = struct.unpack_from(">I4s", data, position)
        end = position + 12 + length
        if end > len(data):
            return None
        body = view[position + 8:end - 4]
        if struct.unpack_from(">I", data, end - 4)[0] != zlib.crc32(body, zlib.crc32(kind)):
            return None
        if header is None:
            if kind != b"IHDR" or length != 13:
                return None
            header = struct.unpack(">IIBBBBB", body)
            width, height = header[:2]
            if header[2:] != PLAIN_RGBA or width == 0 or height == 0:
                return None
            if max_pixels is not None and width * height > max_pixels:
                return None
            expected = height * (1 + 4 * width)
        elif kind == b"IDAT":
            if image_data == "after":
                return None
            image_data = "inside"
            tail = inflater.unconsumed_tail
            try:
                # At most the expected bytes: a stream that inflates to more
                # is not inflated whole. Never 0, which zlib reads as "no
                # limit": once the rows are whole, one byte more is enough to
                # tell that the stream holds too much.
                limit = max(expected - len(rows), 1)
                piece = inflater.decompress(tail + body if tail else body, limit)
            except deflater.error:
                return None
            if not rows:
                rows = piece
            elif piece:
                rows = rows if isinstance(rows, bytearray) else bytearray(rows)
                rows += piece
        elif kind == b"IEND":
            break
        else:
            size = 0 if FIXED_CHUNKS.get(kind) == length else _text_bytes(kind, bytes(body))
            if size is None:
                return None
            text += size
            if text > TEXT_LIMIT:
                return None
            if image_data == "inside":
                image_data = "after"
        position = end
    if len(rows) != expected:
        return None
    try:
        return unfilter_rows(rows, width, height)
    except ValueError:
        return None
