"""Mipmaps: the smaller copies of a layer that a GPU samples a sprite from
when it is drawn smaller, and the layout that keeps sprites apart in them.

Each level halves the one above with a box filter over the stored values
(2 x 2 texels averaged, or 2 x 1 once a side is down to one), as GPUs make
levels for PNG layers on upload: a game's block layers then look as its
PNG layers do. A box filter in linear light (colour weighted by alpha)
was measured beside it (bench/compressed.py): its levels come 29 to 32
dB from these on the three game sets, mostly on alpha edges, and it took
30 times as long.

A texel of level k covers 2^k pixels a side, and trilinear filtering reads
one texel around the one it is in. So a layout safe to level k keeps each
sprite 2^k pixels clear on every side, with that ring bled in the sprite's
own colour, and, for block formats, on a grid of 4 x 2^k pixels so that no
block of level k holds two sprites (kept_apart).
"""

from __future__ import annotations

from typing import List, NamedTuple, Optional

import numpy as np

# The levels a bare --mipmaps keeps sprites apart in: to an eighth of their
# size. Every level is written whatever the number (WebGL samples a
# texture whose levels stop short of 1 x 1 as black), but each level kept
# apart doubles the room between sprites.
KEPT_APART = 4


def full_chain(width: int, height: int) -> int:
    """The levels of a `width` x `height` image down to 1 x 1."""
    return max(width, height).bit_length()


def levels(pixels: np.ndarray, count: int) -> List[np.ndarray]:
    """The (height, width, 4) uint8 pixels and the `count` - 1 levels below
    them, each half the one above (rounded down, at least 1), box-filtered
    with rounding."""
    made = [pixels]
    for _ in range(count - 1):
        above = made[-1].astype(np.uint16)
        height, width = above.shape[:2]
        if height > 1:
            above = above[0:height & ~1:2] + above[1:height:2]
        if width > 1:
            above = above[:, 0:width & ~1:2] + above[:, 1:width:2]
        texels = (height > 1) + (width > 1)
        made.append(((above + (1 << texels >> 1)) >> texels).astype(np.uint8))
    return made


class Apart(NamedTuple):
    """What keeps sprites apart to a level: sprites start on multiples of
    `align` pixels and are `gap` pixels apart at least (bled half way)."""

    align: int
    gap: int


def kept_apart(asked: Optional[int], block_side: int) -> Apart:
    """The alignment and gap that keep sprites apart in the first `asked`
    levels (KEPT_APART when None), on blocks of `block_side` texels (1 for
    PNG and WebP). A ring of one texel of the last level, bled, each side;
    twice that, as the ring starts at that level's texel boundary, which
    may be almost a texel past the sprite's edge."""
    texel = 1 << ((asked or KEPT_APART) - 1)
    return Apart(texel * block_side, 4 * texel)
