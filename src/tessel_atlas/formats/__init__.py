"""Manifest formats. Each module here describes one: ROTATES and TRIMS
(whether its loaders can draw frames stored turned, and trimmed),
ANIMATIONS (whether it lists the animations whose frames share a layer),
ANIMATIONS_WHOLE (whether the layout must keep each animation in one layer),
BLOCK_ALPHA (how its engines draw block-compressed layers: "premultiplied",
"straight", "plain" for as the plain image is, or None where they cannot),
FORBIDDEN_IN_NAMES (a pattern of the characters its files cannot hold in a
sprite's name, or None), keys(names, options) (what each sprite is called in its
files, each variant's where they differ, when that may not be its name, so
that two alike are refused; or None) and manifests(variants, options), the
files it writes for the variants' layers (model.AtlasLayer) by name (a dict
for JSON, a string for text); a format whose manifests take work to make
may give names(variants, options), the names alone. The files of a set describing block-compressed layers add the
layer's `tag` to their names. Adding a format is adding a module and a line below. The hash
layout's frame record, pivots and nine-slice borders included, is written
by hash_record, the one place the JSON formats take frames from."""

from __future__ import annotations

import hashlib
import math
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Pattern, Sequence, Tuple, Union

from .. import __version__
from ..errors import AtlasError
from ..animations import play_order
from ..model import AtlasLayer, Frame, Timing
from ..sprites import Sprite


def hash_record(frame: Frame, pivot_key: str = "pivot",
                border_keys: Tuple[str, ...] = ("borders", "scale9Borders")) -> dict:
    """The frame record of the hash layout. A rotated frame keeps the
    sprite's own w and h; in the image it covers h x w, turned a quarter
    turn clockwise. A pivot, where set, goes under `pivot_key`; nine-slice
    borders under the `border_keys` asked for: "borders" as PixiJS reads
    them (left, top, right, bottom), "scale9Borders" as Phaser does (the
    centre's x, y, w and h)."""
    record = {
        "frame": {"x": frame.x, "y": frame.y, "w": frame.width, "h": frame.height},
        "rotated": frame.rotated,
        "trimmed": frame.trimmed,
        "spriteSourceSize": {"x": frame.trim_x, "y": frame.trim_y, "w": frame.width, "h": frame.height},
        "sourceSize": {"w": frame.source_width, "h": frame.source_height},
    }
    if frame.duration is not None:
        record["duration"] = frame.duration
    if frame.pivot is not None:
        record[pivot_key] = {"x": frame.pivot[0], "y": frame.pivot[1]}
    if frame.nine_slice is not None:
        left, top, right, bottom = frame.nine_slice
        if "borders" in border_keys:
            record["borders"] = {"left": left, "top": top, "right": right, "bottom": bottom}
        if "scale9Borders" in border_keys:
            record["scale9Borders"] = {"x": left, "y": top, "w": frame.source_width - left - right,
                                       "h": frame.source_height - top - bottom}
    return record


def played(layer: AtlasLayer) -> Dict[str, List[str]]:
    """The layer's animations, each as its frames show in one round
    (reversed, or out and back for a ping-pong), as a loader that plays a
    list of frames needs them."""
    return {name: play_order(frames, layer.timings[name].direction) for name, frames in layer.animations.items()}


def playback_meta(layer: AtlasLayer) -> dict:
    """How the layer's animations play where that is known (from their
    files, or the project file): {"playback": {name: {direction, repeat}}}
    (repeat 0: for ever), or nothing."""
    durations = {f.name for f in layer.frames if f.duration is not None}
    known = {name: {"direction": layer.timings[name].direction, "repeat": layer.timings[name].repeat}
             for name, frames in layer.animations.items()
             if layer.timings[name] != Timing() or any(f in durations for f in frames)}
    return {"playback": known} if known else {}


