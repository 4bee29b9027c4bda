"""Reading sprites in batches of files decoded without the interpreter:
read_entries on each folder (trimmed, shared, nothing cached) with batches
of at most each number of files (1: a call per file). Medians of the
repeats, wall and processor seconds.

    python bench/read_threads.py [--repeats N] FOLDER...
"""

import argparse
import functools
import statistics
import time
from pathlib import Path

from tessel_atlas import images
from tessel_atlas.inputs import collect_sprites
from tessel_atlas.layout import Spacing, check_fit

BATCHES = (1, 8, 64, 256)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    fits = functools.partial(check_fit, texture=4096, spacing=Spacing(0, 0))
    print("| set | sprites | median file, bytes | files a batch | wall s | CPU s |")
    print("|---|---:|---:|---:|---:|---:|")
    for folder in args.folders:
        sprites = collect_sprites([folder]).sprites
        median_file = statistics.median(s.stamp[0] for s in sprites)
        for files in BATCHES:
            images.BATCH_FILES = files
            walls, cpus = [], []
            for _ in range(args.repeats):
                wall, cpu = time.perf_counter(), time.process_time()
                images.read_entries(sprites, trim=images.Trim(), share=True, step=lambda n: None, check=fits)
                walls.append(time.perf_counter() - wall)
                cpus.append(time.process_time() - cpu)
            print(f"| {folder.name} | {len(sprites)} | {median_file:.0f} | {files} | {statistics.median(walls):.2f} "
                  f"| {statistics.median(cpus):.2f} |", flush=True)


if __name__ == "__main__":
    main()
