"""GPU block formats on real game sprites: how close each format comes to
the sprites, and what writing it costs against PNG.

Each set is packed once with tessel-atlas's defaults (2048 textures,
json-hash, straight alpha, bled); its layers are then encoded as the
command encodes them (tessel_atlas.blocks, a worker process per core) in
each block format at each effort, and decoded with texture2ddecoder, which
decodes blocks as the browsers' GPUs draw them.

Quality is the PSNR over every frame's visible pixels (alpha above 0 in the
sprite, each sprite counted once per name), of the four channels: as stored
(straight RGBA), and as drawn (colour times alpha, what a blend shows),
with the worst tenth of frames' own PSNR beside it. The phaser3 rows encode
premultiplied layers, as --format phaser3 does. BC3 is also encoded by
Pillow (DXT5 in DDS), the other encoder at hand.

Speed, on the first set: the wall time to write every layer in each format
on a thread (PNG) or a worker process (block formats) per core, as the
command does, pixels ready; medians of interleaved repeats, and the ratio
to PNG's.

Mipmaps (--mipmaps): per set, what keeping sprites apart in the first N
levels costs in layers and area against the power-of-two layers of the
same build without it, and BC7 files' bytes with every level; and how far
the box filter over stored values, which makes the levels, comes from the
box filter in linear light (sRGB decoded, averaged, encoded), over every
level's visible texels, with each filter's time.

    python bench/compressed.py [--repeats N] [--efforts fast,medium,best] [--formats bc7,...] FOLDER...
    python bench/compressed.py --mipmaps FOLDER...
"""

import argparse
import io
import json
import re
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import texture2ddecoder
from PIL import Image

from tessel_atlas.blocks import BLOCK_FORMATS, BlockEncoder
from tessel_atlas.images import premultiplied, workers
from tessel_atlas.ktx import first_level
from tessel_atlas.mipmaps import full_chain, levels
from tessel_atlas.png import write_png

DECODERS = {"bc7": texture2ddecoder.decode_bc7, "bc3": texture2ddecoder.decode_bc3,
            "etc2": texture2ddecoder.decode_etc2a8,
            "astc": lambda data, w, h: texture2ddecoder.decode_astc(data, w, h, 4, 4)}


def pack(folder: Path, out: Path, *options: str):
    """The set's layers (straight, bled; sides multiples of 4) and each
    sprite's frame: (layer, x, y, width, height) in the layer."""
    subprocess.run([sys.executable, "-m", "tessel_atlas", "pack", str(folder), "--out", str(out), "--quiet",
                    "--no-cache", "--texture-format=png", "--texture-format=bc3", *options], check=True,
                   stderr=subprocess.DEVNULL)
    layers, frames = [], []
    plain = [p for p in out.glob("atlas_*.json") if re.fullmatch(r"atlas_\d+\.json", p.name)]
    for manifest in sorted(plain, key=lambda p: int(p.stem.split("_")[1])):
        data = json.loads(manifest.read_text())
        layers.append(np.asarray(Image.open(out / data["meta"]["image"]).convert("RGBA")))
        for f in data["frames"].values():
            r = f["frame"]
            w, h = (r["h"], r["w"]) if f["rotated"] else (r["w"], r["h"])
            frames.append((len(layers) - 1, r["x"], r["y"], w, h))
    return layers, frames


def encode_blocks(fmt: str, effort: str, layers):
    """Every layer in the block format, as the command writes it: the
    decoded pixels, and the seconds it took."""
    start = time.perf_counter()
    with BlockEncoder(effort, workers(), (fmt,)) as encoder:
        pending = [encoder.submit(fmt, pixels) for pixels in layers]
        files = [result() for result in pending]
    seconds = time.perf_counter() - start
    decoded = [np.frombuffer(DECODERS[fmt](first_level(ktx), p.shape[1], p.shape[0]), np.uint8)
               .reshape(p.shape)[..., [2, 1, 0, 3]] for ktx, p in zip(files, layers)]
    return decoded, seconds


def encode_pillow_dxt5(layers):
    def one(pixels):
        stream = io.BytesIO()
        Image.fromarray(pixels).save(stream, "DDS", pixel_format="DXT5")
        return stream.getvalue()[128:]  # the blocks after the DDS header

    start = time.perf_counter()
    with ThreadPoolExecutor(workers()) as pool:
        files = list(pool.map(one, layers))
    seconds = time.perf_counter() - start
    decoded = [np.frombuffer(texture2ddecoder.decode_bc3(data, p.shape[1], p.shape[0]), np.uint8)
               .reshape(p.shape)[..., [2, 1, 0, 3]] for data, p in zip(files, layers)]
    return decoded, seconds


