"""Single bins from tessel_atlas.place: bin area and time for each growth
factor and search resolution, against the defaults (growth 1.1, resolution 1,
which are TesselPack.pack's). Prints a table; medians of --repeats runs.

    python bench/place.py [--n 10000] [--repeats 3]
"""

import argparse
import statistics
import time

from bench import WORKLOADS, workload
from tessel_atlas import place

SETTINGS = [(1.1, 1), (1.05, 1), (1.02, 1), (1.01, 1), (1.1, 4), (1.1, 16), (1.1, 64),
            (1.02, 4), (1.01, 4), (1.01, 16)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print("| workload | n | growth | resolution | median ms | time / default | bin | density | area / default |")
    print("|---|---:|---:|---:|---:|---:|---|---:|---:|")
    for name in WORKLOADS:
        sizes = workload(name, args.n)
        total = int((sizes[:, 0] * sizes[:, 1]).sum())
        base = None
        for growth, resolution in SETTINGS:
            times = []
            for _ in range(args.repeats):
                start = time.perf_counter()
                _, w, h = place(sizes, 0, growth=growth, resolution=resolution)
                times.append(time.perf_counter() - start)
            ms = statistics.median(times) * 1000
            base = base or (ms, w * h)
            print(f"| {name} | {args.n} | {growth} | {resolution} | {ms:.1f} | {ms / base[0]:.2f} | {w} x {h} | "
                  f"{total / (w * h):.3f} | {w * h / base[1]:.3f} |", flush=True)


if __name__ == "__main__":
    main()
