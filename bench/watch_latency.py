"""How long `tessel-atlas watch` takes to answer a save: from a sprite file
saved (one visible pixel recoloured, or the file written again with the
same pixels) to the watch's summary line for the rebuilt atlas, against a
clean build of the same folder (--no-cache, a command of its own). The
watch waits for a burst of changes to settle (10 ms without another)
before it builds: that wait is part of what a user waits for, and of what
is measured. Medians of the repeats.

    python bench/watch_latency.py [--repeats N] FOLDER
"""

import argparse
import os
import queue
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from rebuild import recolour_a_visible_pixel  # the same edit as the rebuild benchmark's


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    tool = str(Path(sys.executable).with_name("tessel-atlas"))
    with tempfile.TemporaryDirectory() as work:
        sprites, out = Path(work) / "sprites", Path(work) / "atlas"
        shutil.copytree(args.folder, sprites)
        old = time.time() - 86400
        for path in sprites.rglob("*.png"):
            os.utime(path, (old, old))
        cleans = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            subprocess.run([tool, "pack", str(sprites), "--out", f"{work}/clean", "--no-cache", "-q"], check=True)
            cleans.append(time.perf_counter() - start)
        watch = subprocess.Popen([tool, "watch", str(sprites), "--out", str(out)], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
        lines: "queue.Queue[str]" = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in watch.stdout], daemon=True).start()
        try:
            lines.get()  # the first build
            time.sleep(2.5)  # its files older than the two seconds a rebuild distrusts
            rng = random.Random(1)
            pngs = sorted(sprites.rglob("*.png"))
            answers = {"one visible pixel recoloured": [], "saved again, the same pixels": []}
            for _ in range(args.repeats):
                for step in answers:
                    path = pngs[rng.randrange(len(pngs))]
                    if step.startswith("one"):
                        while not recolour_a_visible_pixel(path, rng):
                            path = pngs[rng.randrange(len(pngs))]
                    else:
                        path.write_bytes(path.read_bytes())
                    start = time.perf_counter()
                    lines.get()
                    answers[step].append(time.perf_counter() - start)
                    time.sleep(2.5)
        finally:
            watch.send_signal(signal.SIGINT)
            watch.wait()
    clean = statistics.median(cleans)
    print(f"{args.folder.name}: clean build {clean:.2f} s (median of {args.repeats})\n")
    print("| save | answered in s (median) | / clean build |")
    print("|---|---:|---:|")
    for step, times in answers.items():
        print(f"| {step} | {statistics.median(times):.3f} | {statistics.median(times) / clean:.3f} |")


if __name__ == "__main__":
    main()
