"""The floor of a clean build: what decoding every sprite and encoding every
layer cost, with each lossless PNG encoder that installs here, on one
core, and what decoding the sprites through Pillow alone would cost. The
layers are those a clean build of each folder writes (defaults); each
encoder gets the same pixels. tessel-atlas's own writer filters rows
in C++ and by default deflates them by runs of one byte, a layer's strips
on several threads at once (_png.deflate_rows: timed on one, and on every
core, which the floor leaves out); zlib-ng's levels (rle: zlib's
run-length strategy, the same runs) and libdeflate's (the `deflate`
package) deflate the same filtered rows (_png.filter_rows), so that the
file differs only in its deflate stream; fpng (`fpng_py`) filters and
deflates in its own way.
Sizes are the deflate streams' (or fpng's files'), in all; times are
medians of the repeats, summed over the layers. Clean builds' wall times
are measured beside, as whole commands (medians of the repeats too), and
set against the floor with the fastest encoder.

    pip install deflate zlib-ng fpng-py
    python bench/png_encoders.py [--repeats N] [--fast-levels] FOLDER...
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Measured as the command runs (see cli.run): NumPy's huge-page advice made
# decoding every sprite here stall in some repeats (supertux 1.5 to 1.8 s
# against 1.1 to 1.2), which would raise the floor.
os.environ.setdefault("NUMPY_MADVISE_HUGEPAGE", "0")

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

from tessel_atlas._png import deflate_rows, filter_rows  # noqa: E402
from tessel_atlas.images import workers  # noqa: E402
from tessel_atlas.inputs import collect_sprites  # noqa: E402
from tessel_atlas.inputs.still import rgba_array  # noqa: E402
from tessel_atlas.png import strip_rows  # noqa: E402


def deflated(data, level, strategy=None):
    """data deflated by zlib-ng at `level`, or at level 1 with `strategy`."""
    from zlib_ng import zlib_ng
    deflating = zlib_ng.compressobj(level, zlib_ng.DEFLATED, zlib_ng.MAX_WBITS, zlib_ng.DEF_MEM_LEVEL,
                                    zlib_ng.Z_DEFAULT_STRATEGY if strategy is None else strategy)
    return deflating.compress(data) + deflating.flush()


def runs(layer, threads):
    """The layer's image data as tessel-atlas's writer deflates it by default."""
    return deflate_rows(layer, strip_rows(layer.shape[1]), threads)


def filtered_rows(layer):
    """The layer's rows filtered as tessel-atlas's writer filters them, a strip at a time."""
    height, per_strip = layer.shape[0], strip_rows(layer.shape[1])
    return b"".join(filter_rows(layer, top, min(height, top + per_strip)) for top in range(0, height, per_strip))


def median_seconds(work, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--fast-levels", action="store_true",
                        help="leave out the levels that take many times the floor (9 and 12)")
    args = parser.parse_args()
    slow = (9, 12) if args.fast_levels else ()
    import deflate
    import fpng_py
    from zlib_ng import zlib_ng

    tool = str(Path(sys.executable).with_name("tessel-atlas"))
    for folder in args.folders:
        with tempfile.TemporaryDirectory() as out:
            clean, _ = median_seconds(lambda: subprocess.run([tool, "pack", str(folder), "--out", out, "--no-cache",
                                                              "-q"], check=True), args.repeats)
            layers = [np.ascontiguousarray(np.asarray(Image.open(p).convert("RGBA")))
                      for p in sorted(Path(out).glob("atlas_*.png"))]
        sprites = collect_sprites([folder]).sprites
        decode, _ = median_seconds(lambda: [s.open(None) for s in sprites], args.repeats)
        # The same files through Pillow alone: what tessel-atlas's own PNG reader saves.
        files = [s.source for s in sprites if Path(s.source).is_file()]
        pillow, _ = median_seconds(lambda: [rgba_array(Image.open(f)) for f in files], args.repeats)
        filtered = [filtered_rows(layer) for layer in layers]
        filtering, _ = median_seconds(lambda: [filtered_rows(layer) for layer in layers], args.repeats)
        rows = []
        seconds, size = median_seconds(lambda: sum(len(b"".join(runs(layer, 1))) for layer in layers), args.repeats)
        rows.append(("runs (tessel-atlas's default)", seconds, size))
        together, _ = median_seconds(lambda: [runs(layer, workers()) for layer in layers], args.repeats)
        seconds, size = median_seconds(lambda: sum(len(deflated(f, 1, zlib_ng.Z_RLE)) for f in filtered),
                                       args.repeats)
        rows.append(("zlib-ng rle", seconds + filtering, size))
        for level in (level for level in (1, 2, 3, 6, 9) if level not in slow):
            seconds, size = median_seconds(lambda: sum(len(deflated(f, level)) for f in filtered), args.repeats)
            rows.append((f"zlib-ng {level}", seconds + filtering, size))
        for level in (level for level in (1, 3, 6, 9, 12) if level not in slow):
            seconds, size = median_seconds(lambda: sum(len(deflate.zlib_compress(f, level)) for f in filtered),
                                           args.repeats)
            rows.append((f"libdeflate {level}", seconds + filtering, size))
        seconds, size = median_seconds(
            lambda: sum(len(fpng_py.fpng_encode_image_to_memory(layer.tobytes(), layer.shape[1], layer.shape[0], 4))
                        for layer in layers), args.repeats)
        rows.append(("fpng", seconds, size))
        # Each encoder's output holds the layer, checked by an independent reader.
        assert zlib_ng.decompress(deflate.zlib_compress(filtered[0], 12)) == filtered[0]
        assert all(zlib_ng.decompress(b"".join(runs(layer, workers()))) == f for layer, f in zip(layers, filtered))
        first = fpng_py.fpng_encode_image_to_memory(layers[0].tobytes(), layers[0].shape[1], layers[0].shape[0], 4)
        with tempfile.NamedTemporaryFile(suffix=".png") as file:
            file.write(first)
            file.flush()
            assert (np.asarray(Image.open(file.name).convert("RGBA")) == layers[0]).all()
        default = next(size for name, _, size in rows if "default" in name)
        floor = decode + min(seconds for _, seconds, _ in rows)
        print(f"\n{folder.name}: {len(sprites)} sprites, {len(layers)} layers; decoding every sprite {decode:.2f} s "
              f"({pillow:.2f} s for the {len(files)} files through Pillow alone), "
              f"filtering every layer {filtering:.2f} s (one core), the default encoder on {workers()} cores "
              f"{together:.3f} s against {rows[0][1]:.3f} on one; a clean build {clean:.2f} s wall (median), "
              f"{clean / floor:.2f} times the floor of the fastest encoder ({floor:.2f} s)\n")
        print("| encoder | encode s | MB | size / tessel-atlas's | floor s (decode + encode, one core) |")
        print("|---|---:|---:|---:|---:|")
        for name, seconds, size in rows:
            print(f"| {name} | {seconds:.2f} | {size / 1e6:.1f} | {size / default:.3f} | {decode + seconds:.2f} |")


if __name__ == "__main__":
    main()
