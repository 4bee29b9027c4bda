"""Procedurally drawn sprites for the demo: no files needed."""

from __future__ import annotations

import random
from typing import List

import numpy as np

from .errors import require_pillow
from .sprites import Sprite

_SHAPES = ("block", "ball", "gem", "ring", "bar")


def _size(rng: random.Random, shape: str) -> tuple:
    if shape == "bar":  # long thin sprites, half of them lying down
        long_side, short_side = rng.randint(48, 180), rng.randint(4, 16)
        return (long_side, short_side) if rng.random() < 0.5 else (short_side, long_side)
    side = rng.randint(12, 64) if rng.random() < 0.8 else rng.randint(64, 160)
    return side, max(8, int(side * rng.uniform(0.6, 1.5)))


def _draw(shape: str, width: int, height: int, colour: tuple) -> np.ndarray:
    Image = require_pillow()
    from PIL import ImageDraw

    image = Image.new("RGBA", (width, height), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    box = (0, 0, width - 1, height - 1)
    dark = tuple(c // 2 for c in colour[:3]) + (255,)
    if shape == "ball":
        draw.ellipse(box, fill=colour, outline=dark)
    elif shape == "gem":
        draw.polygon([(width / 2, 0), (width - 1, height / 2), (width / 2, height - 1), (0, height / 2)], fill=colour)
    elif shape == "ring":
        draw.ellipse(box, outline=colour, width=max(2, min(width, height) // 6))
    else:
        draw.rectangle(box, fill=colour, outline=dark)
    return np.asarray(image)


def demo_sprites(count: int = 300, seed: int = 2026) -> List[Sprite]:
    rng = random.Random(seed)
    sprites = []
    for i in range(count):
        shape = rng.choice(_SHAPES)
        width, height = _size(rng, shape)
        colour = (rng.randint(40, 255), rng.randint(40, 255), rng.randint(40, 255), 255)
        name = f"demo/{i:03d}_{shape}.png"
        sprites.append(
            Sprite(name, name, (width, height), lambda _, shape=shape, w=width, h=height, c=colour: _draw(shape, w, h, c))
        )
    return sprites
