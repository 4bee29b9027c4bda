"""Building one atlas: reading the sprites, packing them and writing the files."""

from __future__ import annotations

import argparse
import collections
import functools
import itertools
import time
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .animations import animations, natural_key
from .blocks import BLOCK_FORMATS, BLOCK_SIDE, PLAIN_FORMATS, check_encoders, encoder_version
from .cache import (BuildCache, Composition, composition, content_key, inputs_key, options_key,
                    recomposed)
from .errors import AtlasError
from .formats import FormatOptions, all_manifests, css, layout_of, manifest_names, manifests_key, resolutions
from .formats.template import fingerprint as template_fingerprint
from .block_checks import Quality, psnr
from .images import Entry, Pixels, SpriteChanged, Trim, read_again, read_entries, scaled, scaled_side
from .layout import Layer, Placement, Spacing, check_fit, lay_out
from .mipmaps import kept_apart
from .model import AtlasLayer, Frame, Result, Timing
from .output import (CACHE_NAME, Text, TextureOptions, check_distinct, check_layer_sides, image_name, layer_files,
                     locked_folder, recorded_files, replace_text, texture_name, write_atlas)
from .png import STRIP_LAYOUT
from .progress import Progress
from .project import playback
from .report import report_html
from .sprites import Examine, Found, Sprite

# Many GPUs load textures of at most 8,192 px a side, most at most 16,384.
GPU_SAFE_SIDE = 8192
REPORT_NAME = "report.html"
# Options that change no file of the atlas.
NOT_IN_CACHE_KEY = ("out", "quiet", "config", "no_cache", "command", "only", "atlas_per_folder")
# How many layers each variant is taken to have when the names of the
# files are checked before any work: enough for a name whose number runs
# into another's (a template's atlas_1{index} beside layer 10's atlas_10).
PROBED_LAYERS = 12


def _entries_without_pixels(sprites) -> List[Entry]:
    boxes = [(0, 0) + s.size for s in sprites]
    return [Entry(s, Pixels(s, box, s.size, extrusion=s.settings.extrude, index=i), box, s.size)
            for i, (s, box) in enumerate(zip(sprites, boxes))]


