"""Godot 3 text resources: for each sprite an AtlasTexture (NAME.tres: the
layer image as its atlas, `region` its frame, `margin` the trimmed border
so that it keeps its source size, `filter_clip` so that filtering never
reads a neighbour), and for each animation a SpriteFrames (NAME.frames.tres)
of its frames in numeric order, as its "default" animation, so that an
AnimatedSprite given it plays it as it is: 10 frames a second, looping,
unless the project file's [[animations]] tables say otherwise.

A resource is named after its sprite (or animation) without the image
extension, each / turned into -, with the variant's suffix before .tres;
two sprites given one file name, in any two variants, are refused. Resources name the files they use
by paths relative to themselves, which Godot resolves wherever the output
folder lies in a project. AtlasTexture has no rotation: this format never
rotates. Godot 4 reads another format of resource, and is not written."""

import re
from typing import Dict, List, Sequence, Tuple

from ..animations import animations
from ..errors import AtlasError
from ..model import AtlasLayer, Frame
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


def resource_stem(name: str) -> str:
    return re.sub(r"\.[^./]*$", "", name).replace("/", "-")


def keys(names: Sequence[str], options: FormatOptions) -> Dict[str, Tuple[str, ...]]:
    """Two sprites of one resource name would be one file, in one variant
    or across two (x.png at @2x and x@2x.png)."""
    return {name: tuple(f"the file {resource_stem(name) + suffix + '.tres'!r}" for suffix in options.suffixes)
            for name in names}


def _atlas_texture(layer: AtlasLayer, frame: Frame) -> str:
    return "\n".join([
        '[gd_resource type="AtlasTexture" load_steps=2 format=2]', "",
        f'[ext_resource path="{layer.image}" type="Texture" id=1]', "",
        "[resource]", "atlas = ExtResource( 1 )",
        f"region = Rect2( {frame.x}, {frame.y}, {frame.width}, {frame.height} )",
        f"margin = Rect2( {frame.trim_x}, {frame.trim_y}, {frame.source_width - frame.width}, "
        f"{frame.source_height - frame.height} )",
        "filter_clip = true", ""])


def _sprite_frames(textures: List[str], speed: float, loop: bool) -> str:
    resources = [f'[ext_resource path="{texture}" type="Texture" id={i}]' for i, texture in enumerate(textures, 1)]
    frames = ", ".join(f"ExtResource( {i} )" for i in range(1, len(textures) + 1))
    return "\n".join([
        f'[gd_resource type="SpriteFrames" load_steps={len(textures) + 1} format=2]', "", *resources, "",
        "[resource]", "animations = [ {", f'"frames": [ {frames} ],', f'"loop": {"true" if loop else "false"},',
        '"name": "default",', f'"speed": {speed!r}', "} ]", ""])


def manifests(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> Dict[str, str]:
    made: Dict[str, str] = {}
    for layers in variants:
        suffix = layers[0].suffix if layers else ""
        for layer in layers:
            for frame in layer.frames:
                add_file(made, f"{resource_stem(frame.name)}{suffix}.tres", _atlas_texture(layer, frame))
        for group, names in animations(frame.name for layer in layers for frame in layer.frames).items():
            file_name = f"{resource_stem(group)}.frames{suffix}.tres"
            if file_name in made:
                raise AtlasError(f"the animation {group!r} and a sprite would both be {file_name!r} in godot files; "
                                 "rename the sprite")
            made[file_name] = _sprite_frames([f"{resource_stem(name)}{suffix}.tres" for name in names],
                                             *playback(options.playback, group))
    return made
