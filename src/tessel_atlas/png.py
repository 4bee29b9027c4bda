"""Writing RGBA layers as PNG files, and reading RGBA sprites from them.

Encoding and decoding PNG are the bulk of a run's time, so layers are not
saved through Pillow, nor are the common sprites read through it: its
encoder filters rows several times slower than _png.filter_rows does, its
decoder holds the interpreter lock (so reading threads take turns), and
zlib-ng (installed with tessel-atlas where it has wheels) deflates three to
four times faster than zlib at a given size and inflates three times faster.
By default deflate looks for runs of one byte only (RUNS): filtered rows of
sprites, and the transparent space between them, are mostly such runs, so
on the layers of three games that writes files 3 to 8% larger than level
3. _png.RunDeflater does that alone, in about half the time zlib-ng's
run-length strategy takes for the same files (bench/png_encoders.py).
Every other kind of PNG, and every irregular file, is left to Pillow.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import BinaryIO, Optional, Tuple, Union

import numpy as np

from ._png import RunDeflater, filter_rows, unfilter_rows

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


def compressor(level: Union[int, str]):  # zlib's Compress, zlib-ng's, or a RunDeflater
    """A zlib stream's compressor at `level`, or RUNS."""
    return RunDeflater() if level == RUNS else deflater.compressobj(int(level))


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


# IHDR's (bit depth, colour type) that read_rgba reads itself: 8-bit grey,
# RGB, indexed, grey and alpha, RGBA, and indexed and grey of fewer bits; with
# compression, filter method and interlacing 0 (none of Adam7's passes).
READ_KINDS = frozenset([(8, 0), (8, 2), (8, 3), (8, 4), (8, 6), (1, 3), (2, 3), (4, 3), (1, 0), (2, 0), (4, 0)])
GREY = 0
INDEXED = 3
# Colour types whose transparency, if any, is in a tRNS chunk, not in pixels.
NO_ALPHA = (0, 2, 3)
# Samples a pixel, by colour type.
_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
# Chunks that may stand beside the image data in a file read here, with the
# one length they may have: none changes a pixel, and Pillow accepts each of
# them at that length. Text and colour profiles are judged by _text_bytes.
# Any other chunk, known or not, sends the file to Pillow, so that what it
# refuses stays refused.
FIXED_CHUNKS = {b"gAMA": 4, b"cHRM": 32, b"sRGB": 1, b"pHYs": 9, b"tIME": 7}
# The same for chunks whose one length is set by the colour type: a
# background colour (an index, a grey or an RGB) and the significant bits
# of each sample.
SIZED_BY_COLOUR = {b"bKGD": {0: 2, 2: 6, 3: 1, 4: 2, 6: 6}, b"sBIT": {0: 1, 2: 3, 3: 3, 4: 2, 6: 4}}
# Every chunk PNG (with its animated form) defines. A chunk of any other
# name that is ancillary (its first letter lower case), such as a painting
# program's own, changes no pixel; Pillow skips those too, so they are read
# past here. Those named here that no table above accepts are Pillow's.
DEFINED_CHUNKS = frozenset([b"IHDR", b"PLTE", b"IDAT", b"IEND", b"tRNS", b"cHRM", b"gAMA", b"iCCP", b"sBIT", b"sRGB",
                            b"cICP", b"mDCv", b"cLLi", b"tEXt", b"zTXt", b"iTXt", b"bKGD", b"hIST", b"pHYs", b"sPLT",
                            b"eXIf", b"tIME", b"acTL", b"fcTL", b"fdAT"])
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


def _kind(header: tuple) -> Optional[Tuple[int, int]]:
    """IHDR's (bit depth, colour type) when read_rgba reads that kind."""
    kind = header[2:4]
    return kind if kind in READ_KINDS and header[4:] == (0, 0, 0) else None


def rgba_size(data: bytes) -> Optional[Tuple[Tuple[int, int], bool]]:
    """The width and height in a PNG's header when it is of a kind that
    read_rgba reads, and whether the file surely has no transparency (no
    alpha, and no tRNS chunk anywhere), without checking anything else;
    None for any other file."""
    if data[:8] != SIGNATURE or data[12:16] != b"IHDR" or len(data) < 29:
        return None
    header = struct.unpack_from(">IIBBBBB", data, 16)
    kind = _kind(header)
    if kind is None:
        return None
    return header[:2], kind[1] in NO_ALPHA and b"tRNS" not in data


