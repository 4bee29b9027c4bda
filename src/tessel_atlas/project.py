"""The project file (--config): the pack command's options and per-sprite
settings in TOML.

Top-level keys are the long options without their dashes
(`max-texture-size = 1024`), checked and converted by the same argparse
actions as on the command line, plus `inputs` (a list) and `out`, both
relative to the file. `[[sprites]]` tables give settings to the sprites
whose names match their `match` pattern; for each setting, the last
matching table that gives it wins.
"""

from __future__ import annotations

import argparse
import fnmatch
import json
import math
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Dict, List, Sequence

from .errors import AtlasError
from .sprites import PIVOT_LIMIT, Sprite, valid_pivot

try:
    import tomllib
except ImportError:  # before Python 3.11
    import tomli as tomllib  # type: ignore[no-redef]

SPRITE_KEYS = ("match", "pivot", "nine_slice", "trim", "extrude")
# Options that a project file cannot hold: the file itself, and help.
NOT_IN_FILE = ("config", "help")


@dataclass
class SpriteRule:
    number: int  # 1 for the first [[sprites]] table
    match: str
    settings: Dict[str, Any]


@dataclass
class Project:
    path: Path
    options: Dict[str, Any] = field(default_factory=dict)  # by argparse dest
    rules: List[SpriteRule] = field(default_factory=list)


def _actions(pack: argparse.ArgumentParser) -> Dict[str, argparse.Action]:
    return {option[2:]: action for action in pack._actions for option in action.option_strings
            if option.startswith("--") and option[2:] not in NOT_IN_FILE}


