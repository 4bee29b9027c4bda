"""What each manifest format costs a clean build against json-hash: the
same set packed into 2048 textures by each format, in pairs with a
json-hash build whose order alternates, each run a whole command in its own
process. The table gives each format's median wall and processor seconds
and the median of the pairs' ratios to json-hash. (Formats that never
rotate or trim lay the sprites out otherwise: their layers differ too.)

    python bench/formats.py [--pairs N] FOLDER
"""

import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from rebuild import timed

TEMPLATE = Path(__file__).resolve().parents[1] / "examples" / "templates" / "json-hash" / "atlas_{index}{suffix}.json.j2"
FORMATS = {name: [f"--format={name}"] for name in ("json-array", "phaser3", "pixijs", "sparrow", "godot", "libgdx",
                                                   "css")}
FORMATS["template (json-hash's)"] = ["--format=template", f"--template={TEMPLATE}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    parser.add_argument("--pairs", type=int, default=3)
    args = parser.parse_args()
    ours = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or "tessel-atlas"

    def build(options):
        with tempfile.TemporaryDirectory() as out:
            return timed([ours, "pack", str(args.folder), "--out", out, "--quiet", "--no-cache", *options])

    print(f"| {args.folder.name}: format | wall s | CPU s | wall / json-hash | CPU / json-hash |")
    print("|---|---:|---:|---:|---:|")
    for name, options in FORMATS.items():
        runs, base = [], []
        for pair in range(args.pairs):
            first, second = (options, ["--format=json-hash"]) if pair % 2 == 0 else (["--format=json-hash"], options)
            one, two = build(first), build(second)
            runs.append(one if pair % 2 == 0 else two)
            base.append(two if pair % 2 == 0 else one)
        ratios = [(r[0] / b[0], r[1] / b[1]) for r, b in zip(runs, base)]
        print(f"| {name} | {statistics.median(r[0] for r in runs):.2f} | {statistics.median(r[1] for r in runs):.2f} | "
              f"{statistics.median(r[0] for r in ratios):.3f} | {statistics.median(r[1] for r in ratios):.3f} |",
              flush=True)


if __name__ == "__main__":
    main()
