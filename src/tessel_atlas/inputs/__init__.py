"""Finding the sprites to pack: image files, folders searched for them, or
CSV layouts. One module per kind of source turns a file into named
sprites (frames) with their settings and timing: still images, Aseprite
files, animated GIF/PNG/WebP, Photoshop layers, CSV rows."""

from __future__ import annotations

import fnmatch
import hashlib
import os
import time
from dataclasses import replace
from pathlib import Path
from stat import S_ISREG
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from ..errors import AtlasError
from ..images import workers
from ..sprites import RACY_NS, Found, Sprite, SpriteSettings, file_stamp
from . import animated, aseprite, psd, rows, still
from .frames import frame_sprites

EXTENSIONS = still.EXTENSIONS | aseprite.EXTENSIONS | psd.EXTENSIONS


def _file_sprites(path: str, name: str, stat: os.stat_result, settings: SpriteSettings, found: Found,
                  maybe_animated: Optional[bool] = None) -> List[Sprite]:
    """The sprites of one file, by its kind; an animation's timings go to
    found. `maybe_animated` is animated.maybe_animated(path), where known."""
    extension = os.path.splitext(path)[1].lower()
    stamp = file_stamp(stat)
    if extension in psd.EXTENSIONS:
        return psd.sprites(path, name, stamp, settings)
    frames = aseprite.read(path) if extension in aseprite.EXTENSIONS else \
        animated.read(path, maybe_animated) if extension in animated.EXTENSIONS else None
    if frames is None:
        # Not opened here: reading decodes each image once, on a thread per core.
        return [Sprite(name, path, None, lambda examine: still.read_image(path, examine), settings, stamp, file=path)]
    sprites, timings = frame_sprites(path, name, stamp, settings, *frames)
    found.timings.update(timings)
    return sprites


def _identity(stat: os.stat_result) -> Tuple[int, int]:
    return stat.st_dev, stat.st_ino


def _walk(root: str, skip: Set[Tuple[int, int]], folders: List[list]) -> Iterator[Tuple[str, str, os.stat_result]]:
    """Every file under root in a stable order (a folder's files by name,
    then its subfolders' by name), with its path inside root and its
    stat: folder links followed once each (a link back up the tree would
    loop), folders whose identity is in `skip` left out. Folders and links
    that cannot be read are passed over, as a listing would. Each folder
    looked into is added to `folders` as [path, mtime, ctime, inode], and
    each path passed over that could come to hold files as [path]."""
    seen = set()
    stack = [(root, "")]
    while stack:
        folder, prefix = stack.pop()
        try:
            stat = os.stat(folder)
        except OSError:
            folders.append([folder])
            continue
        identity = _identity(stat)
        if identity in seen or identity in skip:
            continue
        seen.add(identity)
        folders.append([folder, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino])
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError:  # unreadable: made readable, its change time tells
            continue
        subfolders = []
        for entry in entries:
            try:
                if entry.is_dir():
                    subfolders.append((entry.path, f"{prefix}{entry.name}/"))
                    continue
                stat = entry.stat()
            except OSError:  # a link to nothing
                folders.append([entry.path])
                continue
            if S_ISREG(stat.st_mode):
                yield entry.path, prefix + entry.name, stat
        stack.extend(reversed(subfolders))


def _heads_key(pngs: Sequence[Tuple[str, str, os.stat_result]]) -> str:
    text = "\n".join(f"{path}\0{s.st_size}\0{s.st_mtime_ns}\0{s.st_ctime_ns}\0{s.st_ino}" for path, _, s in pngs)
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()


