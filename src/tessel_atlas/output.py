"""Writing an atlas's files, all or nothing."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Sequence

from .errors import AtlasError
from .images import compose, ordered_map, preview, workers
from .layout import Layer
from .png import write_png

OUR_FILE = re.compile(r"atlas(_\d+(\.png|\.json|_preview\.png)|\.json)")


def image_name(layer: Layer) -> str:
    return f"atlas_{layer.index}.png"


@contextmanager
def signals_held() -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM back while files are moved into place, so
    that an interrupt cannot leave half an atlas; they arrive right after."""
    held = {signal.SIGINT, signal.SIGTERM}
    block = getattr(signal, "pthread_sigmask", None)
    if block is None:
        yield
        return
    previous = block(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        block(signal.SIG_SETMASK, previous)


def write_atlas(out_dir: Path, layers: Sequence[Layer], manifests: Dict[str, dict], *, with_pixels: bool,
                with_preview: bool, extrusion: int, png_level: int, step: Callable[[int], None]) -> List[str]:
    """Writes the manifests and, with pixels, each layer's image (and preview).

    The files are made in a hidden folder inside out_dir and moved into place
    only when all of them exist; on any failure or interrupt none is left
    behind, and a folder this run created is removed. Files of earlier runs
    that this run does not write (more layers, another format) are removed,
    so the folder always describes one atlas. Returns the names written.
    """
    created = not out_dir.exists()
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
        staging = Path(tempfile.mkdtemp(prefix=".tessel-atlas-", dir=out_dir))
    except OSError as error:
        raise AtlasError(f"{out_dir}: cannot write the output folder ({error.strerror})") from error

    def write_layer(layer: Layer) -> List[str]:
        names = []
        size = (layer.width, layer.height)
        if with_pixels:
            name = image_name(layer)
            write_png(staging / name, compose(size, layer.placements, extrusion), png_level)
            names.append(name)
        if with_preview:
            name = f"atlas_{layer.index}_preview.png"
            caption = f"layer {layer.index}: {layer.width} x {layer.height}, fill {layer.fill_ratio:.1%}"
            preview(size, layer.placements, caption).save(staging / name, "PNG", compress_level=1)
            names.append(name)
        return names

    written: List[str] = []
    try:
        for name, manifest in manifests.items():
            (staging / name).write_text(json.dumps(manifest, indent=1) + "\n", encoding="utf-8")
            written.append(name)
        # One layer more than threads in flight: each holds a whole image.
        for names in ordered_map(write_layer, layers, ahead=workers() + 1):
            written.extend(names)
            step(1)
        with signals_held():
            for name in written:
                os.replace(staging / name, out_dir / name)
            shutil.rmtree(staging, ignore_errors=True)
            for stale in out_dir.iterdir():
                if OUR_FILE.fullmatch(stale.name) and stale.name not in written:
                    stale.unlink()
    except BaseException as error:
        shutil.rmtree(staging, ignore_errors=True)
        if created:
            shutil.rmtree(out_dir, ignore_errors=True)
        if isinstance(error, OSError):
            raise AtlasError(f"{out_dir}: cannot write the atlas ({error})") from error
        raise
    return written
