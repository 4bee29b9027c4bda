"""What block encoders stored, checked: blocks whose alpha strays too far
from the sprite's found and made again, and how close each frame came
(Quality, for the summary line and the report).

Block encoders trade colour against alpha inside each 4 x 4 block. Where a
block holds a steep alpha edge (an antialiased outline over transparency),
they may keep the colour and give up alpha: a pixel of alpha 2 stored as
205 is a speck the player sees. Each layer's blocks are decoded (by
texture2ddecoder, as GPUs decode them) and every block with a pixel whose
alpha is more than ALPHA_LIMIT off is encoded again by a way that holds
alpha: for BC7, mode 4 written here (alpha on eight levels of its own,
colour on four), for ASTC the encoder at its thorough setting with alpha
weighted up, for ETC2 its alpha half searched through every setting. BC3's
alpha has indices of its own and stays within the limit as encoded.

Costs a decode of every layer (a fraction of encoding it) and a few
milliseconds a block made again, which real sets have a few per cent of.
"""

from __future__ import annotations

import functools
import math
from typing import Callable, Dict, List, NamedTuple, Sequence, Tuple

import numpy as np

from .ktx import first_level

ALPHA_LIMIT = 32
# The ASTC encoder's settings for blocks made again, tried in turn: its
# quality (of 100), and how much more than each colour channel alpha's
# error weighs.
ASTC_AGAIN = ((98.0, 16.0), (100.0, 1000.0))
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


def _colour_fit(rgb: np.ndarray, seen: np.ndarray, weights: np.ndarray):
    """5-bit colour endpoints (two (n, 3) arrays) and indices (n, 16) on
    `weights`, fitted to the visible pixels (colour under alpha 0 never
    shows): the extremes along their main axis, then the least-squares
    endpoints for those indices, whichever is closer; with the squared
    error of each block's visible pixels."""
    count = len(rgb)
    centre = (rgb * seen[..., None]).sum(axis=1, keepdims=True) / seen.sum(axis=1)[:, None, None]
    centred = (rgb - centre) * seen[..., None]
    axis = np.linalg.svd(centred.astype(np.float64), full_matrices=False)[2][:, 0, :]
    along = np.where(seen, ((rgb - centre) * axis[:, None, :]).sum(axis=-1), np.nan)
    ends = [rgb[np.arange(count), np.nanargmin(along, axis=1)].astype(np.float64),
            rgb[np.arange(count), np.nanargmax(along, axis=1)].astype(np.float64)]
    best = None
    for _ in range(2):
        quantized = [np.clip(np.rint(e * 31 / 255), 0, 31).astype(np.int64) for e in ends]
        expanded = [(q << 3) | (q >> 2) for q in quantized]
        palette = np.stack([_interpolated(expanded[0][:, c], expanded[1][:, c], weights) for c in range(3)], axis=-1)
        index = _nearest(rgb, palette)
        error = ((np.take_along_axis(palette, index[..., None], axis=1) - rgb) ** 2).sum(axis=-1)
        error = (error * seen).sum(axis=1)
        if best is None:
            best = [quantized, index, error]
        else:
            better = error < best[2]
            best = [[np.where(better[:, None], q, b) for q, b in zip(quantized, best[0])],
                    np.where(better[:, None], index, best[1]), np.where(better, error, best[2])]
        # The endpoints that fit these indices best, in least squares over the visible pixels.
        t = weights[index] / 64.0 * seen
        u = (1 - weights[index] / 64.0) * seen
        a, b, c = (u * u).sum(axis=1), (u * t).sum(axis=1), (t * t).sum(axis=1)
        near, far = (u[..., None] * rgb).sum(axis=1), (t[..., None] * rgb).sum(axis=1)
        det = a * c - b * b
        solvable = np.abs(det) > 1e-9
        safe = np.where(solvable, det, 1.0)[:, None]
        ends = [np.where(solvable[:, None], (c[:, None] * near - b[:, None] * far) / safe, ends[0]),
                np.where(solvable[:, None], (a[:, None] * far - b[:, None] * near) / safe, ends[1])]
    return best


