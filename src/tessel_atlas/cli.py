"""The tessel-atlas command: sprite folders in, texture atlases and manifests out."""

from __future__ import annotations

import argparse
import signal
import statistics
import sys
import time
from pathlib import Path
from typing import List, Optional, Sequence

from . import __version__
from .errors import AtlasError
from .formats import FORMATS, AtlasLayer
from .images import Entry, Pixels, read_entries
from .layout import MAX_SIDE, Layer, lay_out
from .output import image_name, write_atlas
from .progress import Progress
from .sprites import Found, collect_sprites

# Many GPUs load textures of at most 8,192 px a side, most at most 16,384.
GPU_SAFE_SIDE = 8192


class Terminated(BaseException):
    """SIGTERM, raised where the program is so that it cleans up as for Ctrl-C."""


def _whole(low: int, high: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, got {value}")
        return value

    return parse


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessel-atlas", description="Pack sprite images into texture atlases with JSON manifests."
    )
    parser.add_argument("--version", action="version", version=f"tessel-atlas {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    pack = commands.add_parser("pack", help="pack images, folders of images, or CSV layouts")
    pack.add_argument(
        "inputs", nargs="+", type=Path, metavar="INPUT",
        help="image file, folder searched recursively for images, or CSV file of name,w,h rows (alone)",
    )
    pack.add_argument("--out", required=True, type=Path, help="folder for the atlases and manifests")
    pack.add_argument(
        "--max-texture-size", type=_whole(0, MAX_SIDE), default=2048, metavar="N",
        help="largest side of each square texture; each layer is cropped to what it uses unless --pot or "
             "--full-size; 0 packs everything into one bin as small as found (default 2048)",
    )
    sizes = pack.add_mutually_exclusive_group()
    sizes.add_argument("--pot", action="store_true", help="round each layer's sides up to powers of two")
    sizes.add_argument("--full-size", action="store_true", help="make every layer the full texture size")
    pack.add_argument("--format", choices=sorted(FORMATS), default="json-hash",
                      help="manifest format (default json-hash); phaser3 never rotates")
    pack.add_argument("--no-rotation", action="store_true", help="never store a sprite turned a quarter turn")
    pack.add_argument("--no-trim", action="store_true", help="keep fully transparent borders")
    pack.add_argument("--no-alias", action="store_true", help="pack identical sprites once each, not shared")
    pack.add_argument("--padding", type=_whole(0, 1024), default=0, metavar="P",
                      help="pixels of empty border kept around each sprite (default 0)")
    pack.add_argument("--extrude", type=_whole(0, 1024), default=0, metavar="N",
                      help="repeat each sprite's edge pixels N pixels outward, inside the padding (default 0)")
    pack.add_argument("--png-level", type=_whole(0, 9), default=3, metavar="L",
                      help="PNG compression level, 0 (fastest) to 9 (smallest files) (default 3)")
    pack.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                      help="leave out files whose path inside the input folder, or name, matches (repeatable)")
    pack.add_argument("--preview", action="store_true", help="also draw each layer's layout as a PNG")
    pack.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")

    demo = commands.add_parser("demo", help="draw a few hundred sprites and pack them in both modes")
    demo.add_argument("--out", type=Path, default=Path("atlas-demo"), help="output folder (default atlas-demo)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")
    return parser


def _entries_without_pixels(sprites) -> List[Entry]:
    boxes = [(0, 0) + s.size for s in sprites]
    return [Entry(s, Pixels(s, box), box, s.size) for s, box in zip(sprites, boxes)]


def _fill_summary(layers: Sequence[Layer]) -> str:
    fills = [layer.fill_ratio for layer in layers]
    if len(fills) <= 3:
        return "fill " + ", ".join(f"{f:.1%}" for f in fills)
    return f"fill lowest {min(fills):.1%}, median {statistics.median(fills):.1%}, highest {max(fills):.1%}"


def run_job(found: Found, out: Path, args: argparse.Namespace, progress: Progress) -> str:
    """Reads, packs and writes one atlas; returns its summary line."""
    start = time.perf_counter()
    sprites = found.sprites
    with_pixels = sprites[0].open is not None
    fmt = FORMATS[args.format]
    rotation = fmt.ROTATES and not args.no_rotation

    if with_pixels:
        with progress.phase("read", len(sprites), "sprite") as step:
            entries = read_entries(sprites, trim=not args.no_trim, share=not args.no_alias, step=step)
    else:
        entries = _entries_without_pixels(sprites)
    pictures = list({id(e.pixels): e.pixels for e in entries}.values())

    with progress.phase("packed", len(pictures), "sprite") as step:
        layers = lay_out(pictures, max_texture_size=args.max_texture_size, padding=args.padding,
                         extrusion=args.extrude, rotation=rotation,
                         texture_sizes="pot" if args.pot else "full" if args.full_size else "crop", progress=step)

    placement_of = {id(p.pixels): (layer, p) for layer in layers for p in layer.placements}
    atlas = [AtlasLayer(layer, image_name(layer), [], {}) for layer in layers]
    for entry in entries:
        layer, placement = placement_of[id(entry.pixels)]
        atlas[layer.index].entries.append(entry)
        atlas[layer.index].placement_of[id(entry.pixels)] = placement

    with progress.phase("wrote", len(layers), "layer") as step:
        write_atlas(out, layers, fmt.manifests(atlas), with_pixels=with_pixels, with_preview=args.preview,
                    extrusion=args.extrude, png_level=args.png_level, step=step)

    for layer in layers:
        if max(layer.width, layer.height) > GPU_SAFE_SIDE:
            print(f"tessel-atlas: warning: layer {layer.index} is {layer.width} x {layer.height} px; many GPUs load "
                  "at most 8,192 px a side, most at most 16,384: lower --max-texture-size", file=sys.stderr)

    shared = len(entries) - len(pictures)
    noun = "layer" if len(layers) == 1 else "layers"
    skipped = found.skipped_files
    extras = [f"{shared} shared" if shared else "",
              f"{skipped} other file{'' if skipped == 1 else 's'} skipped" if skipped else ""]
    extra = "; ".join(e for e in extras if e)
    return (
        f"tessel-atlas: {len(sprites)} sprite{'' if len(sprites) == 1 else 's'}{f' ({extra})' if extra else ''} "
        f"in {len(layers)} {noun} "
        f"({_fill_summary(layers)}) in {time.perf_counter() - start:.2f} s -> {out}"
    )


def _terminate(signum, frame) -> None:
    raise Terminated()


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 0
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        progress = Progress(args.quiet)
        summaries = []
        if args.command == "pack":
            if args.pot and args.max_texture_size & (args.max_texture_size - 1):
                parser.error(f"--pot needs a power-of-two --max-texture-size (got {args.max_texture_size})")
            found = collect_sprites(args.inputs, exclude=args.exclude, skip=[args.out])
            summaries.append(run_job(found, args.out, args, progress))
        else:
            from .demo import demo_sprites

            found = Found(demo_sprites())
            defaults = _parser().parse_args(["pack", "-", "--out", "-", "--preview"])
            for mode, texture in (("single", 0), ("layered", 512)):
                defaults.max_texture_size, defaults.padding = texture, 1
                summaries.append(run_job(found, args.out / mode, defaults, progress))
        if not args.quiet:
            print("\n".join(summaries))
    except AtlasError as error:
        print(f"tessel-atlas: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tessel-atlas: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("tessel-atlas: terminated", file=sys.stderr)
        return 143
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0
