"""A run after sprites were only saved over: the atlas drawn again where
they lie, from the cache alone, without looking for the sprites or
reading the others (the command's counterpart of a watch's
builder.rebuild_saved).

A build records in its cache (`snapshot`) what its scan saw, each folder it
listed and each file it looked into with their stamps, and where each
sprite lies that can be drawn again alone: a still image, the only sprite
of its file, with a picture of its own in every variant. The next run
(`rebuilt`) compares those stamps with the files' own, one stat each.
Where every folder and every other file is as recorded, a scan would find
the same sprites; where each file that changed is such a sprite, still
showing the same box of the same size, with a picture like no other, a
clean build would place every picture as before and write the same
manifests. Then only those sprites are read and drawn again, onto the
layer images as written, and the cache says so. Anything else, or any
doubt (a stamp too close to when it was seen to tell a second change by,
a cache that does not hold together), and the command builds as it
always has. It costs a stat per file and reading the cache, where a
rebuild from the cache makes a model of every sprite.

Not for block formats, previews, reports, mipmaps or normal maps, whose
files hold more of each sprite than its place in a layer image.
"""

from __future__ import annotations

import argparse
import collections
import functools
import os
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .builder import Built, cache_key, check_fit, scaled_sprite, spacing, summary, texture_options, variants_of
from .cache import BuildCache, composition_key, valid_composition
from .formats import layout_of
from .images import SpriteChanged, Trim, read_entries, workers
from .inputs import found_again
from .jobs import Plan, default_settings
from .layout import Layer, Placement
from .model import Result
from .output import CACHE_NAME, TextureOptions, image_name, locked_folder, recorded_files, write_atlas
from .project import rules_key, with_settings
from .sprites import RACY_NS, Sprite, file_stamp, newest

try:
    from . import _stamps
except ImportError:  # built on Linux only
    _stamps = None  # type: ignore[assignment]

# `where` holds four lists, an entry of each per sprite: its file's path;
# its name; its file's stamp as the scan found it; and in each variant its
# layer image (by number in `layers`), its position in that image's
# composition, x, y, whether rotated, and its reading's box (left, top,
# right, bottom) and size. Numbers are written as text, each stamp or
# place one string, and the entries as columns, not a list each: a run
# parses 20,000 in a sixth of the time, and compares stamps as text.
PLACE = 11


def _stamp_text(stamp: Sequence[int]) -> str:
    """A file's stamp (sprites.file_stamp) as `where` writes it."""
    size, modified, changed, inode = stamp
    return f"{size} {modified} {changed} {inode}"


def stamp_texts(paths: List[str], recent: int) -> List[Optional[str]]:
    """Each file's stamp as `where` writes it; "" where the file was
    modified or changed at or after `recent` ns, too close to when it was
    seen to trust; None where it cannot be statted. On Linux the stats are
    taken on every core, and their fields made, by _stamps."""
    if _stamps is not None:
        return _stamps.stamp_texts(paths, min(max(recent, -2**63), 2**63 - 1), workers())
    texts: List[Optional[str]] = []
    for path in paths:
        try:
            stamp = file_stamp(os.stat(path))
        except (OSError, ValueError):
            texts.append(None)
            continue
        texts.append("" if newest(stamp) >= recent else _stamp_text(stamp))
    return texts


def applies(args: argparse.Namespace, texture: TextureOptions) -> bool:
    """Whether a layer image, one a layer, is all that shows each sprite's pixels."""
    return (not args.no_cache and texture.formats == (texture.plain,) and not args.preview and not args.report
            and args.mipmaps is None and not args.normal_maps)