def _alpha_fit(alpha: np.ndarray, weights: np.ndarray):
    """6-bit alpha endpoints and indices on `weights`: the extremes, each
    rounded down or up, whichever pair keeps alpha closest; with each
    block's largest alpha error."""
    best = None
    for low_up in (0, 1):
        for high_up in (0, 1):
            low = np.clip((alpha.min(axis=1) * 63 + low_up * 254) // 255, 0, 63)
            high = np.clip((alpha.max(axis=1) * 63 + high_up * 254) // 255, 0, 63)
            palette = _interpolated((low << 2) | (low >> 4), (high << 2) | (high >> 4), weights)
            index = _nearest(alpha, palette)
            error = np.abs(np.take_along_axis(palette, index, axis=1) - alpha).max(axis=1)
            if best is None:
                best = [[low, high], index, error]
            else:
                better = error < best[2]
                best = [[np.where(better, new, old) for new, old in zip((low, high), best[0])],
                        np.where(better[:, None], index, best[1]), np.where(better, error, best[2])]
    return best


def _anchored(ends: List[np.ndarray], index: np.ndarray, top: int):
    """The first pixel's index has its top bit left out: where it is set,
    the endpoints swap and every index turns round."""
    swap = index[:, 0] > top // 2
    shape = (-1,) + (1,) * (ends[0].ndim - 1)
    swapped = swap.reshape(shape)
    return [np.where(swapped, ends[1], ends[0]), np.where(swapped, ends[0], ends[1])], \
        np.where(swap[:, None], top - index, index)


def bc7_mode4(pixels: np.ndarray) -> np.ndarray:
    """BC7 mode 4 blocks (n, 16) of n blocks of 16 RGBA pixels (n, 16, 4):
    alpha between its own 6-bit endpoints, colour between two 5-bit ones,
    one on 3-bit indices and the other on 2-bit. Colour takes the finer
    indices where alpha stays within ALPHA_LIMIT on the coarser; else alpha
    does, which keeps it within about a fourteenth of its range."""
    count = len(pixels)
    rgb, alpha = pixels[..., :3].astype(np.int64), pixels[..., 3].astype(np.int64)
    seen = (alpha > 0) | ~(alpha > 0).any(axis=1, keepdims=True)
    fits = []
    for colour_weights, alpha_weights in ((WEIGHTS_2, WEIGHTS_3), (WEIGHTS_3, WEIGHTS_2)):
        colour_ends, colour_index, colour_error = _colour_fit(rgb, seen, colour_weights)
        alpha_ends, alpha_index, alpha_error = _alpha_fit(alpha, alpha_weights)
        fits.append((colour_ends, colour_index, alpha_ends, alpha_index, colour_error, alpha_error))
    # Finer colour where alpha keeps within the limit on four levels, and is not worse for it.
    finer = (fits[1][5] <= ALPHA_LIMIT) & (fits[1][4] < fits[0][4])
    bits = np.zeros((count, 128), np.uint8)
    for mode, fit in enumerate(fits):
        chosen = finer if mode else ~finer
        if not chosen.any():
            continue
        colour_ends, colour_index, alpha_ends, alpha_index = (
            [e[chosen] for e in part] if isinstance(part, list) else part[chosen] for part in fit[:4])
        colour_ends, colour_index = _anchored(colour_ends, colour_index, 3 if mode == 0 else 7)
        alpha_ends, alpha_index = _anchored(alpha_ends, alpha_index, 7 if mode == 0 else 3)
        n = int(chosen.sum())
        block = np.zeros((n, 128), np.uint8)
        at = _put(block, 0, np.full(n, 0b10000), 5)  # mode 4
        at = _put(block, at, np.zeros(n, np.int64), 2)  # no channel rotation
        at = _put(block, at, np.full(n, mode), 1)  # which of colour and alpha takes the 2-bit indices
        for channel in range(3):
            for end in colour_ends:
                at = _put(block, at, end[:, channel], 5)
        for end in alpha_ends:
            at = _put(block, at, end, 6)
        two, three = (colour_index, alpha_index) if mode == 0 else (alpha_index, colour_index)
        for pixel in range(16):
            at = _put(block, at, two[:, pixel], 1 if pixel == 0 else 2)
        for pixel in range(16):
            at = _put(block, at, three[:, pixel], 2 if pixel == 0 else 3)
        bits[chosen] = block
    return np.packbits(bits, axis=1, bitorder="little")


def _astc_thorough(quality: float, alpha_weight: float) -> Callable[[np.ndarray], np.ndarray]:
    def encode(pixels: np.ndarray) -> np.ndarray:
        from .blocks import astc_blocks

        # Colour under alpha 0 never shows: given the block's visible colour,
        # it leaves the encoder nothing to trade alpha for.
        seen = pixels[..., 3] > 0
        visible = (pixels[..., :3] * seen[..., None]).sum(axis=1) / np.maximum(seen.sum(axis=1), 1)[:, None]
        filled = np.where(seen[..., None], pixels[..., :3], np.rint(visible)[:, None, :]).astype(np.uint8)
        pixels = np.concatenate([filled, pixels[..., 3:]], axis=-1)
        # The blocks one above another, an image 4 pixels wide.
        return np.frombuffer(astc_blocks(np.ascontiguousarray(pixels).tobytes(), 4, 4 * len(pixels), quality,
                                         alpha_weight), np.uint8).reshape(-1, 16)
    return encode


# ETC2's alpha (EAC): each value is base + modifier x multiplier, the
# modifiers from one of these rows; its pixels go column by column.
EAC_MODIFIERS = np.array([
    [-3, -6, -9, -15, 2, 5, 8, 14], [-3, -7, -10, -13, 2, 6, 9, 12], [-2, -5, -8, -13, 1, 4, 7, 12],
    [-2, -4, -6, -13, 1, 3, 5, 12], [-3, -6, -8, -12, 2, 5, 7, 11], [-3, -7, -9, -11, 2, 6, 8, 10],
    [-4, -7, -8, -11, 3, 6, 7, 10], [-3, -5, -8, -11, 2, 4, 7, 10], [-2, -6, -8, -10, 1, 5, 7, 9],
    [-2, -5, -8, -10, 1, 4, 7, 9], [-2, -4, -8, -10, 1, 3, 7, 9], [-2, -5, -7, -10, 1, 4, 6, 9],
    [-3, -4, -7, -10, 2, 3, 6, 9], [-1, -2, -3, -10, 0, 1, 2, 9], [-4, -6, -8, -9, 3, 5, 7, 8],
    [-3, -5, -7, -9, 2, 4, 6, 8]])
COLUMN_ORDER = np.array([(i % 4) * 4 + i // 4 for i in range(16)])


@functools.lru_cache(maxsize=None)
def _eac_choices() -> Tuple[np.ndarray, np.ndarray]:
    """Every (row, multiplier 1 to 15, base) an EAC block can have, and the
    eight values each gives: made when first needed, since making them
    took 10 ms of every command's start-up, and most runs write no ETC2."""
    choices = np.stack(np.meshgrid(np.arange(16), np.arange(1, 16), np.arange(256), indexing="ij"),
                       axis=-1).reshape(-1, 3)
    values = np.clip(choices[:, 2:3] + EAC_MODIFIERS[choices[:, 0]] * choices[:, 1:2], 0, 255).astype(np.int16)
    return choices, values


def etc2_alpha(pixels: np.ndarray, stored: np.ndarray) -> np.ndarray:
    """The stored ETC2 blocks with their alpha half searched anew, every
    row, multiplier and base tried: the one whose largest error is least."""
    blocks = stored.copy()
    choices, values = _eac_choices()
    for n, alpha in enumerate(pixels[:, COLUMN_ORDER, 3].astype(np.int16)):
        error = np.abs(values[:, None, :] - alpha[None, :, None])  # (choices, 16 pixels, 8 values)
        index = error.argmin(axis=2)
        best = int(error.min(axis=2).max(axis=1).argmin())
        row, multiplier, base = (int(v) for v in choices[best])
        word = base << 56 | multiplier << 52 | row << 48
        for pixel, value in enumerate(index[best].tolist()):
            word |= value << (45 - 3 * pixel)
        blocks[n, :8] = np.frombuffer(word.to_bytes(8, "big"), np.uint8)
    return blocks


# How each format's strayed blocks are made again, in turn while any still
# strays: from their (n, 16, 4) pixels and (n, 16) stored blocks, blocks.
AGAIN: Dict[str, List[Callable[[np.ndarray, np.ndarray], np.ndarray]]] = {
    "bc7": [lambda pixels, stored: bc7_mode4(pixels)], "etc2": [etc2_alpha],
    "astc": [lambda pixels, stored, again=_astc_thorough(*settings): again(pixels) for settings in ASTC_AGAIN]}


def kept_alpha(name: str, blocks: bytes, rgba: bytes, width: int, height: int) -> bytes:
    """The blocks, with every block whose decoded alpha strays more than
    ALPHA_LIMIT from the pixels' made again where that brings it closer."""
    if name not in AGAIN:
        return blocks
    pixels = np.frombuffer(rgba, np.uint8).reshape(height, width, 4)
    as_blocks = pixels.reshape(height // 4, 4, width // 4, 4, 4).transpose(0, 2, 1, 3, 4).reshape(-1, 16, 4)

    decoded = decode(name, blocks, width, height).reshape(height // 4, 4, width // 4, 4, 4)
    decoded = decoded.transpose(0, 2, 1, 3, 4).reshape(-1, 16, 4)
    stray = np.abs(decoded[..., 3].astype(np.int16) - as_blocks[..., 3]).max(axis=1)
    stored = np.frombuffer(blocks, np.uint8).reshape(-1, 16).copy()
    for again in AGAIN[name]:
        bad = np.flatnonzero(stray > ALPHA_LIMIT)
        if not len(bad):
            break
        candidates = again(as_blocks[bad], stored[bad])
        # The candidates alone, one above another: an image 4 pixels wide.
        shown = decode(name, np.ascontiguousarray(candidates).tobytes(), 4, 4 * len(bad)).reshape(-1, 16, 4)
        candidate_stray = np.abs(shown[..., 3].astype(np.int16) - as_blocks[bad][..., 3]).max(axis=1)
        closer = candidate_stray < stray[bad]
        stored[bad[closer]], stray[bad[closer]] = candidates[closer], candidate_stray[closer]
    return stored.tobytes()


class Quality(NamedTuple):
    """How close a block file came to its layer's pixels, over every
    frame's visible pixels (all four channels, as stored): the squared
    error and the samples it is over, and the frames' own PSNR, worst
    first (name, dB), at most WORST_KEPT of them."""

    squared_error: float
    samples: int
    worst: List[Tuple[str, float]]


WORST_KEPT = 5
# What an exact copy's PSNR is given as (a number JSON holds).
EXACT_DB = 100.0


def psnr(squared_error: float, samples: int) -> float:
    exact = squared_error <= 255 ** 2 * samples * 10 ** (-EXACT_DB / 10)
    return EXACT_DB if exact else 10 * math.log10(255 ** 2 * samples / squared_error)


def quality(name: str, ktx: bytes, pixels: np.ndarray, frames: Sequence[Tuple[str, int, int, int, int]]) -> Quality:
    """The Quality of the KTX file `ktx` of block format `name` holding
    `pixels`, over the frames (name, x, y, width, height as stored)."""
    height, width = pixels.shape[:2]
    decoded = decode(name, first_level(ktx), width, height)
    total, samples, each = 0.0, 0, []
    for frame, x, y, w, h in frames:
        want = pixels[y:y + h, x:x + w].astype(np.float64)
        shown = want[..., 3] > 0
        if not shown.any():
            continue
        error = float(((decoded[y:y + h, x:x + w] - want)[shown] ** 2).sum())
        total += error
        samples += int(shown.sum()) * 4
        each.append((frame, psnr(error, int(shown.sum()) * 4)))
    return Quality(total, samples, sorted(each, key=lambda f: f[1])[:WORST_KEPT])
