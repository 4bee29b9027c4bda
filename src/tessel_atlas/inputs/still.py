"""Still images: one sprite per file, decoded by tessel_atlas.png (PNGs of
8-bit and indexed pixels, the common case, fastest, and on every reading
thread at once) or by Pillow (everything else)."""

from __future__ import annotations

import io
import os
import sys
from typing import Optional

import numpy as np

from ..errors import AtlasError, require_pillow
from ..images import DECODING, DECODING_BYTES_PER_PIXEL
from ..png import pixel_limit, read_rgba, rgba_size
from ..sprites import Examine

# Raster formats only: Pillow also opens PostScript, video and science
# formats, which need outside programs or are not sprites at all.
EXTENSIONS = frozenset(
    ".png .apng .jpg .jpeg .jpe .gif .bmp .dib .tga .webp .tif .tiff .ppm .pgm .pbm .pnm .qoi .ico".split()
)

EXPORT_AGAIN = "export it again, or leave it out with --exclude"

def _grey_rgba(grey: np.ndarray, alpha: Optional[np.ndarray] = None) -> np.ndarray:
    pixels = np.empty(grey.shape + (4,), np.uint8)
    pixels[..., :3] = grey[..., None]
    pixels[..., 3] = 255 if alpha is None else alpha
    return pixels


def rgba_array(image) -> np.ndarray:
    """An opened image's pixels as RGBA, as a viewer shows them: wider
    integer and float samples scaled to 8 bits (not clipped), a JPEG turned
    as its EXIF orientation says."""
    if image.format in ("JPEG", "MPO") and image.getexif().get(0x0112, 1) != 1:
        from PIL import ImageOps

        image = ImageOps.exif_transpose(image)
    mode = image.mode
    if mode == "RGBA":
        return np.asarray(image)
    if mode.startswith("I") or mode == "F":
        samples = np.asarray(image)
        if mode == "F":  # 0.0 to 1.0
            grey = np.nan_to_num(np.clip(samples, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)
        else:
            # Pillow widens 16-bit PNG samples to I; other I images hold 32 bits.
            top = 65535 if mode.startswith("I;16") or image.format == "PNG" else 2**32 - 1
            wide = np.clip(samples.astype(np.int64), 0, top)
            grey = ((wide * 255 + top // 2) // top).astype(np.uint8)
        key = image.info.get("transparency")
        alpha = None if key is None or mode == "F" else np.where(samples == key, 0, 255).astype(np.uint8)
        return _grey_rgba(grey, alpha)
    return np.asarray(image.convert("RGBA"))


def read_image(path: str, examine: Optional[Examine] = None) -> np.ndarray:
    """The RGBA pixels of an image file, (height, width, 4). The PNGs
    tessel_atlas.png reads are read by it, everything else by Pillow; any file
    that cannot be read raises AtlasError naming it. Decoding waits its turn
    in DECODING, by the size the file's header gives, once `examine` has
    seen it."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
        read_here = rgba_size(data)
        image = None
        if read_here is not None:
            size, opaque = read_here
        else:
            image = require_pillow().open(io.BytesIO(data))  # reads the header only
            size = image.size
            opaque = not {"A", "a"} & set(image.getbands()) and "transparency" not in image.info
            if image.format in ("JPEG", "MPO") and image.getexif().get(0x0112, 1) in (5, 6, 7, 8):
                size = size[::-1]  # shown turned a quarter turn
        if examine is not None:
            examine(size, opaque)
        with DECODING.reserve(size[0] * size[1] * DECODING_BYTES_PER_PIXEL):
            pixels = read_rgba(data, pixel_limit()) if image is None else None
            if pixels is not None:
                return pixels
            with image or require_pillow().open(io.BytesIO(data)) as opened:
                opened.load()
                return rgba_array(opened)
    except AtlasError:
        raise
    except OSError as error:
        raise unreadable(path, error) from None
    # Pillow's plugins report damaged files with many kinds of error
    # (SyntaxError, struct.error, EOFError, ...), not only OSError.
    except Exception as error:
        raise unreadable(path, error) from None


def unreadable(path: str, error: Exception) -> AtlasError:
    """What to say of an image file Pillow could not read."""
    if isinstance(error, getattr(sys.modules.get("PIL"), "UnidentifiedImageError", ())):  # Pillow 7 and later
        extension = os.path.splitext(path)[1]
        kind = f"a {extension[1:].upper()} image" if extension else "an image"
        return AtlasError(f"{path}: not a readable image (neither {kind} nor one of any other format "
                          f"tessel-atlas reads); {EXPORT_AGAIN}")
    return AtlasError(f"{path}: not a readable image ({error}); {EXPORT_AGAIN}")