def hash_meta(layer: AtlasLayer) -> dict:
    """The meta record of the hash layout."""
    return {
        "app": "tessel-atlas",
        "version": __version__,
        "image": layer.image,
        "format": layer.pixel_format,
        "size": {"w": layer.width, "h": layer.height},
        # PixiJS takes it as the texture's resolution, so that every
        # variant draws at the same size.
        "scale": f"{layer.resolution:g}",
        # PixiJS's name for it; PixiJS 8 takes it from the load call's
        # texture options, not from here (see the README).
        **({"alphaMode": "premultiplied-alpha"} if layer.premultiplied else {}),
        **playback_meta(layer),
    }


# The part of a file name from which PixiJS 7 takes a texture's resolution,
# before the manifest's meta.scale (PixiJS 8 takes meta.scale first).
RESOLUTION_IN_NAME = re.compile(r"@([0-9.]+)x")


def resolutions(variants: Sequence[Tuple[float, str]]) -> Dict[str, float]:
    """Each variant's texture resolution by suffix: its scale relative to
    the scale that draws at resolution 1, so that every variant draws at
    one size on screen. A suffix that names a resolution (@2x) must agree
    with it, since PixiJS 7 takes the name's; without one, the sprites'
    own scale (1) draws at resolution 1. Variants whose named resolutions
    do not follow their scales are refused."""
    named = []
    for scale, suffix in variants:
        found = RESOLUTION_IN_NAME.search(suffix)
        if found:
            number = re.match(r"\d*(\.\d*)?", found.group(1)).group()  # what JavaScript's parseFloat reads
            if number in ("", "."):
                raise AtlasError(f"--variant {scale:g}:{suffix}: PixiJS 7 reads a resolution from "
                                 f"{found.group()!r} and finds no number; write it as @2x or @0.5x")
            named.append((scale, suffix, float(number)))
    base = named[0][0] / named[0][2] if named else 1.0
    for scale, suffix, resolution in named:
        if not math.isclose(scale / base, resolution, rel_tol=1e-9):
            first = named[0]
            raise AtlasError(f"--variant {scale:g}:{suffix} names resolution {resolution:g}, but beside --variant "
                             f"{first[0]:g}:{first[1]} its scale makes it {scale / base:g}; PixiJS 7 takes the "
                             "resolution from the name, so make the names follow the scales "
                             "(--variant 1:@2x --variant 0.5:)")
    return {suffix: scale / base for scale, suffix in variants}


