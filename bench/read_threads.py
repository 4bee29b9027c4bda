"""Reading sprites on the reading threads or in the thread that gathers
the readings: read_entries on each folder (trimmed, shared, nothing
cached) with files below each size read in the gathering thread (0: every
file on the threads; "all": none on them). Medians of the repeats, wall
and processor seconds.

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

LIMITS = (0, 4 * 1024, 16 * 1024, 64 * 1024, 256 * 1024, None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    fits = functools.partial(check_fit, texture=4096, spacing=Spacing(0, 0))
    print("| set | sprites | median file, bytes | read here below | wall s | CPU s |")
    print("|---|---:|---:|---|---:|---:|")
    for folder in args.folders:
        sprites = collect_sprites([folder]).sprites
        median_file = statistics.median(s.stamp[0] for s in sprites)
        for limit in LIMITS:
            images.SMALL_FILE_BYTES = 1 << 62 if limit is None else limit
            walls, cpus = [], []
            for _ in range(args.repeats):
                wall, cpu = time.perf_counter(), time.process_time()
                images.read_entries(sprites, trim=images.Trim(), share=True, step=lambda n: None, check=fits)
                walls.append(time.perf_counter() - wall)
                cpus.append(time.process_time() - cpu)
            shown = "all" if limit is None else f"{limit // 1024} KiB"
            print(f"| {folder.name} | {len(sprites)} | {median_file:.0f} | {shown} | {statistics.median(walls):.2f} "
                  f"| {statistics.median(cpus):.2f} |")


if __name__ == "__main__":
    main()