def png_heads(files: Sequence[Tuple[str, str, os.stat_result]],
              known: Dict[str, Any]) -> Tuple[Dict[str, list], Dict[str, bool]]:
    """What looking into the head of each PNG among `files` (_walk's)
    finds: by folder, [a key of the folder's PNGs' paths and stamps, the
    names of those that may be animated (animated.maybe_animated), when
    it looked, in ns]; and by path, whether each may be animated. Nearly
    every PNG is a still, yet telling costs a
    file opened and read, most of a rebuild's scan; so a folder that
    `known` (the last build's, from its cache) has under the same key is
    not looked into again, unless a file in it was changed in the
    RACY_NS before it was looked into, when a second change could have
    kept its stamp."""
    folders: Dict[str, List[Tuple[str, str, os.stat_result]]] = {}
    for file in files:
        if file[0][-4:].lower() == ".png":
            folders.setdefault(os.path.dirname(file[0]), []).append(file)
    heads: Dict[str, list] = {}
    maybe: Dict[str, bool] = {}
    to_look: Dict[str, Tuple[str, List[Tuple[str, str, os.stat_result]]]] = {}
    for folder, pngs in folders.items():
        key = _heads_key(pngs)
        entry = known.get(folder)
        if _valid_heads(entry) and entry[0] == key and \
                max(max(s.st_mtime_ns, s.st_ctime_ns) for _, _, s in pngs) < entry[2] - RACY_NS:
            heads[folder], names = entry, set(entry[1])
            maybe.update((path, os.path.basename(path) in names) for path, _, _ in pngs)
        else:
            to_look[folder] = (key, pngs)
    # The other folders' PNGs all at once, on every core.
    looked = time.time_ns()
    paths = [path for _, pngs in to_look.values() for path, _, _ in pngs]
    if paths:
        maybe.update(zip(paths, animated.pngs_maybe_animated(paths, workers())))
    for folder, (key, pngs) in to_look.items():
        heads[folder] = [key, [os.path.basename(path) for path, _, _ in pngs if maybe[path]], looked]
    return heads, maybe


def _valid_heads(entry: Any) -> bool:
    return (type(entry) is list and len(entry) == 3 and type(entry[0]) is str and type(entry[1]) is list
            and all(type(name) is str for name in entry[1]) and type(entry[2]) is int)


def _excluded(relative: str, patterns: Sequence[str]) -> bool:
    name = relative.rsplit("/", 1)[-1]
    return any(fnmatch.fnmatchcase(relative, p) or fnmatch.fnmatchcase(name, p) for p in patterns)


def top_folders(folder: Path, exclude: Sequence[str] = ()) -> List[Path]:
    """The folders directly inside `folder`, one atlas each, by name: an
    image beside them, which would be in none, is refused."""
    if not folder.exists():
        raise AtlasError(f"{folder}: no such file or folder")
    if not folder.is_dir():
        raise AtlasError(f"{folder}: not a folder; --atlas-per-folder makes an atlas of each folder inside its "
                         "inputs, so give folders")
    with os.scandir(folder) as listing:
        entries = sorted(listing, key=lambda entry: entry.name)
    for entry in entries:
        if not entry.is_dir() and os.path.splitext(entry.name)[1].lower() in EXTENSIONS \
                and not _excluded(entry.name, exclude):
            raise AtlasError(f"{entry.path}: beside the folders that --atlas-per-folder makes atlases of, so in none; "
                             "move it into one, or --exclude it")
    return [Path(entry.path) for entry in entries if entry.is_dir() and not _excluded(entry.name, exclude)]


def _colour_of(relative: str, normal_suffix: str) -> Optional[str]:
    """The path of the still image whose normal map `relative` would be
    (hero_n.png: hero.png), by its name alone."""
    stem, extension = os.path.splitext(relative)
    if not normal_suffix or not stem.endswith(normal_suffix) or extension.lower() not in still.EXTENSIONS:
        return None
    colour = stem[:-len(normal_suffix)]
    return colour + extension if colour and not colour.endswith("/") else None


def _normal_sprite(path: str, relative: str, stat: os.stat_result) -> Sprite:
    return Sprite(relative, path, None, lambda examine: still.read_image(path, examine), stamp=file_stamp(stat))


def _with_normal(sprite: Sprite, normal: Sprite) -> Sprite:
    assert sprite.stamp is not None and normal.stamp is not None
    return replace(sprite, normal=normal, stamp=sprite.stamp + normal.stamp)


def found_again(sprite: Sprite) -> Optional[Sprite]:
    """A still image's sprite found again, as a scan would find it now
    (with its normal map, where it has one): None where a file is gone or
    now holds something else (frames, layers, a sprite of another name)."""
    try:
        stat = os.stat(sprite.source)
        normal_stat = os.stat(sprite.normal.source) if sprite.normal is not None else None
    except OSError:
        return None
    scratch = Found()
    again = _file_sprites(sprite.source, sprite.name, stat, sprite.settings, scratch)
    if len(again) != 1 or scratch.timings or again[0].open is None or again[0].name != sprite.name:
        return None
    if sprite.normal is None or normal_stat is None:
        return again[0]
    return _with_normal(again[0], _normal_sprite(sprite.normal.source, sprite.normal.name, normal_stat))


