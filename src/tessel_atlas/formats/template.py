"""--format template: a manifest format of the user's own, a Jinja2
template (--template FILE) rendered in Jinja2's sandbox: names it was not
given are errors, and it reaches nothing but the atlas's data (no files,
modules or attributes beyond it).

The template's file name, less its .j2 (or .jinja, .jinja2) extension,
names what it makes: one file a layer when the name holds {index}, one a
variant otherwise; {suffix} is the variant's suffix, added before the
extension when the name does not hold it, and for the set describing a
block format's files, that format after it (atlas_0@2x.bc7.json). Each
rendering sees `app` and `version`, `layers` (all of the variant's),
`layer` (the one rendered, for one a layer), and `variant` (scale,
resolution, suffix). A layer is {index, image, texture (png, webp, bc7,
...), tag (.bc7 for a block format's files, else empty: what its
manifests' names add), width, height, format (RGBA8888, BC7, ...), scale,
resolution, suffix, premultiplied, alpha_mode, frames, animations (name:
frame names, in numeric order), played (the same in the order they show),
playback (name: {direction, repeat}, for animations whose timing is
known)}; a frame {name, x, y,
width, height, rotated, trimmed, trim_x, trim_y, source_width,
source_height, pivot, borders, picture, duration}, as the built-in
formats write them (see model.Frame). Filters: `json` (a value as JSON,
as the built-in formats write it), `yaml` and `c` (text as a YAML scalar,
or a C string literal, quotes included), `xml` and `html` (text escaped
for XML or HTML attributes and text, quotes included).

What the template's engine reads is declared in a comment of its own,
{# tessel-atlas: rotates=no trims=no animations=whole names=xml #}
(DECLARED), and the layout follows it as a built-in format's.

A template that cannot be read, or fails, is one line naming it and the
line, and nothing is written; so is one whose files would pass
OUTPUT_LIMIT together, or that computes a number or text larger than
that on the way (a template is the user's, but often someone else's
download: it must not be able to fill the disk or the memory)."""

from __future__ import annotations

import hashlib
from dataclasses import replace
import json
import operator
import os
import re
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

from .. import __version__
from ..errors import AtlasError
from ..model import AtlasLayer
from . import FormatOptions, Layout, add_file, played, playback_meta, sparrow

# Unless the template declares otherwise (declared()): the data says which
# frames are turned and trimmed, and a template writes what it likes.
ROTATES = True
TRIMS = True
ANIMATIONS = True
ANIMATIONS_WHOLE = False
BLOCK_ALPHA = "plain"  # as --premultiply asks (each layer says which)
FORBIDDEN_IN_NAMES = None
keys = None
# A template's declaration of what its engine reads, a comment of its own:
# {# tessel-atlas: rotates=no trims=no animations=whole names=xml #}
DECLARATION = re.compile(r"\{#-?\s*tessel-atlas:(?P<terms>[^#]*?)-?#\}")
DECLARED: Dict[str, Dict[str, Dict[str, Any]]] = {
    "rotates": {"yes": {"rotates": True}, "no": {"rotates": False}},
    "trims": {"yes": {"trims": True}, "no": {"trims": False}},
    "animations": {"none": {"animations": False}, "layer": {"animations": True, "animations_whole": False},
                   "whole": {"animations": True, "animations_whole": True}},
    "block-alpha": {value: {"block_alpha": value} for value in ("plain", "premultiplied", "straight")},
    "names": {"any": {"forbidden_in_names": None}, "xml": {"forbidden_in_names": sparrow.FORBIDDEN_IN_NAMES}},
}
EXTENSIONS = (".j2", ".jinja2", ".jinja")
# Tabs and line ends too: an XML reader turns them into spaces in attributes.
ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;", "\t": "&#9;",
                         "\n": "&#10;", "\r": "&#13;"})
# The most a template's files may hold together, in characters: manifests
# of a hundred thousand sprites take a few tens of MB.
OUTPUT_LIMIT = 256 * 2**20


# The largest power a template may compute, in bits: more than Python
# turns into text anyway (4,300 digits), and cheap to make.
POWER_BITS = 1 << 16


def _too_large(what: str) -> AtlasError:
    return AtlasError(f"{what} larger than {OUTPUT_LIMIT // 2**20} MiB, the most a template may write")


