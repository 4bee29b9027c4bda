"""Atlases loaded by the real clients: Phaser 3 and PixiJS in headless Chromium.

Each library loads tessel-atlas output through its own loader for the
format, draws every frame at 1:1 without smoothing, reads the pixels back
and posts them to a server on 127.0.0.1; every frame must equal its source
sprite (opaque and fully transparent pixels exactly, semi-transparent ones
within one level, premultiplied, as the browser blends them).
"""

import base64
import http.server
import json
import os
import shutil
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("PIL.Image")
from atlas_files import make_sprites  # noqa: E402
from tessel_atlas.cli import main  # noqa: E402

CLIENTS = Path(__file__).resolve().parents[1].parent / "shared" / "clients"
PHASER = CLIENTS / "phaser-3.80.1.min.js"
PIXI = CLIENTS / "pixi-8.14.0.min.js"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

pytestmark = [
    pytest.mark.slow,  # the same on every interpreter: run once per form
    pytest.mark.skipif(not (PHASER.exists() and PIXI.exists()), reason=f"the real clients are not in {CLIENTS}"),
    pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (apt-get install chromium)"),
]

# Reads a drawn region back as base64 RGBA.
COMMON_JS = """
const post = (body) => fetch('/result', {method: 'POST', body: JSON.stringify(body)});
const encode = (bytes) => { let s = ''; for (let i = 0; i < bytes.length; i += 4096)
    s += String.fromCharCode.apply(null, bytes.subarray(i, i + 4096)); return btoa(s); };
window.onerror = (message) => post({error: String(message)});
"""

PIXI_PAGE = """<script src="/pixi.js"></script><script>%s
(async () => {
  try {
    const app = new PIXI.Application();
    await app.init({width: 8, height: 8, antialias: false, preference: 'webgl', backgroundAlpha: 0});
    const textures = {};
    for (const url of %s) {
      const sheet = await PIXI.Assets.load(url);
      for (const s of [sheet, ...(sheet.linkedSheets || [])]) Object.assign(textures, s.textures);
    }
    const frames = {};
    for (const [name, texture] of Object.entries(textures)) {
      texture.source.scaleMode = 'nearest';
      const w = texture.orig.width, h = texture.orig.height;
      const {pixels} = app.renderer.extract.pixels(
        {target: new PIXI.Sprite(texture), frame: new PIXI.Rectangle(0, 0, w, h)});
      frames[name] = {w, h, rgba: encode(new Uint8Array(pixels.buffer, pixels.byteOffset, w * h * 4)),
                      premultiplied: true};
    }
    await post({frames});
  } catch (e) { await post({error: String(e.stack || e)}); }
})();
</script>"""

PHASER_PAGE = """<script src="/phaser.js"></script><script>%s
const loads = %s;
new Phaser.Game({type: Phaser.CANVAS, width: 1024, height: 1024, transparent: true, banner: false,
  render: {pixelArt: true, antialias: false}, audio: {noAudio: true},
  scene: {
    preload() { for (const [kind, key, a, b] of loads) this.load[kind](key, a, b); },
    create() {
      const cells = [];
      let x = 0, y = 0, rowHeight = 0;
      for (const [, key] of loads) {
        for (const name of this.textures.get(key).getFrameNames()) {
          const frame = this.textures.getFrame(key, name), w = frame.realWidth, h = frame.realHeight;
          if (x + w > 1024) { x = 0; y += rowHeight + 2; rowHeight = 0; }
          this.add.image(x, y, key, name).setOrigin(0);
          cells.push({name, x, y, w, h});
          x += w + 2; rowHeight = Math.max(rowHeight, h);
        }
      }
      this.game.events.once('postrender', () => {
        const context = this.game.canvas.getContext('2d'), frames = {};
        for (const c of cells) frames[c.name] = {w: c.w, h: c.h, premultiplied: false,
          rgba: encode(context.getImageData(c.x, c.y, c.w, c.h).data)};
        post({frames});
      });
    }
  }});
</script>"""


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
    return results.body["frames"]


def premultiplied(rgba: np.ndarray) -> np.ndarray:
    alpha = rgba[..., 3:4].astype(np.int32)
    return np.concatenate([(rgba[..., :3] * alpha + 127) // 255, alpha], axis=-1)


def assert_frames_equal_sources(frames, sources, label):
    assert set(frames) == set(sources), label
    for name, source in sources.items():
        drawn = frames[name]
        assert (drawn["w"], drawn["h"]) == source.size, (label, name)
        got = np.frombuffer(base64.b64decode(drawn["rgba"]), np.uint8).reshape(drawn["h"], drawn["w"], 4)
        want = np.asarray(source.convert("RGBA"))
        got = got.astype(np.int32) if drawn["premultiplied"] else premultiplied(got.astype(np.int32))
        want = premultiplied(want.astype(np.int32))
        exact = (want[..., 3] == 0) | (want[..., 3] == 255)
        assert (got[exact] == want[exact]).all(), (label, name, "opaque or transparent pixels differ")
        assert (abs(got[~exact] - want[~exact]) <= 1).all(), (label, name, "semi-transparent pixels differ")


@pytest.fixture(scope="module")
def sprites(tmp_path_factory):
    root = tmp_path_factory.mktemp("clients") / "sprites"
    return root, make_sprites(root, count=40, seed=11)


def pack(sprites, folder: Path, *options):
    """Packs into several small layers: trimmed, shared and extruded frames."""
    root, _ = sprites
    assert main(["pack", str(root), "--out", str(folder), "--max-texture-size", "64", "--extrude", "1",
                 "--padding", "1", "--quiet", *options]) == 0
    assert len(list(folder.glob("atlas_*.png"))) > 1


def test_phaser_draws_every_frame(tmp_path, sprites):
    shutil.copy(PHASER, tmp_path / "phaser.js")
    for fmt in ("json-hash", "json-array", "phaser3"):
        out = tmp_path / fmt
        pack(sprites, out, f"--format={fmt}", *([] if fmt == "phaser3" else ["--no-rotation"]))
        if fmt == "phaser3":
            loads = [["multiatlas", "atlas", f"{fmt}/atlas.json", f"{fmt}/"]]
        else:
            loads = [["atlas", f"a{i}", f"{fmt}/atlas_{i}.png", f"{fmt}/atlas_{i}.json"]
                     for i in range(len(list(out.glob("atlas_*.png"))))]
        page = PHASER_PAGE % (COMMON_JS, json.dumps(loads))
        assert_frames_equal_sources(frames_drawn(tmp_path, page, ["--disable-gpu"]), sprites[1], fmt)


def test_pixijs_draws_every_frame_rotated_ones_included(tmp_path, sprites):
    shutil.copy(PIXI, tmp_path / "pixi.js")
    for fmt in ("json-hash", "pixijs"):
        out = tmp_path / fmt
        pack(sprites, out, f"--format={fmt}")
        assert any(f["rotated"] for f in json.loads((out / "atlas_0.json").read_text())["frames"].values())
        layers = sorted(out.glob("atlas_*.json"))
        urls = [f"{fmt}/atlas_0.json"] if fmt == "pixijs" else [f"{fmt}/{p.name}" for p in layers]
        page = PIXI_PAGE % (COMMON_JS, json.dumps(urls))
        flags = ["--use-angle=swiftshader", "--enable-unsafe-swiftshader"]
        assert_frames_equal_sources(frames_drawn(tmp_path, page, flags), sprites[1], fmt)
