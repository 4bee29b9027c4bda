"""The tessel-atlas command: sprite folders in, texture atlases and manifests out."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import List, Optional, Sequence

from .errors import AtlasError
from .layout import layout
from .output import write_atlas
from .sprites import Sprite, collect_sprites


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessel-atlas", description="Pack sprite images into texture atlases with JSON manifests."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pack = commands.add_parser("pack", help="pack images, folders of images, or CSV layouts")
    pack.add_argument(
        "inputs", nargs="+", type=Path, metavar="INPUT",
        help="image file, folder searched recursively for images, or CSV file of name,w,h rows",
    )
    pack.add_argument("--out", required=True, type=Path, help="folder for the atlases and manifests")
    pack.add_argument(
        "--max-texture-size", type=_non_negative, default=2048, metavar="N",
        help="side of each square texture; 0 packs everything into one bin as small as found (default 2048)",
    )
    pack.add_argument(
        "--padding", type=_non_negative, default=0, metavar="P",
        help="pixels of empty border kept around each sprite (default 0)",
    )
    pack.add_argument("--preview", action="store_true", help="also draw each layer's layout as a PNG")

    demo = commands.add_parser("demo", help="draw a few hundred sprites and pack them in both modes")
    demo.add_argument("--out", type=Path, default=Path("atlas-demo"), help="output folder (default atlas-demo)")
    return parser


def run_job(sprites: Sequence[Sprite], out: Path, max_texture_size: int, padding: int, with_preview: bool) -> str:
    """Packs and writes one atlas; returns its summary line."""
    start = time.perf_counter()
    layers = layout(sprites, max_texture_size, padding)
    with_pixels = all(s.load is not None for s in sprites)
    write_atlas(out, layers, with_pixels, with_preview)
    fills = ", ".join(f"{layer.fill_ratio:.1%}" for layer in layers)
    noun = "layer" if len(layers) == 1 else "layers"
    return (
        f"tessel-atlas: {len(sprites)} sprites in {len(layers)} {noun} (fill {fills}) "
        f"in {time.perf_counter() - start:.2f} s -> {out}"
    )


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "pack":
            sprites = collect_sprites(args.inputs)
            print(run_job(sprites, args.out, args.max_texture_size, args.padding, args.preview))
        else:
            from .demo import demo_sprites

            sprites = demo_sprites()
            print(run_job(sprites, args.out / "single", 0, 1, True))
            print(run_job(sprites, args.out / "layered", 512, 1, True))
    except AtlasError as error:
        print(f"tessel-atlas: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
