"""Writing an atlas's files, all or nothing."""

from __future__ import annotations

import errno
import functools
import json
import os
import re
import shutil
import tempfile
from contextlib import closing, contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Collection, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]
    import msvcrt

import numpy as np

from . import interrupts
from ._text import indented_json
from .block_checks import Quality, quality
from .blocks import BLOCK_FORMATS, BLOCK_SIDE, PLAIN_FORMATS, BlockEncoder, encoder_settings, encoder_version
from .errors import AtlasError, require_pillow
from .images import FLAT_NORMAL, compose, drawn_regions, ordered_map, premultiplied, preview, workers
from .inputs.still import read_image
from .layout import Layer, Placement
from .mipmaps import full_chain
from .model import AtlasLayer
from .png import RUNS, Strips, read_layer_strips, shown_alike, write_patched, write_png

# A variant's suffix follows the layer's number in its files' names.
SUFFIX = re.compile(r"(?:[@._-][A-Za-z0-9@._-]*)?")
# The names a run writes, and so the only ones the record of an earlier run
# (RECORD_NAME) is followed for: files in the output folder itself, none of
# the hidden ones below (a sprite named .x.png gives godot's .x.tres). An
# earlier run's that this run does not write are removed.
OUR_FILE = re.compile(r"(?!\.\.?$|\.tessel-atlas)[^/\\\0]+")
# Hidden: a lock while a run writes, the folders its files are made in, and
# the record of the files the last run wrote, which every run leaves, and
# the cache of the last build (cache.py), which a build without it removes.
LOCK_NAME = ".tessel-atlas.lock"
STAGING_PREFIX = ".tessel-atlas-staging-"
CACHE_NAME = ".tessel-atlas-cache.jsonl"
# Where versions before 1.2 kept it, removed when found.
EARLIER_CACHE_NAME = ".tessel-atlas-cache.json"
RECORD_NAME = ".tessel-atlas-files.json"
# Inside the staging folder: the files the new atlas replaces, until it is whole.
REPLACED = ".replaced"


def check_variant_names(variants: Sequence[Tuple[float, str]]) -> None:
    """Refuses a variant suffix given twice (alike but for case, as some
    file systems see names): every file of the one would take the other's
    name."""
    seen: Dict[str, Tuple[float, str]] = {}
    for scale, suffix in variants:
        other = seen.get(suffix.casefold())
        if other is not None:
            alike = "" if other[1] == suffix else f" (as {other[1]}, on file systems that ignore case)"
            raise AtlasError(f"--variant suffix {suffix or '(none)'} given twice{alike}: {other[0]:g}:{other[1]} and "
                             f"{scale:g}:{suffix}; give each variant a suffix of its own")
        seen[suffix.casefold()] = (scale, suffix)


def check_distinct(files: Iterable[Tuple[str, str]]) -> None:
    """Refuses files of one atlas (each a name and what it is) that would
    take one another's name, alike but for case too, as some file systems
    see names: one would silently replace the other, in the atlas and in
    the move that puts it in place."""
    seen: Dict[str, Tuple[str, str]] = {}
    for name, what in files:
        other = seen.get(name.casefold())
        if other is not None:
            alike = name if other[0] == name else f"{other[0]} and {name}"
            raise AtlasError(f"two files of the atlas would both be named {alike}: {other[1]} and {what}; choose "
                             "other --variant suffixes, or rename the template")
        seen[name.casefold()] = (name, what)


@dataclass(frozen=True)
class TextureOptions:
    """How layer images are written: each layer once in each of `formats`,
    of which the first PNG or WebP (`plain`) is the image every manifest
    names; PNG at zlib `png_level` (png.RUNS: runs only), lossless WebP at
    libwebp `webp_method`, block formats (blocks.py) at `block_effort`.
    Bled by `bleed_reach` pixels around each sprite (None: not at all); the
    plain image's colour premultiplied by alpha or not (`premultiply`), the
    block formats' as `blocks_premultiplied` says (the engine the manifests
    are for decides). With `mipmaps` (the levels sprites are kept apart in,
    0 for the default; mipmaps.py), block files hold every mipmap level."""

    formats: Tuple[str, ...] = ("png",)
    png_level: Union[int, str] = RUNS
    webp_method: int = 0
    bleed_reach: Optional[int] = 0
    premultiply: bool = False
    block_effort: str = "medium"
    blocks_premultiplied: bool = False
    mipmaps: Optional[int] = None

    def levels(self, layer: Union[Layer, AtlasLayer]) -> int:
        """The mipmap levels that the layer's block files hold."""
        return 1 if self.mipmaps is None else full_chain(layer.width, layer.height)

    @property
    def plain(self) -> str:
        return next(f for f in self.formats if f in PLAIN_FORMATS)

    @property
    def blocks(self) -> Tuple[str, ...]:
        return tuple(f for f in self.formats if f in BLOCK_FORMATS)

    def recipe(self, fmt: str) -> tuple:
        """What, beside the layer's content, makes its file in `fmt`."""
        if fmt in BLOCK_FORMATS:
            return (fmt, self.block_effort, self.bleed_reach, self.blocks_premultiplied, encoder_version(fmt),
                    encoder_settings(fmt, self.block_effort), self.mipmaps)
        return fmt, self.png_level if fmt == "png" else self.webp_method, self.bleed_reach, self.premultiply


