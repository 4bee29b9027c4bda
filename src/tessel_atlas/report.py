"""report.html: a page to look at an atlas, written beside it (--report).

One file, its script and style inside, that works opened from disk: each
layer's image (the file beside it) with every frame outlined; hovering or
choosing a frame shows its name, source size, trim box, rotation, pivot
and the other names that share its pixels; a search box finds frames by
name and shows where they are; and the totals: sprites, layers, fill,
bytes, and the area that trimming and sharing saved. report.html#NAME
opens with NAME searched for.
"""

from __future__ import annotations

import html
import json
from typing import Dict, List, Sequence

from .model import AtlasLayer, Frame

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
/* Only the sheet scrolls sideways: the heading above it stays in view. */
.viewport { overflow-x: auto; width: fit-content; max-width: 100%%; }
.sheet { position: relative; background:
         repeating-conic-gradient(#3a3a40 0 25%%, #2e2e34 0 50%%) 0 0 / 16px 16px; }
.sheet img { display: block; width: 100%%; height: 100%%; image-rendering: pixelated; }
.frame { position: absolute; box-sizing: border-box; border: 1px solid rgba(120, 200, 255, 0.55); cursor: pointer; }
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
<div id="layers"></div>
<script>
const atlas = %(data)s;
const byName = new Map(), sheets = [];
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
  if (layer.image) sheet.append(element('img', {src: layer.image, alt: `layer ${layer.index}`}));
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
  document.getElementById('layers').append(element('section', {className: 'layer'}, element('h3', {}, heading),
                                                   viewport));
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


def report_html(layers: Sequence[AtlasLayer], file_bytes: Dict[str, int], title: str) -> str:
    """The page for the atlas's layers (of the first variant), with the
    bytes of each file written for the totals."""
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
                            "w": layer.width, "h": layer.height, "fill": layer.fill, "frames": frames})
    totals = {
        "sprites": sprites, "layers": len(layers), "fill": f"{used / area:.1%}" if area else "-",
        "bytes": f"{sum(file_bytes.values()):,}",
        "area saved by trimming": f"{trim_saved:,} px", "area saved by sharing": f"{share_saved:,} px",
    }
    data = json.dumps({"layers": data_layers, "totals": totals}).translate(SCRIPT_SAFE)
    return PAGE % {"title": html.escape(title), "data": data}
