"""What the block formats store, against the best encoders at hand, on real
sprite sets: each set packed as the command packs it for block formats
(sprites on block boundaries) and, for the alignment rows, without.

Per set, format, effort and encoder: the PSNR of what is stored (straight
RGBA, every frame's visible pixels, decoded by texture2ddecoder as GPUs
decode it) and its worst tenth of frames, the frames with a pixel whose
alpha is more than 32 levels off, processor seconds per megapixel on one
core, and bytes. tessel-atlas's rows are its encoders as the command runs
them (the alpha check included); the references are etcpak's BC7 at its
slowest (linear weights, uber 4, 64 partitions, no alpha check), the
`astcenc` command (Debian's astc-encoder) at -fast, -medium and -thorough,
`nvcompress -bc3 -fast` (Debian's libnvtt-bin), and rgbcx's BC3 at level
10 (PyPI's bc7enc-py), where installed.

    python bench/block_quality.py FOLDER...
"""

import argparse
import importlib.util
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compressed import pack, psnr  # noqa: E402
from tessel_atlas import blocks  # noqa: E402
from tessel_atlas.block_checks import decode  # noqa: E402


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def ours(fmt, effort):
    def encode(layer, work):
        return blocks.encode(fmt, effort, layer.tobytes(), layer.shape[1], layer.shape[0])[-len(layer.tobytes()) // 4:]
    return encode


def etcpak_slowest(layer, work):
    import etcpak
    params = etcpak.BC7CompressBlockParams()
    params.init_linear_weights()
    params.m_uber_level, params.m_max_partitions, params.m_try_least_squares = 4, 64, True
    return etcpak.compress_bc7(layer.tobytes(), layer.shape[1], layer.shape[0], params)


def etcpak_as_before(layer, work):
    """BC7 as tessel-atlas 1.1.0 stored it at medium: perceptual weights, no partitions searched."""
    import etcpak
    params = etcpak.BC7CompressBlockParams()
    params.m_uber_level, params.m_max_partitions, params.m_try_least_squares = 0, 0, True
    return etcpak.compress_bc7(layer.tobytes(), layer.shape[1], layer.shape[0], params)


def astcenc(preset):
    def encode(layer, work):
        Image.fromarray(layer).save(work / "layer.png")
        subprocess.run(["astcenc", "-cl", str(work / "layer.png"), str(work / "layer.astc"), "4x4", preset, "-silent"],
                       check=True)
        return (work / "layer.astc").read_bytes()[16:]
    return encode


def nvcompress_bc3(layer, work):
    Image.fromarray(layer).save(work / "layer.png")
    subprocess.run(["nvcompress", "-bc3", "-fast", "-nomips", str(work / "layer.png"), str(work / "layer.dds")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (work / "layer.dds").read_bytes()[128:]


def rgbcx_bc3(layer, work):
    import bc7enc

    return bc7enc.pack_dds(layer.tobytes(), layer.shape[1], layer.shape[0], "DXT5", level=10)


def measure(layers, frames, fmt, encode, work):
    start, children = time.process_time(), children_cpu()
    stored = [encode(layer, work) for layer in layers]
    cpu = time.process_time() - start + children_cpu() - children
    decoded = [decode(fmt, data[:layer.size // 4], layer.shape[1], layer.shape[0]) for data, layer in zip(stored, layers)]
    total, per_frame, strays = np.zeros(2), [], 0
    for index, x, y, w, h in frames:
        want = layers[index][y:y + h, x:x + w].astype(np.float64)
        got = decoded[index][y:y + h, x:x + w].astype(np.float64)
        shown = want[..., 3] > 0
        if not shown.any():
            continue
        error = ((got - want)[shown] ** 2).sum()
        total += (error, shown.sum() * 4)
        per_frame.append(psnr(error, shown.sum() * 4))
        strays += np.abs(got[..., 3] - want[..., 3])[shown].max() > 32
    megapixels = sum(layer.shape[0] * layer.shape[1] for layer in layers) / 1e6
    return psnr(*total), float(np.percentile(per_frame, 10)), strays, len(per_frame), cpu / megapixels, \
        sum(len(data[:layer.size // 4]) for data, layer in zip(stored, layers))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    args = parser.parse_args()
    print("| set | layout | format | encoder | stored PSNR (worst tenth) | frames with alpha > 32 off | "
          "CPU s / Mpx | bytes |")
    print("|---|---|---|---|---|---|---:|---:|")
    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        for folder in args.folders:
            for layout, extra in (("aligned", []), ("unaligned", ["--no-block-align"])):
                layers, frames = pack(folder, work / f"{folder.name}-{layout}", *extra)
                rows = [(fmt, f"tessel-atlas {effort}", ours(fmt, effort))
                        for fmt in ("bc7", "astc") for effort in blocks.EFFORTS] + \
                       [(fmt, "tessel-atlas", ours(fmt, "medium")) for fmt in ("bc3", "etc2")]
                if layout == "aligned":
                    rows.append(("bc7", "etcpak linear, uber 4, 64 partitions", etcpak_slowest))
                    rows.append(("bc7", "1.1.0's medium (etcpak perceptual, no partitions)", etcpak_as_before))
                    if shutil.which("astcenc"):
                        rows += [("astc", f"astcenc {p}", astcenc(p)) for p in ("-fast", "-medium", "-thorough")]
                    if shutil.which("nvcompress"):
                        rows.append(("bc3", "nvcompress -bc3 -fast", nvcompress_bc3))
                    if importlib.util.find_spec("bc7enc"):
                        rows.append(("bc3", "rgbcx level 10 (bc7enc-py)", rgbcx_bc3))
                else:  # alignment's own effect: the medium rows
                    rows = [row for row in rows if row[1] in ("tessel-atlas medium", "tessel-atlas")]
                for fmt, encoder, encode in rows:
                    mean, worst, strays, count, cpu, size = measure(layers, frames, fmt, encode, work)
                    print(f"| {folder.name} ({len(layers)} layers, {count} frames) | {layout} | {fmt} | {encoder} | "
                          f"{mean:.2f} ({worst:.2f}) | {strays} | {cpu:.3f} | {size:,} |", flush=True)


if __name__ == "__main__":
    main()
