"""Rebuilds against clean builds on a real game's sprites, into 2048
textures: a clean build (--no-cache), a rebuild with nothing changed, one
sprite's pixels changed (the same size), and one sprite added. Each
measured run is a whole command in its own process; the table gives the
median of the repeats.

    python bench/rebuild.py [--repeats N] FOLDER
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


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    times = {name: [] for name in ("clean build", "nothing changed", "one sprite's pixels changed",
                                   "one sprite added")}
    with tempfile.TemporaryDirectory() as work:
        sprites, out = Path(work) / "sprites", Path(work) / "atlas"
        shutil.copytree(args.folder, sprites)
        old = time.time() - 86400  # files made long before, as a user's are
        for path in sprites.rglob("*.png"):
            os.utime(path, (old, old))
        build = [ours, "pack", str(sprites), "--out", str(out), "--quiet"]
        rng = random.Random(1)
        pngs = sorted(sprites.rglob("*.png"))
        for repeat in range(args.repeats):
            times["clean build"].append(timed(build + ["--no-cache"]))
            timed(build)  # writes the cache
            times["nothing changed"].append(timed(build))
            with Image.open(pngs[rng.randrange(len(pngs))]) as image:
                target, edited = image.filename, image.convert("RGBA")
            edited.putpixel((0, 0), (rng.randrange(256), 0, 0, 255))
            edited.save(target)
            times["one sprite's pixels changed"].append(timed(build))
            Image.new("RGBA", (40, 30), (rng.randrange(256), 90, 30, 255)).save(sprites / f"added_{repeat}.png")
            times["one sprite added"].append(timed(build))
    clean = statistics.median(times["clean build"])
    print(f"| {args.folder.name}: build | median s | / clean build |")
    print("|---|---:|---:|")
    for name, values in times.items():
        print(f"| {name} | {statistics.median(values):.2f} | {statistics.median(values) / clean:.2f} |")


if __name__ == "__main__":
    main()
