"""Blocks whose stored alpha strays too far from the sprite's, found and
made again.

Block encoders trade colour against alpha inside each 4 x 4 block. Where a
block holds a steep alpha edge (an antialiased outline over transparency),
they may keep the colour and give up alpha: a pixel of alpha 2 stored as
205 is a speck the player sees. Each layer's blocks are decoded (by
texture2ddecoder, as GPUs decode them) and every block with a pixel whose
alpha is more than ALPHA_LIMIT off is encoded again by a way that holds
alpha: for BC7, mode 4 written here (alpha on eight levels of its own,
colour on four), for ASTC the encoder at its thorough setting. ETC2's and
BC3's alpha has indices of its own and stays within the limit as encoded.

Costs a decode of every layer (a fraction of encoding it) and a few
milliseconds a block made again, which real sets have a few per cent of.
"""

from __future__ import annotations

from typing import Callable, Dict, List

import numpy as np

ALPHA_LIMIT = 32
# The ASTC encoder's quality (of 100) for blocks made again, and how much
# more than each colour channel alpha's error weighs there.
THOROUGH = 98.0
ALPHA_WEIGHTS = (16.0, 256.0)
# Mode 4's interpolation weights, of 64, for 2-bit and 3-bit indices.
WEIGHTS_2 = np.array([0, 21, 43, 64])
WEIGHTS_3 = np.array([0, 9, 18, 27, 37, 46, 55, 64])


def decode(name: str, blocks: bytes, width: int, height: int) -> np.ndarray:
    """RGBA pixels (height, width, 4) of the blocks, as a GPU reads them."""
    import texture2ddecoder as decoder

    bgra = {"bc7": decoder.decode_bc7, "bc3": decoder.decode_bc3, "etc2": decoder.decode_etc2a8,
            "astc": lambda data, w, h: decoder.decode_astc(data, w, h, 4, 4)}[name](blocks, width, height)
    return np.frombuffer(bgra, np.uint8).reshape(height, width, 4)[..., [2, 1, 0, 3]]


def _interpolated(low: np.ndarray, high: np.ndarray, weights: np.ndarray) -> np.ndarray:
    return ((64 - weights) * low[..., None] + weights * high[..., None] + 32) >> 6


def _nearest(values: np.ndarray, palette: np.ndarray) -> np.ndarray:
    """For each of values (n, ...), the index of the nearest palette entry (palette (n, k) per channel group)."""
    return np.abs(values[..., None] - palette[:, None, :]).argmin(axis=-1) if values.ndim == 2 else \
        (((values[:, :, None, :] - palette[:, None, :, :]) ** 2).sum(axis=-1)).argmin(axis=-1)


def _put(bits: np.ndarray, at: int, value: np.ndarray, count: int) -> int:
    for bit in range(count):
        bits[:, at + bit] = (value >> bit) & 1
    return at + count


