"""Atlases loaded by the real clients: Phaser 3 and PixiJS in headless Chromium.

Each library loads tessel-atlas output through its own loader for the
format, draws every frame at 1:1 without smoothing, reads the pixels back
and posts them to a server on 127.0.0.1; every frame must equal its source
sprite (opaque and fully transparent pixels exactly, semi-transparent ones
within one level, premultiplied, as the browser blends them). The pages
also post what the libraries made of the data beside the pixels: pivots
(Phaser's frame origin, PixiJS's default anchor), PixiJS animations drawn
frame by frame as an AnimatedSprite, and nine-slice sprites drawn three
times their size as a NineSliceSprite.
"""

import base64
import html
import importlib.util
import http.server
import io
import itertools
import json
import math
import os
import random
import re
import shutil
import subprocess
import threading
import urllib.parse
from pathlib import Path

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
from atlas_files import (  # noqa: E402
    expected_sprite, frame_box, make_keyed_sprites, make_sprites, noise_sprite, open_layer, read_frames, read_ktx,
    restore)
from tessel_atlas.cli import main  # noqa: E402
from tessel_atlas.formats import css  # noqa: E402

CLIENTS = Path(__file__).resolve().parents[1].parent / "shared" / "clients"
PHASER = CLIENTS / "phaser-3.80.1.min.js"
# PixiJS 8, and 7, which many games still run (its loader and sheets differ).
PIXIS = {"8": CLIENTS / "pixi-8.14.0.min.js", "7": CLIENTS / "pixi-7.4.2.min.js"}
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
BLOCK_ENCODERS = all(importlib.util.find_spec(name) for name in ("etcpak", "astc_encoder", "texture2ddecoder"))
TEMPLATES = Path(__file__).resolve().parents[1] / "examples" / "templates"

pytestmark = [
    pytest.mark.slow,  # the same on every interpreter: run once per form
    pytest.mark.skipif(not all(p.exists() for p in (PHASER, *PIXIS.values())),
                       reason=f"the real clients are not in {CLIENTS}"),
    pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (apt-get install chromium)"),
]

# Reads a drawn region back as base64 RGBA.
COMMON_JS = """
const post = (body) => fetch('/result', {method: 'POST', body: JSON.stringify(body)});
const encode = (bytes) => { let s = ''; for (let i = 0; i < bytes.length; i += 4096)
    s += String.fromCharCode.apply(null, bytes.subarray(i, i + 4096)); return btoa(s); };
window.onerror = (message) => post({error: String(message)});
"""

# What differs between PixiJS 7 and 8 for these pages: making the
# application, a texture's source and filtering, nine-slice sprites, reading
# pixels back (7 unpremultiplies them), and the alpha mode of layers, which 8
# takes from the load call and 7 from each loaded base texture. 7 decodes
# images through image elements here: its ImageBitmaps are premultiplied as
# they are decoded, whatever the layer holds.
PIXI_JS = """
const V7 = PIXI.VERSION.startsWith('7.');
const makeApp = async () => {
  const options = {width: 8, height: 8, antialias: false, backgroundAlpha: 0};
  if (V7) return new PIXI.Application(options);
  const app = new PIXI.Application();
  await app.init({...options, preference: 'webgl'});
  return app;
};
if (V7) PIXI.Assets.setPreferences({preferCreateImageBitmap: false});
const filtering = (texture, mode) => {
  if (V7) texture.baseTexture.scaleMode = mode === 'nearest' ? PIXI.SCALE_MODES.NEAREST : PIXI.SCALE_MODES.LINEAR;
  else texture.source.scaleMode = mode;
};
const loadSheet = async (url, alphaMode, scaleMode) => {
  if (V7) {
    const sheet = await PIXI.Assets.load(url);
    for (const s of [sheet, ...(sheet.linkedSheets || [])]) {
      if (alphaMode) s.baseTexture.alphaMode = {'premultiplied-alpha': PIXI.ALPHA_MODES.PMA,
                                                'no-premultiply-alpha': PIXI.ALPHA_MODES.NPM}[alphaMode];
    }
    return sheet;
  }
  const textureOptions = {...(alphaMode ? {alphaMode} : {}), ...(scaleMode ? {scaleMode} : {})};
  return PIXI.Assets.load({src: url, data: {textureOptions}});
};
const nineSlice = (texture) => V7 ? new PIXI.NineSlicePlane(texture) : new PIXI.NineSliceSprite({texture});
// The target's pixels in (0, 0, w, h), read at `resolution` pixels a unit.
// A side of half a unit is read whole and cut after: PixiJS 8 reads regions
// of whole units.
const drawn = (app, target, w, h, resolution = 1) => {
  const frame = new PIXI.Rectangle(0, 0, Math.ceil(w), Math.ceil(h));
  let pixels, width, height;
  if (V7) {
    const texture = app.renderer.generateTexture(target, {region: frame, resolution});
    pixels = app.renderer.extract.pixels(texture);
    [width, height] = [texture.baseTexture.realWidth, texture.baseTexture.realHeight];
  } else {
    ({pixels, width, height} = app.renderer.extract.pixels({target, frame, resolution}));
  }
  const keptWidth = Math.round(w * resolution), keptHeight = Math.round(h * resolution);
  const kept = new Uint8Array(keptWidth * keptHeight * 4);
  for (let y = 0; y < keptHeight; ++y) {
    kept.set(new Uint8Array(pixels.buffer, pixels.byteOffset + y * width * 4, keptWidth * 4), y * keptWidth * 4);
  }
  return {w: keptWidth, h: keptHeight, premultiplied: !V7, rgba: encode(kept)};
};
"""

