"""Writing an atlas's files, all or nothing."""

from __future__ import annotations

import json
import os
import re
import shutil
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Collection, Dict, Iterator, List, Optional, Sequence, Union

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]
    import msvcrt

from . import interrupts
from .errors import AtlasError, require_pillow
from .images import compose, ordered_map, preview, workers
from .layout import Layer
from .png import write_png

# Files of ours: a variant's suffix may follow the layer's number.
SUFFIX = re.compile(r"(?:[@._-][A-Za-z0-9@._-]*)?")
OUR_FILE = re.compile(
    rf"atlas(_\d+{SUFFIX.pattern}?(\.png|\.webp|\.json|\.xml|_preview\.png)|{SUFFIX.pattern}?\.json)"
    r"|\.tessel-atlas-cache\.json|report\.html")
# Hidden: a lock while a run writes, the folder its files are made in, and
# the cache of the last build (cache.py), which a build without it removes.
LOCK_NAME = ".tessel-atlas.lock"
STAGING_PREFIX = ".tessel-atlas-"


@dataclass(frozen=True)
class TextureOptions:
    """How layer images are written: PNG at zlib `png_level`, or lossless
    WebP at libwebp `webp_method`; bled by `bleed_reach` pixels around each
    sprite (None: not at all); colour premultiplied by alpha or not."""

    format: str = "png"
    png_level: int = 3
    webp_method: int = 0
    bleed_reach: Optional[int] = 0
    premultiply: bool = False


def image_name(layer: Layer, texture: TextureOptions) -> str:
    return f"{layer.stem}.{texture.format}"


# libwebp's lossless effort (Pillow's "quality" when lossless). Measured on
# the layers of three games (bench/textures.py): at method 0, effort 25
# encodes in 0.8 to 1.3 times our PNG's time, files 17 to 25% smaller;
# effort 50 is 1.2 to 2 times slower for 1 to 3% less, 100 five times.
WEBP_EFFORT = 25


def _write_webp(path: Path, pixels, method: int) -> None:
    # exact: keep the colour under transparent pixels (bled, or the caller's)
    Image = require_pillow()
    Image.fromarray(pixels, "RGBA").save(path, "WEBP", lossless=True, exact=True, method=method, quality=WEBP_EFFORT)


def _lock_file(fd: int) -> None:
    """Locks an open file for this process, or raises OSError at once if another holds it."""
    if fcntl is not None:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    else:
        msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)


def _take_lock(out_dir: Path) -> int:
    path = out_dir / LOCK_NAME
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as error:
            raise AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror})") from error
        try:
            _lock_file(fd)
        except OSError:
            os.close(fd)
            raise AtlasError(f"{out_dir}: another tessel-atlas run is writing this folder; "
                             "wait for it to end, or choose another --out") from None
        # The run that held it may have removed the file just before we
        # locked it: a lock on a file no longer there locks nothing.
        try:
            if os.path.samestat(os.fstat(fd), os.stat(path)):
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
    created = not out_dir.exists()
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror})") from error
    fd = _take_lock(out_dir)
    try:
        for left in out_dir.glob(STAGING_PREFIX + "*"):
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


def write_atlas(out_dir: Path, layers: Sequence[Layer], manifests: Dict[str, Union[dict, str]], *, with_pixels: bool,
                with_preview: bool, texture: TextureOptions, step: Callable[[int], None],
                unchanged: Collection[str] = (),
                finish: Optional[Callable[[Path, Sequence[str]], Dict[str, str]]] = None) -> List[str]:
    """Writes the manifests and, with pixels, each layer's image (and preview).

    The files are made in a hidden folder inside out_dir (held with
    locked_folder) and moved into place only when all of them exist; on any
    failure or interrupt before that none is left behind. Files of earlier
    runs that this run does not write (more layers, another format) are
    removed, so the folder always describes one atlas. Layer images named
    in `unchanged` already hold what they would be written with, and are
    kept as they are. `finish`, given the hidden folder and the images kept,
    returns more text files to write (the cache). Returns the names of the
    atlas's files.
    """
    try:
        staging = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=out_dir))
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror})") from error

    def write_layer(layer: Layer) -> List[str]:
        names = []
        size = (layer.width, layer.height)
        if with_pixels and image_name(layer, texture) not in unchanged:
            name = image_name(layer, texture)
            pixels = compose(size, layer.placements, texture.bleed_reach, texture.premultiply)
            if texture.format == "webp":
                _write_webp(staging / name, pixels, texture.webp_method)
            else:
                write_png(staging / name, pixels, texture.png_level)
            names.append(name)
        if with_preview and f"{layer.stem}_preview.png" not in unchanged:
            name = f"{layer.stem}_preview.png"
            caption = f"layer {layer.index}: {layer.width} x {layer.height}, fill {layer.fill_ratio:.1%}"
            preview(size, layer.placements, caption).save(staging / name, "PNG", compress_level=1)
            names.append(name)
        return names

    written: List[str] = []
    kept: List[str] = []
    try:
        for name, manifest in manifests.items():
            text = manifest if isinstance(manifest, str) else json.dumps(manifest, indent=1) + "\n"
            (staging / name).write_text(text, encoding="utf-8")
            written.append(name)
        # One layer more than threads in flight: each holds a whole image.
        for names in ordered_map(write_layer, layers, ahead=workers() + 1):
            written.extend(names)
            step(1)
            interrupts.checkpoint()
        kept = [name for name in unchanged if (out_dir / name).exists()]
        for name, text in (finish(staging, kept) if finish else {}).items():
            (staging / name).write_text(text, encoding="utf-8")
            written.append(name)
        # From here on the new atlas goes in whole: a signal waits until the
        # command has said so (cli.main), whichever thread received it.
        interrupts.checkpoint()
        interrupts.hold()
        for name in written:
            os.replace(staging / name, out_dir / name)
        for stale in out_dir.iterdir():
            if OUR_FILE.fullmatch(stale.name) and stale.name not in written and stale.name not in kept:
                stale.unlink()
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the atlas ({error})") from error
    finally:
        with interrupts.held():
            shutil.rmtree(staging, ignore_errors=True)
    return written + kept