def _bounded_binop(context: Any, operator_name: str, left: Any, right: Any) -> Any:
    """* and ** in a template, refused before the result is made where it
    alone would be too large to write: a power of more than POWER_BITS
    bits, a text or list longer than the output limit."""
    if operator_name == "**" and type(left) is int and type(right) is int and right > 0 and abs(left) > 1 and \
            right * (abs(left).bit_length() - 1) > POWER_BITS:
        raise AtlasError(f"a power of more than {POWER_BITS:,} bits, more than a template may compute")
    if operator_name == "*":
        for items, times in ((left, right), (right, left)):
            if isinstance(items, (str, list, tuple)) and type(times) is int and len(items) * times > OUTPUT_LIMIT:
                raise _too_large("a text or list")
    return {"*": operator.mul, "**": operator.pow}[operator_name](left, right)


def _jinja():
    try:
        import jinja2.sandbox
    except ImportError:
        raise AtlasError("--format template needs Jinja2: pip install 'TesselPack[atlas]'") from None
    return jinja2


def _where(path: Path, error: Exception) -> str:
    """The template and line an error of Jinja2 comes from: its syntax
    errors say the line, and a failure while rendering leaves the template's
    line in the traceback."""
    line = getattr(error, "lineno", None)
    traceback = error.__traceback__
    while traceback is not None:
        if os.path.abspath(traceback.tb_frame.f_code.co_filename) == os.path.abspath(path):
            line = traceback.tb_lineno
        traceback = traceback.tb_next
    return f"{path}, line {line}" if line else str(path)


def load_template(path: Path):
    """The template, compiled in the sandbox; AtlasError naming the file,
    the line and the fault if it cannot be."""
    jinja2 = _jinja()
    if not any(path.name.endswith(extension) for extension in EXTENSIONS):
        raise AtlasError(f"{path}: a template's name ends in .j2 (or .jinja, .jinja2), and names what it makes "
                         "without that: atlas_{index}{suffix}.txt.j2 makes atlas_0.txt, ...")
    environment = jinja2.sandbox.SandboxedEnvironment(undefined=jinja2.StrictUndefined, keep_trailing_newline=True,
                                                      autoescape=False)
    environment.intercepted_binops = frozenset({"*", "**"})
    environment.call_binop = _bounded_binop
    environment.filters.update(json=_json, xml=_escaped, html=_escaped, yaml=_yaml, c=_c_string)
    try:
        source = path.read_text(encoding="utf-8")
        # Compiled with its file's name, so that tracebacks say where; with
        # no loader, so that it includes or imports no other file.
        code = environment.compile(source, name=path.name, filename=str(path))
        return environment.template_class.from_code(environment, code, environment.make_globals(None))
    except OSError as error:
        raise AtlasError(f"{path}: cannot read the template ({error.strerror})") from None
    except UnicodeDecodeError:
        raise AtlasError(f"{path}: the template is not UTF-8 text") from None
    except jinja2.TemplateSyntaxError as error:
        raise AtlasError(f"{_where(path, error)}: {error.message}") from None


def declared(path: Path) -> Layout:
    """The layout the template declares in its tessel-atlas comment (the
    first one), from the defaults above; AtlasError for a term it cannot
    be."""
    try:
        found = DECLARATION.search(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError):
        found = None  # load_template says why, naming the file
    settings: Dict[str, Any] = {}
    for term in found["terms"].split() if found else ():
        key, _, value = term.partition("=")
        if value not in DECLARED.get(key, {}):
            valid = "; ".join(f"{k}={'|'.join(v)}" for k, v in DECLARED.items())
            raise AtlasError(f"{path}: the tessel-atlas comment declares {term!r}; it can declare {valid}")
        settings.update(DECLARED[key][value])
    return replace(Layout(), **settings)


def fingerprint(path: Path) -> str:
    """A key of the template's text: what it makes changes with it."""
    try:
        return hashlib.sha256(path.read_bytes()).hexdigest()
    except OSError as error:
        raise AtlasError(f"{path}: cannot read the template ({error.strerror})") from None


def _json(value: Any) -> str:
    return json.dumps(value)


# Text a YAML reader takes as itself unquoted: no indicator first, no ": "
# or " #" inside, and not a word or number it would read as another type.
YAML_PLAIN = re.compile(r"[A-Za-z_./][A-Za-z0-9_./@-]*")
YAML_WORDS = re.compile(r"(?i)y|n|yes|no|on|off|true|false|null|[-+]?\.?(inf|nan)")


