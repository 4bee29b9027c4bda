"""Writing atlases, manifests and previews, all or nothing."""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Callable, Dict, List, TextIO

from . import __version__
from .errors import AtlasError, require_pillow
from .layout import Layer

_OUR_FILE = re.compile(r"atlas_(\d+)(\.png|\.json|_preview\.png)")


class Progress:
    """A one-line bar on a terminal, for jobs long enough to wait on."""

    def __init__(self, label: str, total: int, stream: TextIO = sys.stderr, threshold: int = 300):
        self.label, self.total, self.stream = label, total, stream
        self.shown = total > threshold and stream.isatty()
        self.done = 0

    def step(self) -> None:
        self.done += 1
        if self.shown and (self.done == self.total or self.done % 25 == 0):
            filled = 30 * self.done // self.total
            self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total}")
            if self.done == self.total:
                self.stream.write("\n")
            self.stream.flush()


def manifest(layer: Layer) -> dict:
    """The layer in the 'hash' layout that sprite-sheet loaders read.

    A rotated frame keeps the sprite's own w and h; in the atlas it covers h x w,
    turned a quarter turn clockwise.
    """
    frames = {}
    for p in layer.placements:
        w, h = p.sprite.width, p.sprite.height
        frames[p.sprite.name] = {
            "frame": {"x": p.x, "y": p.y, "w": w, "h": h},
            "rotated": p.rotated,
            "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h},
            "sourceSize": {"w": w, "h": h},
        }
    return {
        "frames": frames,
        "meta": {
            "app": "tessel-atlas",
            "version": __version__,
            "image": f"atlas_{layer.index}.png",
            "format": "RGBA8888",
            "size": {"w": layer.width, "h": layer.height},
            "scale": "1",
        },
    }


def compose(layer: Layer, progress: Progress) -> "object":
    Image = require_pillow()
    atlas = Image.new("RGBA", (layer.width, layer.height), (0, 0, 0, 0))
    for p in layer.placements:
        pixels = p.sprite.load()
        if p.rotated:
            pixels = pixels.transpose(Image.Transpose.ROTATE_270)  # a quarter turn clockwise
        atlas.paste(pixels, (p.x, p.y))
        progress.step()
    return atlas


def _colour(name: str) -> tuple:
    digest = hashlib.md5(name.encode()).digest()
    return (80 + digest[0] % 160, 80 + digest[1] % 160, 80 + digest[2] % 160, 255)


def preview(layer: Layer) -> "object":
    """Each placement as an outlined colour block, with the layer's fill ratio on top."""
    Image = require_pillow()
    from PIL import ImageDraw

    image = Image.new("RGBA", (max(layer.width, 1), max(layer.height, 1)), (24, 24, 28, 255))
    draw = ImageDraw.Draw(image)
    for p in layer.placements:
        w, h = p.footprint
        fill = _colour(p.sprite.name)
        outline = tuple(c // 2 for c in fill[:3]) + (255,)
        draw.rectangle((p.x, p.y, p.x + w - 1, p.y + h - 1), fill=fill, outline=outline)
    text = f"layer {layer.index}: {layer.width} x {layer.height}, fill {layer.fill_ratio:.1%}"
    box = draw.textbbox((4, 4), text)
    draw.rectangle((box[0] - 3, box[1] - 3, box[2] + 3, box[3] + 3), fill=(0, 0, 0, 200))
    draw.text((4, 4), text, fill=(255, 255, 255, 255))
    return image


def write_atlas(out_dir: Path, layers: List[Layer], with_pixels: bool, with_preview: bool) -> List[str]:
    """Writes every file of the atlas; on any failure none of them is left behind.

    The files are made in a hidden folder inside out_dir and moved into place
    only when all of them exist. Files of earlier runs with more layers are
    removed, so the folder always describes one atlas. Returns the names written.
    """
    writers: Dict[str, Callable[[Path], None]] = {}
    progress = Progress("loading and composing", sum(len(layer.placements) for layer in layers))
    for layer in layers:
        stem = f"atlas_{layer.index}"
        writers[f"{stem}.json"] = lambda path, layer=layer: path.write_text(
            json.dumps(manifest(layer), indent=2) + "\n", encoding="utf-8"
        )
        if with_pixels:
            writers[f"{stem}.png"] = lambda path, layer=layer: compose(layer, progress).save(path)
        if with_preview:
            writers[f"{stem}_preview.png"] = lambda path, layer=layer: preview(layer).save(path)

    created = not out_dir.exists()
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
        staging = Path(tempfile.mkdtemp(prefix=".tessel-atlas-", dir=out_dir))
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror})") from error
    try:
        for name, write in writers.items():
            write(staging / name)
        for name in writers:
            os.replace(staging / name, out_dir / name)
    except BaseException as error:
        shutil.rmtree(staging, ignore_errors=True)
        if created:
            shutil.rmtree(out_dir, ignore_errors=True)
        if isinstance(error, OSError):
            raise AtlasError(f"{out_dir}: cannot write the atlas ({error})") from error
        raise
    shutil.rmtree(staging, ignore_errors=True)

    for stale in out_dir.iterdir():
        match = _OUR_FILE.fullmatch(stale.name)
        if match and stale.name not in writers:
            stale.unlink()
    return list(writers)
