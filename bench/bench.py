"""Benchmark of TesselPack against peer packers on seeded sprite workloads.

Prints one table row per (workload, n, mode, packer): median wall time of
repeated in-process runs, quality (density of the single bin, or textures
used against the area lower bound), and peak extra memory of one call. Each
measurement runs in a fresh child process so that peak memory is its own.

    python bench/bench.py [--sizes 100,1000] [--stb path/to/libstb_shim.so]
"""

import argparse
import ctypes
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from contextlib import contextmanager

import numpy as np

WORKLOADS = ("sprites", "mixed", "thin")
MODES = (0, 1024, 2048)  # 0: one bin as small as found; else square textures of that side
PEER_BUDGET_S = 2.0  # a peer slower than this at some n is not run at ten times that n
TIMEOUT_S = 120  # one measurement (all its repeats) is given up after this


def workload(name, n, seed=2026):
    rng = np.random.default_rng(seed)
    if name == "sprites":
        return rng.integers(8, 129, size=(n, 2))
    if name == "mixed":
        small = rng.integers(4, 65, size=(n, 2))
        large = rng.integers(128, 513, size=(n, 2))
        return np.where((rng.random(n) < 0.1)[:, None], large, small)
    sizes = np.column_stack([rng.integers(1, 17, n), rng.integers(32, 257, n)])
    sizes[1::2] = sizes[1::2, ::-1]  # half of them lying down
    return sizes


# Each packer returns (bin_w, bin_h) for one bin, or (textures, side) in layered mode.

