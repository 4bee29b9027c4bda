"""Sprite folders for the atlas tests, and reading an atlas back by its manifests alone."""

import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path
from xml.etree import ElementTree

import numpy as np
from PIL import Image


def noise_sprite(rng, width, height, border=(0, 0, 0, 0)):
    """Random opaque and half-transparent pixels inside a fully transparent
    border (left, top, right, bottom)."""
    inner_w, inner_h = width - border[0] - border[2], height - border[1] - border[3]
    data = bytes(rng.choice((rng.randrange(256), 255)) if i % 4 == 3 else rng.randrange(256)
                 for i in range(inner_w * inner_h * 4))
    image = Image.new("RGBA", (width, height), (0, 0, 0, 0))
    image.paste(Image.frombytes("RGBA", (inner_w, inner_h), data), border[:2])
    return image


def put_whole(path, data, staging):
    """data at path in one step: written in `staging` (a folder no watch
    looks into, on the same file system) and moved in, so that a watch
    sees one change however long the writing takes on a loaded machine."""
    staging.mkdir(exist_ok=True)
    (staging / path.name).write_bytes(data if isinstance(data, bytes) else data.encode())
    os.replace(staging / path.name, path)


def png_bytes(image):
    stream = io.BytesIO()
    image.save(stream, "PNG")
    return stream.getvalue()


def smooth_sprite(rng, width, height):
    """A sprite as games draw them: smooth colour (red across, blue down)
    under an ellipse with an antialiased edge, in a transparent border."""
    y, x = np.mgrid[0:height, 0:width] + 0.5
    cx, cy, rx, ry = width / 2, height / 2, width / 2 - 1, height / 2 - 1
    distance = np.hypot((x - cx) / rx, (y - cy) / ry)
    alpha = np.clip((1 - distance) * min(rx, ry), 0, 1) * 255
    tint = rng.randrange(60)
    rgba = np.stack([40 + 180 * x / width, 90 + tint + 40 * np.sin(x / 3) * np.cos(y / 4),
                     220 - 170 * y / height, alpha], axis=-1)
    return Image.fromarray(np.round(rgba).astype(np.uint8))


def make_sprites(root, count=30, seed=5):
    """A folder with a subfolder: sprites with and without transparent
    borders, thin ones, two pairs identical after trimming and a fully
    transparent one. Returns {name: image}."""
    rng = random.Random(seed)
    (root / "ui").mkdir(parents=True)
    sources = {}
    for i in range(count):
        size = (rng.randint(3, 8), rng.randint(20, 34)) if i % 4 == 0 else (rng.randint(6, 22), rng.randint(6, 22))
        border = (0, 0, 0, 0) if i % 3 else tuple(rng.randint(0, 2) for _ in range(4))
        sources[f"ui/s{i:02d}.png" if i % 2 else f"s{i:02d}.png"] = noise_sprite(
            rng, size[0] + border[0] + border[2], size[1] + border[1] + border[3], border)
    twin = sources["s06.png"].crop(sources["s06.png"].getchannel("A").getbbox())
    sources["ui/twin.png"] = Image.new("RGBA", (twin.width + 3, twin.height + 1), (0, 0, 0, 0))
    sources["ui/twin.png"].paste(twin, (3, 0))
    sources["copy.png"] = sources["s02.png"].copy()
    sources["empty.png"] = Image.new("RGBA", (5, 4), (0, 0, 0, 0))
    for name, image in sources.items():
        image.save(root / name)
    return sources