def texture_name(layer: Union[Layer, AtlasLayer], fmt: str) -> str:
    """The file of the layer in `fmt`: atlas_0.png, atlas_0@2x.webp, atlas_0.bc7.ktx."""
    return f"{layer.stem}.{fmt}" if fmt in PLAIN_FORMATS else f"{layer.stem}.{fmt}.ktx"


def layer_files(layers: Iterable[Union[Layer, AtlasLayer]], texture: TextureOptions,
                preview: bool) -> List[Tuple[str, str]]:
    """The image files of the layers (each in every format, and its
    preview), each with what it is, for check_distinct."""
    files = []
    for layer in layers:
        what = f"layer {layer.index}{' of --variant suffix ' + layer.suffix if layer.suffix else ''}"
        files += [(texture_name(layer, fmt), f"{what} in {fmt}") for fmt in texture.formats]
        if isinstance(layer, AtlasLayer) and layer.normal_map:
            files += [(f"{layer.stem}{layer.normal_map}{texture_name(layer, fmt)[len(layer.stem):]}",
                       f"the normal maps of {what} in {fmt}") for fmt in texture.formats]
        if preview:
            files.append((f"{layer.stem}_preview.png", f"the preview of {what}"))
    return files


def image_name(layer: Union[Layer, AtlasLayer], texture: TextureOptions) -> str:
    """The file of the layer that the manifests name: its plain image."""
    return texture_name(layer, texture.plain)


# libwebp's lossless effort (Pillow's "quality" when lossless). Measured on
# the layers of three games (bench/textures.py): at method 0, effort 25
# encodes in 0.8 to 1.3 times our PNG's time, files 17 to 25% smaller;
# effort 50 is 1.2 to 2 times slower for 1 to 3% less, 100 five times.
WEBP_EFFORT = 25
# The largest side a WebP image can have.
WEBP_MAX_SIDE = 16383


def check_layer_sides(texture: TextureOptions, max_texture_size: int, sides: Sequence[Tuple[int, int]] = ()) -> None:
    """Refuses layers (of at most max_texture_size, or of these sides) that
    a texture format cannot hold, naming the options to change."""
    if texture.blocks and max_texture_size % BLOCK_SIDE:
        raise AtlasError(f"--texture-format {texture.blocks[0]} stores {BLOCK_SIDE} x {BLOCK_SIDE} blocks, so layers "
                         f"have sides that are multiples of {BLOCK_SIDE}; use --max-texture-size "
                         f"{max_texture_size - max_texture_size % BLOCK_SIDE}")
    if "webp" not in texture.formats:
        return
    widest = max([max_texture_size] + [max(side) for side in sides])
    if widest > WEBP_MAX_SIDE:
        what = f"--max-texture-size {max_texture_size}" if widest == max_texture_size else f"a layer of {widest} px"
        raise AtlasError(f"--texture-format webp holds at most {WEBP_MAX_SIDE:,} px a side, not {what}; "
                         f"use --max-texture-size {WEBP_MAX_SIDE} or less, or leave out --texture-format webp")


def _write_webp(path: Path, pixels, method: int) -> None:
    # exact: keep the colour under transparent pixels (bled, or the caller's)
    Image = require_pillow()
    Image.fromarray(pixels).save(path, "WEBP", lossless=True, exact=True, method=method, quality=WEBP_EFFORT)


