"""What normal maps cost: clean builds (--no-cache) of a sprite folder with
a normal map beside every sprite (each one's brightness as a height, its
slopes as the normal, as tools that make them from the art do), packed
with --normal-maps against the same folder packed without them (the
normal map files left out). Median wall seconds of the repeats, each
build a whole command in its own process, interleaved.

    python bench/normal_maps.py [--repeats N] FOLDER...
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image


def normal_map(path: Path) -> Image.Image:
    with Image.open(path) as image:
        rgba = np.asarray(image.convert("RGBA")).astype(np.float32)
    height = rgba[..., :3].mean(axis=2) * rgba[..., 3] / (255 * 64)
    dy, dx = np.gradient(height) if min(height.shape) > 1 else (np.zeros_like(height),) * 2
    n = np.stack([-dx, -dy, np.ones_like(height)], axis=-1)
    n /= np.linalg.norm(n, axis=-1, keepdims=True)
    pixels = np.empty(height.shape + (4,), np.uint8)
    pixels[..., :3] = np.round((n * 0.5 + 0.5) * 255)
    pixels[..., 3] = 255
    return Image.fromarray(pixels)


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    tool = [str(Path(sys.executable).with_name("tessel-atlas")), "pack", "--no-cache", "-q"]
    print("| set | sprites | colour alone, s | with normal maps, s | ratio |")
    print("|---|---:|---:|---:|---:|")
    for folder in args.folders:
        with tempfile.TemporaryDirectory() as scratch:
            art = Path(scratch) / "art"
            shutil.copytree(folder, art)
            sprites = sorted(art.rglob("*.png"))
            for path in sprites:
                normal_map(path).save(path.with_name(f"{path.stem}_n.png"))
            ways = {"colour": tool + [str(art), "--out", f"{scratch}/colour", "--exclude=*_n.png"],
                    "normals": tool + [str(art), "--out", f"{scratch}/normals", "--normal-maps"]}
            times = {way: [] for way in ways}
            for _ in range(args.repeats):
                for way, command in ways.items():
                    shutil.rmtree(f"{scratch}/{way}", ignore_errors=True)
                    times[way].append(timed(command))
        colour, normals = (statistics.median(times[way]) for way in ways)
        print(f"| {folder.name} | {len(sprites)} | {colour:.2f} | {normals:.2f} | {normals / colour:.2f} |")


if __name__ == "__main__":
    main()
