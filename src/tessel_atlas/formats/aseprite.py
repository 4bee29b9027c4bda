"""One JSON file per layer in the layout Aseprite exports: frames keyed by
their number, each with its duration, and the animations as frame ranges
in meta.frameTags (name, from, to, direction, repeat). Phaser 3 loads it
with load.aseprite(key, image, json) and makes every animation with
anims.createFromAseprite(key).

Phaser names a frame by its number and plays a tag's frames from..to, so
each animation's frames are numbered one after another, in one layer (the
layout keeps each whole); a sprite's own name is in its record's
`filename`. Phaser 3.80.1 plays "reverse" and "pingpong" (as yoyo) but
not "pingpong_reverse": those frames are numbered last to first and
written "pingpong", which plays the same. Phaser reads no repeat count;
it is written as Aseprite does, for other readers. Frames without a
duration show 100 ms (Phaser would hold them for ever). Phaser cannot
draw rotated frames, nor load block-compressed textures this way."""

from typing import Dict, List

from ..animations import play_order
from ..model import NO_DURATION
from . import AtlasLayer, each_variant, hash_meta, hash_record, layer_manifest_name

ROTATES = False
TRIMS = True
ANIMATIONS = True
ANIMATIONS_WHOLE = True
BLOCK_ALPHA = None
FORBIDDEN_IN_NAMES = None  # JSON strings hold any character
keys = None  # sprites are named as they are


def manifest(layer: AtlasLayer) -> dict:
    by_name = {f.name: f for f in layer.frames}
    numbered: List[str] = []
    tags = []
    for name, frames in layer.animations.items():
        timing = layer.timings[name]
        direction = timing.direction
        if direction == "pingpong_reverse":
            frames, direction = play_order(frames, "reverse"), "pingpong"
        tags.append({"name": name, "from": len(numbered), "to": len(numbered) + len(frames) - 1,
                     "direction": direction, **({"repeat": str(timing.repeat)} if timing.repeat else {})})
        numbered += frames
    in_animations = set(numbered)
    numbered += [f.name for f in layer.frames if f.name not in in_animations]
    records = {}
    for number, name in enumerate(numbered):
        frame = by_name[name]
        record = hash_record(frame, border_keys=("scale9Borders",))
        record["duration"] = frame.duration if frame.duration is not None else NO_DURATION
        records[str(number)] = {"filename": name, **record}
    meta = hash_meta(layer)
    meta.pop("playback", None)  # frameTags say it, as Aseprite writes them
    return {"frames": records, "meta": {**meta, "frameTags": tags, "layers": [], "slices": []}}


def variant_manifests(layers: List[AtlasLayer]) -> Dict[str, dict]:
    return {layer_manifest_name(layer): manifest(layer) for layer in layers}


manifests = each_variant(variant_manifests)