def unwritable(out_dir: Path, error: OSError) -> AtlasError:
    """The error for an output folder that cannot be made or written, with the fix."""
    fix = {errno.EACCES: "give yourself write permission there, or choose another --out",
           errno.EPERM: "give yourself write permission there, or choose another --out",
           errno.ENOTDIR: "a file lies where a folder on the way to it would be: choose another --out",
           errno.EEXIST: "a file lies where a folder on the way to it would be: choose another --out",
           errno.EROFS: "the file system is read-only: choose another --out",
           errno.ENOSPC: "the disk is full: make room, or choose another --out"}.get(error.errno, "choose another --out")
    return AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror}); {fix}")


def _lock_file(fd: int) -> None:
    """Locks an open file for this process, or raises OSError at once if another holds it."""
    if fcntl is not None:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    else:
        msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)


def _open_lock(path: Path) -> int:
    """Opens (or makes) the lock file itself: never a file a link points to,
    which would let a link in the output folder make or lock a file
    anywhere."""
    if os.path.islink(path) or path.is_dir():  # Windows has no O_NOFOLLOW: judged first
        kind = "a link" if os.path.islink(path) else "a folder"
        raise AtlasError(f"{path}: {kind}, not tessel-atlas's lock file; remove it and run again")
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0), 0o644)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.EISDIR):  # made a link or a folder just now
            raise AtlasError(f"{path}: not a plain file, so not tessel-atlas's lock file; remove it and run again") \
                from None
        raise unwritable(path.parent, error) from error


def _take_lock(out_dir: Path) -> int:
    path = out_dir / LOCK_NAME
    while True:
        fd = _open_lock(path)
        try:
            _lock_file(fd)
        except OSError:
            os.close(fd)
            raise AtlasError(f"{out_dir}: another tessel-atlas run is writing this folder; "
                             "wait for it to end, or choose another --out") from None
        # The run that held it may have removed the file just before we
        # locked it: a lock on a file no longer there locks nothing.
        try:
            if os.path.samestat(os.fstat(fd), os.stat(path, follow_symlinks=False)):
                return fd
        except FileNotFoundError:
            pass
        os.close(fd)


@contextmanager
def locked_folder(out_dir: Path) -> Iterator[None]:
    """Holds out_dir for one run: made if missing, refused (AtlasError)
    while another run holds it. Hidden folders left by a run that was killed
    are removed. On the way out the lock goes, and so does the folder if
    this run made it and it is still empty: a failed run leaves what others
    wrote, and only that."""
    # Made and locked in one stretch that a signal does not cut, so that
    # what is made is known, and removed below.
    with interrupts.held():
        created = not out_dir.exists()
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise unwritable(out_dir, error) from error
        fd = _take_lock(out_dir)
    try:
        interrupts.checkpoint()
        for left in out_dir.glob(STAGING_PREFIX + "*"):
            if left.is_dir() and not left.is_symlink():
                shutil.rmtree(left, ignore_errors=True)
        yield
    finally:
        with interrupts.held():
            try:
                os.unlink(out_dir / LOCK_NAME)  # while still locked, so no run can take it meanwhile
            except OSError:  # Windows keeps an open file
                pass
            os.close(fd)
            if created:
                try:
                    out_dir.rmdir()
                except OSError:  # not empty: it holds an atlas, or another run's files
                    pass


def parse_json(data: bytes) -> object:
    """The JSON value in bytes of a file of ours; ValueError for anything else."""
    try:
        return json.loads(data)
    except RecursionError:
        raise ValueError("nested too deeply") from None


def read_json(path: Path, limit: int) -> object:
    """The JSON value in a file of ours, if it has at most `limit` bytes:
    a larger one would cost more to parse than the work it saves.
    Raises OSError or ValueError for anything else."""
    with open(path, "rb") as stream:
        data = stream.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"larger than {limit:,} bytes")
    return parse_json(data)


# The record lists a few names a layer: a large one is not ours.
RECORD_LIMIT = 1 << 20

# A watch keeps the pixels of the layer images it wrote last, to draw a
# save onto instead of decoding the file again (20 ms of the 80 a save of
# one of 20,000 sprites took to answer, bench/watch_latency.py): up to this
# many bytes an atlas, eight 2048 x 2048 layers, the least recently written
# let go.
LAYER_PIXELS_BUDGET = 128 * 2**20


def recorded_files(out_dir: Path) -> List[str]:
    """The atlas files the last run wrote here, as its record lists them.
    Without a readable record nothing counts as ours: a run never removes
    a file it cannot show it wrote."""
    try:
        data = read_json(out_dir / RECORD_NAME, RECORD_LIMIT)
        names = data["files"] if isinstance(data, dict) and data.get("app") == "tessel-atlas" else []
    except (OSError, ValueError, KeyError):
        return []
    return [name for name in names if isinstance(name, str) and OUR_FILE.fullmatch(name)] \
        if isinstance(names, list) else []