PIXI_PAGE = """<script src="/pixi.js"></script><script>%s%s
(async () => {
  try {
    const app = await makeApp();
    const textures = {}, sheets = [];
    for (const url of %s) {
      // PixiJS takes the alpha mode from the loading code only: the page passes on the manifest's.
      const alphaMode = (await (await fetch(url)).json()).meta.alphaMode;
      const sheet = await loadSheet(url, alphaMode);
      for (const s of [sheet, ...(sheet.linkedSheets || [])]) { Object.assign(textures, s.textures); sheets.push(s); }
    }
    const frames = {}, anchors = {}, nineSlices = {}, animations = {};
    for (const [name, texture] of Object.entries(textures)) {
      filtering(texture, 'nearest');
      const w = texture.orig.width, h = texture.orig.height, sprite = new PIXI.Sprite(texture);
      const anchor = texture.defaultAnchor;  // 7 gives every texture one, (0, 0) unless the manifest says
      if (anchor && (anchor.x || anchor.y)) anchors[name] = {x: anchor.x, y: anchor.y};
      sprite.anchor.set(0);
      frames[name] = drawn(app, sprite, w, h);
      if (texture.defaultBorders) {
        const nine = nineSlice(texture);
        nine.width = 3 * w; nine.height = 3 * h;
        nineSlices[name] = drawn(app, nine, 3 * w, 3 * h);
      }
    }
    for (const sheet of sheets) {
      for (const [name, list] of Object.entries(sheet.animations)) {
        const animated = new PIXI.AnimatedSprite(list, false);
        animated.anchor.set(0);
        animations[name] = list.map((texture, i) => {
          animated.gotoAndStop(i);
          return drawn(app, animated, texture.orig.width, texture.orig.height);
        });
      }
    }
    await post({frames, anchors, nineSlices, animations, version: PIXI.VERSION});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""

# Each variant's sheet on its own (their frames share names): every frame
# drawn at its size on screen, read back at the texture's own resolution.
VARIANTS_PAGE = """<script src="/pixi.js"></script><script>%s%s
(async () => {
  try {
    const app = await makeApp();
    const variants = {};
    for (const url of %s) {
      const sheet = await loadSheet(url), frames = {};
      for (const s of [sheet, ...(sheet.linkedSheets || [])]) {
        for (const [name, texture] of Object.entries(s.textures)) {
          filtering(texture, 'nearest');
          const w = texture.orig.width, h = texture.orig.height;
          const resolution = V7 ? texture.baseTexture.resolution : texture.source.resolution;
          const sprite = new PIXI.Sprite(texture);
          sprite.anchor.set(0);
          frames[name] = {screen: [w, h], ...drawn(app, sprite, w, h, resolution)};
        }
      }
      variants[url] = frames;
    }
    await post({variants});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""

# Sprites drawn scaled with linear filtering from textures whose alpha is
# not premultiplied (where transparent colour blends in), from each atlas
# and from each sprite's own file; the drawings read back premultiplied.
FRINGE_PAGE = """<script src="/pixi.js"></script><script>%s%s
(async () => {
  try {
    const app = await makeApp();
    // Through image elements: PixiJS 8.14 decodes straight-alpha images to
    // ImageBitmaps that lose the colour under transparent pixels.
    PIXI.Assets.setPreferences({preferCreateImageBitmap: false});
    const drawings = (texture) => [1.5, 0.75].map((scale) => {
      filtering(texture, 'linear');
      const sprite = new PIXI.Sprite(texture);
      sprite.scale.set(scale);
      sprite.position.set(1.25, 1.25);
      const w = Math.ceil(texture.orig.width * scale) + 3, h = Math.ceil(texture.orig.height * scale) + 3;
      const holder = new PIXI.Container();
      holder.addChild(sprite);
      return drawn(app, holder, w, h);
    });
    const [atlases, files] = %s, found = {};
    for (const [label, url] of Object.entries(atlases)) {
      const sheet = await loadSheet(url, 'no-premultiply-alpha', 'linear');
      found[label] = {};
      for (const [name, texture] of Object.entries(sheet.textures)) found[label][name] = drawings(texture);
    }
    found.alone = {};
    for (const [name, url] of Object.entries(files)) {
      const texture = await PIXI.Assets.load(V7 ? url : {src: url, data: {alphaMode: 'no-premultiply-alpha'}});
      if (V7) texture.baseTexture.alphaMode = PIXI.ALPHA_MODES.NPM;
      found.alone[name] = drawings(texture);
    }
    await post({frames: found});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""

# A frame's pixels read back: from the canvas renderer's 2D context, or from
# the WebGL renderer's drawing buffer (premultiplied, rows from the bottom).
PHASER_READ = {
    "CANVAS": """const read = (game, c) => ({w: c.w, h: c.h, premultiplied: false,
      rgba: encode(game.canvas.getContext('2d').getImageData(c.x, c.y, c.w, c.h).data)});""",
    "WEBGL": """const read = (game, c) => {
      const gl = game.renderer.gl, pixels = new Uint8Array(c.w * c.h * 4), rows = new Uint8Array(c.w * c.h * 4);
      gl.readPixels(c.x, 1024 - c.y - c.h, c.w, c.h, gl.RGBA, gl.UNSIGNED_BYTE, pixels);
      for (let r = 0; r < c.h; ++r) rows.set(pixels.subarray((c.h - 1 - r) * c.w * 4, (c.h - r) * c.w * 4), r * c.w * 4);
      return {w: c.w, h: c.h, premultiplied: true, rgba: encode(rows)};
    };""",
}

# Draws every frame of the textures `keys` that `preload` loads.
PHASER_PAGE = """<script src="/phaser.js"></script><script>%s
const keys = %s;
%s
new Phaser.Game({type: Phaser.%s, width: 1024, height: 1024, transparent: true, banner: false,
  render: {pixelArt: true, antialias: false, preserveDrawingBuffer: true}, audio: {noAudio: true},
  scene: {
    preload() {
      %s
    },
    create() {
      const cells = [], pivots = {};
      let x = 0, y = 0, rowHeight = 0;
      for (const key of keys) {
        for (const name of this.textures.get(key).getFrameNames()) {
          const frame = this.textures.getFrame(key, name), w = frame.realWidth, h = frame.realHeight;
          if (frame.customPivot) pivots[name] = {x: frame.pivotX, y: frame.pivotY};
          if (x + w > 1024) { x = 0; y += rowHeight + 2; rowHeight = 0; }
          this.add.image(x, y, key, name).setOrigin(0);
          cells.push({name, x, y, w, h});
          x += w + 2; rowHeight = Math.max(rowHeight, h);
        }
      }
      this.game.events.once('postrender', () => {
        const frames = {};
        for (const c of cells) frames[c.name] = read(this.game, c);
        post({frames, pivots});
      });
    }
  }});
</script>"""


# Runs code that loads a sheet (`sheet`) and draws its frames, its linked
# sheets' too.
CHOICE_PAGE = """<script src="/pixi.js"></script><script>%s%s
(async () => {
  try {
    const app = await makeApp();
    %s
    const frames = {};
    for (const s of [sheet, ...(sheet.linkedSheets || [])]) {
      for (const [name, texture] of Object.entries(s.textures)) {
        filtering(texture, 'nearest');
        const sprite = new PIXI.Sprite(texture);
        sprite.anchor.set(0);
        frames[name] = drawn(app, sprite, texture.orig.width, texture.orig.height);
      }
    }
    await post({frames, image: sheet.data.meta.image});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""

WEBGL = ["--use-angle=swiftshader", "--enable-unsafe-swiftshader"]
# Chromium decodes WebP images into premultiplied colour, which rounds
# semi-transparent pixels once more: up to two levels off (the files are
# exact: Pillow and Chromium's unpremultiplied path agree).
WEBP_LEVELS = 2


class Results:
    def __init__(self):
        self.body = None
        self.arrived = threading.Event()


def serve(folder: Path, results: Results) -> http.server.ThreadingHTTPServer:
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=str(folder), **kwargs)

        def do_POST(self):
            results.body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
            results.arrived.set()
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def frames_drawn(folder: Path, page: str, flags):
    """Serves the folder, opens the page in headless Chromium and returns what it posted."""
    (folder / "index.html").write_text(page)
    results = Results()
    server = serve(folder, results)
    browser = subprocess.Popen(
        [CHROMIUM, "--headless", "--no-sandbox", "--no-first-run", f"--user-data-dir={folder / 'profile'}",
         *flags, f"http://127.0.0.1:{server.server_address[1]}/index.html"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        # Not the sanitizer runtimes that a sanitized test run preloads.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    try:
        assert results.arrived.wait(90), "the page posted nothing within 90 s"
    finally:
        browser.kill()
        browser.wait()
        server.shutdown()
        server.server_close()
    assert "error" not in results.body, results.body["error"]
    return results.body


def premultiplied(rgba: np.ndarray) -> np.ndarray:
    alpha = rgba[..., 3:4].astype(np.int32)
    return np.concatenate([(rgba[..., :3] * alpha + 127) // 255, alpha], axis=-1)


def pixels_of(drawn):
    """A drawing's pixels, premultiplied, as int32 (height, width, 4)."""
    got = np.frombuffer(base64.b64decode(drawn["rgba"]), np.uint8).reshape(drawn["h"], drawn["w"], 4)
    return got.astype(np.int32) if drawn["premultiplied"] else premultiplied(got.astype(np.int32))


def assert_drawn_equals(got, source, label, levels=1):
    """Opaque and fully transparent pixels exactly, semi-transparent ones
    within `levels` once premultiplied."""
    want = premultiplied(np.asarray(source.convert("RGBA")).astype(np.int32))
    assert got.shape == want.shape, label
    exact = (want[..., 3] == 0) | (want[..., 3] == 255)
    assert (got[exact] == want[exact]).all(), (label, "opaque or transparent pixels differ")
    assert (abs(got[~exact] - want[~exact]) <= levels).all(), (label, "semi-transparent pixels differ")


def assert_frames_equal_sources(frames, sources, label, levels=1):
    assert set(frames) == set(sources), label
    for name, source in sources.items():
        assert_drawn_equals(pixels_of(frames[name]), source, (label, name), levels)


# Per-sprite settings for the clients to read: pivots, nine-slice borders.
PROJECT = """
[[sprites]]
match = "ui/*"
pivot = [0.25, 1.0]

[[sprites]]
match = "nine/*"
nine_slice = [3, 2, 4, 5]
"""


@pytest.fixture(scope="module")
def sprites(tmp_path_factory):
    """The usual sprites, an animation of 12 frames numbered 1 to 12, and
    two nine-slice panels whose every pixel tells where it is."""
    root = tmp_path_factory.mktemp("clients") / "sprites"
    sources = make_sprites(root, count=40, seed=11)
    rng = random.Random(12)
    (root / "walk").mkdir()
    for i in range(1, 13):
        sources[f"walk/step_{i}.png"] = noise_sprite(rng, 7, 9)
    (root / "nine").mkdir()
    for name, (w, h) in (("nine/panel.png", (14, 12)), ("nine/bar.png", (20, 11))):
        y, x = np.mgrid[0:h, 0:w]
        sources[name] = Image.fromarray(np.stack([x * 12, y * 20, (x * y) % 256, np.full_like(x, 255)],
                                                 axis=-1).astype(np.uint8))
    for name, image in sources.items():
        image.save(root / name)
    (root.parent / "project.toml").write_text(PROJECT)
    return root, sources


def pack(sprites, folder: Path, *options):
    """Packs into several small layers: trimmed, shared and extruded frames,
    kept apart by both paddings, with the project's per-sprite settings."""
    root, _ = sprites
    assert main(["pack", str(root), "--out", str(folder), "--max-texture-size", "64", "--extrude", "1",
                 "--shape-padding", "3", "--border-padding", "2", "--trim-margin", "1", "--quiet",
                 f"--config={root.parent / 'project.toml'}", *options]) == 0
    assert len(list(folder.glob("atlas_*.png")) + list(folder.glob("atlas_*.webp"))) > 1


def pivots_wanted(sources):
    return {name: {"x": 0.25, "y": 1.0} for name in sources if name.startswith("ui/")}


def phaser_page(loads, renderer, preload=""):
    """A page drawing the textures that `loads` ([kind, key, a, b]: this.load[kind](key, a, b)) or the
    code `preload` (texture 'atlas') load."""
    keys = [load[1] for load in loads] or ["atlas"]
    preload = preload or f"for (const [kind, key, a, b] of {json.dumps(loads)}) this.load[kind](key, a, b);"
    return PHASER_PAGE % (COMMON_JS, json.dumps(keys), PHASER_READ[renderer], renderer, preload)


def test_phaser_draws_every_frame(tmp_path, sprites):
    shutil.copy(PHASER, tmp_path / "phaser.js")
    # A Unity sprite sheet, from the template shipped for it: no trimming, turning or pivots.
    unity = ["--format=template", f"--template={TEMPLATES / 'unity' / 'atlas_{index}{suffix}.png.meta.j2'}",
             "--no-trim", "--no-rotation"]
    for fmt, image in itertools.product(("json-hash", "json-array", "phaser3", "sparrow", "unity"), ("png", "webp")):
        folder = f"{fmt}-{image}"
        out = tmp_path / folder
        pack(sprites, out, *(unity if fmt == "unity" else [f"--format={fmt}"]), f"--texture-format={image}",
             *([] if fmt in ("phaser3", "sparrow", "unity") else ["--no-rotation"]))
        layers = range(len(list(out.glob(f"atlas_*.{image}"))))
        if fmt == "phaser3":
            loads = [["multiatlas", "atlas", f"{folder}/atlas.json", f"{folder}/"]]
        elif fmt == "sparrow":
            loads = [["atlasXML", f"a{i}", f"{folder}/atlas_{i}.{image}", f"{folder}/atlas_{i}.xml"] for i in layers]
        elif fmt == "unity":
            loads = [["unityAtlas", f"a{i}", f"{folder}/atlas_{i}.{image}", f"{folder}/atlas_{i}.png.meta"]
                     for i in layers]
        else:
            loads = [["atlas", f"a{i}", f"{folder}/atlas_{i}.{image}", f"{folder}/atlas_{i}.json"] for i in layers]
        page = phaser_page(loads, "CANVAS")
        drawn = frames_drawn(tmp_path, page, ["--disable-gpu"])
        assert_frames_equal_sources(drawn["frames"], sprites[1], folder, WEBP_LEVELS if image == "webp" else 1)
        # Phaser takes a frame's pivot as the origin of what shows it; XML and Unity's sheet have none.
        assert drawn["pivots"] == ({} if fmt in ("sparrow", "unity") else pivots_wanted(sprites[1])), folder


@pytest.mark.parametrize("pixi", PIXIS)
def test_pixijs_draws_every_frame_rotated_ones_included(tmp_path, sprites, pixi):
    shutil.copy(PIXIS[pixi], tmp_path / "pixi.js")
    root, sources = sprites
    # Premultiplied layers load with the alpha mode their manifest gives.
    for fmt, threshold, image, alpha in (("json-hash", 0, "png", ""), ("pixijs", 100, "png", ""),
                                         ("pixijs", 0, "webp", ""), ("pixijs", 0, "png", "--premultiply")):
        folder = f"{fmt}-{threshold}-{image}{alpha}"
        out = tmp_path / folder
        pack(sprites, out, f"--format={fmt}", f"--trim-threshold={threshold}", f"--texture-format={image}",
             *([alpha] if alpha else []))
        assert any(f["rotated"] for f in json.loads((out / "atlas_0.json").read_text())["frames"].values())
        layers = sorted(out.glob("atlas_*.json"))
        urls = [f"{folder}/atlas_0.json"] if fmt == "pixijs" else [f"{folder}/{p.name}" for p in layers]
        drawn = frames_drawn(tmp_path, PIXI_PAGE % (COMMON_JS, PIXI_JS, json.dumps(urls)), WEBGL)
        assert drawn["version"].startswith(f"{pixi}."), drawn["version"]
        wanted = {name: expected_sprite(image, not name.startswith("nine/"), threshold, 1)[0]
                  for name, image in sources.items()}
        assert_frames_equal_sources(drawn["frames"], wanted, folder, WEBP_LEVELS if image == "webp" else 1)
        # PixiJS reads a pivot as the texture's default anchor from pixijs manifests, which name it so.
        assert drawn["anchors"] == (pivots_wanted(sources) if fmt == "pixijs" else {}), folder
        # Nine-slice sprites drawn three times their size: the corners are the source's corners.
        assert set(drawn["nineSlices"]) == {"nine/panel.png", "nine/bar.png"}, folder
        for name, nine in drawn["nineSlices"].items():
            got, source = pixels_of(nine), np.asarray(sources[name])
            h, w = source.shape[:2]
            left, top, right, bottom = 3, 2, 4, 5
            for rows, cols in ((slice(0, top), slice(0, left)), (slice(0, top), slice(w - right, w)),
                               (slice(h - bottom, h), slice(0, left)), (slice(h - bottom, h), slice(w - right, w))):
                big_rows = slice(rows.start + (2 * h if rows.start else 0), rows.stop + (2 * h if rows.start else 0))
                big_cols = slice(cols.start + (2 * w if cols.start else 0), cols.stop + (2 * w if cols.start else 0))
                assert (got[big_rows, big_cols] == source[rows, cols].astype(np.int32)).all(), (folder, name)
        # The animation, which a multipack keeps in one layer, frame by frame in numeric order (2 before
        # 10), each exact.
        if fmt == "pixijs":
            walk = drawn["animations"]["walk/step"]
            assert len(walk) == 12, folder
            for i, frame in enumerate(walk, start=1):
                assert_drawn_equals(pixels_of(frame), wanted[f"walk/step_{i}.png"], (folder, "walk", i))


@pytest.mark.parametrize("pixi", PIXIS)
@pytest.mark.parametrize("variants, unit", [(["--variant=1:@2x", "--variant=0.5:"], 0.5),
                                            (["--variant=1:", "--variant=0.5:@half"], 1)])
def test_pixijs_draws_scale_variants_at_one_size(tmp_path, sprites, pixi, variants, unit):
    shutil.copy(PIXIS[pixi], tmp_path / "pixi.js")
    root, sources = sprites
    out = tmp_path / "variants"
    pack(sprites, out, "--format=pixijs", "--no-trim", *variants)
    urls = [f"variants/atlas_0{variant.split(':')[1]}.json" for variant in variants]
    variants = frames_drawn(tmp_path, VARIANTS_PAGE % (COMMON_JS, PIXI_JS, json.dumps(urls)), WEBGL)["variants"]
    full, half = variants[urls[0]], variants[urls[1]]
    assert set(full) == set(half) == set(sources)
    for name, source in sources.items():
        # One size on screen, the size of the variant whose resolution is 1 (an odd side at half scale
        # is half a pixel more); the pixels of each variant as Pillow resizes the source.
        assert full[name]["screen"] == [side * unit for side in source.size], name
        assert all(0 <= h - f <= unit for f, h in zip(full[name]["screen"], half[name]["screen"])), name
        assert_drawn_equals(pixels_of(full[name]), source, (name, "@2x"))
        size = ((source.width + 1) // 2, (source.height + 1) // 2)
        smaller = source.convert("RGBa").resize(size, Image.LANCZOS).convert("RGBA")
        got, want = pixels_of(half[name]), premultiplied(np.asarray(smaller).astype(np.int32))
        assert got.shape == want.shape and np.abs(got - want).max() <= 2, (name, "half")


# Phaser's names for the GPU support each block format needs.
BLOCKS = {"astc": "ASTC", "bc7": "BPTC", "etc2": "ETC", "bc3": "S3TC"}
# The WebGL extensions that give each (as a start of their names: ETC2's
# takes ETC1's with it, BC3's the sRGB one).
EXTENSIONS = {"astc": "WEBGL_compressed_texture_astc", "bc7": "EXT_texture_compression_bptc",
              "etc2": "WEBGL_compressed_texture_etc", "bc3": "WEBGL_compressed_texture_s3tc"}
# A GPU without the extensions whose names start as listed: WebGL answers
# as it would there.
LACKING_JS = """
const lacking = %s, lacks = (name) => lacking.some((start) => name.startsWith(start));
for (const gl of [WebGLRenderingContext, WebGL2RenderingContext]) {
  const get = gl.prototype.getExtension, list = gl.prototype.getSupportedExtensions;
  gl.prototype.getExtension = function (name) { return lacks(name) ? null : get.call(this, name); };
  gl.prototype.getSupportedExtensions = function () { return list.call(this).filter((name) => !lacks(name)); };
}
"""
README = Path(__file__).resolve().parents[1] / "README.md"
README_PIXI = "// PixiJS 8; PixiJS 7 has these loaders on already"


def readme_code(first_line):
    """The README's code block that begins with this line."""
    return re.search(r"```js\n *(" + re.escape(first_line) + r".*?)```", README.read_text(), re.S).group(1)


def assert_frames_equal_blocks(frames, out, tag, stored_premultiplied):
    """Every frame as its KTX file's blocks decode, blended as the engine
    blends them: BC and ETC blocks exactly as texture2ddecoder decodes
    them, semi-transparent pixels within a level; ASTC within one more."""
    levels = 2 if tag.endswith(".astc") else 1
    wanted = read_frames(out, tag)
    assert set(frames) == set(wanted), tag
    for name, (path, f) in wanted.items():
        assert path.name.endswith(f"{tag}.ktx"), (tag, path)
        stored = np.asarray(restore(open_layer(path), f)).astype(np.int32)
        want = stored if stored_premultiplied else premultiplied(stored)
        got = pixels_of(frames[name])
        exact = (want[..., 3] == 0) | (want[..., 3] == 255)
        assert (abs(got - want)[exact] <= levels - 1).all(), (tag, name, "opaque or transparent pixels differ")
        assert (abs(got - want)[~exact] <= levels).all(), (tag, name, "semi-transparent pixels differ")


# Draws each frame of the multi-atlas 'atlas' (and of 'plain', packed
# without normal maps) under two coloured lights, then each sprite loaded
# from its own colour and normal map files ('file:NAME') in the same place.
LIGHTS_PAGE = """<script src="/phaser.js"></script><script>%s%s
const sources = %s;
new Phaser.Game({type: Phaser.WEBGL, width: 1024, height: 1024, transparent: true, banner: false,
  render: {pixelArt: true, antialias: false, preserveDrawingBuffer: true}, audio: {noAudio: true},
  scene: {
    preload() {
      %s
      this.load.multiatlas('plain', 'plain/atlas.json', 'plain/');
      for (const [name, colour, normal] of sources) this.load.image('file:' + name, [colour, normal]);
    },
    create() {
      this.lights.enable().setAmbientColor(0x202020);
      this.lights.addLight(60, 10, 500, 0xffc080, 2);
      this.lights.addLight(250, 40, 400, 0x6080ff, 1.5);
      const cells = [], shown = {atlas: [], plain: [], file: []};
      let x = 0, y = 0, rowHeight = 0;
      for (const [name] of sources) {
        const frame = this.textures.getFrame('atlas', name), w = frame.realWidth, h = frame.realHeight;
        if (x + w > 1024) { x = 0; y += rowHeight + 2; rowHeight = 0; }
        for (const key of ['atlas', 'plain', 'file'])
          shown[key].push(this.add.image(x, y, key === 'file' ? 'file:' + name : key, key === 'file' ? undefined : name)
            .setOrigin(0).setPipeline('Light2D').setVisible(key === 'atlas'));
        cells.push({name, x, y, w, h});
        x += w + 2; rowHeight = Math.max(rowHeight, h);
      }
      const drawn = {}, order = ['atlas', 'plain', 'file'];
      const next = () => this.game.events.once('postrender', () => {
        const key = order[Object.keys(drawn).length];
        drawn[key] = {};
        for (const c of cells) drawn[key][c.name] = read(this.game, c);
        if (Object.keys(drawn).length === order.length) return post(drawn);
        for (const k of order) for (const image of shown[k]) image.setVisible(k === order[Object.keys(drawn).length]);
        next();
      });
      next();
    }
  }});
</script>"""


def test_phaser_lights_each_frame_with_its_normal_map_as_from_its_own_files(tmp_path):
    """Lit with Light2D, every frame drawn from a multi-atlas with normal
    maps (trimmed, extruded, shared, in several layers) equals its sprite
    drawn from its own colour and normal map files; without the normal
    maps it does not."""
    shutil.copy(PHASER, tmp_path / "phaser.js")
    rng, pixels = random.Random(21), np.random.default_rng(21)
    art, flat = tmp_path / "art", tmp_path / "flat"
    art.mkdir()
    flat.mkdir()
    sources = []  # [name, colour file, normal map file], relative to the page
    for i in range(16):
        name = f"s{i:02d}.png"
        # Sides of even length, trimmed or not: Phaser 3.80.1's Light2D draws a sprite of an odd width or
        # height half a pixel off, from its own file as from an atlas, so that it takes other texels.
        colour = noise_sprite(rng, 2 * rng.randint(3, 10), 2 * rng.randint(3, 10),
                              border=(2, 2, 0, 2) if i % 3 else (0,) * 4)
        normal = pixels.integers(0, 256, (colour.height, colour.width, 4), np.uint8)
        normal[..., 2] = normal[..., 2] // 2 + 128  # leaning every way, never flat
        normal[..., 3] = 255
        if i == 15:  # alike, with alike normal maps: shared
            colour, normal = Image.open(art / "s01.png"), np.asarray(Image.open(art / "s01_n.png"))
        colour.save(art / name)
        if i % 4:
            Image.fromarray(normal).save(art / f"s{i:02d}_n.png")
            sources.append([name, f"art/{name}", f"art/s{i:02d}_n.png"])
        else:  # none: the atlas gives it the flat normal
            Image.new("RGBA", colour.size, (128, 128, 255, 255)).save(flat / name)
            sources.append([name, f"art/{name}", f"flat/{name}"])
    options = ["--format=phaser3", "--max-texture-size=48", "--extrude=1", "--shape-padding=2", "--quiet"]
    assert main(["pack", str(art), "--out", str(tmp_path / "atlas"), "--normal-maps", *options]) == 0
    assert main(["pack", str(art), "--out", str(tmp_path / "plain"), "--exclude=*_n.png", *options]) == 0
    layers = json.loads((tmp_path / "atlas" / "atlas.json").read_text())["textures"]
    assert len(layers) > 1 and all(layer["normalMap"] == layer["image"].replace(".png", "_n.png") for layer in layers)
    preload = readme_code("// Phaser 3, normal maps (WebGL)")
    drawn = frames_drawn(tmp_path, LIGHTS_PAGE % (COMMON_JS, PHASER_READ["WEBGL"], json.dumps(sources), preload),
                         WEBGL)
    differ = 0
    for name, _, _ in sources:
        lit, from_files = pixels_of(drawn["atlas"][name]), pixels_of(drawn["file"][name])
        assert lit.shape == from_files.shape and (abs(lit - from_files) <= 1).all(), name
        assert lit[..., :3].any(), name  # lit, not black
        differ += (abs(pixels_of(drawn["plain"][name]) - from_files) > 8).any()
    assert differ >= len([s for s in sources if "flat" not in s[2]]) // 2


@pytest.mark.skipif(not BLOCK_ENCODERS, reason="the block encoders are not installed (pip install 'TesselPack[gpu]')")
def test_phaser_draws_every_block_format_as_decoded(tmp_path, sprites):
    shutil.copy(PHASER, tmp_path / "phaser.js")
    out = tmp_path / "atlas"
    pack(sprites, out, "--format=phaser3", *[f"--texture-format={block}" for block in BLOCKS])
    # One format at a time, as on a GPU with only that one. Phaser blends them premultiplied.
    for block, key in BLOCKS.items():
        loads = [["texture", "atlas", {key: {"type": "KTX", "multiAtlasURL": f"atlas/atlas.{block}.json",
                                             "multiPath": "atlas/"}}]]
        drawn = frames_drawn(tmp_path, phaser_page(loads, "WEBGL"), WEBGL)
        assert_frames_equal_blocks(drawn["frames"], out, f".{block}", stored_premultiplied=True)
        assert drawn["pivots"] == pivots_wanted(sprites[1]), block
    # The README's call, every format offered: the first the GPU supports is taken.
    drawn = frames_drawn(tmp_path, phaser_page([], "WEBGL", readme_code("// Phaser 3, in preload() (WebGL)")), WEBGL)
    assert_frames_equal_blocks(drawn["frames"], out, f".{next(iter(BLOCKS))}", stored_premultiplied=True)


@pytest.mark.skipif(not BLOCK_ENCODERS, reason="the block encoders are not installed (pip install 'TesselPack[gpu]')")
@pytest.mark.parametrize("pixi", PIXIS)
def test_pixijs_draws_every_block_format_as_decoded(tmp_path, sprites, pixi):
    shutil.copy(PIXIS[pixi], tmp_path / "pixi.js")
    out = tmp_path / "atlas"
    # Premultiplied PNG layers, straight blocks: PixiJS takes compressed textures as straight.
    pack(sprites, out, "--format=pixijs", "--premultiply", *[f"--texture-format={block}" for block in BLOCKS])
    register = "PIXI.extensions.add(PIXI.loadKTX, PIXI.detectCompressed);\n"
    assert register in readme_code(README_PIXI)
    for block in BLOCKS:
        page = PIXI_PAGE % (COMMON_JS, PIXI_JS + ("" if pixi == "7" else register),
                            json.dumps([f"atlas/atlas_0.{block}.json"]))
        drawn = frames_drawn(tmp_path, page, WEBGL)
        assert drawn["version"].startswith(f"{pixi}."), drawn["version"]
        assert_frames_equal_blocks(drawn["frames"], out, f".{block}", stored_premultiplied=False)
    # The README's call: PixiJS picks a format the GPU supports. Taken away
    # from the GPU one after another, every format is taken in its turn
    # (PixiJS 7 too, whose names for them differ), then the PNG layers.
    code = readme_code(README_PIXI)
    if pixi == "7":  # whose loaders are on already (see the README)
        code = code.replace(register, "")
    lacking, taken = [], []
    while True:
        page = CHOICE_PAGE % (COMMON_JS, LACKING_JS % json.dumps(lacking) + PIXI_JS, code)
        drawn = frames_drawn(tmp_path, page, WEBGL)
        if drawn["image"] == "atlas_0.png":
            break
        chosen = re.fullmatch(r"atlas_0\.(\w+)\.ktx", drawn["image"]).group(1)
        assert chosen in BLOCKS and chosen not in taken, (lacking, chosen)
        assert_frames_equal_blocks(drawn["frames"], out, f".{chosen}", stored_premultiplied=False)
        taken.append(chosen)
        lacking.append(EXTENSIONS[chosen])
    assert sorted(taken) == sorted(BLOCKS), taken
    if pixi == "8":  # as the README says: BC7 first, though ASTC is offered first
        assert taken[0] == "bc7", taken


def darkest(drawn):
    """The least luminance of a drawing's pixels that have some weight (alpha
    at least 32), their colour taken back out of premultiplied form."""
    pixels = pixels_of(drawn).astype(np.float64)
    seen = pixels[..., 3] >= 32
    colour = pixels[seen][:, :3] * 255 / pixels[seen][:, 3:]
    return float((colour @ np.array([0.299, 0.587, 0.114])).min())


@pytest.mark.parametrize("pixi", PIXIS)
def test_bleeding_leaves_no_dark_fringe_under_linear_filtering(tmp_path, pixi):
    shutil.copy(PIXIS[pixi], tmp_path / "pixi.js")
    (tmp_path / "sprites").mkdir()
    for name, size, colour in (("sun.png", (9, 7), (250, 220, 40)), ("sky.png", (12, 10), (60, 200, 250)),
                               ("rose.png", (7, 12), (240, 120, 200))):
        Image.new("RGBA", size, colour + (255,)).save(tmp_path / "sprites" / name)
    atlases = {}
    for label, bleed in (("bled", []), ("black", ["--no-bleed"])):
        assert main(["pack", str(tmp_path / "sprites"), "--out", str(tmp_path / label), "--format=pixijs",
                     "--shape-padding=4", "--border-padding=2", "--quiet", *bleed]) == 0
        atlases[label] = f"{label}/atlas_0.json"
    files = {name: f"sprites/{name}" for name in ("sun.png", "sky.png", "rose.png")}
    found = frames_drawn(tmp_path, FRINGE_PAGE % (COMMON_JS, PIXI_JS, json.dumps([atlases, files])), WEBGL)["frames"]
    for name in files:
        for scale, alone, bled, black in zip((1.5, 0.75), found["alone"][name], found["bled"][name],
                                             found["black"][name]):
            # Bled, the edges are as light as the sprite drawn on its own; unbled, transparent black
            # darkens them, which shows that the measure can fail.
            assert abs(darkest(bled) - darkest(alone)) <= 3, (name, scale)
            assert darkest(black) < darkest(alone) - 10, (name, scale)


# Names that would end the page's script, open a comment in it, or break
# its strings, were the data not escaped.
HOSTILE_NAMES = ["<!--<script>.png", "</script><b>bold.png", "<!--.png", "quote\"'`${x}.png", "amp&lt;.png",
                 "line\u2028break.png", "\u00e9t\u00e9 \u96ea.png"]

# The report in a frame of a window of the given width, its layout
# measured once the frame is chosen: everything that should be readable
# lies inside the window, and the chosen frame's outline where its box is,
# at 100% and at 400%.
LAYOUT_PAGE = """<!DOCTYPE html><body style="margin: 0"><script>%s
const iframe = document.createElement('iframe');
iframe.style.cssText = 'border: 0; width: 100vw; height: 100vh; position: fixed; left: 0; top: 0';
iframe.src = 'atlas/report.html#' + encodeURIComponent(%s);
iframe.onload = () => setTimeout(() => {
  const page = iframe.contentDocument, view = iframe.contentWindow, width = page.documentElement.clientWidth;
  const outside = [...page.querySelectorAll('header > *, #matches li, #totals tr, .layer h3')]
    .map((e) => [e.tagName, e.id, e.textContent.slice(0, 40), e.getBoundingClientRect()])
    .filter(([, , , r]) => r.left < 0 || r.right > width).map(([tag, id, text]) => `${tag}#${id} ${text}`);
  const place = () => {
    const chosen = page.querySelector('.frame.chosen'), box = chosen.getBoundingClientRect();
    const sheet = chosen.parentElement.getBoundingClientRect();
    const header = page.querySelector('header').getBoundingClientRect();
    return {box: [box.left - sheet.left, box.top - sheet.top, box.width, box.height],
            seen: box.left >= 0 && box.right <= width && box.top >= header.bottom && box.bottom <= view.innerHeight};
  };
  const at100 = place();
  const zoom = page.getElementById('zoom');
  zoom.value = '4';
  zoom.dispatchEvent(new Event('change'));
  post({outside, at100, at400: place(), width});
}, 200);
document.body.append(iframe);
</script>"""


def test_the_report_lists_every_frame_and_finds_each_where_its_manifest_puts_it(tmp_path, sprites):
    root, sources = sprites
    hostile = tmp_path / "hostile"
    shutil.copytree(root, hostile)
    shutil.copy(root.parent / "project.toml", tmp_path)
    for i, name in enumerate(HOSTILE_NAMES):
        (hostile / name).parent.mkdir(parents=True, exist_ok=True)
        noise_sprite(random.Random(i), 9 + i, 7).save(hostile / name, "PNG")
    out = tmp_path / "atlas"
    pack((hostile, sources), out, "--format=pixijs", "--report")
    frames = read_frames(out)
    assert set(HOSTILE_NAMES) <= set(frames)
    for name in HOSTILE_NAMES + sorted(frames)[::7]:  # rotated, trimmed, shared frames and every layer among them
        # Opened from disk, as a user would: report.html#NAME searches for NAME.
        done = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--enable-logging=stderr",
             "--v=0", f"--user-data-dir={tmp_path / 'profile'}", "--dump-dom",
             (out / "report.html").as_uri() + "#" + urllib.parse.quote(name)],
            capture_output=True, text=True, env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        assert not [line for line in done.stderr.splitlines() if "CONSOLE" in line], done.stderr
        listed = re.findall(r'class="frame( chosen)?" data-name="([^"]*)" style="([^"]*)"', done.stdout)
        assert {html.unescape(n) for _, n, _ in listed} == set(frames), name
        (style,) = [style for chosen, n, style in listed if chosen]
        path, f = frames[name]
        x0, y0, x1, y1 = frame_box(f)
        assert style == f"left: {x0}px; top: {y0}px; width: {x1 - x0}px; height: {y1 - y0}px;", name
    # At common window widths nothing is cut off, and the chosen frame (the right-most of the widest
    # layer) is scrolled into view, at 100% and zoomed.
    name = max(frames, key=lambda n: (Image.open(frames[n][0]).width, frame_box(frames[n][1])[2]))
    x0, y0, x1, y1 = frame_box(frames[name][1])
    for width in (1280, 1920):
        page = LAYOUT_PAGE % (COMMON_JS, json.dumps(name))
        found = frames_drawn(tmp_path, page, ["--disable-gpu", f"--window-size={width},900"])
        assert found["outside"] == [], (width, found["outside"])
        assert found["at100"] == {"box": [x0, y0, x1 - x0, y1 - y0], "seen": True}, width
        assert found["at400"] == {"box": [4 * x0, 4 * y0, 4 * (x1 - x0), 4 * (y1 - y0)], "seen": True}, width


# Shows each animation of the report at the times asked for, and posts the
# name of the frame shown and the player's pixels at each.
REPORT_PLAY_PAGE = """<!DOCTYPE html><body><script>%s
const iframe = document.createElement('iframe');
iframe.src = 'atlas/report.html';
iframe.onload = async () => {
  const view = iframe.contentWindow, page = iframe.contentDocument, played = {};
  await Promise.all([...page.images].map((image) => image.decode()));
  for (const [name, times] of Object.entries(%s)) {
    const canvas = [...page.querySelectorAll('#animations canvas')].find((c) => c.animation.name === name);
    played[name] = times.map((ms) => {
      const shown = view.drawAnimationAt(name, ms);
      const {data} = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
      return {shown, w: canvas.width, h: canvas.height, premultiplied: false, rgba: encode(data)};
    });
  }
  post({played});
};
document.body.append(iframe);
</script>"""


def test_the_report_plays_every_animation_at_its_frames_durations(tmp_path, sprites):
    import aseprite_files as ase
    root, sources = sprites
    shutil.copytree(root, tmp_path / "sprites")
    shutil.copy(root.parent / "project.toml", tmp_path)
    rng = np.random.default_rng(9)
    durations = [100, 150, 50, 200]
    doc = ase.Document(9, 8, [ase.Layer("body")], [ase.Frame(d, [ase.Cel(0, i, 1, rng.integers(0, 256, (5, 6, 4),
                                                                                          np.uint8) | np.uint8(255))])
                                                   for i, d in enumerate(durations)],
                       tags=[("bounce", 0, 2, 2, 0)])
    (tmp_path / "sprites" / "knight.aseprite").write_bytes(ase.write(doc))
    pack((tmp_path / "sprites", sources), tmp_path / "atlas", "--format=pixijs", "--report")
    # When each frame shows: the whole file forward, the tag out and back; numbered PNGs 100 ms each.
    times = {"knight": [5, 105, 255, 305, 505], "knight/bounce": [5, 105, 255, 305, 455],
             "walk/step": [5, 1105, 1205]}
    wanted = {"knight": ["knight_0", "knight_1", "knight_2", "knight_3", "knight_0"],
              "knight/bounce": ["knight/bounce_0", "knight/bounce_1", "knight/bounce_2", "knight/bounce_1",
                                "knight/bounce_0"],
              "walk/step": ["walk/step_1.png", "walk/step_12.png", "walk/step_1.png"]}
    played = frames_drawn(tmp_path, REPORT_PLAY_PAGE % (COMMON_JS, json.dumps(times)), ["--disable-gpu"])["played"]
    for name, frames in wanted.items():
        assert [moment["shown"] for moment in played[name]] == frames, name
        for moment in played[name]:
            source = sources.get(moment["shown"]) or \
                Image.fromarray(ase.composite(doc, int(moment["shown"].rsplit("_", 1)[1])))
            assert_drawn_equals(pixels_of(moment), source, (name, moment["shown"]))


def screenshot(url: str, width: int, height: int, scale: int, profile: Path) -> Image.Image:
    """The page at url as Chromium draws it in a window of width x height
    CSS pixels, `scale` device pixels a CSS pixel, once its `ready` promise
    has settled: driven over the DevTools protocol's pipe (file descriptors
    3 and 4 of Chromium), so that it is taken when the page says, not when
    a clock runs out."""
    to_browser, from_browser = os.pipe(), os.pipe()

    def pipes():
        os.dup2(to_browser[0], 3)
        os.dup2(from_browser[1], 4)

    browser = subprocess.Popen([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
                               preexec_fn=pipes, pass_fds=(3, 4, to_browser[0], from_browser[1]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    os.close(to_browser[0])
    os.close(from_browser[1])
    replies = os.fdopen(from_browser[0], "rb")
    calls = itertools.count(1)
    try:
        def call(method, session=None, **params):
            number = next(calls)
            message = {"id": number, "method": method, "params": params, **({"sessionId": session} if session else {})}
            os.write(to_browser[1], json.dumps(message).encode() + b"\0")
            while True:
                reply = b""
                while not reply.endswith(b"\0"):
                    reply += replies.read1(65536) or pytest.fail("Chromium ended")
                for part in reply[:-1].split(b"\0"):
                    answer = json.loads(part)
                    if answer.get("id") == number:
                        assert "error" not in answer, answer
                        return answer["result"]

        target = call("Target.createTarget", url="about:blank")["targetId"]
        session = call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        call("Emulation.setDeviceMetricsOverride", session, width=width, height=height, deviceScaleFactor=scale,
             mobile=False)
        call("Page.navigate", session, url=url)
        call("Runtime.evaluate", session, expression="new Promise((done) => addEventListener('load', done))"
             " .then(() => window.ready)", awaitPromise=True)
        picture = call("Page.captureScreenshot", session, format="png")["data"]
        return Image.open(io.BytesIO(base64.b64decode(picture))).convert("RGB")
    finally:
        os.close(to_browser[1])
        replies.close()
        browser.kill()
        browser.wait()


def css_page(path, cells, prefix):
    """A page beside atlas.css showing each sprite's element at its cell
    (name -> x, y in CSS pixels) over magenta, which no sprite is drawn
    over. Ready once every layer image is decoded and drawn: Chromium draws
    an image still being decoded row by row."""
    elements = "".join(f'<div class="{css.class_name(name, prefix)}" style="position: absolute; left: {x}px; '
                       f'top: {y}px"></div>' for name, (x, y) in cells.items())
    images = sorted(p.name for p in path.parent.glob("atlas_*.png"))
    path.write_text(
        '<!DOCTYPE html><html><head><link rel="stylesheet" href="atlas.css"></head>'
        f'<body style="margin: 0; background: #ff00ff">{elements}<script>'
        f'window.ready = Promise.all({json.dumps(images)}.map((url) => {{ const image = new Image(); '
        'image.src = url; return image.decode(); })).then(() => new Promise((done) => '
        'requestAnimationFrame(() => requestAnimationFrame(done))));</script></body></html>')


def test_css_sprites_show_every_sprite_at_one_and_two_device_pixels_a_css_pixel(tmp_path, sprites):
    root, sources = sprites
    out = tmp_path / "css"
    pack(sprites, out, "--format=css", "--css-prefix=sprite-", "--variant=2:@2x", "--variant=1:", "--max-texture-size=160")
    # Every sprite's element, placed on a grid over a colour no sprite is drawn over.
    cells, x, y, row = {}, 0, 0, 0
    for name, source in sorted(sources.items()):
        if x + source.width > 300:
            x, y, row = 0, y + row + 4, 0
        cells[name] = (x, y)
        x, row = x + source.width + 4, max(row, source.height)
    page_height = y + row + 4
    css_page(out / "grid.html", cells, "sprite-")
    for device_pixels in (1, 2):
        screen = screenshot((out / "grid.html").as_uri(), 320, page_height, device_pixels, tmp_path / "profile")
        for name, (x, y) in cells.items():
            source = sources[name]
            if device_pixels == 2:  # the @2x variant's pixels, as tessel-atlas scales them
                source = source.convert("RGBa").resize((2 * source.width, 2 * source.height),
                                                       Image.LANCZOS).convert("RGBA")
            want = Image.new("RGBA", source.size, (255, 0, 255, 255))
            want.alpha_composite(source)
            got = np.asarray(screen.crop((x * device_pixels, y * device_pixels, x * device_pixels + source.width,
                                          y * device_pixels + source.height))).astype(int)
            alpha = np.asarray(source)[..., 3]
            difference = np.abs(got - np.asarray(want.convert("RGB")).astype(int)).max(axis=-1)
            blended = (alpha > 0) & (alpha < 255)
            assert (difference[~blended] == 0).all(), (name, device_pixels, "opaque or transparent pixels differ")
            assert (difference[blended] <= 1).all(), (name, device_pixels, "semi-transparent pixels differ")


def test_css_variants_show_each_sprite_alone_at_one_two_and_three_device_pixels(tmp_path):
    # Flat sprites of odd sides side by side, with the README's variants:
    # at 1x the half-size variant, at 2x the full one exactly, at 3x the
    # full one scaled, and nowhere a neighbour's colour.
    root = tmp_path / "flat"
    root.mkdir()
    colours = {}
    for i, size in enumerate([(5, 5), (5, 5), (5, 5), (22, 15), (7, 3), (1, 9), (4, 6)]):
        colours[f"f{i}.png"] = (40 * i % 256, 255 - 30 * i, 90 + 20 * i, 255)
        Image.new("RGBA", size, colours[f"f{i}.png"]).save(root / f"f{i}.png")
    out = tmp_path / "css"
    assert main(["pack", str(root), "--out", str(out), "--format=css", "--variant=1:@2x", "--variant=0.5:",
                 "--quiet"]) == 0
    background = (255, 0, 255)
    cells = {name: (10 + 30 * i, 10) for i, name in enumerate(sorted(colours))}
    css_page(out / "flat.html", cells, "")
    for scale in (1, 2, 3):
        screen = np.asarray(screenshot((out / "flat.html").as_uri(), 240, 40, scale, tmp_path / "profile")).astype(int)
        for name, (x, y) in cells.items():
            with Image.open(root / name) as image:
                w, h = image.size
            # The sprite in device pixels: the half-size variant's rounded sides at 1x, the full ones after.
            box_w, box_h = ((w + 1) // 2, (h + 1) // 2) if scale == 1 else (w * scale / 2, h * scale / 2)
            colour = np.array(colours[name][:3])
            region = screen[y * scale - 3:y * scale + math.ceil(box_h) + 3,
                            x * scale - 3:x * scale + math.ceil(box_w) + 3]
            # Inside, the sprite's colour (but for the partly covered edge pixels at 3x); around it, only blends
            # of the sprite's colour and the page's, never a third colour.
            inner = region[3:3 + math.floor(box_h), 3:3 + math.floor(box_w)]
            if scale == 3:
                inner = inner[1:-1, 1:-1]
            assert (inner == colour).all(), (name, scale, "the sprite does not fill its place")
            share = ((region - background) * (colour - background)).sum(-1) / ((colour - background) ** 2).sum()
            mixed = np.clip(share, 0, 1)[..., None] * (colour - background) + background
            assert np.abs(region - mixed).max() <= 2, (name, scale, "a neighbour's colour shows")
            if scale != 3:  # whole device pixels: nothing beside the sprite but the page
                ring = region.copy()
                ring[3:3 + int(box_h), 3:3 + int(box_w)] = background
                assert (ring == background).all(), (name, scale, "more than the sprite shows")


# Plays every animation of the Aseprite-layout sheet `hero`, stepping the
# animation clock by hand (5 ms, then 10 ms at a time), and posts which
# frame showed after each step.
PHASER_PLAY_PAGE = """<script src="/phaser.js"></script><script>%s
new Phaser.Game({type: Phaser.CANVAS, width: 64, height: 64, banner: false, audio: {noAudio: true},
  scene: {
    preload() {
      // Phaser 3: every tag of an Aseprite-layout sheet as an animation
      this.load.aseprite('hero', 'aseprite/atlas_0.png', 'aseprite/atlas_0.json');
    },
    create() {
      this.anims.createFromAseprite('hero');
      const data = this.cache.json.get('hero'), timelines = {};
      for (const tag of data.meta.frameTags) {
        const sprite = this.add.sprite(0, 0, 'hero');
        sprite.play({key: tag.name, repeat: -1});
        const shown = [];
        for (let t = 0; t < %d; ++t) {
          sprite.anims.update(0, t ? 10 : 5);
          shown.push(data.frames[sprite.frame.name].filename);
        }
        timelines[tag.name] = shown;
      }
      post({timelines});
    }
  }});
</script>"""

PIXI_PLAY_PAGE = """<script src="/pixi.js"></script><script>%s%s
%s
(async () => {
  try {
    await makeApp();
    const sheet = await PIXI.Assets.load('pixijs/atlas_0.json'), timelines = {};
    for (const name of Object.keys(sheet.data.animations)) {
      const anim = animation(sheet, name), shown = [];
      anim.play();
      for (let t = 0; t < %d; ++t) {
        const ms = t ? 10 : 5;
        anim.update(V7 ? ms * 60 / 1000 : {deltaTime: ms * 60 / 1000, deltaMS: ms});
        shown.push(anim.textures[anim.currentFrame] === undefined ? null :
                   Object.keys(sheet.textures).find((n) => sheet.textures[n] === anim.texture));
      }
      timelines[name] = shown;
    }
    await post({timelines});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""
README_ANIMATION = "// PixiJS 8 and 7: an animation at its frames' durations"
STEPS = 120


def timeline(order, durations, steps=STEPS):
    """The frame showing 5 ms, then every 10 ms, into an animation that
    loops through `order` (frame numbers), each for its duration."""
    cycle = [frame for frame in order for _ in range(durations[frame] // 10)]
    return [cycle[(5 + 10 * t) // 10 % len(cycle)] for t in range(steps)]


def test_phaser_and_pixijs_play_every_aseprite_tag_at_its_frames_durations(tmp_path):
    import aseprite_files as ase
    rng = np.random.default_rng(8)
    durations = [100, 150, 50, 200]
    pictures = [rng.integers(0, 256, (5, 6, 4), np.uint8) | np.uint8(1) for _ in durations]
    for picture in pictures:
        picture[..., 3] = 255
    tags = {"run": (0, 3, 0), "back": (0, 3, 1), "bounce": (0, 2, 2), "bounce_back": (1, 3, 3)}
    doc = ase.Document(6, 5, [ase.Layer("body")], [ase.Frame(d, [ase.Cel(0, 0, 0, p)])
                                                   for d, p in zip(durations, pictures)],
                       tags=[(name, first, last, direction, 0) for name, (first, last, direction) in tags.items()])
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "hero.aseprite").write_bytes(ase.write(doc))
    for fmt in ("aseprite", "pixijs"):
        assert main(["pack", str(tmp_path / "in"), "--out", str(tmp_path / fmt), f"--format={fmt}", "--quiet"]) == 0
    # The order each tag's frames show in, one round, as the artist's tool plays them.
    rounds = {"run": [0, 1, 2, 3], "back": [3, 2, 1, 0], "bounce": [0, 1, 2, 1], "bounce_back": [3, 2, 1, 2]}
    shutil.copy(PHASER, tmp_path / "phaser.js")
    # Every frame Phaser loads from the sheet, by the sprite's name its record gives, as composed.
    drawn = frames_drawn(tmp_path, phaser_page([["aseprite", "hero", "aseprite/atlas_0.png", "aseprite/atlas_0.json"]],
                                               "CANVAS"), ["--disable-gpu"])["frames"]
    records = json.loads((tmp_path / "aseprite" / "atlas_0.json").read_text())["frames"]
    first = {f"hero/{tag}": spans[0] for tag, spans in tags.items()}
    composed = {record["filename"]: Image.fromarray(ase.composite(doc, int(record["filename"].rsplit("_", 1)[1]) +
                                                                  first.get(record["filename"].rsplit("_", 1)[0], 0)))
                for record in records.values()}
    assert_frames_equal_sources({records[number]["filename"]: f for number, f in drawn.items()}, composed, "aseprite")
    played = {"phaser": frames_drawn(tmp_path, PHASER_PLAY_PAGE % (COMMON_JS, STEPS), ["--disable-gpu"])}
    for pixi in PIXIS:
        shutil.copy(PIXIS[pixi], tmp_path / "pixi.js")
        page = PIXI_PLAY_PAGE % (COMMON_JS, PIXI_JS, readme_code(README_ANIMATION), STEPS)
        played[f"pixi {pixi}"] = frames_drawn(tmp_path, page, WEBGL)
        pixi_frames = frames_drawn(tmp_path, PIXI_PAGE % (COMMON_JS, PIXI_JS, '["pixijs/atlas_0.json"]'), WEBGL)
        assert_frames_equal_sources(pixi_frames["frames"], composed, f"pixi {pixi}")
    for client, body in played.items():
        for tag, (first, _, _) in tags.items():
            shown = [int(name.rsplit("_", 1)[1]) + first for name in body["timelines"][f"hero/{tag}"]]
            assert shown == timeline(rounds[tag], durations), (client, tag)
            # What a wrong duration or a reversed tag would have shown differs.
            assert shown != timeline(rounds[tag][::-1], durations), (client, tag)
            assert shown != timeline(rounds[tag], [d + 50 if i == 1 else d for i, d in enumerate(durations)])
        whole = [int(name.rsplit("_", 1)[1]) for name in body["timelines"]["hero"]]
        assert whole == timeline([0, 1, 2, 3], durations), client


# Each frame not named key_* drawn at 1/2, 1/4 and 1/8 of its size with
# trilinear filtering: at a whole pixel (where a level's texels fall on
# screen pixels: one level sampled) and a fraction of a pixel past it
# (where filtering reads the texels around the frame), each with a pixel
# of margin. Phaser and PixiJS 8 each give one `draw(name, scale, x, y)`.
MIP_SCALES = (0.5, 0.25, 0.125)
MIP_JS = """
const drawings = (names, draw) => {
  const found = {};
  let x = 0, y = 0;
  for (const name of names.filter((n) => !n.startsWith('key_'))) {
    found[name] = [];
    for (const scale of %s) {
      for (const offset of [0, 0.375]) {
        const cell = draw(name, scale, 16 + x + offset, 16 + y + offset);
        found[name].push(cell);
        x += cell.w + 8;
        if (x > 400) { x = 0; y += 48; }
      }
    }
  }
  return found;
};
""" % json.dumps(MIP_SCALES)

MIP_PHASER_PAGE = """<script src="/phaser.js"></script><script>%s%s%s
new Phaser.Game({type: Phaser.WEBGL, width: 1024, height: 1024, transparent: true, banner: false,
  render: {antialias: true, roundPixels: false, mipmapFilter: 'LINEAR_MIPMAP_LINEAR', preserveDrawingBuffer: true},
  audio: {noAudio: true},
  scene: {
    preload() { this.load.%s; },
    create() {
      const cells = drawings(this.textures.get('atlas').getFrameNames(), (name, scale, x, y) => {
        const frame = this.textures.getFrame('atlas', name);
        this.add.image(x, y, 'atlas', name).setOrigin(0).setScale(scale);
        const w = Math.ceil(frame.realWidth * scale) + 2, h = Math.ceil(frame.realHeight * scale) + 2;
        return {x: Math.floor(x) - 1, y: Math.floor(y) - 1, w, h};
      });
      this.game.events.once('postrender', () => {
        const frames = {};
        for (const [name, list] of Object.entries(cells)) frames[name] = list.map((c) => read(this.game, c));
        post({frames});
      });
    }
  }});
</script>"""

MIP_PIXI_PAGE = """<script src="/pixi.js"></script><script>%s%s%s
(async () => {
  try {
    const app = await makeApp();
    PIXI.extensions.add(PIXI.loadKTX, PIXI.detectCompressed);
    %s
    const frames = drawings(Object.keys(sheet.textures), (name, scale, x, y) => {
      const texture = sheet.textures[name], sprite = new PIXI.Sprite(texture), holder = new PIXI.Container();
      sprite.scale.set(scale);
      sprite.position.set(x - Math.floor(x) + 1, y - Math.floor(y) + 1);
      holder.addChild(sprite);
      return drawn(app, holder, Math.ceil(texture.orig.width * scale) + 2, Math.ceil(texture.orig.height * scale) + 2);
    });
    await post({frames});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""


@pytest.fixture(scope="module")
def keyed_sprites(tmp_path_factory):
    root = tmp_path_factory.mktemp("keyed") / "sprites"
    make_keyed_sprites(root)
    return root


def mip_drawings(tmp_path, root, client, fmt, texture, *options, short_chain=None):
    """Packs the sprites for `client` with `options` and draws them from
    the layers in `texture` (png or a block format), their KTX files cut
    to the first `short_chain` levels if given."""
    out = tmp_path / "atlas"
    shutil.rmtree(out, ignore_errors=True)
    blocks = [] if texture == "png" else [f"--texture-format={texture}"]
    assert main(["pack", str(root), "--out", str(out), f"--format={fmt}", "--max-texture-size=256",
                 "--no-rotation", "--quiet", *blocks, *options]) == 0
    for path in out.glob("*.ktx") if short_chain else ():
        data = bytearray(path.read_bytes())
        start = 64 + int.from_bytes(data[60:64], "little")
        for _ in range(short_chain):
            start += 4 + int.from_bytes(data[start:start + 4], "little")
        data[56:60] = short_chain.to_bytes(4, "little")
        path.write_bytes(bytes(data[:start]))
    tag = "" if texture == "png" else f".{texture}"
    if client == "phaser":
        shutil.copy(PHASER, tmp_path / "phaser.js")
        load = (f"multiatlas('atlas', 'atlas/atlas.json', 'atlas/')" if texture == "png" else
                f"texture('atlas', {json.dumps({BLOCKS[texture]: {'type': 'KTX', 'multiAtlasURL': f'atlas/atlas{tag}.json', 'multiPath': 'atlas/'}})})")
        page = MIP_PHASER_PAGE % (COMMON_JS, PHASER_READ["WEBGL"], MIP_JS, load)
    else:
        shutil.copy(PIXIS["8"], tmp_path / "pixi.js")
        page = MIP_PIXI_PAGE % (COMMON_JS, PIXI_JS, MIP_JS, readme_code("// PixiJS 8: mipmaps").replace(
            "atlas_0.json", f"atlas/atlas_0{tag}.json"))
    return out, frames_drawn(tmp_path, page, WEBGL)["frames"]


@pytest.mark.skipif(not BLOCK_ENCODERS, reason="the block encoders are not installed (pip install 'TesselPack[gpu]')")
@pytest.mark.parametrize("client, fmt", [("phaser", "phaser3"), ("pixi", "pixijs")])
def test_mipmapped_frames_drawn_small_show_no_neighbour(tmp_path, keyed_sprites, client, fmt):
    for texture in ("png", "bc7", "astc"):
        out, frames = mip_drawings(tmp_path, keyed_sprites, client, fmt, texture, "--mipmaps")
        wanted = read_frames(out, "" if texture == "png" else f".{texture}")
        for name, cells in frames.items():
            path, f = wanted[name]
            for (scale, offset), cell in zip(itertools.product(MIP_SCALES, (0, 1)), cells):
                got = pixels_of(cell)
                assert got[..., 2].max() <= 8, (client, texture, name, scale, offset, "a key sprite shows")
                if texture != "png" and not offset:
                    # On whole pixels the client samples one level: its texels, as decoded (within a
                    # few levels: SwiftShader's level of detail is not exactly a whole number).
                    level = round(-math.log2(scale))
                    x0, y0, x1, y1 = (side >> level for side in frame_box(f))
                    want = np.asarray(read_ktx(path, level).crop((x0, y0, x1, y1))).astype(np.int32)
                    assert (abs(got[1:-1, 1:-1] - want) <= 3).all(), (client, texture, name, scale)
    # Packed as tightly with levels that do not keep them apart, frames do show their neighbours: the
    # measure can fail.
    out, frames = mip_drawings(tmp_path, keyed_sprites, client, fmt, "png", "--pot")
    assert max(pixels_of(cell)[..., 2].max() for cells in frames.values() for cell in cells) > 64
    # Why every level is written: files whose levels stop short of 1 x 1 leave the texture incomplete
    # to WebGL, which samples it black.
    out, frames = mip_drawings(tmp_path, keyed_sprites, client, fmt, "bc7", "--mipmaps", short_chain=2)
    assert all((pixels_of(cell)[1:-1, 1:-1] == (0, 0, 0, 255)).all() for cells in frames.values() for cell in cells[::2])
