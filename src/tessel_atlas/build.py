"""Building one atlas: reading the sprites, packing them and writing the files."""

from __future__ import annotations

import argparse
import functools
import statistics
import sys
import time
from pathlib import Path
from typing import List, Sequence

from .animations import animations, natural_key
from .errors import AtlasError
from .formats import FORMATS, AtlasLayer
from .images import Entry, Pixels, Trim, read_entries
from .layout import Layer, Spacing, check_fit, lay_out
from .output import image_name, locked_folder, write_atlas
from .progress import Progress
from .sprites import Found

# Many GPUs load textures of at most 8,192 px a side, most at most 16,384.
GPU_SAFE_SIDE = 8192


def _entries_without_pixels(sprites) -> List[Entry]:
    boxes = [(0, 0) + s.size for s in sprites]
    return [Entry(s, Pixels(s, box, extrusion=s.settings.extrude), box, s.size) for s, box in zip(sprites, boxes)]


def spacing(args: argparse.Namespace) -> Spacing:
    """--shape-padding and --border-padding, or what --padding P means: P
    around each sprite, so 2P between two."""
    padding = args.padding or 0
    shape = args.shape_padding if args.shape_padding is not None else 2 * padding
    border = args.border_padding if args.border_padding is not None else padding
    return Spacing(shape, border)


def _check_nine_slices(entries: Sequence[Entry]) -> None:
    for entry in entries:
        borders = entry.sprite.settings.nine_slice
        if borders and (borders[0] + borders[2] > entry.size[0] or borders[1] + borders[3] > entry.size[1]):
            raise AtlasError(f"{entry.sprite.source}: nine_slice {list(borders)} does not fit its "
                             f"{entry.size[0]} x {entry.size[1]} pixels; left + right and top + bottom must fit")


def _fill_summary(layers: Sequence[Layer]) -> str:
    fills = [layer.fill_ratio for layer in layers]
    if len(fills) <= 3:
        return "fill " + ", ".join(f"{f:.1%}" for f in fills)
    return f"fill lowest {min(fills):.1%}, median {statistics.median(fills):.1%}, highest {max(fills):.1%}"


def run_job(found: Found, out: Path, args: argparse.Namespace, progress: Progress) -> str:
    """Reads, packs and writes one atlas, holding its folder against other
    runs from start to end; returns its summary line."""
    with locked_folder(out):
        return _build(found, out, args, progress)


def _build(found: Found, out: Path, args: argparse.Namespace, progress: Progress) -> str:
    start = time.perf_counter()
    sprites = found.sprites
    with_pixels = sprites[0].open is not None
    fmt = FORMATS[args.format]
    rotation = fmt.ROTATES and not args.no_rotation

    gaps = spacing(args)
    if with_pixels:
        with progress.phase("read", len(sprites), "sprite") as step:
            fits = functools.partial(check_fit, texture=args.max_texture_size, spacing=gaps)
            trim = Trim(args.trim_threshold, args.trim_margin) if fmt.TRIMS else None
            entries = read_entries(sprites, trim=trim,
                                   share=not args.no_alias, step=step, check=fits)
    else:
        entries = _entries_without_pixels(sprites)
    _check_nine_slices(entries)
    entries.sort(key=lambda e: natural_key(e.sprite.name))
    pictures = list({id(e.pixels): e.pixels for e in entries}.values())
    # Each animation's pictures in one layer: PixiJS reads an animation from
    # one layer's manifest, with that layer's frames only.
    groups = animations(e.sprite.name for e in entries) if fmt.ANIMATIONS else {}
    index_of = {id(p): i for i, p in enumerate(pictures)}
    entry_of = {e.sprite.name: e for e in entries}
    together = {name: [index_of[id(entry_of[f].pixels)] for f in frames] for name, frames in groups.items()}

    with progress.phase("packed", len(pictures), "sprite") as step:
        layers = lay_out(pictures, max_texture_size=args.max_texture_size, spacing=gaps, rotation=rotation,
                         texture_sizes="pot" if args.pot else "full" if args.full_size else "crop", progress=step,
                         together=together)

    placement_of = {id(p.pixels): (layer, p) for layer in layers for p in layer.placements}
    atlas = [AtlasLayer(layer, image_name(layer), [], {}) for layer in layers]
    for entry in entries:
        layer, placement = placement_of[id(entry.pixels)]
        atlas[layer.index].entries.append(entry)
        atlas[layer.index].placement_of[id(entry.pixels)] = placement
    for name, frames in groups.items():
        holding = {placement_of[id(entry_of[f].pixels)][0].index for f in frames}
        if len(holding) == 1:
            atlas[holding.pop()].animations[name] = frames
        else:
            print(f"tessel-atlas: warning: the {len(frames)} frames of animation {name!r} need more than one "
                  "texture, and PixiJS reads an animation from one: it is left out of the manifests; raise "
                  "--max-texture-size to keep it", file=sys.stderr)

    with progress.phase("wrote", len(layers), "layer") as step:
        write_atlas(out, layers, fmt.manifests(atlas), with_pixels=with_pixels, with_preview=args.preview,
                    png_level=args.png_level, step=step)

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