def json_text(value: Any) -> str:
    """The text of a JSON file written here: json.dumps(value, indent=1)
    and a newline. The json module indents in the interpreter, a call a
    value (0.28 s for the manifest of 20,000 sprites); its C encoder writes
    the compact text (0.07 s), which _text indents in one pass."""
    return indented_json(json.dumps(value, separators=(",", ":")), 1) + "\n"


def _record(names: Iterable[str]) -> str:
    return json_text({"app": "tessel-atlas", "files": sorted(names)})


def _move_in(out_dir: Path, staging: Path, names: Sequence[str], stale: Sequence[str]) -> None:
    """Moves the staged files into out_dir, and the earlier atlas's files
    that the new one does not have out of it: all of it or, should a step
    fail, none of it, every file moved so far going back where it was.
    Each file is replaced in one step, so that a reader never finds a
    name missing; the file it replaces waits, linked, in the staging
    folder (which goes once the run ends) until the new atlas is whole."""
    for name in names:
        target = out_dir / name
        if target.is_dir() and not target.is_symlink():
            raise AtlasError(f"{target}: a folder where the atlas has a file; move it away, or choose another --out")
    aside = staging / REPLACED
    aside.mkdir()
    undo: List[Tuple[Path, Path]] = []  # the moves that put back what was there, last first

    def move(source: Path, target: Path) -> None:
        os.replace(source, target)
        undo.append((target, source))

    try:
        for name in stale:
            move(out_dir / name, aside / name)
        for name in names:
            target = out_dir / name
            if os.path.lexists(target):
                try:
                    os.link(target, aside / name, follow_symlinks=False)
                except OSError:  # a file system without hard links: moved aside, missing a moment
                    move(target, aside / name)
                else:
                    os.replace(staging / name, target)
                    undo.append((aside / name, target))
                    continue
            move(staging / name, target)
    except OSError as error:
        try:
            for source, target in reversed(undo):
                os.replace(source, target)
        except OSError as undo_error:
            raise AtlasError(f"{out_dir}: cannot write the atlas ({error}), nor put back the earlier one "
                             f"({undo_error}); the folder holds parts of both: build again") from error
        raise AtlasError(f"{out_dir}: cannot write the atlas ({error}); the earlier atlas is as it was") from error


# A file's text, or its UTF-8 bytes in pieces (those of a large file
# written one after another, not joined: that would copy them once more).
Text = Union[str, List[Union[bytes, memoryview]]]


def _write(path: Path, text: Text) -> None:
    if isinstance(text, str):
        path.write_text(text, encoding="utf-8")
    else:
        with open(path, "wb") as file:
            file.writelines(text)


@contextmanager
def _staging_folder(out_dir: Path) -> Iterator[Path]:
    """A new hidden folder in out_dir (held with locked_folder) to make
    files in, removed on the way out. Made and known in one stretch that
    a signal does not cut, so that none leaves it behind."""
    with interrupts.held():
        try:
            staging = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=out_dir))
        except OSError as error:
            raise unwritable(out_dir, error) from error
    try:
        interrupts.checkpoint()
        yield staging
    finally:
        with interrupts.held():
            shutil.rmtree(staging, ignore_errors=True)


def replace_text(out_dir: Path, name: str, text: Text) -> None:
    """Writes the file `name` in out_dir (held with locked_folder) whole or
    not at all: made in a hidden folder there, then moved over the old."""
    try:
        with _staging_folder(out_dir) as staging:
            _write(staging / name, text)
            with interrupts.held():
                os.replace(staging / name, out_dir / name)
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the atlas ({error})") from error


def _keep_layer_pixels(layer_pixels: Dict[str, np.ndarray], written: Dict[str, np.ndarray]) -> None:
    """layer_pixels with the images just written, as the most recent, and
    then only as many of the most recent as LAYER_PIXELS_BUDGET holds."""
    for name, pixels in written.items():
        layer_pixels.pop(name, None)
        layer_pixels[name] = pixels
    held = sum(pixels.nbytes for pixels in layer_pixels.values())
    for name in list(layer_pixels):
        if held <= LAYER_PIXELS_BUDGET:
            break
        held -= layer_pixels.pop(name).nbytes


