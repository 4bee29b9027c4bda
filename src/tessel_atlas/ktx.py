"""The KTX (version 1) container: one compressed image and its mipmap
levels, as WebGL loaders (Phaser, PixiJS) and native engines upload it
without decoding.

The header is the GL upload call's arguments in 64 bytes; then each
mipmap level's size and blocks, the full-size level first. Rows of blocks
run from the top of the image down, as the layer image's rows do, and the
orientation key says so.
"""

from __future__ import annotations

import struct
from typing import Sequence

IDENTIFIER = b"\xabKTX 11\xbb\r\n\x1a\n"
# Read by the loader to tell the file's byte order.
ENDIANNESS = 0x04030201
GL_RGBA = 0x1908
# Texture coordinates: s to the right, t down.
ORIENTATION = b"KTXorientation\0S=r,T=d\0"


def _padded(data: bytes) -> bytes:
    return data + b"\0" * (-len(data) % 4)


def ktx_bytes(levels: Sequence[bytes], width: int, height: int, gl_internal_format: int) -> bytes:
    """The KTX file of one compressed image of `width` x `height` pixels:
    the blocks of each of its mipmap `levels`, full size first, in the GL
    format `gl_internal_format`."""
    pair = struct.pack("<I", len(ORIENTATION)) + ORIENTATION
    key_values = _padded(pair)
    header = struct.pack("<13I", ENDIANNESS, 0, 1, 0, gl_internal_format, GL_RGBA, width, height, 0, 0, 1,
                         len(levels), len(key_values))
    return IDENTIFIER + header + key_values + b"".join(struct.pack("<I", len(b)) + _padded(b) for b in levels)


def first_level(ktx: bytes) -> bytes:
    """The blocks of the full-size level of a KTX file that ktx_bytes made."""
    start = len(IDENTIFIER) + 13 * 4 + struct.unpack_from("<I", ktx, len(IDENTIFIER) + 12 * 4)[0]
    size = struct.unpack_from("<I", ktx, start)[0]
    return ktx[start + 4:start + 4 + size]