@contextmanager
def quiet_stdout():
    """Hides pack's per-layer progress lines, which it writes below Python."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def tesselpack(sizes, texture):
    import TesselPack

    with quiet_stdout():  # the layer progress lines
        result, w, h = TesselPack.pack(sizes, texture)
    return (w, h) if texture == 0 else (int(result[:, 2].max()) + 1 if len(result) else 0, texture)


def place(sizes, texture):
    from tessel_atlas import place as place_threaded

    result, w, h = place_threaded(sizes, texture, threads=0)
    return (w, h) if texture == 0 else (int(result[:, 2].max()) + 1 if len(result) else 0, texture)


def grow_square(sizes, fits):
    """The usual single-bin loop: a square from the root of the total area, 1% larger until all fit."""
    side = max(int(math.isqrt(int((sizes[:, 0] * sizes[:, 1]).sum()))), int(sizes.max()))
    while not fits(side):
        side = max(side + 1, int(side * 1.01))
    return side, side


def fill_layers(sizes, texture, pack_bin):
    """Textures filled one after another; pack_bin returns a mask of the rectangles it placed."""
    remaining, textures = sizes, 0
    while len(remaining):
        placed = pack_bin(remaining, texture)
        if not placed.any():
            raise RuntimeError("no progress")
        remaining, textures = remaining[~placed], textures + 1
    return textures, texture


def stb(sizes, texture, library):
    lib = ctypes.CDLL(library)
    flat = np.ascontiguousarray(sizes, dtype=np.int32)

    def pack_bin(rects, side):
        rects = np.ascontiguousarray(rects, dtype=np.int32)
        out = np.zeros((len(rects), 3), dtype=np.int32)
        lib.stb_pack(side, side, len(rects), rects.ctypes.data_as(ctypes.c_void_p),
                     out.ctypes.data_as(ctypes.c_void_p))
        return out[:, 2] != 0

    if texture == 0:
        return grow_square(flat, lambda side: pack_bin(flat, side).all())
    return fill_layers(flat, texture, pack_bin)


def rectangle_packer(sizes, texture):
    import rpack

    if texture:
        return None  # packs one bin only
    listed = [tuple(map(int, s)) for s in sizes]

    def fits(side):
        try:
            rpack.pack(listed, max_width=side, max_height=side)
            return True
        except rpack.PackingImpossibleError:
            return False

    return grow_square(sizes, fits)


def rectpack_maxrects(sizes, texture):
    import rectpack

    def pack_bin(rects, side):
        packer = rectpack.newPacker(mode=rectpack.PackingMode.Offline, pack_algo=rectpack.MaxRectsBssf,
                                    rotation=True)
        for i, (w, h) in enumerate(rects.tolist()):
            packer.add_rect(w, h, rid=i)
        packer.add_bin(side, side)
        packer.pack()
        placed = np.zeros(len(rects), dtype=bool)
        for _, _, _, _, _, rid in packer.rect_list():
            placed[rid] = True
        return placed

    if texture == 0:
        return grow_square(sizes, lambda side: pack_bin(sizes, side).all())
    return fill_layers(sizes, texture, pack_bin)


def measure(packer, name, n, texture, repeats, stb_library):
    """Runs in a child process: median seconds, result, peak extra KiB of the first call."""
    import TesselPack  # noqa: F401  (loaded before the baseline, like NumPy)

    sizes = workload(name, n)
    run = {"TesselPack": tesselpack, "tessel_atlas.place": place, "stb_rect_pack": lambda s, t: stb(s, t, stb_library),
           "rectangle-packer": rectangle_packer, "rectpack MaxRects": rectpack_maxrects}[packer]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times, result = [], None
    for i in range(repeats):
        start = time.perf_counter()
        result = run(sizes, texture)
        times.append(time.perf_counter() - start)
        if i == 0:
            peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        if result is None or sum(times) > 10 * PEER_BUDGET_S:
            break
    return {"seconds": statistics.median(times), "result": result, "peak_kib": peak_kib}


def quality(sizes, texture, result):
    total = int((sizes[:, 0] * sizes[:, 1]).sum())
    if texture == 0:
        return f"density {total / (result[0] * result[1]):.3f}"
    return f"{result[0]} textures (bound {math.ceil(total / texture ** 2)})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="100,1000,10000,100000")
    parser.add_argument("--packers",
                        default="TesselPack,tessel_atlas.place,stb_rect_pack,rectangle-packer,rectpack MaxRects")
    parser.add_argument("--stb", help="the stb_shim library built by bench/run.sh")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        job = json.loads(args.child)
        print(json.dumps(measure(**job)))
        return

    packers = [p for p in args.packers.split(",") if p != "stb_rect_pack" or args.stb]
    print(f"# {platform.node()}, {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Python {platform.python_version()}, {time.strftime('%Y-%m-%d')}")
    print("| workload | n | mode | packer | median ms | quality | peak extra MiB | bytes/rect |")
    print("|---|---:|---|---|---:|---|---:|---:|")
    too_slow = set()
    for name in WORKLOADS:
        for n in map(int, args.sizes.split(",")):
            sizes = workload(name, n)
            for texture in MODES:
                for packer in packers:
                    mode = "single bin" if texture == 0 else f"layered {texture}"
                    if (packer, name, texture) in too_slow:
                        print(f"| {name} | {n} | {mode} | {packer} | not run: over {PEER_BUDGET_S:.0f} s "
                              f"at a tenth of this n | | | |")
                        continue
                    repeats = 5 if n <= 10000 else 3
                    job = {"packer": packer, "name": name, "n": n, "texture": texture, "repeats": repeats,
                           "stb_library": args.stb}
                    try:
                        done = subprocess.run([sys.executable, __file__, "--child", json.dumps(job)],
                                              capture_output=True, text=True, timeout=TIMEOUT_S)
                    except subprocess.TimeoutExpired:
                        too_slow.add((packer, name, texture))
                        print(f"| {name} | {n} | {mode} | {packer} | not finished in {TIMEOUT_S} s | | | |")
                        continue
                    if done.returncode:
                        reason = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
                        print(f"| {name} | {n} | {mode} | {packer} | failed: {reason} | | | |")
                        continue
                    m = json.loads(done.stdout)
                    if m["result"] is None:
                        continue  # this packer has no such mode
                    if m["seconds"] > PEER_BUDGET_S and not packer.startswith("Tessel"):
                        too_slow.add((packer, name, texture))
                    peak = m["peak_kib"] * 1024
                    print(f"| {name} | {n} | {mode} | {packer} | {m['seconds'] * 1000:.1f} | "
                          f"{quality(sizes, texture, m['result'])} | {peak / 2 ** 20:.1f} | {peak / n:.0f} |",
                          flush=True)


if __name__ == "__main__":
    main()