def _read_strips(path: Path, size: Tuple[int, int], regions: Iterable[Tuple[int, int, int, int]]) -> Optional[Strips]:
    """A layer image read back in the strips under the regions (png.read_layer_strips); None where it cannot be."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError:  # read_image says what is wrong
        return None
    return read_layer_strips(data, size, ((top, bottom) for _, top, _, bottom in regions), workers())


def write_atlas(out_dir: Path, layers: Sequence[Layer], manifests: Dict[str, Union[dict, str]], *, with_pixels: bool,
                with_preview: bool, texture: TextureOptions, step: Callable[[int], None],
                unchanged: Collection[str] = (), patches: Optional[Dict[str, Sequence[Placement]]] = None,
                finish: Optional[Callable[[Path, Sequence[str]], Dict[str, Any]]] = None,
                measured: Optional[Dict[str, Quality]] = None,
                layer_pixels: Optional[Dict[str, np.ndarray]] = None) -> List[str]:
    """Writes the manifests and, with pixels, each layer's image (and preview).

    The files are made in a hidden folder inside out_dir (held with
    locked_folder) and moved into place only when all of them exist; on any
    failure or interrupt before or during that, the folder keeps the earlier
    atlas as it was. Files that an earlier run recorded writing and that
    this run does not write (more layers, another format) are removed, so
    the folder always describes one atlas; other files are left alone.
    Files named in `unchanged` (layer images, manifests) already hold
    what they would be written with, and are kept as they are; for those
    in `patches`, only the placements given are drawn again onto the
    earlier file's pixels (images.compose). `finish`,
    given the hidden folder and the files kept, returns more text files to
    write (the report, the cache) as write_texts takes them; `measured`
    gets the Quality of each block file written. `layer_pixels` holds the
    pixels of layer images as the folder holds them, by name, kept from
    earlier runs (a watch's): patches are drawn onto those rather than onto
    the file read back, and once the atlas is in place it holds the images
    written, the least recently written let go past LAYER_PIXELS_BUDGET
    bytes. Returns the names of the atlas's files.
    """
    def write_layer(layer: Layer) -> Tuple[List[str], List[Tuple[str, str, Callable[[], bytes], np.ndarray]]]:
        """Writes the layer's plain image and preview, and starts encoding
        its block formats: the names written, and each block file's name
        and format with what waits for its bytes and the pixels encoded."""
        names: List[str] = []
        encoding: List[Tuple[str, str, Callable[[], bytes], np.ndarray]] = []
        size = (layer.width, layer.height)
        wanted = [fmt for fmt in texture.formats if with_pixels and texture_name(layer, fmt) not in unchanged]
        drawn: Dict[bool, np.ndarray] = {}  # the layer's pixels, by whether colour is premultiplied
        strips: Optional[Strips] = None  # where only the PNG's strips under the patches were read
        # Normal maps hold directions, not colours: never bled nor premultiplied.
        normals = bool(layer.map)
        reach, background = (None, FLAT_NORMAL) if normals else (texture.bleed_reach, (0, 0, 0, 0))
        plain_premultiplied = texture.premultiply and not normals

        def pixels(premultiply: bool) -> np.ndarray:
            premultiply = premultiply and not normals
            if premultiply not in drawn:
                if premultiply and False in drawn:
                    drawn[True] = premultiplied(drawn[False].copy())
                else:
                    drawn[premultiply] = compose(size, layer.placements, reach, premultiply, background=background)
            return drawn[premultiply]

        if texture.plain in wanted:
            name = texture_name(layer, texture.plain)
            changed = (patches or {}).get(name)
            if changed is not None:  # the earlier file's pixels, with what changed drawn again
                # Drawn onto in place, so no longer kept: should this run
                # fail, the folder keeps the earlier file, which these no
                # longer show.
                earlier = layer_pixels.pop(name, None) if layer_pixels is not None else None
                if wanted == ["png"] and texture.png_level == RUNS and (earlier is not None or layer_pixels is None):
                    # The PNG is all these pixels make: only its strips under what is drawn again
                    # are read and written. Pixels kept whole stand for those read where they
                    # show the same, to be kept again; where none are kept after, those read do.
                    strips = _read_strips(out_dir / name, size, drawn_regions(size, changed, reach))
                    if strips is not None and earlier is not None:
                        strips = strips._replace(pixels=earlier) if shown_alike(strips, earlier) else None
                    elif strips is not None:
                        earlier = strips.pixels
                if earlier is None:  # drawn onto: a copy only where the reader's pixels are not ours to write
                    earlier = np.require(read_image(str(out_dir / name)), requirements=["C", "W"])
                drawn[plain_premultiplied] = compose(size, changed, reach, plain_premultiplied, onto=earlier,
                                                     background=background)
        for fmt in wanted:
            if fmt in BLOCK_FORMATS:
                assert encoder is not None
                stored = pixels(texture.blocks_premultiplied)
                encoding.append((texture_name(layer, fmt), fmt, encoder.submit(fmt, stored, texture.levels(layer)), stored))
        for fmt in wanted:
            name = texture_name(layer, fmt)
            if fmt == "webp":
                _write_webp(staging / name, pixels(texture.premultiply), texture.webp_method)
            elif fmt == "png" and strips is not None:
                write_patched(staging / name, strips, workers())
            elif fmt == "png":
                write_png(staging / name, pixels(texture.premultiply), texture.png_level, workers())
            else:
                continue
            if fmt == texture.plain and layer_pixels is not None:
                written_pixels[name] = drawn[plain_premultiplied]
            names.append(name)
        if with_preview and not normals and f"{layer.stem}_preview.png" not in unchanged:
            name = f"{layer.stem}_preview.png"
            caption = f"layer {layer.index}: {layer.width} x {layer.height}, fill {layer.fill_ratio:.1%}"
            preview(size, layer.placements, caption).save(staging / name, "PNG", compress_level=1)
            names.append(name)
        return names, encoding

    written: List[str] = []
    written_pixels: Dict[str, np.ndarray] = {}  # the plain layer images', for layer_pixels

    kept: List[str] = []

    def write_texts(texts: Dict[str, Union[None, Text, Callable[[], Optional[Text]]]]) -> None:
        """Writes each text in the staging folder, in order; None keeps the
        file as it is, and a callable gives the text once those before it
        are written."""
        for name, text in texts.items():
            if callable(text):
                text = text()
            if text is None:
                kept.append(name)
                continue
            _write(staging / name, text)
            written.append(name)

    def write_manifests() -> None:
        write_texts({name: manifest if isinstance(manifest, str) else json_text(manifest)
                     for name, manifest in manifests.items() if name not in unchanged})

    try:
        with _staging_folder(out_dir) as staging:
            encodings = [name for name in (texture_name(layer, fmt) for layer in layers for fmt in texture.blocks)
                         if with_pixels and name not in unchanged]
            jobs = [write_manifests] + [functools.partial(write_layer, layer) for layer in layers]
            # One layer more than threads in flight: each holds a whole image.
            # The manifests' text, made by the interpreter (a fifth of a second
            # for 14,000 frames), is made in this thread while the first layers
            # are composed and encoded on the others. Closed however this loop
            # ends, so that no thread still writes a layer once the staging
            # folder is removed.
            with (BlockEncoder(texture.block_effort, min(workers(), len(encodings)), texture.blocks) if encodings
                  else nullcontext()) as encoder, \
                    closing(ordered_map(lambda job: job(), jobs, ahead=workers() + 1,
                                        here=lambda job: job is write_manifests)) as done:
                next(done)
                for layer, (names, encoding) in zip(layers, done):
                    for name, fmt, blocks, stored in encoding:
                        data = blocks()
                        (staging / name).write_bytes(data)
                        names.append(name)
                        if measured is not None:
                            frames = [(p.pixels.sprite.name, p.x, p.y, *p.footprint) for p in layer.placements]
                            measured[name] = quality(fmt, data, stored, frames)
                    written.extend(names)
                    step(1)
                    interrupts.checkpoint()
            kept += [name for name in unchanged if (out_dir / name).exists()]
            write_texts(finish(staging, list(kept)) if finish else {})
            atlas_files = written + kept
            record = _record(name for name in atlas_files if name != CACHE_NAME)
            try:
                same = (out_dir / RECORD_NAME).read_text(encoding="utf-8") == record
            except (OSError, ValueError):
                same = False
            write_texts({RECORD_NAME: None if same else record})
            now = set(written) | set(kept)
            stale = [name for name in recorded_files(out_dir) if name not in now and (out_dir / name).is_file()]
            for name in (CACHE_NAME, EARLIER_CACHE_NAME):  # a build without the cache ends it
                if name not in now and (out_dir / name).is_file():
                    stale.append(name)
            # From here on the new atlas goes in whole: a signal waits until the
            # command has said so (cli.main), whichever thread received it.
            interrupts.checkpoint()
            interrupts.hold()
            _move_in(out_dir, staging, written, stale)
            if layer_pixels is not None:
                _keep_layer_pixels(layer_pixels, written_pixels)
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the atlas ({error})") from error
    return atlas_files