def read_rgba(data: bytes, max_pixels: Optional[int]) -> Optional[np.ndarray]:
    """The (height, width, 4) RGBA pixels of a PNG file's bytes when the
    file is of a kind in READ_KINDS, as nearly every sprite is (grey of
    fewer than 8 bits without transparency), in the strict form: IHDR
    first and once, an indexed image's palette (PLTE) and any transparency
    (tRNS) once each before the image data, IDAT chunks in one unbroken
    run, only harmless chunks in their strict form (or private ancillary
    ones) beside them, every checksum right. Grey becomes grey RGB; alpha,
    where the kind has none, is 255 or the transparency chunk's. None for any
    other file, anything irregular, or more than `max_pixels` pixels:
    Pillow reads (or refuses) those, in its own words. Pillow leaves these
    pixels as stored too (no gamma or colour profile is applied), so either
    way they are the same. Memory: the file, the inflated rows and the
    pixels, however the data is split into chunks."""
    if data[:8] != SIGNATURE:
        return None
    view = memoryview(data)
    header: Optional[tuple] = None
    kind = (8, 6)
    width = height = 0
    palette: Optional[bytes] = None
    transparency: Optional[bytes] = None
    inflater = deflater.decompressobj()
    rows: Union[bytes, bytearray] = b""  # one piece as it came, or a buffer that grows
    expected = text = 0
    image_data = "before"  # then "inside" the run of IDAT chunks, then "after" it
    position = len(SIGNATURE)
    while True:
        if position + 12 > len(data):
            return None  # ends before IEND
        length, chunk = struct.unpack_from(">I4s", data, position)
        end = position + 12 + length
        if end > len(data):
            return None
        body = view[position + 8:end - 4]
        if struct.unpack_from(">I", data, end - 4)[0] != zlib.crc32(body, zlib.crc32(chunk)):
            return None
        if header is None:
            if chunk != b"IHDR" or length != 13:
                return None
            header = struct.unpack(">IIBBBBB", body)
            width, height = header[:2]
            found = _kind(header)
            if found is None or width == 0 or height == 0:
                return None
            kind = found
            if max_pixels is not None and width * height > max_pixels:
                return None
            expected = height * (1 + (width * kind[0] * _CHANNELS[kind[1]] + 7) // 8)
        elif chunk == b"IDAT":
            if image_data == "after" or (kind[1] == INDEXED and palette is None):
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
        elif chunk == b"IEND":
            break
        elif chunk == b"PLTE":  # an indexed image's colours, before its transparency
            if kind[1] != INDEXED or palette is not None or transparency is not None or image_data != "before":
                return None
            palette = bytes(body)
        elif chunk == b"tRNS":  # which colours are transparent, or indexes' alpha
            if kind[1] not in NO_ALPHA or transparency is not None or image_data != "before" or \
                    (kind[1] == INDEXED and palette is None):
                return None
            transparency = bytes(body)
        else:
            fixed = FIXED_CHUNKS.get(chunk) or SIZED_BY_COLOUR.get(chunk, {}).get(kind[1])
            private = chunk not in DEFINED_CHUNKS and chunk.isalpha() and chunk[:1].islower()
            size = 0 if fixed == length or private else _text_bytes(chunk, bytes(body))
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
    colour = kind[1]
    if colour == GREY and kind[0] < 8:
        if transparency is not None:  # a transparent grey of fewer bits: Pillow's to judge
            return None
        # Grey of fewer bits read as indexes into the greys they stand for,
        # spread over 0 to 255 as Pillow spreads them.
        top = (1 << kind[0]) - 1
        palette = bytes(round(255 * level / top) for level in range(top + 1) for _ in range(3))
        colour = INDEXED
    try:
        return unfilter_rows(rows, width, height, colour, kind[0], palette or b"", transparency or b"")
    except ValueError:  # a palette, transparency or filter out of its strict form
        return None
