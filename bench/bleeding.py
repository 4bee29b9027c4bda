"""What bleeding costs a clean build: the same set packed into 2048
textures with tessel-atlas's defaults (bleeding on) and with --no-bleed,
in pairs whose order alternates, each run a whole command in its own
process. The table gives the median wall and processor (user + system)
seconds of each and the median of the pairs' ratios, which the target
judges: pairs cancel most of what a shared machine's load does to both.

    python bench/bleeding.py [--pairs N] FOLDER...
"""

import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from rebuild import timed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--pairs", type=int, default=5)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"
    print("| sprites | bled: wall s | CPU s | not bled: wall s | CPU s | wall ratio | CPU ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for folder in args.folders:
        runs = {"bled": [], "not bled": []}
        for pair in range(args.pairs):
            order = ("bled", "not bled") if pair % 2 == 0 else ("not bled", "bled")
            for label in order:
                with tempfile.TemporaryDirectory() as out:
                    command = [ours, "pack", str(folder), "--out", out, "--quiet", "--no-cache"]
                    runs[label].append(timed(command + (["--no-bleed"] if label == "not bled" else [])))
        ratios = [(b[0] / n[0], b[1] / n[1]) for b, n in zip(runs["bled"], runs["not bled"])]
        median = {label: [statistics.median(t[i] for t in times) for i in (0, 1)] for label, times in runs.items()}
        print(f"| {folder.name} | {median['bled'][0]:.2f} | {median['bled'][1]:.2f} | {median['not bled'][0]:.2f} | "
              f"{median['not bled'][1]:.2f} | {statistics.median(r[0] for r in ratios):.3f} | "
              f"{statistics.median(r[1] for r in ratios):.3f} |", flush=True)


if __name__ == "__main__":
    main()