def toml_text(value: Any) -> str:
    """A value as the project file spells it, for messages: true, "text", [1, 2]."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ", ".join(map(toml_text, value)) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {toml_text(v)}" for k, v in value.items()) + "}"
    return str(value)


def _path(path: Path, key: str, value: Any, shown: Any) -> bool:
    """Whether value is a usable path; a NUL character is refused, naming the key."""
    if not isinstance(value, str) or not value:
        return False
    if "\0" in value:
        raise AtlasError(f"{path}: {key} = {toml_text(shown)}: a path cannot hold a NUL character")
    return True


def _option_value(path: Path, key: str, value: Any, action: argparse.Action) -> Any:
    def refuse(expected: str) -> AtlasError:
        return AtlasError(f"{path}: {key} = {toml_text(value)}: {expected}")

    if action.nargs == 0:  # a flag
        if not isinstance(value, bool):
            raise refuse("expected true or false")
        return action.const if value else action.default
    if key == "pivot":  # a pair of numbers, not the command line's text
        if not _number_pair(value) or not valid_pivot(*value):
            raise refuse(f"expected [x, y], two numbers from -{PIVOT_LIMIT:g} to {PIVOT_LIMIT:g}")
        return tuple(float(v) for v in value)
    repeated = isinstance(action, argparse._AppendAction)
    items = value if repeated and isinstance(value, list) else [value]
    converted = []
    for item in items:
        if isinstance(item, (dict, bool, list)):
            raise refuse(f"expected {'a list of values' if repeated else 'one value'} as for --{key}")
        try:
            one = action.type(str(item)) if callable(action.type) else str(item)
        except (argparse.ArgumentTypeError, ValueError) as error:
            raise refuse(str(error)) from None
        if action.choices is not None and one not in action.choices:
            raise refuse("expected one of " + ", ".join(sorted(map(str, action.choices))))
        converted.append(one)
    return converted if repeated else converted[0]


def _number_pair(value: Any) -> bool:
    return (isinstance(value, list) and len(value) == 2
            and all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value))


def _sprite_rule(path: Path, number: int, table: Any) -> SpriteRule:
    where = f"{path}: [[sprites]] table {number}"
    if not isinstance(table, dict):
        raise AtlasError(f"{where}: expected a table")
    unknown = sorted(set(table) - set(SPRITE_KEYS))
    if unknown:
        raise AtlasError(f"{where}: unknown key {toml_text(unknown[0])}; valid keys: {', '.join(SPRITE_KEYS)}")
    match = table.get("match")
    if not isinstance(match, str) or not match:
        raise AtlasError(f"{where}: needs match = \"GLOB\", a pattern on sprite names such as \"ui/*.png\"")
    checks = {
        "pivot": (lambda v: _number_pair(v) and valid_pivot(*v),
                  f"expected [x, y], fractions of the sprite's source size from -{PIVOT_LIMIT:g} to {PIVOT_LIMIT:g}"),
        "nine_slice": (lambda v: isinstance(v, list) and len(v) == 4 and all(
            isinstance(b, int) and not isinstance(b, bool) and b >= 0 for b in v),
            "expected [left, top, right, bottom], whole numbers of pixels"),
        "trim": (lambda v: isinstance(v, bool), "expected true or false"),
        "extrude": (lambda v: isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= 1024,
                    "expected a whole number from 0 to 1024"),
    }
    settings = {}
    for key, value in table.items():
        if key == "match":
            continue
        valid, expected = checks[key]
        if not valid(value):
            raise AtlasError(f"{where} ({toml_text(match)}): {key} = {toml_text(value)}: {expected}")
        settings[key] = tuple(value) if isinstance(value, list) else value
    return SpriteRule(number, match, settings)


def load_project(path: Path, pack: argparse.ArgumentParser) -> Project:
    """The project file at path, checked whole: every key known, every value
    valid, or AtlasError naming the file, the key and what would be valid."""
    try:
        with path.open("rb") as stream:
            data = tomllib.load(stream)
    except OSError as error:
        raise AtlasError(f"{path}: cannot read the project file ({error.strerror})") from None
    except tomllib.TOMLDecodeError as error:
        raise AtlasError(f"{path}: not a valid TOML file ({error})") from None
    except RecursionError:
        raise AtlasError(f"{path}: not a valid project file (values nested too deeply)") from None
    actions = _actions(pack)
    project = Project(path)
    folder = path.parent
    for key, value in data.items():
        if key == "sprites":
            if not isinstance(value, list):
                raise AtlasError(f"{path}: sprites must be [[sprites]] tables")
            project.rules = [_sprite_rule(path, n, table) for n, table in enumerate(value, start=1)]
        elif key == "inputs":
            if not isinstance(value, list) or not value or not all(_path(path, key, v, value) for v in value):
                raise AtlasError(f"{path}: inputs = {toml_text(value)}: expected a list of paths, relative to the file")
            project.options["inputs"] = [folder / v for v in value]
        elif key == "out":
            if not _path(path, key, value, value):
                raise AtlasError(f"{path}: out = {toml_text(value)}: expected a path, relative to the file")
            project.options["out"] = folder / value
        elif key in actions:
            project.options[actions[key].dest] = _option_value(path, key, value, actions[key])
        else:
            valid = ", ".join(sorted({"inputs", "out", "sprites", *actions}))
            raise AtlasError(f"{path}: unknown key {toml_text(key)}; valid keys: {valid}")
    for group in exclusive_groups(pack):
        given = [key for key in data if key in actions and actions[key] in group
                 and project.options[actions[key].dest] != actions[key].default]
        if len(given) > 1:
            raise AtlasError(f"{path}: {' and '.join(f'{k} = {toml_text(data[k])}' for k in given)}: these options "
                             "exclude each other; keep one")
    return project


def exclusive_groups(pack: argparse.ArgumentParser) -> List[List[argparse.Action]]:
    """The options of which one at most may be given (--pot, --full-size)."""
    return [group._group_actions for group in pack._mutually_exclusive_groups]


def with_settings(sprites: Sequence[Sprite], rules: Sequence[SpriteRule], path: Path) -> List[Sprite]:
    """The sprites, each with its settings: its own, then each matching
    rule's in order. A rule that matches no sprite is refused."""
    matched = set()
    out = []
    for sprite in sprites:
        settings = {}
        for rule in rules:
            if fnmatch.fnmatchcase(sprite.name, rule.match):
                settings.update(rule.settings)
                matched.add(rule.number)
        out.append(replace(sprite, settings=replace(sprite.settings, **settings)) if settings else sprite)
    for rule in rules:
        if rule.number not in matched:
            example = sprites[0].name if sprites else ""
            raise AtlasError(f"{path}: [[sprites]] table {rule.number}: match = {rule.match!r} matches no sprite "
                             f"(names are paths inside the input folders, such as {example!r})")
    return out