def _yaml(value: Any) -> str:
    """Text as a YAML scalar: as it is where it reads back as itself (as
    simple readers, Phaser's among them, take names), else double-quoted
    with every character but printable ASCII escaped, as YAML 1.1 and 1.2
    readers both take it."""
    text = str(value)
    if YAML_PLAIN.fullmatch(text) and not YAML_WORDS.fullmatch(text):
        return text
    return json.dumps(text, ensure_ascii=True)


def _c_string(value: Any) -> str:
    """Text as a C (or C++, C#, Java) string literal of its UTF-8 bytes:
    quotes, backslashes and every byte outside printable ASCII escaped in
    octal, which no following digit can lengthen (unlike hexadecimal)."""
    return '"' + "".join(chr(b) if 0x20 <= b < 0x7F and chr(b) not in '"\\?' else f"\\{b:03o}"
                         for b in str(value).encode("utf-8", "surrogatepass")) + '"'


def _escaped(value: Any) -> str:
    return str(value).translate(ESCAPES)


def _layer_data(layer: AtlasLayer) -> Dict[str, Any]:
    return {
        "index": layer.index, "image": layer.image, "texture": layer.texture, "tag": layer.tag, "width": layer.width,
        "height": layer.height,
        "format": layer.pixel_format, "scale": layer.scale, "resolution": layer.resolution, "suffix": layer.suffix,
        "premultiplied": layer.premultiplied,
        "alpha_mode": "premultiplied-alpha" if layer.premultiplied else "straight-alpha",
        "frames": [{**frame._asdict(), "trimmed": frame.trimmed,
                    "pivot": list(frame.pivot) if frame.pivot else None,
                    "borders": list(frame.nine_slice) if frame.nine_slice else None} for frame in layer.frames],
        "animations": {name: list(frames) for name, frames in layer.animations.items()},
        "played": played(layer),
        "playback": playback_meta(layer).get("playback", {}),
    }


def _output_name(pattern: str, layer: Optional[AtlasLayer], suffix: str, path: Path) -> str:
    if "{suffix}" not in pattern:
        stem, extension = os.path.splitext(pattern)
        pattern = stem + "{suffix}" + extension
    try:
        name = pattern.format(index=layer.index if layer else 0, suffix=suffix)
    except (KeyError, IndexError, ValueError) as error:
        raise AtlasError(f"{path}: its name can hold {{index}} and {{suffix}} only ({error})") from None
    if not re.fullmatch(r"[^/\\\0]+", name) or name.startswith("."):
        raise AtlasError(f"{path}: its name makes {name!r}, which is not a plain file name; rename the template")
    return name


def _files(variants: Sequence[List[AtlasLayer]], path: Path):
    """Each file the template makes: its name, the variant's layers and,
    for one a layer, the layer's place among them (else None)."""
    pattern = next(path.name[:-len(e)] for e in EXTENSIONS if path.name.endswith(e))
    for layers in variants:
        for position in range(len(layers)) if "{index}" in pattern else [None]:
            layer = None if position is None else layers[position]
            yield _output_name(pattern, layer, layers[0].suffix + layers[0].tag, path), layers, position


def names(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> List[str]:
    assert options.template is not None
    return [name for name, *_ in _files(variants, options.template)]


def _describe(error: BaseException) -> str:
    described: Dict[type, str] = {MemoryError: "out of memory", RecursionError: "nested too deeply"}
    return str(error) or described.get(type(error), type(error).__name__)


def manifests(variants: Sequence[List[AtlasLayer]], options: FormatOptions) -> Dict[str, str]:
    assert options.template is not None
    path = options.template
    template = load_template(path)
    made: Dict[str, str] = {}
    data: Dict[int, List[Dict[str, Any]]] = {}
    written = 0
    for name, layers, position in _files(variants, path):
        variant_data = data.setdefault(id(layers), [_layer_data(one) for one in layers])
        variant = {"scale": layers[0].scale, "resolution": layers[0].resolution, "suffix": layers[0].suffix}
        context = {"app": "tessel-atlas", "version": __version__, "layers": variant_data, "variant": variant}
        if position is not None:
            context["layer"] = variant_data[position]
        parts = []
        try:
            # Rendered piece by piece, so that output past the limit stops it.
            for part in template.generate(**context):
                written += len(part)
                if written > OUTPUT_LIMIT:
                    raise _too_large("its files would be")
                parts.append(part)
        except AtlasError as error:
            raise AtlasError(f"{_where(path, error)}: {error}") from None
        except Exception as error:  # undefined names, sandbox refusals, the template's own faults, memory
            raise AtlasError(f"{_where(path, error)}: {_describe(error)}") from None
        add_file(made, name, "".join(parts))
    return made
