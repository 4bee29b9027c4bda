"""Layer images on real game sprites: PNG against lossless WebP at each
method, and what bleeding costs.

Each configuration packs the set into 2048 textures with tessel-atlas's
defaults otherwise, in its own process, interleaved with the others; the
table gives the median time of the writing phase (composing, bleeding and
encoding every layer, on a thread per core), its ratio to PNG's with
bleeding (the default), and the bytes of the layer images.

    python bench/textures.py [--repeats N] FOLDER...
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

CONFIGURATIONS = {
    "png": ["--texture-format=png"],
    "png, no bleeding": ["--texture-format=png", "--no-bleed"],
    **{f"webp, method {m}": ["--texture-format=webp", f"--webp-method={m}"] for m in (0, 2, 4, 6)},
    "webp, method 0, no bleeding": ["--texture-format=webp", "--webp-method=0", "--no-bleed"],
}


def writing(command):
    """Seconds of the writing phase, from the command's own phase line."""
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    line = next(line for line in done.stderr.splitlines() if line.startswith("tessel-atlas: wrote "))
    return float(line.rsplit(" in ", 1)[1].split()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    print("| sprites | layers as | median writing s | / png | MB | / png |")
    print("|---|---|---:|---:|---:|---:|")
    for folder in args.folders:
        times = {name: [] for name in CONFIGURATIONS}
        sizes = {}
        for _ in range(args.repeats):
            for name, options in CONFIGURATIONS.items():
                with tempfile.TemporaryDirectory() as out:
                    times[name].append(writing([ours, "pack", str(folder), "--out", out, *options]))
                    sizes[name] = sum(p.stat().st_size for p in Path(out).glob("atlas_*.*")
                                      if p.suffix in (".png", ".webp")) / 1e6
        base_time, base_size = statistics.median(times["png"]), sizes["png"]
        for name in CONFIGURATIONS:
            median = statistics.median(times[name])
            print(f"| {folder.name} | {name} | {median:.2f} | {median / base_time:.2f} | {sizes[name]:.1f} | "
                  f"{sizes[name] / base_size:.2f} |", flush=True)


if __name__ == "__main__":
    main()