def snapshot(built: Built) -> Optional[dict]:
    """What the next run needs to tell that only sprites were saved over,
    and where those lie: None where the build's scan or options rule that
    out."""
    found, args, texture = built.found, built.args, built.texture
    if found.folders is None or not applies(args, texture):
        return None
    plain = [layer for layer in built.images if not layer.map]
    names = [image_name(layer, texture) for layer in plain]
    per_file = collections.Counter(s.source for s in found.sprites)
    alone = {source for source, count in per_file.items() if count == 1}
    places: Dict[str, list] = {}  # a sprite's place in each variant so far
    for variant, ((scale, suffix), entries) in enumerate(zip(built.variants, built.entries)):
        showing = collections.Counter(e.pixels.index for e in entries)
        lying: Dict[int, Optional[tuple]] = {}  # by picture: where it lies, None if in two places
        for number, (layer, name) in enumerate(zip(plain, names)):
            if (layer.scale, layer.suffix) == (scale, suffix):
                for position, p in enumerate(built.compositions[name].placements):
                    lying[id(p.pixels)] = None if id(p.pixels) in lying else (number, position, p)
        for e in entries:
            place, source = lying.get(id(e.pixels)), e.sprite.source
            if place is None or showing[e.pixels.index] != 1 or source not in alone or e.sprite.normal is not None:
                continue
            done = places.setdefault(source, []) if variant == 0 else places.get(source)
            if done is not None and len(done) == variant:
                number, position, p = place
                (left, top, right, bottom), (width, height) = e.box, e.size
                done.append(f"{number} {position} {p.x} {p.y} {int(p.rotated)} {left} {top} {right} {bottom} "
                            f"{width} {height}")
    stamps = dict(found.files)  # a frame's source names its file and the frame: not one of these
    where = [(source, sprite.name, _stamp_text(file_stamp(stamps[source])), " ".join(places[source]))
             for sprite in found.sprites for source in [sprite.source]
             if source in stamps and len(places.get(source, ())) == len(built.variants)]
    placed = {source for source, *_ in where}
    return {"listed": found.listed, "rules": found.rules, "counts": [len(found.sprites), found.skipped_files],
            "folders": found.folders,
            "layers": [[name, layer.index, layer.width, layer.height, layer.scale, layer.suffix]
                       for layer, name in zip(plain, names)],
            "where": [list(column) for column in zip(*where)] if where else [[], [], [], []],
            "fixed": {path: list(file_stamp(stat)) for path, stat in found.files if path not in placed}}


def _ints(values: Any) -> bool:
    return all(type(v) is int for v in values)


def _listed_as_seen(scan: Any) -> bool:
    """Whether every folder a scan listed is as it saw it, by stamps too
    old for a second change to have kept."""
    if not (type(scan) is dict and type(scan.get("listed")) is int and type(scan.get("folders")) is list):
        return False
    before = scan["listed"] - RACY_NS
    for entry in scan["folders"]:
        if type(entry) is not list or len(entry) not in (1, 4) or type(entry[0]) is not str:
            return False
        try:
            stat = os.stat(entry[0])
        except OSError:
            if len(entry) == 1:  # as it was: nothing there to look into
                continue
            return False
        if [stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino] != entry[1:] or \
                max(stat.st_mtime_ns, stat.st_ctime_ns) >= before:
            return False
    return True


def _files_as_seen(saves: dict) -> bool:
    """Whether every file the scan looked into that cannot be drawn again
    alone is as it saw it, as _listed_as_seen tells."""
    before = saves["listed"] - RACY_NS
    for path, stamp in saves["fixed"].items():
        try:
            now = file_stamp(os.stat(path))
        except OSError:
            return False
        if list(now) != stamp or newest(now) >= before:
            return False
    return True


def _valid(saves: Any) -> bool:
    """The snapshot's parts beyond the scan's folders (_listed_as_seen) as
    a build writes them (each sprite's place is checked as it is used)."""
    where = saves.get("where") if type(saves) is dict else None
    return (type(saves) is dict and type(saves.get("rules")) is str
            and type(saves.get("counts")) is list and len(saves["counts"]) == 2 and _ints(saves["counts"])
            and type(where) is list and len(where) == 4 and all(type(column) is list for column in where)
            and len({len(column) for column in where}) == 1 and all(type(path) is str for path in where[0])
            and type(saves.get("fixed")) is dict
            and type(saves.get("layers")) is list
            and all(type(layer) is list and len(layer) == 6 and type(layer[0]) is str and _ints(layer[1:4])
                    and type(layer[4]) in (int, float) and type(layer[5]) is str for layer in saves["layers"]))


