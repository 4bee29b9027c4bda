"""tessel-atlas against PyTexturePacker on real game sprites, end to end.

Both tools pack the same folders into 2048 textures with tessel-atlas's
defaults (no padding, rotation, trimming of fully transparent borders),
interleaved, each run in its own process. Prints one table row per tool and
set: median wall time, its ratio to tessel-atlas, peak resident memory,
layers and the bytes of PNG written.

    python bench/atlas.py --peer-python build/atlas-bench-venv/bin/python FOLDER...
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PEER = """
import os, sys
from PyTexturePacker import Packer
packer = Packer.create(max_width=2048, max_height=2048, bg_color=0x00000000, enable_rotated=True, trim_mode=1,
                       border_padding=0, shape_padding=0, atlas_format="json")
os.makedirs(sys.argv[2], exist_ok=True)
packer.pack(sys.argv[1], "atlas_%d", sys.argv[2])
"""


def run(command):
    """Wall seconds and peak resident MiB of one command."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if status:
        raise SystemExit(f"{command[0]} failed: {process.stderr.read().decode()[-2000:]}")
    process.stderr.close()
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--peer-python", help="a Python with PyTexturePacker installed")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    tools = {"tessel-atlas": lambda src, out: [ours, "pack", str(src), "--out", str(out), "--quiet"]}
    if args.peer_python:
        tools["PyTexturePacker"] = lambda src, out: [args.peer_python, "-c", PEER, str(src), str(out)]

    print("| sprites | images | tool | median s | / tessel-atlas | peak MiB | layers | PNG MB |")
    print("|---|---:|---|---:|---:|---:|---:|---:|")
    for folder in args.folders:
        images = sum(1 for _ in folder.rglob("*.png"))
        times = {tool: [] for tool in tools}
        peaks = {tool: 0.0 for tool in tools}
        written = {}
        for _ in range(args.repeats):
            for tool, command in tools.items():
                with tempfile.TemporaryDirectory() as out:
                    seconds, peak = run(command(folder, Path(out) / "atlas"))
                    times[tool].append(seconds)
                    peaks[tool] = max(peaks[tool], peak)
                    pngs = list((Path(out) / "atlas").glob("*.png"))
                    written[tool] = (len(pngs), sum(p.stat().st_size for p in pngs) / 1e6)
        ours_median = statistics.median(times["tessel-atlas"])
        for tool in tools:
            median = statistics.median(times[tool])
            print(f"| {folder.name} | {images} | {tool} | {median:.2f} | {median / ours_median:.2f} | "
                  f"{peaks[tool]:.0f} | {written[tool][0]} | {written[tool][1]:.1f} |", flush=True)


if __name__ == "__main__":
    main()
