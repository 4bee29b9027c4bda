"""Reading the files artists draw in against reading the same frames as
PNG files: 100 Aseprite files of 8-frame animations (48 x 48, two layers,
the upper one half transparent, compressed cels, one tag) against their
800 frames as PNGs. Each row is the median of the repeats, in this
process: the scan (finding the sprites and their frames) plus decoding
every sprite's pixels, and a whole clean `tessel-atlas pack` (its own
process) for scale. The ratio is against the PNG path measured in the
same run.

    python bench/artists_files.py [--repeats N]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import aseprite_files as ase  # noqa: E402
from tessel_atlas.images import ordered_map, workers  # noqa: E402
from tessel_atlas.inputs import collect_sprites, frames  # noqa: E402

FILES, FRAMES, SIDE = 100, 8, 48


def animation(rng):
    body = rng.integers(0, 256, (SIDE // 8, SIDE // 8, 4), np.uint8).repeat(8, 0).repeat(8, 1)
    body[..., 3] = 255
    frames = []
    for number in range(FRAMES):
        glow = rng.integers(0, 256, (16, 16, 4), np.uint8)
        glow[..., 3] = 128
        frames.append(ase.Frame(100, [ase.Cel(0, 0, 0, np.roll(body, number, axis=1)),
                                      ase.Cel(1, 4 * number, 8, glow)]))
    return ase.Document(SIDE, SIDE, [ase.Layer("body"), ase.Layer("glow")], frames, tags=[("run", 0, FRAMES - 1, 0, 0)])


def make(root: Path):
    rng = np.random.default_rng(1)
    (root / "ase").mkdir()
    (root / "png").mkdir()
    for index in range(FILES):
        doc = animation(rng)
        (root / "ase" / f"hero{index}.aseprite").write_bytes(ase.write(doc))
        for number in range(FRAMES):
            Image.fromarray(ase.composite(doc, number) if index < 2 else compose_fast(doc, number)).save(
                root / "png" / f"hero{index}_{number}.png")


def compose_fast(doc, number):
    """The frame as tessel-atlas reads it (the test's composite is exact but
    slow, and the first files are checked against it)."""
    from tessel_atlas.inputs import aseprite
    return aseprite.compose(aseprite.parse("bench", ase.write(doc)), number)


def reading(folder: Path) -> float:
    frames._decoded.clear()  # as in a new process
    start = time.perf_counter()
    found = collect_sprites([folder])
    for _ in ordered_map(lambda sprite: sprite.open(None), found.sprites, ahead=4 * workers()):
        pass
    return time.perf_counter() - start


def packing(folder: Path, out: Path) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tessel_atlas", "pack", str(folder), "--out", str(out), "--no-cache",
                    "--quiet"], check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        root = Path(temporary)
        make(root)
        rows = {}
        for kind in ("png", "ase"):
            rows[kind] = (statistics.median(reading(root / kind) for _ in range(args.repeats)),
                          statistics.median(packing(root / kind, root / f"out-{kind}") for _ in range(args.repeats)))
        sprites = {kind: len(collect_sprites([root / kind]).sprites) for kind in rows}
    print(f"| input ({FILES} animations of {FRAMES} frames, {SIDE} x {SIDE}) | sprites | read s | vs PNG "
          "| clean pack s | vs PNG |")
    print("|---|---|---|---|---|---|")
    for kind, label in (("png", "PNG files, one a frame"), ("ase", "Aseprite files (frames and the tag's)")):
        read, pack = rows[kind]
        print(f"| {label} | {sprites[kind]} | {read:.3f} | {read / rows['png'][0]:.2f} | {pack:.3f} | "
              f"{pack / rows['png'][1]:.2f} |")


if __name__ == "__main__":
    main()