def spacing(args: argparse.Namespace) -> Spacing:
    """--shape-padding and --border-padding, or what --padding P means: P
    around each sprite, so 2P between two; css atlases with variants keep
    at least css.VARIANT_SPACING."""
    padding = args.padding or 0
    shape = args.shape_padding if args.shape_padding is not None else 2 * padding
    border = args.border_padding if args.border_padding is not None else padding
    if args.format == "css" and len(args.variant or []) > 1:  # see formats/css.py
        shape, border = max(shape, css.VARIANT_SPACING[0]), max(border, css.VARIANT_SPACING[1])
    if args.mipmaps is not None:
        # Apart in the levels, bled half way; as far from the edges, since
        # clients repeat power-of-two textures (Phaser does): across an
        # edge lies the sprite at the opposite one.
        gap = kept_apart(args.mipmaps, 1).gap
        shape, border = max(shape, gap), max(border, gap // 2)
    return Spacing(shape, border)


def variants_of(args: argparse.Namespace) -> List[Tuple[float, str]]:
    """Each variant's scale and suffix, the largest scale first: its layout
    decides every variant's layers."""
    return sorted(args.variant or [(1.0, "")], key=lambda v: -v[0])


def texture_options(args: argparse.Namespace) -> TextureOptions:
    """How layers are written: in each --texture-format given (once each,
    and in PNG too when neither PNG nor WebP is), block formats with the
    alpha that the manifests' engine draws right. Bleeding reaches half the
    gap between sprites; premultiplied colour needs none (transparent
    pixels are black in it, and filtering premultiplied colour blends in no
    fringe)."""
    formats = tuple(dict.fromkeys(args.texture_format or ["png"]))
    if not any(fmt in PLAIN_FORMATS for fmt in formats):
        formats = ("png",) + formats
    block_alpha = layout_of(args.format, args.template).block_alpha
    blocks_premultiplied = args.premultiply if block_alpha == "plain" else block_alpha == "premultiplied"
    straight = not args.premultiply or any(fmt in BLOCK_FORMATS for fmt in formats) and not blocks_premultiplied
    return TextureOptions(formats, args.png_level, args.webp_method,
                          spacing(args).shape // 2 if straight and not args.no_bleed else None, args.premultiply,
                          args.block_effort, blocks_premultiplied, args.mipmaps)


def block_aligned(args: argparse.Namespace, texture: TextureOptions) -> bool:
    """Whether sprites start on block boundaries: asked for, or, unless
    refused, whenever block formats are written (a block that holds the
    edges of two sprites compresses both worse, and bleeds one into the
    other)."""
    return args.block_align if args.block_align is not None else bool(texture.blocks)


def alignment(args: argparse.Namespace, texture: TextureOptions) -> int:
    """What every sprite's position is a multiple of: a block's side when
    block_aligned, a texel of the last level kept apart with --mipmaps."""
    block_side = BLOCK_SIDE if block_aligned(args, texture) else 1
    return block_side if args.mipmaps is None else kept_apart(args.mipmaps, block_side).align


def layer_sizes(args: argparse.Namespace) -> str:
    """How layers are sized (lay_out's texture_sizes): mipmapped layers have
    sides that are powers of two, which WebGL 1 needs to sample levels at
    all, and block formats need for every level to be whole blocks."""
    return "full" if args.full_size else "pot" if args.pot or args.mipmaps is not None else "crop"


def check_textures(args: argparse.Namespace) -> None:
    """Refuses, before any work, texture formats that the manifest format's
    engines, the texture size or the installed packages rule out."""
    texture = texture_options(args)
    if texture.blocks and layout_of(args.format, args.template).block_alpha is None:
        raise AtlasError(f"--format {args.format} is read with PNG or WebP layers only, not --texture-format "
                         f"{texture.blocks[0]}; leave that out, or choose another --format")
    check_layer_sides(texture, args.max_texture_size)
    check_encoders(texture.blocks)
    side = args.max_texture_size
    if args.mipmaps is not None and args.full_size and (not side or side & (side - 1)):
        raise AtlasError("--mipmaps needs layers whose sides are powers of two; with --full-size, give "
                         f"--max-texture-size one ({1 << (side.bit_length() - 1) if side else 2048}, say), or leave "
                         "out --full-size")
    if args.mipmaps is not None and side and alignment(args, texture) + spacing(args).shape > side:
        asked = "--mipmaps" + (f" {args.mipmaps}" if args.mipmaps else "")
        raise AtlasError(f"{asked} keeps sprites {spacing(args).shape} px apart on a "
                         f"{alignment(args, texture)} px grid, more than --max-texture-size {side} holds; "
                         "ask for fewer levels kept apart (--mipmaps N)")


def format_options(args: argparse.Namespace) -> FormatOptions:
    """What the format takes beyond the atlas, from the options (and the
    project file's animations, in args.playback)."""
    return FormatOptions(args.css_prefix, args.template, tuple(args.playback),
                         tuple(suffix for _, suffix in args.variant or [(1.0, "")]))


def _manifest_sets(models: Sequence[List[AtlasLayer]], texture: TextureOptions) -> List[List[List[AtlasLayer]]]:
    """The variants' layers as each set of manifests describes them: the
    plain images', then each block format's files'."""
    return [list(models)] + [[[replace(layer, image=texture_name(layer, block), texture=block,
                                       premultiplied=texture.blocks_premultiplied) for layer in variant]
                              for variant in models] for block in texture.blocks]


def _check_files(args: argparse.Namespace, texture: TextureOptions, layers: Sequence[AtlasLayer],
                 manifests: Sequence[str]) -> None:
    manifest = "a file the template makes" if args.format == "template" else f"a {args.format} manifest"
    check_distinct(layer_files(layers, texture, args.preview) + [(name, manifest) for name in manifests]
                   + ([(REPORT_NAME, "the report")] if args.report else []))


def check_output_names(args: argparse.Namespace) -> None:
    """Refuses, before any work, options whose files would take one
    another's names (a variant suffix that another file's name ends in, a
    template named like a layer image or the report), as the files of
    PROBED_LAYERS layers a variant would be named; the build checks its
    own files again once it knows them, before writing any."""
    texture = texture_options(args)
    variants = args.variant or [(1.0, "")]
    resolution_of = resolutions(variants)
    models = []
    for scale, suffix in variants:
        layers = [AtlasLayer(index, "", texture.plain, BLOCK_SIDE, BLOCK_SIDE, scale, resolution_of[suffix], suffix,
                             texture.premultiply, 0.0, args.normal_maps or "") for index in range(PROBED_LAYERS)]
        models.append([replace(layer, image=image_name(layer, texture)) for layer in layers])
    names = manifest_names(args.format, _manifest_sets(models, texture), format_options(args))
    _check_files(args, texture, [layer for layers in models for layer in layers], names)


def _check_nine_slices(entries: Sequence[Entry]) -> None:
    for entry in entries:
        borders = entry.sprite.settings.nine_slice
        if borders and (borders[0] + borders[2] > entry.size[0] or borders[1] + borders[3] > entry.size[1]):
            raise AtlasError(f"{entry.sprite.source}: nine_slice {list(borders)} does not fit its "
                             f"{entry.size[0]} x {entry.size[1]} pixels; left + right and top + bottom must fit")


def _timings(groups: Dict[str, List[str]], found: Found,
             rules: Sequence) -> Tuple[Dict[str, Timing], Dict[str, int]]:
    """How each animation plays (its file's timing, or forward for ever;
    an [[animations]] table's loop setting wins), and the durations that
    an [[animations]] table's speed gives its frames that have none."""
    timings, durations = {}, {}
    for name, frames in groups.items():
        timing = found.timings.get(name, Timing())
        speed, loop = playback(rules, name)
        if loop is not None:
            timing = replace(timing, repeat=0 if loop else timing.repeat or 1)
        timings[name] = timing
        if speed is not None:
            durations.update((frame, round(1000 / speed)) for frame in frames)
    return timings, durations


def _fill_summary(layers: Sequence[Layer]) -> str:
    fills = [layer.fill_ratio for layer in layers]
    if len(fills) <= 3:
        return "fill " + ", ".join(f"{f:.1%}" for f in fills)
    # The median, without the statistics module: importing it took 3 ms, a
    # hundredth of a small build.
    ordered = sorted(fills)
    median = (ordered[(len(ordered) - 1) // 2] + ordered[len(ordered) // 2]) / 2
    return f"fill lowest {ordered[0]:.1%}, median {median:.1%}, highest {ordered[-1]:.1%}"


def run_job(found: Found, out: Path, args: argparse.Namespace, progress: Progress, model: bool = True) -> Result:
    """Reads, packs and writes one atlas, holding its folder against other
    runs from start to end. Without `model`, an atlas the cache finds as
    its last build left it is left so at once, and the Result has no
    layers."""
    done = _locked_build(found, out, args, progress, shortcut=not model)
    if isinstance(done, Built):
        assert done.result is not None
        return done.result
    return done


def build_kept(found: Found, out: Path, args: argparse.Namespace, progress: Progress) -> Built:
    """run_job's work, with what it made, layer images' pixels kept (a
    watch's, for rebuild_saved)."""
    done = _locked_build(found, out, args, progress, shortcut=False, keep_layers=True)
    assert isinstance(done, Built)
    for entries in done.entries:  # the pictures read are not needed again: their layers hold them
        for entry in entries:
            entry.pixels.kept = None
            if entry.pixels.normal is not None:
                entry.pixels.normal.kept = None
    return done


def cache_key(args: argparse.Namespace) -> str:
    """The key of what every cached result depends on: the options, the
    template's text, the block encoders' releases (a new one may store
    other blocks for the same pixels, even where nothing else changed) and
    how PNG layers are laid out in strips (a run writes some strips again
    into a file only where the others are as it would write them)."""
    options = {k: v for k, v in vars(args).items() if k not in NOT_IN_CACHE_KEY}
    if args.template is not None:  # its text makes the manifests: an edit is a change
        options["template"] = (str(args.template), template_fingerprint(args.template))
    options["encoders"] = [encoder_version(fmt) for fmt in texture_options(args).blocks] + [STRIP_LAYOUT]
    return options_key(options)


def _locked_build(found: Found, out: Path, args: argparse.Namespace, progress: Progress,
                  shortcut: bool, keep_layers: bool = False) -> Union[Built, Result]:
    with locked_folder(out):
        start = time.perf_counter()
        cache = None
        if found.sprites[0].open is not None and not args.no_cache:
            cache = BuildCache.load(out, cache_key(args), len(found.sprites) * len(args.variant or [None]),
                                    sum(len(s.source) for s in found.sprites))
            cache.inputs, cache.heads = inputs_key(found.sprites), found.png_heads
            if shortcut and cache.as_left(out, found.sprites, cache.inputs, recorded_files(out)):
                outcome = cache.outcome_before
                line = summary(len(found.sprites), found.skipped_files, outcome, time.perf_counter() - start, out)
                return Result(line, [], outcome["warnings"])
        try:
            return _build(found, out, args, progress, cache, start, keep_layers)
        except SpriteChanged:
            # Saved while the build ran, or misdescribed by the cache: every
            # sprite is read again, once; a second change ends the build.
            if cache is not None:
                cache.forget_readings()
            return _build(found, out, args, progress, cache, start, keep_layers)


def _alike(pixels: Pixels) -> tuple:
    """What read_entries shares a picture by."""
    return (pixels.width, pixels.height), pixels.fingerprint, pixels.extrusion, \
        pixels.normal.fingerprint if pixels.normal is not None else None


def rebuild_saved(built: Built, saved: Sequence[Sprite], progress: Progress,
                  report: Callable[[Result], None]) -> bool:
    """Builds the atlas again after the files of `saved` (sprites of
    built.found, found again: their stamps new) were saved, without finding
    or reading the others, as a watch does: only where each one still
    shows the same box of the same size, and it neither shared a picture
    with another sprite nor now shows one that another does. Then nothing
    moves and no manifest changes, and only the layer images showing them
    are drawn again, where they lie. The atlas is the one a clean build
    would write; `report` sees its Result once it is in place, before the
    cache is written. False, having done nothing, where a save changes
    more (a clean build would place or share pictures otherwise)."""
    args, cache = built.args, built.cache
    if cache is None or not built.compositions:
        return False
    start = time.perf_counter()
    with locked_folder(built.out):
        following = cache.carried(built.out)
        # Manifests are never written again here: each must be as written.
        if not all(following.unchanged(built.out, name, built.keys[name]) for name in built.manifests):
            return False
        fmt = layout_of(args.format, args.template)
        trim = Trim(args.trim_threshold, args.trim_margin) if fmt.trims else None
        fits = functools.partial(check_fit, texture=args.max_texture_size, spacing=spacing(args))
        read: List[List[Tuple[Entry, Entry]]] = []  # each variant's saved entries, with their new readings
        index = built.index = built.index or _indexed(built)
        counts = [alike.copy() for alike in index.alike]  # kept only if every save holds
        for (scale, _), entry_of, alike in zip(built.variants, index.entry_of, counts):
            pairs = list(zip([entry_of[s.source] for s in saved],
                             read_entries([scaled_sprite(s, scale) for s in saved], trim=trim, share=False,
                                          step=lambda n: None, check=fits)))
            for entry, new in pairs:
                old, now = _alike(entry.pixels), _alike(new.pixels)
                if (new.box, new.size) != (entry.box, entry.size) or alike[old] != 1 or now != old and alike[now] \
                        or (new.pixels.normal is None) != (entry.pixels.normal is None):
                    return False
                alike[old] -= 1
                alike[now] += 1
            read.append(pairs)
        # Every save holds: the entries take their new readings.
        for sprite in saved:
            built.found.sprites[index.sprite_at[sprite.source]] = sprite
        for pairs in read:
            for entry, new in pairs:
                entry.sprite, picture = new.sprite, entry.pixels
                for earlier, now in (picture, new.pixels), (picture.normal, new.pixels.normal):
                    if earlier is not None and now is not None:  # the normal layers place the same map
                        earlier.sprite, earlier.kept, earlier.fingerprint = now.sprite, now.kept, now.fingerprint
        index.alike = counts
        built.cache = cache = following
        for (scale, _), pairs in zip(built.variants, read):
            cache.remember(scale, [entry for entry, _ in pairs], anew=True)
        patches: Dict[str, List[Placement]] = {}
        plain = {image_name(layer, built.texture) for layer in built.images}
        pictures = [id(p) for pairs in read for entry, _ in pairs for p in (entry.pixels, entry.pixels.normal) if p]
        for name, earlier in built.compositions.items():
            where = index.placed_at[name]
            changed = sorted({where[picture] for picture in pictures if picture in where})
            if not changed:
                continue
            drawn = built.compositions[name] = recomposed(earlier, changed)
            built.keys[name] = drawn.key
            if name in plain:
                cache.composed[name] = [drawn.geometry, drawn.fingerprints]
                if cache.unchanged(built.out, name, earlier.key):  # the file as written: drawn again where changed
                    patches[name] = [drawn.placements[i] for i in changed]
        result = built.result = _write(built, {}, patches, progress, start, cache_later=True)
        report(result)
        write_cache(built)
    return True


def _stamped(built: Built) -> Dict[str, str]:
    """The files the cache states: each with its content key, and the
    report, written every time, with none."""
    return {**built.keys, **({REPORT_NAME: ""} if built.args.report else {})}


def write_cache(built: Built) -> None:
    """The cache of an atlas in place (written by _write with cache_later)."""
    cache = built.cache
    assert cache is not None
    cache.inputs = inputs_key(built.found.sprites)
    keys = _stamped(built)
    text = cache.text(built.out, built.out, keys, keys)
    if text is not None:
        replace_text(built.out, CACHE_NAME, text)


def _quality(texture: TextureOptions, layers: Sequence[Layer], measured: Dict[str, Quality]) -> Dict[str, list]:
    """Each block format's stored PSNR over every frame of every layer,
    and its worst frame: {format: [dB, worst frame's dB, its name]}, for
    the formats whose every file was measured."""
    found = {}
    for block in texture.blocks:
        files = [measured.get(texture_name(layer, block)) for layer in layers]
        if not files or None in files:
            continue
        worst = min((frame for q in files for frame in q.worst), key=lambda f: f[1], default=("", 0.0))
        found[block] = [psnr(sum(q.squared_error for q in files), sum(q.samples for q in files)), worst[1], worst[0]]
    return found


def summary(sprites: int, skipped: int, outcome: dict, seconds: float, out: Path) -> str:
    """The run's one line: the sprites found and the other files skipped,
    and what the build made of them (`outcome`)."""
    shared = outcome["shared"]
    extras = [f"{shared} shared" if shared else "",
              f"{skipped} other file{'' if skipped == 1 else 's'} skipped" if skipped else ""]
    extra = "; ".join(e for e in extras if e)
    in_variants = f" in each of {outcome['variants']} variants" if outcome["variants"] > 1 else ""
    stored = "".join(f"; {block} {db:.1f} dB, worst frame {frame_db:.1f} dB ({name})"
                     for block, (db, frame_db, name) in outcome.get("quality", {}).items())
    return (f"tessel-atlas: {sprites} sprite{'' if sprites == 1 else 's'}{f' ({extra})' if extra else ''} "
            f"in {outcome['layers']} layer{'' if outcome['layers'] == 1 else 's'}{in_variants} "
            f"({outcome['fill']}{stored}) in {seconds:.2f} s -> {out}")


def scaled_sprite(sprite: Sprite, scale: float) -> Sprite:
    """The sprite at another scale: its pixels (or size) and its nine-slice
    borders, rounded down so that they still fit; a pivot is a fraction, the
    same at every scale."""
    if scale == 1:
        return sprite
    borders = sprite.settings.nine_slice
    if borders:
        sprite = replace(sprite, settings=replace(sprite.settings,
                                                  nine_slice=tuple(int(b * scale) for b in borders)))
    if sprite.open is None:  # a layout row: its size, scaled
        w, h = sprite.size
        size = (scaled_side(w, scale), scaled_side(h, scale))
        if min(size) < 1:
            raise AtlasError(f"{sprite.source}: {w} x {h} pixels would be less than 1 px a side at scale "
                             f"{scale:g}; use a larger --variant scale")
        return replace(sprite, size=size)
    source_open = sprite.open

    def open_scaled(examine: Optional[Examine]) -> np.ndarray:
        def examine_scaled(size: Tuple[int, int], opaque: bool) -> None:
            if examine is not None:
                examine((scaled_side(size[0], scale), scaled_side(size[1], scale)), opaque)

        return scaled(source_open(examine_scaled), scale, sprite.source)

    normal = sprite.normal
    if normal is not None:
        normal_open = normal.open
        assert normal_open is not None
        normal = replace(normal, open=lambda examine: scaled(normal_open(None), scale, normal.source, straight=True))
    return replace(sprite, open=open_scaled, normal=normal, file=None)


def _variant(found: Found, args: argparse.Namespace, texture: TextureOptions, scale: float, suffix: str,
             resolution: float, layer_of: Optional[Dict[str, int]], cache: Optional[BuildCache],
             progress: Progress, warnings: List[str]
             ) -> Tuple[List[Entry], List[Pixels], List[Layer], List[Layer], List[AtlasLayer]]:
    """One variant's atlas: the sprites scaled, read, packed and described
    (the entries, their distinct pictures, the layers that place them, the
    layers of their normal maps, and the model the writers read). Without `layer_of` the layout decides each
    sprite's layer; with it (the layer of each name in the first variant),
    every layer is packed as in that variant, so that a game can switch
    variants without a name moving."""
    fmt = layout_of(args.format, args.template)
    sprites = [scaled_sprite(s, scale) for s in found.sprites]
    gaps = spacing(args)
    if sprites[0].open is not None:
        with progress.phase("read", len(sprites), "sprite") as step:
            fits = functools.partial(check_fit, texture=args.max_texture_size, spacing=gaps)
            trim = Trim(args.trim_threshold, args.trim_margin) if fmt.trims else None
            entries = read_entries(sprites, trim=trim, share=not args.no_alias, step=step, check=fits,
                                   known=functools.partial(cache.reading, scale) if cache else lambda s: None,
                                   most_side=args.max_texture_size)
        if cache:
            cache.remember(scale, entries)
    else:
        entries = _entries_without_pixels(sprites)
    _check_nine_slices(entries)
    entries.sort(key=lambda e: natural_key(e.sprite.name))
    numbers = itertools.count(1 + max((e.pixels.index for e in entries), default=0))

    def copy_of(picture: Pixels) -> Pixels:
        return replace(picture, index=next(numbers))

    if layer_of is not None:  # a picture shared across the first variant's layers is placed once in each
        copies: Dict[Tuple[int, int], Pixels] = {}
        copied = set()
        for i, e in enumerate(entries):
            key = (e.pixels.index, layer_of[e.sprite.name])
            if key not in copies:
                copies[key] = copy_of(e.pixels) if e.pixels.index in copied else e.pixels
                copied.add(e.pixels.index)
            entries[i] = replace(e, pixels=copies[key])
    # Animations are listed where their frames share a layer; a multipack
    # keeps each in one layer, as PixiJS reads an animation from one, so
    # there a frame that two animations show is stored once for each.
    every_group = animations(e.sprite.name for e in entries)
    groups = every_group if fmt.animations else {}
    timings, speed_durations = _timings(every_group, found, args.playback)
    entry_of = {e.sprite.name: e for e in entries}
    if fmt.animations_whole:
        owner: Dict[int, str] = {}
        own_copy: Dict[Tuple[int, str], Pixels] = {}
        for name, frames in groups.items():
            for frame in frames:
                entry = entry_of[frame]
                if owner.setdefault(entry.pixels.index, name) != name:
                    entry.pixels = own_copy.setdefault((entry.pixels.index, name), copy_of(entry.pixels))
    pictures = list({e.pixels.index: e.pixels for e in entries}.values())
    position = {p.index: i for i, p in enumerate(pictures)}
    together = {name: [position[entry_of[f].pixels.index] for f in frames]
                for name, frames in groups.items()} if fmt.animations_whole else {}
    layout = functools.partial(lay_out, max_texture_size=args.max_texture_size, spacing=gaps,
                               rotation=fmt.rotates and not args.no_rotation,
                               texture_sizes=layer_sizes(args),
                               layouts=cache.layouts if cache else None, placed=cache.placed if cache else None,
                               side_multiple=BLOCK_SIDE if texture.blocks else 1, align=alignment(args, texture))

    with progress.phase("packed", len(pictures), "sprite") as step:
        if layer_of is None:
            layers = layout(pictures, progress=step, together=together)
        else:
            first_layer = {e.pixels.index: layer_of[e.sprite.name] for e in entries}
            layers = []
            for index in sorted(set(first_layer.values())):
                mine = [i for i, p in enumerate(pictures) if first_layer[p.index] == index]
                local = {picture: n for n, picture in enumerate(mine)}
                packed = layout([pictures[i] for i in mine], progress=step, together={
                    name: [local[i] for i in members] for name, members in together.items()
                    if all(i in local for i in members)})
                if len(packed) > 1:
                    raise AtlasError(f"at scale {scale:g}, the sprites of layer {index} need more than one texture; "
                                     "raise --max-texture-size, or add a smaller --variant first")
                packed[0].index = index
                layers += packed
    for layer in layers:
        layer.scale, layer.suffix = scale, suffix
    normal_map = args.normal_maps or ""
    # Each sprite's normal map where the sprite lies, in a layer of its own beside each.
    normal_layers = [Layer(layer.index, layer.width, layer.height,
                           [Placement(p.pixels.normal, p.x, p.y, p.rotated) for p in layer.placements
                            if p.pixels.normal is not None], scale, suffix, normal_map)
                     for layer in layers] if normal_map else []

    placement_of = {p.pixels.index: (layer, p) for layer in layers for p in layer.placements}
    atlas = {layer.index: AtlasLayer(layer.index, image_name(layer, texture), texture.plain, layer.width,
                                     layer.height, scale, resolution, suffix, texture.premultiply, layer.fill_ratio,
                                     normal_map)
             for layer in layers}
    for e in entries:
        layer, p = placement_of[e.pixels.index]
        settings = e.sprite.settings
        atlas[layer.index].frames.append(Frame(
            e.sprite.name, p.x, p.y, e.pixels.width, e.pixels.height, p.rotated, e.box[0], e.box[1], e.size[0],
            e.size[1], settings.pivot, settings.nine_slice, e.pixels.index,
            settings.duration if settings.duration is not None else speed_durations.get(e.sprite.name)))
    for name, frames in every_group.items():
        for index in {placement_of[entry_of[f].pixels.index][0].index for f in frames}:
            atlas[index].timings[name] = timings[name]
    left_out = []
    for name, frames in groups.items():
        holding = {placement_of[entry_of[f].pixels.index][0].index for f in frames}
        if len(holding) == 1:
            atlas[holding.pop()].animations[name] = frames
        else:
            left_out.append(name)
    if left_out and layer_of is None:
        count = f"{len(left_out)} animation{'s' if len(left_out) > 1 else ''} ({left_out[0]!r}" \
                f"{', ...' if len(left_out) > 1 else ''})"
        if fmt.animations_whole:
            why, fix = "need more than one texture each, and PixiJS reads an animation from one", ""
        else:
            why = f"have frames in more than one layer, and {args.format} lists an animation with its layer"
            fix = ", or use --format pixijs, which keeps each animation in one layer"
        warnings.append(f"tessel-atlas: warning: {count} {why}: left out of the manifests; raise --max-texture-size "
                        f"to keep them{fix}")
    return entries, pictures, layers, normal_layers, [atlas[index] for index in sorted(atlas)]


@dataclass
class Built:
    """What a build made, plain data a watch keeps between builds (see
    rebuild_saved): each variant's entries (largest scale first), every
    layer image with its composition and each file's content key, the
    manifests' names, what the summary says, the cache to write, and (a
    watch's) the pixels of the layer images written last."""

    found: Found
    out: Path
    args: argparse.Namespace
    texture: TextureOptions
    variants: List[Tuple[float, str]]
    entries: List[List[Entry]]
    layers: List[Layer]  # the first variant's, which the summary counts
    images: List[Layer]  # every variant's layers, then their normal maps'
    models: List[List[AtlasLayer]]
    manifests: List[str]
    keys: Dict[str, str]  # each file's content, by name
    compositions: Dict[str, Composition]  # each layer image file's (every format's, previews'), by name
    outcome: dict
    warnings: List[str]
    cache: Optional[BuildCache]
    result: Optional[Result] = None
    index: Optional["_Index"] = None  # made by the first rebuild_saved
    layer_pixels: Optional[Dict[str, np.ndarray]] = None  # a watch's, as write_atlas keeps them


@dataclass
class _Index:
    """Where rebuild_saved finds what a save touches in a Built: each
    variant's entries by their file, how many entries show each picture
    (by what sprites share it by), each sprite's place in found.sprites,
    and each picture's among the placements of each layer image file (by
    its id)."""

    entry_of: List[Dict[str, Entry]]
    alike: List["collections.Counter[tuple]"]
    sprite_at: Dict[str, int]
    placed_at: Dict[str, Dict[int, int]]


def _indexed(built: Built) -> _Index:
    return _Index([{e.sprite.source: e for e in entries} for entries in built.entries],
                  [collections.Counter(_alike(e.pixels) for e in entries) for entries in built.entries],
                  {s.source: i for i, s in enumerate(built.found.sprites)},
                  {name: {id(p.pixels): i for i, p in enumerate(drawn.placements)}
                   for name, drawn in built.compositions.items()})


def _build(found: Found, out: Path, args: argparse.Namespace, progress: Progress, cache: Optional[BuildCache],
           start: float, keep_layers: bool = False) -> Built:
    with_pixels = found.sprites[0].open is not None
    texture = texture_options(args)
    variants = variants_of(args)
    resolution_of = resolutions(variants)
    layer_of: Optional[Dict[str, int]] = None
    warnings: List[str] = []
    manifests: Dict[str, Union[dict, str]] = {}
    kept_manifests: Dict[str, str] = {}  # name -> content key, of the files kept as they are
    all_layers: List[Layer] = []
    normal_layers: List[Layer] = []
    models: List[List[AtlasLayer]] = []
    every_entries: List[List[Entry]] = []
    for scale, suffix in variants:
        entries, pictures, placed, normals, atlas = _variant(found, args, texture, scale, suffix,
                                                             resolution_of[suffix], layer_of, cache, progress, warnings)
        if layer_of is None:
            layer_of = {f.name: a.index for a in atlas for f in a.frames}
            layers = placed
        models.append(atlas)
        every_entries.append(entries)
        all_layers += placed
        normal_layers += normals
    outcome = {"shared": len(entries) - len(pictures), "layers": len(layers), "fill": _fill_summary(layers),
               "variants": len(variants), "warnings": warnings}
    options = format_options(args)
    sets = _manifest_sets(models, texture)
    key = manifests_key(args.format, [variant for variants in sets for variant in variants], options) if cache else ""
    names = cache.kept_manifests(out, key) if cache else None
    if names is None:
        manifests.update(all_manifests(args.format, sets, options))
        names = list(manifests)
    else:  # as the last build wrote them: kept, their keys as they were
        kept_manifests.update((name, cache.files[name][0]) for name in names)
    if cache:
        cache.manifested = [key, names]
    _check_files(args, texture, [layer for variant in models for layer in variant], names)

    if with_pixels:
        check_layer_sides(texture, args.max_texture_size, [(layer.width, layer.height) for layer in all_layers])
    warnings += [f"tessel-atlas: warning: layer {layer.index}{layer.suffix} is {layer.width} x {layer.height} px; "
                 "many GPUs load at most 8,192 px a side, most at most 16,384: lower --max-texture-size"
                 for layer in all_layers if max(layer.width, layer.height) > GPU_SAFE_SIDE]
    built = Built(found, out, args, texture, variants, every_entries, layers, all_layers + normal_layers, models,
                  names, {}, {}, outcome, warnings, cache, layer_pixels={} if keep_layers else None)
    patches: Dict[str, List[Placement]] = {}
    if cache:  # each file's content, to keep the files that already hold it, or draw only what changed
        for layer in built.images:
            files = {texture_name(layer, fmt): composition(layer, texture.recipe(fmt))
                     for fmt in (texture.plain,) + texture.blocks}
            if args.preview and not layer.map:
                files[f"{layer.stem}_preview.png"] = composition(layer, "preview")
            built.compositions.update(files)
            built.keys.update((name, drawn.key) for name, drawn in files.items())
            if with_pixels:
                name = image_name(layer, texture)
                cache.composed[name] = [files[name].geometry, files[name].fingerprints]
                changed = cache.changed_placements(out, name, files[name])
                if changed is not None:
                    patches[name] = changed
        built.keys.update((name, content_key(manifest)) for name, manifest in manifests.items())
        built.keys.update(kept_manifests)
        cache.outcome = outcome
        if with_pixels:
            from .resaved import snapshot  # which builds with this module's parts
            cache.saves = snapshot(built)
    built.result = _write(built, manifests, patches, progress, start)
    return built


def _write(built: Built, manifests: Dict[str, Union[dict, str]], patches: Dict[str, List[Placement]],
           progress: Progress, start: float, cache_later: bool = False) -> Result:
    """Writes the built atlas: the manifests given and every file whose
    content (by built.keys) the folder does not hold already, the layer
    images in `patches` drawn only where those placements lie. With
    `cache_later`, the cache file is left as it is, for the caller to
    write once the atlas is in place (write_cache)."""
    args, out, texture, cache, outcome = built.args, built.out, built.texture, built.cache, built.outcome
    with_pixels = built.found.sprites[0].open is not None
    first_atlas = built.models[0]
    plain_layers = [layer for layer in built.images if not layer.map]

    def finish(staging: Path, kept: Sequence[str]) -> Dict[str, Union[str, Callable[[], Optional[Text]]]]:
        """The files written once the layers are: the report, and then the
        cache, which keeps the report's stat too (it is written every time)."""
        more: Dict[str, Union[str, Callable[[], Optional[Text]]]] = {}
        if with_pixels:  # every block file is measured by now
            outcome["quality"] = _quality(texture, plain_layers, measured)
        if args.report:
            sizes = {a.image: ((out if a.image in kept else staging) / a.image).stat().st_size
                     for a in first_atlas if with_pixels}
            worst = {layer.index: {block: measured[texture_name(layer, block)].worst for block in texture.blocks
                                   if texture_name(layer, block) in measured} for layer in first_atlas}
            more[REPORT_NAME] = report_html(first_atlas, sizes, f"tessel-atlas: {out.name}", worst)
        if cache:
            # As JSON gives them back (lists, not tuples): the cache compares them with the last build's.
            cache.quality = {name: [keys[name], found.squared_error, found.samples, [list(w) for w in found.worst]]
                             for name, found in measured.items()}
            if not cache_later:
                more[CACHE_NAME] = lambda: cache.text(staging, out, stamped, kept)
        return more

    keys = built.keys
    stamped = _stamped(built)
    unchanged = [name for name, key in keys.items() if cache and cache.unchanged(out, name, key)]
    measured: Dict[str, Quality] = {}  # block files' Quality: of those kept, as the last build measured it
    for name in unchanged:
        known = cache.kept_quality(name, keys[name]) if cache else None
        if known is not None:
            measured[name] = known
    if with_pixels:  # the pictures of the layers drawn whole, read here if a cache spared reading them
        read_again(p.pixels for layer in built.images if image_name(layer, texture) not in patches and any(
            texture_name(layer, fmt) not in unchanged for fmt in texture.formats) for p in layer.placements)
    with progress.phase("wrote", len(built.images), "layer") as step:
        write_atlas(out, built.images, manifests, with_pixels=with_pixels, with_preview=args.preview,
                    texture=texture, step=step, patches=patches,
                    unchanged=unchanged + ([CACHE_NAME] if cache_later else []), finish=finish, measured=measured,
                    layer_pixels=built.layer_pixels)
    line = summary(len(built.found.sprites), built.found.skipped_files, outcome, time.perf_counter() - start, out)
    return Result(line, built.models, built.warnings)