def write_pngs(layers, folder: Path) -> float:
    start = time.perf_counter()
    with ThreadPoolExecutor(workers()) as pool:
        list(pool.map(lambda item: write_png(folder / f"{item[0]}.png", item[1], 3), enumerate(layers)))
    return time.perf_counter() - start


def as_drawn(pixels: np.ndarray) -> np.ndarray:
    """Colour times alpha, and alpha: what blending shows of a straight pixel."""
    return premultiplied(pixels.astype(np.uint16)).astype(np.float64)


def efforts_of(fmt: str, efforts):
    return efforts if fmt in ("bc7", "astc") else ["medium"]  # BC3 and ETC2 have one setting


def psnr(squared_error: float, count: int) -> float:
    return 10 * np.log10(255 ** 2 / (squared_error / count)) if squared_error else float("inf")


def quality(layers, decoded, frames, stored_premultiplied=False):
    """PSNR as stored and as drawn, over every frame's visible pixels, and
    the worst tenth of frames' PSNR as drawn."""
    totals = np.zeros(3)
    per_frame = []
    for index, x, y, w, h in frames:
        want, got = layers[index][y:y + h, x:x + w], decoded[index][y:y + h, x:x + w]
        shown = want[..., 3] > 0
        if not shown.any():
            continue
        stored = ((got.astype(np.float64) - want)[shown] ** 2).sum()
        shows = stored if stored_premultiplied else ((as_drawn(got) - as_drawn(want))[shown] ** 2).sum()
        count = shown.sum() * 4
        totals += (stored, shows, count)
        per_frame.append(psnr(shows, count))
    return psnr(totals[0], totals[2]), psnr(totals[1], totals[2]), float(np.percentile(per_frame, 10))


def _linear(srgb: np.ndarray) -> np.ndarray:
    c = srgb / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def _srgb(linear: np.ndarray) -> np.ndarray:
    c = np.where(linear <= 0.0031308, linear * 12.92, 1.055 * np.maximum(linear, 0) ** (1 / 2.4) - 0.055)
    return np.clip(np.round(c * 255), 0, 255).astype(np.uint8)