def collect_sprites(inputs: Iterable[Path], exclude: Sequence[str] = (), skip: Sequence[Path] = (),
                    settings: SpriteSettings = SpriteSettings(), normal_suffix: str = "",
                    known_heads: Optional[Dict[str, Any]] = None) -> Found:
    """Sprites of every input in order, each with `settings`: folders are
    searched recursively for images and artists' files (other files are
    counted, not read), CSV files give rows of name,w,h. Files matching an `exclude`
    pattern (against the path inside its folder, or the file name) and
    folders in `skip` are left out. With `normal_suffix`, a still image
    beside another of the same name but for that suffix (hero_n.png beside
    hero.png) is that one's normal map, not a sprite. `known_heads` is
    what the last build's scan found of PNG files' heads (png_heads).

    A run is either all images or all CSV layout: a mix would leave some
    frames without pixels.
    """
    inputs = list(inputs)
    skipped = set()
    for folder in skip:
        try:
            skipped.add(_identity(os.stat(folder)))
        except OSError:  # not made yet: nothing in it to leave out
            pass
    found = Found(listed=time.time_ns())
    folders: Optional[List[list]] = []
    origin: Dict[str, str] = {}
    first_of_kind: Dict[bool, str] = {}

    def add(sprite: Sprite) -> None:
        try:
            sprite.name.encode("utf-8")
        except UnicodeEncodeError:  # bytes the file system gave that are not UTF-8
            shown = sprite.source.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            raise AtlasError(f"{shown}: the name is not valid UTF-8, so no manifest can hold it; "
                             "rename the file or folder") from None
        if sprite.name in origin:
            raise AtlasError(
                f"two sprites would both be named {sprite.name!r}: {origin[sprite.name]} and {sprite.source}; "
                "manifest keys must be unique, so rename one or pack them separately"
            )
        origin[sprite.name] = sprite.source
        first_of_kind.setdefault(sprite.open is not None, sprite.source)
        found.sprites.append(sprite)

    for path in inputs:
        if path.is_dir():
            if _identity(path.stat()) in skipped:
                raise AtlasError(f"{path}: the output folder (--out), which is never read as input; "
                                 "choose another --out")
            files = [f for f in _walk(str(path), skipped, folders if folders is not None else [])
                     if not (exclude and _excluded(f[1], exclude))]
            normals: Dict[str, Sprite] = {}
            if normal_suffix:
                colours = {relative for _, relative, _ in files
                           if os.path.splitext(relative)[1].lower() in still.EXTENSIONS}
                normals = {colour: _normal_sprite(*f) for f in files
                           for colour in [_colour_of(f[1], normal_suffix)] if colour in colours}
            normal_files = {normal.source for normal in normals.values()}
            heads, maybe_animated = png_heads([f for f in files if f[0] not in normal_files], known_heads or {})
            found.png_heads.update(heads)
            for file, relative, stat in files:
                if file in normal_files:
                    found.files.append((file, stat))
                    continue
                if os.path.splitext(relative)[1].lower() in EXTENSIONS:
                    found.files.append((file, stat))
                    for sprite in _file_sprites(file, relative, stat, settings, found, maybe_animated.get(file)):
                        add(_with_normal(sprite, normals[relative]) if relative in normals else sprite)
                else:
                    found.skipped_files += 1
        elif path.suffix.lower() == ".csv" and path.is_file():
            folders = None
            for sprite in rows.sprites(path):
                add(replace(sprite, settings=settings))
        elif path.is_file():
            folders = None
            colour = _colour_of(path.name, normal_suffix)
            if colour is not None and (path.parent / colour).is_file():
                continue  # a normal map, packed with its sprite
            stem, extension = os.path.splitext(path)
            beside = f"{stem}{normal_suffix}{extension}"
            for sprite in _file_sprites(str(path), path.name, path.stat(), settings, found):
                if normal_suffix and extension.lower() in still.EXTENSIONS and os.path.isfile(beside):
                    sprite = _with_normal(sprite, _normal_sprite(beside, os.path.basename(beside), os.stat(beside)))
                add(sprite)
        else:
            raise AtlasError(f"{path}: no such file or folder")

    found.folders = folders
    if not found.sprites:
        names = ", ".join(str(p) for p in inputs)
        raise AtlasError(f"no sprites found in {names} (looked for PNG, JPEG, GIF, BMP, TGA, WebP, TIFF, PNM, QOI "
                         "and ICO images, Aseprite and Photoshop files)")
    if len(first_of_kind) == 2:
        raise AtlasError(
            f"images and CSV layouts cannot be packed together: {first_of_kind[True]} has pixels, "
            f"{first_of_kind[False]} has none; pack the images alone, or lay out the CSV alone"
        )
    return found
