"""report.html: a page to look at an atlas, written beside it (--report).

One file, its script and style inside, that works opened from disk: each
layer's image (the file beside it) with every frame outlined; hovering or
choosing a frame shows its name, source size, trim box, rotation, pivot
and the other names that share its pixels; a search box finds frames by
name and shows where they are; and the totals: sprites, layers, fill,
bytes, and the area that trimming and sharing saved; under each layer,
the frames its block-compressed files store worst (PSNR), each a link to
the frame; and every animation
playing, each frame for its duration (100 ms where it has none), in the
order it shows. report.html#NAME opens with NAME searched for.
"""

from __future__ import annotations

import json
from typing import Dict, List, Optional, Sequence, Tuple

from .animations import animations, play_order
from .model import NO_DURATION, AtlasLayer, Frame, Timing

PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>%(title)s</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body { font: 14px system-ui, sans-serif; margin: 0; background: #1c1c20; color: #ddd; }
header { position: sticky; top: 0; z-index: 2; background: #26262c; padding: 8px 12px; display: flex; gap: 8px 16px;
         align-items: center; flex-wrap: wrap; border-bottom: 1px solid #444; }
header > * { min-width: 0; }
#search { width: min(22em, 90vw); padding: 4px; }
#info { white-space: pre-wrap; overflow-wrap: anywhere; font-family: ui-monospace, monospace; font-size: 12px;
        flex: 1 1 24em; }
#matches { max-height: 8em; overflow: auto; margin: 8px 12px 0; padding-left: 3.5em; overflow-wrap: anywhere; }
#matches li { cursor: pointer; }
#totals { margin: 8px 12px; border-collapse: collapse; }
#totals td, #totals th { padding: 2px 8px; text-align: right; }
.layer { margin: 16px 12px; }
.layer h3 { margin: 0 0 6px; overflow-wrap: anywhere; }
.layer .worst { margin: 0 0 6px; overflow-wrap: anywhere; font-size: 12px; }
/* Only the sheet scrolls sideways: the heading above it stays in view. */
.viewport { overflow-x: auto; width: fit-content; max-width: 100%%; }
.sheet { position: relative; background:
         repeating-conic-gradient(#3a3a40 0 25%%, #2e2e34 0 50%%) 0 0 / 16px 16px; }
.sheet img { display: block; width: 100%%; height: 100%%; image-rendering: pixelated; }
.frame { position: absolute; box-sizing: border-box; border: 1px solid rgba(120, 200, 255, 0.55); cursor: pointer; }
#animations { display: flex; flex-wrap: wrap; gap: 12px; margin: 8px 12px; }
#animations figure { margin: 0; }
#animations canvas { image-rendering: pixelated; background:
                     repeating-conic-gradient(#3a3a40 0 25%%, #2e2e34 0 50%%) 0 0 / 16px 16px; }
.frame:hover, .frame.chosen { border: 2px solid #ffcc33; background: rgba(255, 204, 51, 0.25); z-index: 1; }
</style></head><body>
<header>
  <strong>%(title)s</strong>
  <input id="search" type="search" placeholder="find frames by name" aria-label="find frames by name">
  <span id="count"></span>
  <label>zoom <select id="zoom">
    <option value="fit">fit</option><option value="0.25">25%%</option><option value="0.5">50%%</option>
    <option value="1" selected>100%%</option><option value="2">200%%</option><option value="4">400%%</option>
    <option value="8">800%%</option></select></label>
  <div id="info">hover or choose a frame</div>
</header>
<ol id="matches"></ol>
<table id="totals"></table>
<div id="animations"></div>
<div id="layers"></div>
<script>
const atlas = %(data)s;
const byName = new Map(), sheets = [], images = new Map();
const info = document.getElementById('info'), matches = document.getElementById('matches');
const zoomChoice = document.getElementById('zoom');
const element = (tag, properties, ...children) => {
  const made = Object.assign(document.createElement(tag), properties);
  made.append(...children);
  return made;
};
const describe = (f) => [
  f.name, `source ${f.source[0]} x ${f.source[1]}, layer ${f.layer} at (${f.x}, ${f.y})`,
  `trim box (${f.trim.join(', ')})${f.trimmed ? '' : ', not trimmed'}${f.rotated ? ', turned a quarter turn' : ''}`,
  f.pivot ? `pivot (${f.pivot.join(', ')})` : 'no pivot',
  f.shared.length ? `shares its pixels with ${f.shared.join(', ')}` : 'its pixels are its own'].join('\\n');
let chosen = null;
const choose = (name) => {
  if (chosen) chosen.classList.remove('chosen');
  chosen = byName.get(name) || null;
  if (!chosen) return;
  chosen.classList.add('chosen');
  chosen.scrollIntoView({block: 'center', inline: 'center'});
  info.textContent = describe(chosen.frame);
};
// Every sheet and outline at the chosen scale: 'fit' shrinks each layer to the window's width.
const applyZoom = () => {
  for (const {sheet, layer, viewport} of sheets) {
    const wanted = zoomChoice.value === 'fit' ? Math.min(1, viewport.clientWidth / layer.w) : Number(zoomChoice.value);
    sheet.style.width = layer.w * wanted + 'px'; sheet.style.height = layer.h * wanted + 'px';
    for (const outline of sheet.querySelectorAll('.frame')) {
      const f = outline.frame;
      Object.assign(outline.style, {left: f.x * wanted + 'px', top: f.y * wanted + 'px',
                                    width: f.w * wanted + 'px', height: f.h * wanted + 'px'});
    }
  }
  if (chosen) chosen.scrollIntoView({block: 'center', inline: 'center'});
};
for (const layer of atlas.layers) {
  const sheet = element('div', {className: 'sheet'});
  if (layer.image) {
    images.set(layer.index, element('img', {src: layer.image, alt: `layer ${layer.index}`}));
    sheet.append(images.get(layer.index));
  }
  for (const f of layer.frames) {
    const outline = element('div', {className: 'frame', frame: f});
    outline.dataset.name = f.name;
    outline.addEventListener('mouseenter', () => { info.textContent = describe(f); });
    outline.addEventListener('click', () => choose(f.name));
    byName.set(f.name, outline);
    sheet.append(outline);
  }
  const viewport = element('div', {className: 'viewport'}, sheet);
  const heading = `layer ${layer.index}: ${layer.image || '(no image)'}, ${layer.w} x ${layer.h}, ` +
                  `fill ${(layer.fill * 100).toFixed(1)}%%`;
  // What each block format stores worst in this layer, beside the PNG: a link to each frame.
  const worst = Object.entries(layer.worst).map(([block, found]) => element('p', {className: 'worst'},
    `${block} stores worst: `, ...found.flatMap(([name, db], i) => [i ? ', ' : '',
      element('a', {href: '#' + encodeURIComponent(name), onclick: () => choose(name)}, name),
      ` ${db.toFixed(1)} dB`])));
  document.getElementById('layers').append(element('section', {className: 'layer'}, element('h3', {}, heading),
                                                   ...worst, viewport));
  sheets.push({sheet, layer, viewport});
}
for (const [key, value] of Object.entries(atlas.totals)) {
  document.getElementById('totals').append(element('tr', {}, element('th', {}, key), element('td', {}, value)));
}
applyZoom();
zoomChoice.addEventListener('change', applyZoom);
addEventListener('resize', () => { if (zoomChoice.value === 'fit') applyZoom(); });
const search = document.getElementById('search');
search.addEventListener('input', () => {
  const text = search.value.trim().toLowerCase();
  const found = text ? [...byName.keys()].filter((n) => n.toLowerCase().includes(text)) : [];
  document.getElementById('count').textContent = text ? `${found.length} found` : '';
  matches.replaceChildren(...found.slice(0, 200).map((name) => {
    const item = element('li', {}, name);
    item.addEventListener('click', () => choose(name));
    return item;
  }));
  choose(found.find((n) => n.toLowerCase() === text) || found[0]);
});
// Each animation on a canvas of its frames' source size, every frame drawn
// from its layer's image (turned back where it is stored turned) for its
// duration, round after round.
const frameAt = (animation, ms) => {
  const total = animation.frames.reduce((sum, f) => sum + f.duration, 0);
  let left = ms %% total;
  for (const f of animation.frames) { if (left < f.duration) return f; left -= f.duration; }
  return animation.frames[0];
};
const players = new Map();
const drawAnimationAt = (name, ms) => {
  const canvas = players.get(name), f = frameAt(canvas.animation, ms), context = canvas.getContext('2d');
  const image = images.get(f.layer);
  context.imageSmoothingEnabled = false;
  context.setTransform(1, 0, 0, 1, 0, 0);
  context.clearRect(0, 0, canvas.width, canvas.height);
  if (!image) return f.name;
  // Stored a quarter turn clockwise: drawn back a quarter turn the other way.
  if (f.rotated) context.setTransform(0, -1, 1, 0, f.trim[0], f.trim[3]);
  else context.setTransform(1, 0, 0, 1, f.trim[0], f.trim[1]);
  context.drawImage(image, f.x, f.y, f.w, f.h, 0, 0, f.w, f.h);
  return f.name;
};
for (const animation of atlas.animations) {
  const canvas = element('canvas', {width: animation.size[0], height: animation.size[1], animation});
  canvas.style.width = animation.size[0] * 2 + 'px';
  players.set(animation.name, canvas);
  document.getElementById('animations').append(element('figure', {}, canvas,
                                                       element('figcaption', {}, animation.name)));
}
// A page that embeds the report can show any moment of an animation.
window.drawAnimationAt = drawAnimationAt;
const start = performance.now();
const play = (now) => {
  for (const name of players.keys()) drawAnimationAt(name, now - start);
  requestAnimationFrame(play);
};
if (players.size) requestAnimationFrame(play);
// report.html#NAME opens with that search: a link to a frame.
if (location.hash.length > 1) {
  search.value = decodeURIComponent(location.hash.slice(1));
  search.dispatchEvent(new Event('input'));
}
</script></body></html>
"""
# Characters that would let text in the page's data end its script or
# open a comment in it (and two that older JavaScript reads as line ends),
# written as the escapes JSON and JavaScript read back as the same text.
SCRIPT_SAFE = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026", "\u2028": "\\u2028", "\u2029": "\\u2029"})


def _players(layers: Sequence[AtlasLayer]) -> List[dict]:
    """Every animation as its player shows it: its frames in the order
    they show, each where it lies and for how long."""
    frames = {f.name: (layer, f) for layer in layers for f in layer.frames}
    timings = {name: timing for layer in layers for name, timing in layer.timings.items()}
    players = []
    for name, names in animations(frames).items():
        shown = []
        for frame_name in play_order(names, timings.get(name, Timing()).direction):
            layer, f = frames[frame_name]
            w, h = f.footprint
            shown.append({"name": f.name, "layer": layer.index, "x": f.x, "y": f.y, "w": w, "h": h,
                          "rotated": f.rotated, "trim": [f.trim_x, f.trim_y, f.trim_x + f.width, f.trim_y + f.height],
                          "duration": f.duration if f.duration is not None else NO_DURATION})
        players.append({"name": name, "size": [max(frames[n][1].source_width for n in names),
                                               max(frames[n][1].source_height for n in names)], "frames": shown})
    return players


def report_html(layers: Sequence[AtlasLayer], file_bytes: Dict[str, int], title: str,
                worst: Optional[Dict[int, Dict[str, List[Tuple[str, float]]]]] = None) -> str:
    """The page for the atlas's layers (of the first variant), with the
    bytes of each file written for the totals, and the frames each layer's
    block files store worst ({layer index: {format: [(name, dB), ...]}})."""
    data_layers: List[dict] = []
    sprites = trim_saved = share_saved = used = area = 0
    for layer in layers:
        holders: Dict[int, List[Frame]] = {}
        for f in layer.frames:
            holders.setdefault(f.picture, []).append(f)
        frames = []
        for f in layer.frames:
            w, h = f.footprint
            frames.append({
                "name": f.name, "layer": layer.index, "x": f.x, "y": f.y, "w": w, "h": h,
                "rotated": f.rotated, "trimmed": f.trimmed, "source": [f.source_width, f.source_height],
                "trim": [f.trim_x, f.trim_y, f.trim_x + f.width, f.trim_y + f.height],
                "pivot": list(f.pivot) if f.pivot else None,
                "shared": [other.name for other in holders[f.picture] if other.name != f.name],
            })
            sprites += 1
            trim_saved += f.source_width * f.source_height - f.width * f.height
        for showing in holders.values():
            picture_area = showing[0].width * showing[0].height
            used += picture_area
            share_saved += picture_area * (len(showing) - 1)
        area += layer.width * layer.height
        data_layers.append({"index": layer.index, "image": layer.image if layer.image in file_bytes else "",
                            "w": layer.width, "h": layer.height, "fill": layer.fill, "frames": frames,
                            "worst": {block: [[name, round(db, 2)] for name, db in found]
                                      for block, found in (worst or {}).get(layer.index, {}).items()}})
    totals = {
        "sprites": sprites, "layers": len(layers), "fill": f"{used / area:.1%}" if area else "-",
        "bytes": f"{sum(file_bytes.values()):,}",
        "area saved by trimming": f"{trim_saved:,} px", "area saved by sharing": f"{share_saved:,} px",
    }
    data = json.dumps({"layers": data_layers, "totals": totals, "animations": _players(layers)}).translate(SCRIPT_SAFE)
    import html  # here, where a report is made: a millisecond of every start-up otherwise

    return PAGE % {"title": html.escape(title), "data": data}
