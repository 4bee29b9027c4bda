"""Rebuilds against clean builds, into 2048 textures: a clean build
(--no-cache), a rebuild with nothing changed, one sprite's pixels changed
(a visible pixel recoloured, so that its size and trim box, and so the
layout, stay), and one sprite added. Each configuration (the defaults, and
two variants with WebP layers) is measured on each folder; each measured
run is a whole command in its own process. The table gives the median
wall and processor (user + system) seconds of the repeats and their ratio
to the clean build's, which the targets judge.

    python bench/rebuild.py [--repeats N] FOLDER...
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from PIL import Image

CONFIGURATIONS = {
    "defaults": [],
    "two variants, WebP": ["--variant=1:@2x", "--variant=0.5:", "--texture-format=webp"],
}
STEPS = ("clean build", "nothing changed", "one sprite's pixels changed", "one sprite added")


def timed(command):
    """Wall and processor seconds of one command."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if status:
        raise SystemExit(f"{command} failed: {process.stderr.read().decode()[-2000:]}")
    process.stderr.close()
    return wall, usage.ru_utime + usage.ru_stime


def recolour_a_visible_pixel(path, rng):
    with Image.open(path) as image:
        edited = image.convert("RGBA")
    alpha = edited.getchannel("A")
    visible = [(x, y) for y in range(edited.height) for x in range(edited.width) if alpha.getpixel((x, y))]
    if not visible:
        return False
    x, y = rng.choice(visible)
    r, g, b, a = edited.getpixel((x, y))
    edited.putpixel((x, y), ((r + 128) % 256, g, b, a))
    edited.save(path)
    return True


def measure(folder, options, repeats, ours):
    times = {step: [] for step in STEPS}
    with tempfile.TemporaryDirectory() as work:
        sprites, out = Path(work) / "sprites", Path(work) / "atlas"
        shutil.copytree(folder, sprites)
        old = time.time() - 86400  # files made long before, as a user's are
        for path in sprites.rglob("*.png"):
            os.utime(path, (old, old))
        build = [ours, "pack", str(sprites), "--out", str(out), "--quiet", *options]
        rng = random.Random(1)
        pngs = sorted(sprites.rglob("*.png"))
        for repeat in range(repeats):
            times["clean build"].append(timed(build + ["--no-cache"]))
            timed(build)  # writes the cache
            times["nothing changed"].append(timed(build))
            while not recolour_a_visible_pixel(pngs[rng.randrange(len(pngs))], rng):
                pass
            times["one sprite's pixels changed"].append(timed(build))
            Image.new("RGBA", (40, 30), (rng.randrange(256), 90, 30, 255)).save(sprites / f"added_{repeat}.png")
            times["one sprite added"].append(timed(build))
    return {step: (statistics.median(w for w, _ in runs), statistics.median(c for _, c in runs))
            for step, runs in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    print("| sprites | configuration | build | wall s | / clean | CPU s | / clean |")
    print("|---|---|---|---:|---:|---:|---:|")
    for folder in args.folders:
        for label, options in CONFIGURATIONS.items():
            medians = measure(folder, options, args.repeats, ours)
            clean_wall, clean_cpu = medians["clean build"]
            for step, (wall, cpu) in medians.items():
                print(f"| {folder.name} | {label} | {step} | {wall:.2f} | {wall / clean_wall:.2f} | {cpu:.2f} | "
                      f"{cpu / clean_cpu:.2f} |", flush=True)


if __name__ == "__main__":
    main()