def bc7_mode4(pixels: np.ndarray) -> np.ndarray:
    """BC7 mode 4 blocks (n, 16) of n blocks of 16 RGBA pixels (n, 16, 4):
    colour between two 5-bit endpoints on the block's main axis with 2-bit
    indices, alpha between its 6-bit extremes with 3-bit indices of its
    own, so no alpha is more than about a fourteenth of its range off."""
    count = len(pixels)
    rgb, alpha = pixels[..., :3].astype(np.int64), pixels[..., 3].astype(np.int64)
    # Colour endpoints: the extremes of the visible pixels (colour under
    # alpha 0 never shows) along their main axis.
    seen = (alpha > 0) | ~(alpha > 0).any(axis=1, keepdims=True)
    centre = (rgb * seen[..., None]).sum(axis=1, keepdims=True) / seen.sum(axis=1)[:, None, None]
    centred = (rgb - centre) * seen[..., None]
    axis = np.array([np.linalg.svd(c, full_matrices=False)[2][0] if c.any() else np.ones(3) for c in centred])
    along = np.where(seen, ((rgb - centre) * axis[:, None, :]).sum(axis=-1), np.nan)
    low_rgb = rgb[np.arange(count), np.nanargmin(along, axis=1)]
    high_rgb = rgb[np.arange(count), np.nanargmax(along, axis=1)]
    colour_ends = [np.clip((e * 31 + 127) // 255, 0, 31) for e in (low_rgb, high_rgb)]
    expanded = [(e << 3) | (e >> 2) for e in colour_ends]
    colour_palette = np.stack([_interpolated(expanded[0][:, c], expanded[1][:, c], WEIGHTS_2) for c in range(3)],
                              axis=-1)  # (n, 4, 3)
    colour_index = _nearest(rgb, colour_palette)
    # Alpha endpoints: its extremes, each rounded down or up, whichever pair keeps alpha closest.
    best_error, alpha_ends, alpha_index = None, None, None
    for low_up in (0, 1):
        for high_up in (0, 1):
            low = np.clip((alpha.min(axis=1) * 63 + low_up * 254) // 255, 0, 63)
            high = np.clip((alpha.max(axis=1) * 63 + high_up * 254) // 255, 0, 63)
            palette = _interpolated((low << 2) | (low >> 4), (high << 2) | (high >> 4), WEIGHTS_3)
            index = _nearest(alpha, palette)
            error = np.abs(np.take_along_axis(palette, index, axis=1) - alpha).max(axis=1)
            if best_error is None:
                best_error, alpha_ends, alpha_index = error, [low, high], index
            else:
                better = error < best_error
                best_error = np.where(better, error, best_error)
                alpha_ends = [np.where(better, new, old) for new, old in zip((low, high), alpha_ends)]
                alpha_index = np.where(better[:, None], index, alpha_index)
    # The first pixel's index has its top bit left out: where it is set, swap the endpoints.
    swap = colour_index[:, 0] >= 2
    colour_ends = [np.where(swap[:, None], colour_ends[1], colour_ends[0]),
                   np.where(swap[:, None], colour_ends[0], colour_ends[1])]
    colour_index = np.where(swap[:, None], 3 - colour_index, colour_index)
    swap = alpha_index[:, 0] >= 4
    alpha_ends = [np.where(swap, alpha_ends[1], alpha_ends[0]), np.where(swap, alpha_ends[0], alpha_ends[1])]
    alpha_index = np.where(swap[:, None], 7 - alpha_index, alpha_index)
    bits = np.zeros((count, 128), np.uint8)
    at = _put(bits, 0, np.full(count, 0b10000), 5)  # mode 4
    at = _put(bits, at, np.zeros(count, np.int64), 2)  # no channel rotation
    at = _put(bits, at, np.zeros(count, np.int64), 1)  # colour on the 2-bit indices, alpha on the 3-bit
    for channel in range(3):
        for end in colour_ends:
            at = _put(bits, at, end[:, channel], 5)
    for end in alpha_ends:
        at = _put(bits, at, end, 6)
    for pixel in range(16):
        at = _put(bits, at, colour_index[:, pixel], 1 if pixel == 0 else 2)
    for pixel in range(16):
        at = _put(bits, at, alpha_index[:, pixel], 2 if pixel == 0 else 3)
    return np.packbits(bits, axis=1, bitorder="little")


def _astc_thorough(alpha_weight: float) -> Callable[[np.ndarray], np.ndarray]:
    def encode(pixels: np.ndarray) -> np.ndarray:
        from .blocks import astc_blocks

        # The blocks one above another, an image 4 pixels wide.
        return np.frombuffer(astc_blocks(np.ascontiguousarray(pixels).tobytes(), 4, 4 * len(pixels), THOROUGH,
                                         alpha_weight), np.uint8).reshape(-1, 16)
    return encode


# How each format's strayed blocks are made again, in turn while any still
# strays: from (n, 16, 4) pixels, (n, 16) blocks.
AGAIN: Dict[str, List[Callable[[np.ndarray], np.ndarray]]] = {
    "bc7": [bc7_mode4], "astc": [_astc_thorough(weight) for weight in ALPHA_WEIGHTS]}


def kept_alpha(name: str, blocks: bytes, rgba: bytes, width: int, height: int) -> bytes:
    """The blocks, with every block whose decoded alpha strays more than
    ALPHA_LIMIT from the pixels' made again where that brings it closer."""
    if name not in AGAIN:
        return blocks
    pixels = np.frombuffer(rgba, np.uint8).reshape(height, width, 4)
    as_blocks = pixels.reshape(height // 4, 4, width // 4, 4, 4).transpose(0, 2, 1, 3, 4).reshape(-1, 16, 4)

    def strays(data: bytes) -> np.ndarray:
        decoded = decode(name, data, width, height).reshape(height // 4, 4, width // 4, 4, 4)
        decoded = decoded.transpose(0, 2, 1, 3, 4).reshape(-1, 16, 4)
        return np.abs(decoded[..., 3].astype(np.int16) - as_blocks[..., 3]).max(axis=1)

    stored = np.frombuffer(blocks, np.uint8).reshape(-1, 16).copy()
    stray = strays(blocks)
    for again in AGAIN[name]:
        bad = np.flatnonzero(stray > ALPHA_LIMIT)
        if not len(bad):
            break
        candidates = stored.copy()
        candidates[bad] = again(as_blocks[bad])
        candidate_stray = strays(candidates.tobytes())
        closer = candidate_stray < stray
        stored[closer], stray[closer] = candidates[closer], candidate_stray[closer]
    return stored.tobytes()