def rebuilt(plan: Plan) -> Optional[Result]:
    """The plan's atlas built again where its folders' files changed only
    by sprites saved over in place (see above), its Result once it is in
    place; None, having written nothing, where a build must look further."""
    args = plan.args
    texture = texture_options(args)
    if not applies(args, texture) or not args.inputs or args.out is None or not os.path.isdir(args.out) or \
            not all(os.path.isdir(path) for path in args.inputs) or \
            (args.template is not None and not os.path.isfile(args.template)):
        return None
    start = time.perf_counter()
    variants = variants_of(args)
    with locked_folder(args.out):
        # These very options' cache: what it costs to read is what the last build of these inputs wrote. A
        # damaged one is the build's to tell of.
        cache = BuildCache.load_within(args.out, cache_key(args), 1 << 62, warn=False)
        if cache.path is None or not _listed_as_seen(cache.scan_before):  # before the rest is read
            return None
        saves = cache.saves_before
        if not _valid(saves) or saves["rules"] != rules_key(plan.rules) or \
                not cache.as_written(args.out, recorded_files(args.out)) or not _files_as_seen(saves):
            return None
        paths, names, stamps, places = saves["where"]
        # Stamps of sprites read again since the snapshot (a run after saves) stand for the snapshot's; one not
        # as written matches nothing.
        first = f"{variants[0][0]!r}|"
        newer = {key[len(first):]: _stamp_text(entry[0]) if type(entry[0]) is list and len(entry[0]) == 4 and
                 _ints(entry[0]) else None
                 for key, entry in cache.journal_before.items()
                 if key.startswith(first) and type(entry) is list and entry}
        changed = []
        for path, name, was, now, place in zip(paths, names, stamps, stamp_texts(paths, cache.trusted_before), places):
            if now is None:
                return None
            if not now or now != newer.get(path, was):
                changed.append((path, name, place))
        outcome: dict = cache.outcome_before or {}  # as a build writes it (as_written)
        sprites, skipped = saves["counts"]
        if not changed:  # as the last build left it
            return Result(summary(sprites, skipped, outcome, time.perf_counter() - start, args.out), [],
                          outcome["warnings"])
        drawn = _drawn_again(plan, cache, saves, changed, variants)
        if drawn is None:
            return None
        patches, keys = drawn
        cache.inputs, cache.outcome, cache.quality = None, outcome, {}  # the scan's key: taken by the next scan
        touched = {os.path.dirname(path) for path, _, _ in changed}  # whose PNGs' heads the next scan looks into
        heads = cache.heads_before if isinstance(cache.heads_before, dict) else {}
        cache.heads = {folder: head for folder, head in heads.items() if folder not in touched}
        cache.saves = saves
        layers = []
        for name in patches:
            _, index, width, height, scale, suffix = next(layer for layer in saves["layers"] if layer[0] == name)
            layers.append(Layer(index, width, height, [], scale, suffix))
            if image_name(layers[-1], texture) != name:
                return None
        try:
            write_atlas(args.out, layers, {}, with_pixels=True, with_preview=False, texture=texture,
                        step=lambda n: None, unchanged=[name for name in cache.files if name not in patches],
                        patches=patches,
                        finish=lambda staging, kept: {CACHE_NAME: lambda: cache.text(staging, args.out, keys, kept)})
        except SpriteChanged:  # saved again meanwhile: a build reads it once more
            return None
    return Result(summary(sprites, skipped, outcome, time.perf_counter() - start, args.out), [], outcome["warnings"])


