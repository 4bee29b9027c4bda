"""A seeded set of many small sprites, for measuring builds at a size that
real game packages rarely reach: by default 20,000 PNGs of 4 to 32 px a
side in 40 folders, each a few shapes of colour on transparency, some with
transparent borders to trim. The same seed writes the same files.

    python bench/many_sprites.py FOLDER [--count N] [--folders N] [--seed N]
"""

import argparse
import random
from pathlib import Path

from PIL import Image, ImageDraw


def sprite(rng: random.Random) -> Image.Image:
    width, height = rng.randint(4, 32), rng.randint(4, 32)
    image = Image.new("RGBA", (width, height), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    border = rng.choice((0, 0, 1, 2))
    for _ in range(rng.randint(1, 3)):
        x0, y0 = rng.randint(border, width - 1), rng.randint(border, height - 1)
        x1, y1 = rng.randint(x0, max(x0, width - 1 - border)), rng.randint(y0, max(y0, height - 1 - border))
        colour = (rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice((255, 255, 160)))
        (draw.ellipse if rng.random() < 0.5 else draw.rectangle)((x0, y0, x1, y1), fill=colour)
    return image


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    parser.add_argument("--count", type=int, default=20_000)
    parser.add_argument("--folders", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    for i in range(args.count):
        path = args.folder / f"set{i % args.folders:02d}" / f"item{i:05d}x.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        sprite(rng).save(path)
    print(args.folder)


if __name__ == "__main__":
    main()