def _sparrow_frames(path: Path):
    """The frame records of a Starling/Sparrow XML layer (whole sprites), in the hash layout's terms."""
    atlas = ElementTree.parse(path).getroot()
    for sub in atlas.iter("SubTexture"):
        x, y, w, h = (int(sub.attrib[key]) for key in ("x", "y", "width", "height"))
        yield sub.attrib["name"], (path.parent / atlas.attrib["imagePath"], {
            "frame": {"x": x, "y": y, "w": w, "h": h}, "rotated": False, "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h}, "sourceSize": {"w": w, "h": h}})


def libgdx_key(name: str) -> str:
    """ "region#index" of a sprite as libGDX's own packer names it: an index
    only of a name ending in _ and digits that a Java int holds."""
    stem = os.path.splitext(name)[0]
    found = re.fullmatch(r"(.+)_([0-9]+)", stem)
    return f"{found[1]}#{int(found[2])}" if found and int(found[2]) < 2**31 else f"{stem}#-1"


def libgdx_regions(path: Path):
    """The regions of a libGDX .atlas file, read by the format's public
    description (the keys tessel-atlas writes, and the newer bounds/offsets):
    [(page image path, name, index, fields)], fields by key as numbers."""
    regions, page, name, fields = [], None, None, {}

    def flush():
        if name is not None:
            regions.append((page, name, int(fields.get("index", [-1])[0]), fields))

    for line in path.read_text().split("\n"):
        if not line.strip():
            flush()
            page, name, fields = None, None, {}
        elif page is None:
            page = path.parent / line.strip()
        elif ":" in line and name is None:
            continue  # the page's own fields
        elif ":" in line:
            key, value = line.split(":", 1)
            fields[key.strip()] = [v.strip() for v in value.split(",")]
        else:
            flush()
            name, fields = line.strip(), {}
    flush()
    return regions


def _libgdx_frames(path: Path):
    """The frame records of a libGDX atlas, in the hash layout's terms, by
    "region#index". Offsets count from the bottom of the source."""
    for image, name, index, fields in libgdx_regions(path):
        x, y, w, h = (int(v) for v in fields["bounds"]) if "bounds" in fields else \
            [int(v) for v in fields["xy"] + fields["size"]]
        if "offsets" in fields:
            left, bottom, source_w, source_h = (int(v) for v in fields["offsets"])
        else:
            (left, bottom), (source_w, source_h) = map(int, fields["offset"]), map(int, fields["orig"])
        assert fields.get("rotate", ["false"]) == ["false"]
        yield f"{name}#{index}", (image, {
            "frame": {"x": x, "y": y, "w": w, "h": h}, "rotated": False,
            "trimmed": (left, source_h - bottom - h, w, h) != (0, 0, source_w, source_h),
            "spriteSourceSize": {"x": left, "y": source_h - bottom - h, "w": w, "h": h},
            "sourceSize": {"w": source_w, "h": source_h}, "split": [int(v) for v in fields.get("split", [])]})


def _numbers(text):
    return [int(v) for v in re.findall(r"-?\d+", text)]


def _godot_frames(out: Path, suffix: str):
    """The AtlasTextures of Godot text resources, in the hash layout's terms, by
    resource name: its atlas, region and margin (offset, and what the source
    adds). Variants other than the plain one are told apart by an @ in
    their suffix."""
    for path in sorted(out.glob(f"*{suffix}.tres")):
        text = path.read_text()
        if 'type="AtlasTexture"' not in text or (not suffix and "@" in path.name):  # another variant's
            continue
        image = re.search(r'\[ext_resource path="([^"]+)" type="Texture" id=1\]', text).group(1)
        if re.fullmatch(r"atlas_\d+.*_n\.\w+", image):  # a normal map's region, not a sprite's
            continue
        x, y, w, h = _numbers(re.search(r"region = Rect2\(([^)]*)\)", text).group(1))
        left, top, more_w, more_h = _numbers(re.search(r"margin = Rect2\(([^)]*)\)", text).group(1))
        assert "filter_clip = true" in text
        yield path.name[:-len(f"{suffix}.tres")], (out / image, {
            "frame": {"x": x, "y": y, "w": w, "h": h}, "rotated": False, "trimmed": bool(left or top or more_w or more_h),
            "spriteSourceSize": {"x": left, "y": top, "w": w, "h": h}, "sourceSize": {"w": w + more_w, "h": h + more_h}})


def _css_frames(out: Path):
    """The classes of a CSS sprite sheet's base rules, by class name: the element's size, and where the
    background puts the layer image."""
    for line in (out / "atlas.css").read_text().splitlines():
        found = re.match(r'\.(\S+) \{ display: inline-block; width: (\d+)px; height: (\d+)px; background: '
                         r'url\("([^"]+)"\) (\S+) (\S+) / ', line)
        if found:
            name, w, h, image, x, y = found.groups()
            x, y = (-int(v[:-2]) if v != "0" else 0 for v in (x, y))
            yield name, (out / image, {"frame": {"x": x, "y": y, "w": int(w), "h": int(h)}, "rotated": False,
                                       "trimmed": False, "spriteSourceSize": {"x": 0, "y": 0, "w": int(w), "h": int(h)},
                                       "sourceSize": {"w": int(w), "h": int(h)}})


def read_frames(out: Path, suffix: str = ""):
    """{name: (image path, frame record)} from whichever manifests of the
    variant with this file suffix the folder holds."""
    layer_file = re.compile(rf"atlas_\d+{re.escape(suffix)}\.(json|xml)")
    frames = {}
    for path in sorted(p for p in out.glob("atlas_*.xml") if layer_file.fullmatch(p.name)):
        frames.update(_sparrow_frames(path))
    if (out / f"atlas{suffix}.atlas").exists():
        frames.update(_libgdx_frames(out / f"atlas{suffix}.atlas"))
    if (out / "atlas.css").exists():
        frames.update(_css_frames(out))
    frames.update(_godot_frames(out, suffix))
    multi = out / f"atlas{suffix}.json"
    if multi.exists():
        for texture in json.loads(multi.read_text())["textures"]:
            for f in texture["frames"]:
                frames[f["filename"]] = (out / texture["image"], f)
        return frames
    for path in sorted(p for p in out.glob("atlas_*.json") if layer_file.fullmatch(p.name)):
        manifest = json.loads(path.read_text())
        listed = manifest["frames"]
        for name, f in (listed.items() if isinstance(listed, dict) else ((f["filename"], f) for f in listed)):
            frames[name] = (out / manifest["meta"]["image"], f)
    return frames


def frame_box(f):
    """The frame's footprint in its image: (x0, y0, x1, y1)."""
    r = f["frame"]
    w, h = (r["h"], r["w"]) if f["rotated"] else (r["w"], r["h"])
    return r["x"], r["y"], r["x"] + w, r["y"] + h


def restore(atlas, f):
    """The sprite as it was before packing: its frame cut out, turned back and
    put at its place inside its source size."""
    region = atlas.crop(frame_box(f))
    if f["rotated"]:
        region = region.transpose(Image.Transpose.ROTATE_90)
    source = Image.new("RGBA", (f["sourceSize"]["w"], f["sourceSize"]["h"]), (0, 0, 0, 0))
    source.paste(region, (f["spriteSourceSize"]["x"], f["spriteSourceSize"]["y"]))
    return source


def visible_bytes(image):
    """Pixels with every fully transparent one as (0, 0, 0, 0)."""
    data = bytearray(image.convert("RGBA").tobytes())
    for i in range(3, len(data), 4):
        if data[i] == 0:
            data[i - 3:i] = b"\0\0\0"
    return bytes(data)


def expected_sprite(source, trim, threshold, margin):
    """The sprite as an atlas must give it back, and whether it was trimmed:
    cut to its pixels with alpha above threshold, with up to margin more."""
    if not trim:
        return source, False
    ys, xs = np.nonzero(np.asarray(source.convert("RGBA"))[..., 3] > threshold)
    left, top, right, bottom = (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1) if len(xs) else (0, 0, 1, 1)
    box = (max(0, left - margin), max(0, top - margin), min(source.width, right + margin),
           min(source.height, bottom + margin))
    kept = Image.new("RGBA", source.size, (0, 0, 0, 0))
    kept.paste(source.crop(box), box[:2])
    return kept, box != (0, 0) + source.size


def premultiplied(image):
    """The image with its colour multiplied by alpha, rounded, as --premultiply stores it."""
    pixels = np.asarray(image.convert("RGBA")).astype(np.uint16)
    pixels[..., :3] = (pixels[..., :3] * pixels[..., 3:] + 127) // 255
    return Image.fromarray(pixels.astype(np.uint8))


# texture2ddecoder's decoder of each block format by its GL internal format,
# as the KTX header names it.
KTX_DECODERS = {0x8E8C: "decode_bc7", 0x83F3: "decode_bc3", 0x9278: "decode_etc2a8", 0x93B0: "decode_astc"}


def read_ktx(path: Path, level: int = 0):
    """A mipmap level of the image in a KTX (version 1) file (the full
    size by default), decoded by texture2ddecoder (which draws blocks as the
    browsers' GPUs do); its levels' count with level=None."""
    import struct
    import texture2ddecoder

    data = path.read_bytes()
    assert data[:12] == b"\xabKTX 11\xbb\r\n\x1a\n", path
    fields = struct.unpack_from("<13I", data, 12)
    internal_format, width, height, levels, key_values = fields[4], fields[6], fields[7], fields[11], fields[12]
    assert fields[10] == 1, "one face"
    if level is None:
        return levels
    start = 64 + key_values
    for _ in range(level):
        start += 4 + struct.unpack_from("<I", data, start)[0]
    size = struct.unpack_from("<I", data, start)[0]
    width, height = max(1, width >> level), max(1, height >> level)
    # A level smaller than a block is the top left of one.
    padded = -(-width // 4) * 4, -(-height // 4) * 4
    assert size == padded[0] * padded[1], (path, level, size)
    blocks = data[start + 4:start + 4 + size]
    decode = getattr(texture2ddecoder, KTX_DECODERS[internal_format])
    decoded = decode(blocks, *padded, *((4, 4) if internal_format == 0x93B0 else ()))
    return Image.frombytes("RGBA", padded, decoded, "raw", "BGRA").crop((0, 0, width, height))


def make_keyed_sprites(root: Path) -> None:
    """Opaque sprites with no blue in them (game_N.png), sides multiples of
    8, and as many key sprites of pure magenta (key_N.png) to pack among
    them: any blue drawn from a game sprite is a key's."""
    root.mkdir(parents=True)
    rng = np.random.default_rng(5)
    for n in range(12):
        w, h = rng.integers(1, 6, 2) * 8
        pixels = np.zeros((h, w, 4), np.uint8)
        pixels[..., :2] = rng.integers(0, 256, (h, w, 2))
        pixels[..., 3] = 255
        Image.fromarray(pixels).save(root / f"game_{n}.png")
        Image.new("RGBA", (int(h), int(w)), (255, 0, 255, 255)).save(root / f"key_{n}.png")


def open_layer(path: Path):
    """A layer image, as its loaders draw it."""
    return read_ktx(path) if path.suffix == ".ktx" else Image.open(path).convert("RGBA")


def run_in_own_session(argv, **options):
    """Runs argv in a session of its own, then ends every process left in
    it, whatever happened (xvfb-run killed alone leaves its X server and
    client running); returns the exit status and what it wrote to stderr."""
    run = subprocess.Popen(argv, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           text=True, **options)
    try:
        _, errors = run.communicate()
    finally:
        end_session(run)
    return run.returncode, errors


def end_session(run):
    """Kills every process left in the session that `run` leads, and waits for `run`."""
    try:
        os.killpg(run.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    run.wait()


def command():
    """The installed tessel-atlas script, or the test skipped without one."""
    import pytest

    # The script sits beside the interpreter of the environment it was installed into.
    executable = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or shutil.which("tessel-atlas")
    if executable is None:
        pytest.skip("the tessel-atlas script is not on PATH")
    return executable