def manifests_key(format_name: str, variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> str:
    """A key of everything a format's manifests of these layers say: a
    rebuild whose key is the same keeps the files, without making them."""
    template = options.template.read_bytes() if options.template else b""
    digest = hashlib.sha256(repr((format_name, __version__, options, template)).encode())
    for layer in (layer for layers in variants for layer in layers):
        digest.update(repr((layer.index, layer.image, layer.texture, layer.width, layer.height, layer.scale, layer.resolution,
                            layer.suffix, layer.premultiplied, layer.animations, layer.timings)).encode())
        digest.update(repr(layer.frames).encode())
    return digest.hexdigest()


@dataclass(frozen=True)
class Layout:
    """What a format's engines can draw and read, which the layout follows:
    frames stored turned (`rotates`) and trimmed (`trims`), animations
    listed with the layer holding their frames (`animations`) and kept in
    one layer (`animations_whole`), block-compressed layers' alpha
    (`block_alpha`, see BLOCK_ALPHA above) and the characters its files
    cannot hold in a name (`forbidden_in_names`)."""

    rotates: bool = True
    trims: bool = True
    animations: bool = True
    animations_whole: bool = False
    block_alpha: Optional[str] = "plain"
    forbidden_in_names: Optional[Pattern[str]] = None


def layout_of(format_name: str, template: Optional[Path] = None) -> Layout:
    """The layout a format asks for: its module's, or what a template declares (template.declared)."""
    if format_name == "template" and template is not None:
        return FORMATS["template"].declared(template)
    fmt = FORMATS[format_name]
    return Layout(fmt.ROTATES, fmt.TRIMS, fmt.ANIMATIONS, fmt.ANIMATIONS_WHOLE, fmt.BLOCK_ALPHA,
                  fmt.FORBIDDEN_IN_NAMES)


@dataclass(frozen=True)
class FormatOptions:
    """What a format's files take beyond the atlas: the prefix of CSS class
    names, the user's template, each animation's playback (speed in
    frames a second, and whether it loops) by name, and the variants'
    suffixes (in names of files made per sprite)."""

    css_prefix: str = ""
    template: Optional[Path] = None
    playback: Tuple[Tuple[str, float, bool], ...] = ()
    suffixes: Tuple[str, ...] = ("",)


ManifestWriter = Callable[[Sequence[List[AtlasLayer]], FormatOptions], Dict[str, Union[dict, str]]]


def add_file(made: Dict[str, Any], name: str, text: Any) -> None:
    """Adds a file to those a format makes, refusing a name made twice
    (one would silently take the other's place)."""
    if name in made:
        raise AtlasError(f"two files of the atlas would both be named {name}; choose other --variant suffixes, or "
                         "rename the template")
    made[name] = text


def each_variant(variant_manifests: Callable[[List[AtlasLayer]], Dict[str, Any]]) -> ManifestWriter:
    """The manifests() of a format whose files each describe one variant."""
    def manifests(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> Dict[str, Any]:
        made: Dict[str, Any] = {}
        for layers in variants:
            for name, text in variant_manifests(layers).items():
                add_file(made, name, text)
        return made
    return manifests


def layer_manifest_name(layer: AtlasLayer) -> str:
    return f"{layer.stem}{layer.tag}.json"


# They use the helpers above.
from . import aseprite, css, godot, json_array, json_hash, libgdx, phaser3, pixijs, sparrow, template  # noqa: E402

FORMATS = {"json-hash": json_hash, "json-array": json_array, "phaser3": phaser3, "pixijs": pixijs,
           "sparrow": sparrow, "godot": godot, "libgdx": libgdx, "css": css, "aseprite": aseprite,
           "template": template}


def all_manifests(format_name: str, sets: Sequence[Sequence[List[AtlasLayer]]],
                  options: FormatOptions) -> Dict[str, Union[dict, str]]:
    """The format's manifests of every set of variants (the plain images',
    then each block format's), none made twice."""
    made: Dict[str, Union[dict, str]] = {}
    for variants in sets:
        for name, text in FORMATS[format_name].manifests(variants, options).items():
            add_file(made, name, text)
    return made


def manifest_names(format_name: str, sets: Sequence[Sequence[List[AtlasLayer]]], options: FormatOptions) -> List[str]:
    """The names all_manifests() gives, without making the files where the format can tell them alone."""
    names = getattr(FORMATS[format_name], "names", None)
    if names is None:
        return list(all_manifests(format_name, sets, options))
    made: Dict[str, None] = {}
    for variants in sets:
        for name in names(variants, options):
            add_file(made, name, None)
    return list(made)


def shown(text: str) -> str:
    """Text for a message, the characters a terminal would not show escaped."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def check_names(sprites: Sequence[Sprite], format_name: str, options: FormatOptions) -> None:
    """Refuses, before any work, a sprite name that the format's files
    cannot hold, and two sprites that its files would not tell apart (the
    format's `keys`: what each sprite is called there, when that is not
    its name)."""
    fmt = FORMATS[format_name]
    forbidden = layout_of(format_name, options.template).forbidden_in_names
    for sprite in sprites if forbidden else ():
        found = forbidden.search(sprite.name)
        if found:
            raise AtlasError(f"{shown(sprite.source)}: the name holds U+{ord(found.group()):04X}, a character that "
                             f"{format_name} files cannot hold; rename the file, or choose another --format")
    if fmt.keys is None:
        return
    keyed = fmt.keys([sprite.name for sprite in sprites], options)
    holder: Dict[str, Sprite] = {}
    for sprite in sprites:
        for key in keyed[sprite.name]:
            other = holder.setdefault(key, sprite)
            if other is not sprite:
                raise AtlasError(f"two sprites would both be {key} in {format_name} files: "
                                 f"{shown(other.source)} and {shown(sprite.source)}; rename one, or choose another "
                                 "--format")
