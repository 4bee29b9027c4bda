"""Peak memory on folders of large canvases that no 2048 texture holds,
which tessel-atlas must refuse without holding several decoded at once:
five 8000 x 8000 opaque palette images, four 9459 x 9459 palette images
beside one 9000 x 9000 RGBA image, and three RGBA ones alone, whose
transparent borders trimming could cut (so each must be decoded to know). The images are drawn from a
seed into FOLDER the first time. Each run is a whole command; the table
gives its exit status, its peak resident memory, and the baseline: the
same command on one small sprite.

    python bench/canvases.py FOLDER
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

from PIL import Image, ImageDraw

SETS = {
    "five 8000 x 8000 opaque palette images": [("P", 8000)] * 5,
    "four 9459 x 9459 palette images, one 9000 x 9000 RGBA": [("P", 9459)] * 4 + [("RGBA", 9000)],
    "three 9000 x 9000 RGBA images": [("RGBA", 9000)] * 3,
}


def canvas(mode, side, rng):
    image = Image.new(mode, (side, side), 0 if mode == "P" else (0, 0, 0, 0))
    if mode == "P":
        image.putpalette([rng.randrange(256) for _ in range(768)])
    draw = ImageDraw.Draw(image)
    for _ in range(40):
        x, y = rng.randrange(side), rng.randrange(side)
        box = (x, y, min(side - 2, x + rng.randrange(side // 4)), min(side - 2, y + rng.randrange(side // 4)))
        draw.rectangle(box, fill=rng.randrange(1, 256) if mode == "P" else (rng.randrange(256), 80, 40, 255))
    return image


def peak(command):
    """Exit status and peak resident MiB of one command."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    return os.waitstatus_to_exitcode(status), usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    rng = random.Random(1)
    small = args.folder / "small"
    if not small.exists():
        small.mkdir(parents=True)
        Image.new("RGBA", (16, 16), (200, 40, 40, 255)).save(small / "one.png")
    print("| folder | exit status | peak MiB | the largest canvas as RGBA, MiB |")
    print("|---|---:|---:|---:|")
    status, baseline = peak([ours, "pack", str(small), "--out", str(args.folder / "out"), "--quiet", "--no-cache"])
    print(f"| one 16 x 16 sprite (the baseline) | {status} | {baseline:.0f} | - |")
    for label, images in SETS.items():
        folder = args.folder / label.split(",")[0].replace(" ", "-")
        if not folder.exists():
            folder.mkdir(parents=True)
            for i, (mode, side) in enumerate(images):
                canvas(mode, side, rng).save(folder / f"canvas{i}x.png")
        status, used = peak([ours, "pack", str(folder), "--out", str(args.folder / "out"), "--quiet"])
        largest = max(side * side * 4 for _, side in images)
        print(f"| {label} | {status} | {used:.0f} | {largest / 2**20:.0f} |", flush=True)


if __name__ == "__main__":
    main()