def linear_levels(pixels: np.ndarray, count: int):
    """The levels of a box filter in linear light (colour weighted by alpha, alpha averaged)."""
    made, above = [pixels], pixels
    for _ in range(count - 1):
        alpha = above[..., 3:].astype(np.float64) / 255
        weighted = np.concatenate([_linear(above[..., :3].astype(np.float64)) * alpha, alpha], axis=-1)
        h, w = weighted.shape[:2]
        weighted = weighted.reshape(max(1, h // 2), min(2, h), max(1, w // 2), min(2, w), 4).mean(axis=(1, 3))
        a = weighted[..., 3:]
        colour = np.divide(weighted[..., :3], a, out=np.zeros_like(weighted[..., :3]), where=a > 0)
        above = np.concatenate([_srgb(colour), np.round(a * 255).astype(np.uint8)], axis=-1)
        made.append(above)
    return made


def mipmap_rows(folders, work: Path) -> None:
    print("Mipmaps: sprites kept apart in the first N levels (BC7, 2048 textures), against --pot alone\n")
    print("| sprites | kept apart | layers | megapixels | fill | BC7 MB, every level |")
    print("|---|---|---:|---:|---:|---:|")
    for folder in folders:
        for label, options in (("none (--pot)", ["--pot"]), ("2 levels", ["--mipmaps=2"]),
                               ("3 levels", ["--mipmaps=3"]), ("4 (--mipmaps)", ["--mipmaps"])):
            out = work / f"{folder.name}-{label.split()[0]}"
            subprocess.run([sys.executable, "-m", "tessel_atlas", "pack", str(folder), "--out", str(out), "--quiet",
                            "--no-cache", "--texture-format=bc7", *options], check=True, stderr=subprocess.DEVNULL)
            sizes = [Image.open(p).size for p in out.glob("atlas_*.png")]
            used = sum(f["frame"]["w"] * f["frame"]["h"] for m in out.glob("atlas_*.json")
                       if re.fullmatch(r"atlas_\d+\.json", m.name) for f in json.loads(m.read_text())["frames"].values())
            area = sum(w * h for w, h in sizes)
            ktx = sum(p.stat().st_size for p in out.glob("*.bc7.ktx"))
            print(f"| {folder.name} | {label} | {len(sizes)} | {area / 1e6:.2f} | {used / area:.1%} | "
                  f"{ktx / 1e6:.1f} |", flush=True)
    print("\nLevels: the box filter over stored values against one in linear light, levels 1 to 3 of the layers "
          "above (kept apart in 4): PSNR over visible texels, texels off by more than 8 levels, seconds\n")
    print("| sprites | PSNR dB | texels > 8 off | box s | linear-light s |")
    print("|---|---:|---:|---:|---:|")
    for folder in folders:
        layers = [np.asarray(Image.open(p).convert("RGBA")) for p in (work / f"{folder.name}-4").glob("atlas_*.png")]
        error = count = off = 0
        timed = {"box": 0.0, "linear": 0.0}
        for layer in layers:
            start = time.perf_counter()
            box = levels(layer, full_chain(*layer.shape[:2]))
            timed["box"] += time.perf_counter() - start
            start = time.perf_counter()
            light = linear_levels(layer, full_chain(*layer.shape[:2]))
            timed["linear"] += time.perf_counter() - start
            for a, b in zip(box[1:4], light[1:4]):
                shown = b[..., 3] > 0
                d = a.astype(np.float64)[shown] - b[shown]
                error, count, off = error + (d ** 2).sum(), count + d.size, off + int((abs(d) > 8).any(axis=-1).sum())
        print(f"| {folder.name} | {psnr(error, count):.1f} | {off / (count / 4):.1%} | {timed['box']:.2f} | "
              f"{timed['linear']:.2f} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--efforts", default="fast,medium,best")
    parser.add_argument("--formats", default=",".join(BLOCK_FORMATS), help="the block formats to measure")
    parser.add_argument("--mipmaps", action="store_true", help="measure what mipmaps cost instead")
    args = parser.parse_args()
    if args.mipmaps:
        with tempfile.TemporaryDirectory() as work:
            mipmap_rows(args.folders, Path(work))
        return
    efforts = args.efforts.split(",")
    blocks = args.formats.split(",")
    print(f"Quality: PSNR (dB) of every frame's visible pixels; {workers()} workers\n")
    print("| sprites | format | effort | stored | as drawn | worst tenth of frames, as drawn | encoding s |")
    print("|---|---|---|---:|---:|---:|---:|")
    first_layers = None
    with tempfile.TemporaryDirectory() as work:
        for folder in args.folders:
            layers, frames = pack(folder, Path(work) / folder.name)
            first_layers = first_layers if first_layers is not None else layers
            for fmt, effort in [(fmt, effort) for fmt in blocks for effort in efforts_of(fmt, efforts)]:
                decoded, seconds = encode_blocks(fmt, effort, layers)
                stored, shows, worst = quality(layers, decoded, frames)
                print(f"| {folder.name} | {fmt} | {effort} | {stored:.1f} | {shows:.1f} | {worst:.1f} | "
                      f"{seconds:.1f} |", flush=True)
            if "bc3" in blocks:
                decoded, seconds = encode_pillow_dxt5(layers)
                stored, shows, worst = quality(layers, decoded, frames)
                print(f"| {folder.name} | bc3 (Pillow) | - | {stored:.1f} | {shows:.1f} | {worst:.1f} | "
                      f"{seconds:.1f} |", flush=True)
            pre = [premultiplied(layer.copy()) for layer in layers]
            for fmt in blocks if "medium" in efforts else []:
                decoded, seconds = encode_blocks(fmt, "medium", pre)
                stored, _, worst = quality(pre, decoded, frames, stored_premultiplied=True)
                print(f"| {folder.name} | {fmt}, premultiplied (phaser3) | medium | {stored:.1f} | {stored:.1f} | "
                      f"{worst:.1f} | {seconds:.1f} |", flush=True)

        print(f"\nSpeed: writing every layer of {args.folders[0].name} ({len(first_layers)} layers), "
              f"median of {args.repeats}\n")
        print("| layers as | effort | median s | / png |")
        print("|---|---|---:|---:|")
        configurations = [("png", "-")] + [(fmt, effort) for fmt in blocks for effort in efforts_of(fmt, efforts)]
        times = {c: [] for c in configurations}
        for _ in range(args.repeats):
            for fmt, effort in configurations:
                if fmt == "png":
                    times[(fmt, effort)].append(write_pngs(first_layers, Path(work)))
                else:
                    times[(fmt, effort)].append(encode_blocks(fmt, effort, first_layers)[1])
        png = statistics.median(times[("png", "-")])
        for (fmt, effort), seconds in times.items():
            median = statistics.median(seconds)
            print(f"| {fmt} | {effort} | {median:.2f} | {median / png:.2f} |")


if __name__ == "__main__":
    main()