def _drawn_again(plan: Plan, cache: BuildCache, saves: dict, changed: List[Tuple[Any, Any, Any]],
                 variants: List[Tuple[float, str]]) -> Optional[Tuple[Dict[str, Sequence[Placement]], Dict[str, str]]]:
    """Reads the sprites of `changed` (path, name, place) again and finds what to draw: each
    layer image's placements to draw again, and every file's content key;
    cache takes their readings and the layer images' compositions. None
    where a save changed more than pixels in place."""
    args = plan.args
    fmt = layout_of(args.format, args.template)
    trim = Trim(args.trim_threshold, args.trim_margin) if fmt.trims else None
    fits = functools.partial(check_fit, texture=args.max_texture_size, spacing=spacing(args))
    compositions, layers = dict(cache.compositions), saves["layers"]
    journal = dict(cache.journal_before)
    # Only files inside the inputs are read: the cache, however it came to say otherwise, names no other.
    inputs = tuple(os.path.join(os.path.normpath(path), "") for path in args.inputs)
    patched: Dict[str, List[Tuple[int, Placement, str]]] = {}
    # Each variant's fingerprints of the pictures drawn again, before and now.
    old: List[List[str]] = [[] for _ in variants]
    new: List[List[str]] = [[] for _ in variants]
    for path, name, place in changed:
        try:
            numbers = [int(n) for n in place.split(" ")]
        except (AttributeError, ValueError):  # not as a build writes it
            return None
        if type(name) is not str or len(numbers) != len(variants) * PLACE or \
                min(numbers) < 0 or not os.path.normpath(path).startswith(inputs):
            return None
        (sprite,) = with_settings([Sprite(name, path, settings=default_settings(args))], plan.rules)
        again = found_again(sprite)
        if again is None or again.stamp is None:
            return None
        text = cache.settings_text(again.settings)
        for variant, (scale, _) in enumerate(variants):
            at = variant * PLACE
            number, position, x, y, rotated = numbers[at:at + 5]
            box, size = numbers[at + 5:at + 9], numbers[at + 9:at + 11]
            layer = compositions.get(layers[number][0]) if 0 <= number < len(layers) else None
            if layer is None or not 0 <= position < len(layer[1]):
                return None  # the cache does not hold together
            (entry,) = read_entries([scaled_sprite(again, scale)], trim=trim, share=False, step=lambda n: None,
                                    check=fits)
            if [list(entry.box), list(entry.size)] != [box, size]:
                return None  # placed otherwise by a clean build
            before, fingerprint = layer[1][position], (entry.pixels.fingerprint or b"").hex()
            journal[f"{scale!r}|{path}"] = [list(again.stamp), text, box, size, fingerprint]
            if fingerprint != before:
                patched.setdefault(layers[number][0], []).append(
                    (position, Placement(entry.pixels, x, y, bool(rotated)), fingerprint))
                old[variant].append(before)
                new[variant].append(fingerprint)
    for variant, fingerprints in enumerate(new):
        if fingerprints:  # each picture shown by one sprite before and now, as a clean build would have it
            own = [compositions.get(layer[0]) for layer in layers if (layer[4], layer[5]) == variants[variant]]
            if not all(map(valid_composition, own)):
                return None
            shown = collections.Counter(f for entry in own if entry is not None for f in entry[1])
            if len(set(fingerprints)) < len(fingerprints) or any(shown[f] for f in fingerprints) or \
                    any(shown[f] != 1 for f in old[variant]):
                return None
    keys = {name: entry[0] for name, entry in cache.files.items()}
    for name, items in patched.items():
        geometry, fingerprints = compositions[name]
        if type(geometry) is not str or not all(type(f) is str for f in fingerprints) or \
                name not in keys or composition_key(geometry, fingerprints) != keys[name]:
            return None
        fingerprints = list(fingerprints)
        for position, _, fingerprint in items:
            fingerprints[position] = fingerprint
        compositions[name] = [geometry, fingerprints]
        keys[name] = composition_key(geometry, fingerprints)
    cache.journal, cache.composed = journal, compositions
    return {name: [p for _, p, _ in items] for name, items in patched.items()}, keys
