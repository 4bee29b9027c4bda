"""Godot 3 text resources: for each sprite an AtlasTexture (NAME.tres: the
layer image as its atlas, `region` its frame, `margin` the trimmed border
so that it keeps its source size, `filter_clip` so that filtering never
reads a neighbour; with normal maps, NAME_n.tres too, the same region of
the normal maps' layer), and for each animation a SpriteFrames (NAME.frames.tres)
of its frames as its "default" animation, so that an AnimatedSprite given
it plays it as it is. A SpriteFrames has one speed and no durations or
directions: where frames have durations, the speed is a frame every
greatest common divisor of them and each frame is listed as many times as
it shows for; reversed and ping-pong animations are listed in the order
they show, and one that plays n times n times over, not looping.
Animations without durations play at 10 frames a second, looping, unless
the project file's [[animations]] tables say otherwise.

A resource is named after its sprite (or animation) without the image
extension, each / turned into -, with the variant's suffix before .tres;
two sprites given one file name, in any two variants, are refused. Resources name the files they use
by paths relative to themselves, which Godot resolves wherever the output
folder lies in a project. AtlasTexture has no rotation: this format never
rotates. Godot 4 reads another format of resource, and is not written."""

import functools
import math
import re
from typing import Dict, List, Sequence, Tuple

from ..animations import animations, play_order
from ..errors import AtlasError
from ..model import NO_DURATION, AtlasLayer, Frame, Timing
from ..project import playback
from . import FormatOptions, add_file

ROTATES = False
TRIMS = True
ANIMATIONS = False  # SpriteFrames of their own, across layers
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = None  # Godot compresses textures itself, as it imports them
# A name goes into a quoted path: no quotes, backslashes or control
# characters; nor U+FEFF, which Godot's resource loader drops from the
# start of a path, so that it finds no file.
FORBIDDEN_IN_NAMES = re.compile(r'[\x00-\x1f\x7f"\\\ufeff]')
# Frames a SpriteFrames may list, at most: one animation of long durations
# with no common divisor, played many times, would otherwise list millions.
MOST_FRAMES = 100_000
DEFAULT_SPEED = 1000 / NO_DURATION


def resource_stem(name: str) -> str:
    return re.sub(r"\.[^./]*$", "", name).replace("/", "-")


def keys(names: Sequence[str], options: FormatOptions) -> Dict[str, Tuple[str, ...]]:
    """Two sprites of one resource name would be one file, in one variant
    or across two (x.png at @2x and x@2x.png)."""
    return {name: tuple(f"the file {resource_stem(name) + suffix + '.tres'!r}" for suffix in options.suffixes)
            for name in names}


def _atlas_texture(image: str, frame: Frame) -> str:
    return "\n".join([
        '[gd_resource type="AtlasTexture" load_steps=2 format=2]', "",
        f'[ext_resource path="{image}" type="Texture" id=1]', "",
        "[resource]", "atlas = ExtResource( 1 )",
        f"region = Rect2( {frame.x}, {frame.y}, {frame.width}, {frame.height} )",
        f"margin = Rect2( {frame.trim_x}, {frame.trim_y}, {frame.source_width - frame.width}, "
        f"{frame.source_height - frame.height} )",
        "filter_clip = true", ""])


def _shown(group: str, names: List[str], frames: Dict[str, Frame], timing: Timing,
           speed: float) -> Tuple[List[str], float]:
    """The frames a SpriteFrames lists for the animation, and its speed."""
    durations = {name: frames[name].duration for name in names}
    timed = any(d is not None for d in durations.values())
    every = {name: d if d is not None else round(1000 / speed) for name, d in durations.items()}
    step = functools.reduce(math.gcd, every.values()) if timed else 1
    # At most this many: a ping-pong's passes after the first are a frame shorter.
    count = sum(every[name] // step if timed else 1 for name in names) * max(timing.repeat, 1) * \
        (2 if timing.direction.startswith("pingpong") and timing.repeat == 0 else 1)
    if count > MOST_FRAMES:
        raise AtlasError(f"the animation {group!r} would list {count:,} frames in its godot SpriteFrames; "
                         "play it fewer times, or round its frames' durations to a common step such as 10 ms")
    order = play_order(names, timing.direction, timing.repeat)
    if not timed or set(every.values()) == {round(1000 / speed)}:
        return order, speed  # the speed asked for, not its duration's rounded milliseconds
    return [name for name in order for _ in range(every[name] // step)], 1000 / step


def _sprite_frames(textures: List[str], speed: float, loop: bool) -> str:
    ids = {texture: i for i, texture in enumerate(dict.fromkeys(textures), 1)}
    resources = [f'[ext_resource path="{texture}" type="Texture" id={i}]' for texture, i in ids.items()]
    frames = ", ".join(f"ExtResource( {ids[texture]} )" for texture in textures)
    return "\n".join([
        f'[gd_resource type="SpriteFrames" load_steps={len(ids) + 1} format=2]', "", *resources, "",
        "[resource]", "animations = [ {", f'"frames": [ {frames} ],', f'"loop": {"true" if loop else "false"},',
        '"name": "default",', f'"speed": {speed!r}', "} ]", ""])


def manifests(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> Dict[str, str]:
    made: Dict[str, str] = {}
    for layers in variants:
        suffix = layers[0].suffix if layers else ""
        for layer in layers:
            for frame in layer.frames:
                add_file(made, f"{resource_stem(frame.name)}{suffix}.tres", _atlas_texture(layer.image, frame))
                if layer.normal_image:  # for a sprite's normal_map, or a light's
                    add_file(made, f"{resource_stem(frame.name)}{layer.normal_map}{suffix}.tres",
                             _atlas_texture(layer.normal_image, frame))
        frames = {frame.name: frame for layer in layers for frame in layer.frames}
        timings = {name: timing for layer in layers for name, timing in layer.timings.items()}
        for group, names in animations(frames).items():
            file_name = f"{resource_stem(group)}.frames{suffix}.tres"
            if file_name in made:
                raise AtlasError(f"the animation {group!r} and a sprite would both be {file_name!r} in godot files; "
                                 "rename the sprite")
            timing = timings.get(group, Timing())
            speed = playback(options.playback, group)[0] or DEFAULT_SPEED
            shown, speed = _shown(group, names, frames, timing, speed)
            made[file_name] = _sprite_frames([f"{resource_stem(name)}{suffix}.tres" for name in shown], speed,
                                             timing.repeat == 0)
    return made
