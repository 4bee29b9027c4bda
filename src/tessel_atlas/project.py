"""The project file (--config): the pack command's options and per-sprite
settings in TOML.

Top-level keys are the long options without their dashes
(`max-texture-size = 1024`), checked and converted by the same argparse
actions as on the command line, plus `inputs` (a list) and `out`, both
relative to the file, as `template` is. `[[sprites]]` tables give settings to the sprites
whose names match their `match` pattern; for each setting, the last
matching table that gives it wins.
"""

from __future__ import annotations

import argparse
import fnmatch
import hashlib
import json
import math
import re
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .errors import AtlasError
from .sprites import PIVOT_LIMIT, Sprite, valid_pivot

# Options that a project file cannot hold: the file itself, and help.
NOT_IN_FILE = ("config", "help", "only")
# What an atlas may be named: its name heads its messages and, under a
# shared out, names its folder.
ATLAS_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]*")


@dataclass
class Rule:
    where: str  # what messages name it by: the file and table
    match: str
    settings: Dict[str, Any]


@dataclass
class Project:
    path: Path
    options: Dict[str, Any] = field(default_factory=dict)  # by argparse dest
    rules: List[Rule] = field(default_factory=list)  # [[sprites]]
    animation_rules: List[Rule] = field(default_factory=list)  # [[animations]]
    name: str = ""  # an [[atlas]] table's
    atlases: List["Project"] = field(default_factory=list)  # [[atlas]], each with the top level's merged in


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


def _path(where: str, key: str, value: Any, shown: Any) -> bool:
    """Whether value is a usable path; a NUL character is refused, naming the key."""
    if not isinstance(value, str) or not value:
        return False
    if "\0" in value:
        raise AtlasError(f"{where}: {key} = {toml_text(shown)}: a path cannot hold a NUL character")
    return True


def _option_value(where: str, key: str, value: Any, action: argparse.Action) -> Any:
    def refuse(expected: str) -> AtlasError:
        return AtlasError(f"{where}: {key} = {toml_text(value)}: {expected}")

    if action.nargs == 0:  # a flag
        if not isinstance(value, bool):
            raise refuse("expected true or false")
        return action.const if value else action.default
    if action.nargs == "?" and isinstance(value, bool):  # true: the option without its value
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


def _whole(low: int, high: int) -> Callable[[Any], bool]:
    return lambda v: isinstance(v, int) and not isinstance(v, bool) and low <= v <= high


# What a [[sprites]] table may set, and what each value must be.
SPRITE_CHECKS: Dict[str, Tuple[Callable[[Any], bool], str]] = {
    "pivot": (lambda v: _number_pair(v) and valid_pivot(*v),
              f"expected [x, y], fractions of the sprite's source size from -{PIVOT_LIMIT:g} to {PIVOT_LIMIT:g}"),
    "nine_slice": (lambda v: isinstance(v, list) and len(v) == 4 and all(map(_whole(0, 2**31 - 1), v)),
                   "expected [left, top, right, bottom], whole numbers of pixels"),
    "trim": (lambda v: isinstance(v, bool), "expected true or false"),
    "extrude": (_whole(0, 1024), "expected a whole number from 0 to 1024"),
    "duration": (_whole(1, 65535), "expected milliseconds, a whole number from 1 to 65535"),
}
# What an [[animations]] table may set: how the engine plays it, where the format says.
ANIMATION_CHECKS: Dict[str, Tuple[Callable[[Any], bool], str]] = {
    "speed": (lambda v: isinstance(v, (int, float)) and not isinstance(v, bool) and 0 < v <= 1000,
              "expected frames a second, above 0 and at most 1000"),
    "loop": (lambda v: isinstance(v, bool), "expected true or false"),
}


def _rule(where: str, kind: str, number: int, table: Any, checks: Dict[str, Tuple[Callable[[Any], bool], str]],
          example: str) -> Rule:
    """A [[kind]] table of the project file, checked whole."""
    where = f"{where}: [[{kind}]] table {number}"
    if not isinstance(table, dict):
        raise AtlasError(f"{where}: expected a table")
    valid_keys = ("match", *checks)
    unknown = sorted(set(table) - set(valid_keys))
    if unknown:
        raise AtlasError(f"{where}: unknown key {toml_text(unknown[0])}; valid keys: {', '.join(valid_keys)}")
    match = table.get("match")
    if not isinstance(match, str) or not match:
        raise AtlasError(f"{where}: needs match = \"GLOB\", a pattern on {kind[:-1]} names such as {example}")
    settings = {}
    for key, value in table.items():
        if key == "match":
            continue
        valid, expected = checks[key]
        if not valid(value):
            raise AtlasError(f"{where} ({toml_text(match)}): {key} = {toml_text(value)}: {expected}")
        settings[key] = tuple(value) if isinstance(value, list) else value
    return Rule(where, match, settings)


def load_project(path: Path, pack: argparse.ArgumentParser) -> Project:
    """The project file at path, checked whole: every key known, every value
    valid, or AtlasError naming the file, the key and what would be valid."""
    # Imported here, where there is a project file: 3 ms of every start-up otherwise.
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        import tomli as tomllib  # type: ignore[no-redef]
    try:
        with path.open("rb") as stream:
            data = tomllib.load(stream)
    except OSError as error:
        raise AtlasError(f"{path}: cannot read the project file ({error.strerror})") from None
    except tomllib.TOMLDecodeError as error:
        raise AtlasError(f"{path}: not a valid TOML file ({error})") from None
    except RecursionError:
        raise AtlasError(f"{path}: not a valid project file (values nested too deeply)") from None
    project = project_of(data, pack, path, path.parent, str(path))
    tables = data.get("atlas", [])
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise AtlasError(f"{path}: atlas must be [[atlas]] tables")
    if tables and project.options.get("atlas_per_folder"):
        raise AtlasError(f"{path}: atlas-per-folder = true and [[atlas]] tables: each makes the atlases; keep one")
    seen: Dict[str, int] = {}
    for number, table in enumerate(tables, start=1):
        where = f"{path}: [[atlas]] table {number}"
        name = table.get("name")
        if not isinstance(name, str) or not ATLAS_NAME.fullmatch(name):
            raise AtlasError(f"{where}: needs name = \"NAME\" (letters, digits, _ . or -, a letter or digit first), "
                             f"got {toml_text(name) if name is not None else 'none'}")
        if name in seen:
            raise AtlasError(f"{where}: name = {toml_text(name)} is table {seen[name]}'s too; give each its own")
        seen[name] = number
        own = project_of({k: v for k, v in table.items() if k != "name"}, pack, path, path.parent,
                         f"{where} ({toml_text(name)})", nested=True)
        options = merged(project.options, own.options, pack)
        if "out" not in own.options and "out" in project.options:  # the top level's out holds one folder each
            options["out"] = project.options["out"] / name
        if "inputs" not in options:
            raise AtlasError(f"{where} ({toml_text(name)}): needs inputs = [\"FOLDER\", ...], relative to the file")
        if "out" not in options:
            raise AtlasError(f"{where} ({toml_text(name)}): needs out = \"FOLDER\" (or a top-level out, "
                             "which then holds a folder named after each atlas)")
        project.atlases.append(Project(path, options, project.rules + own.rules,
                                       project.animation_rules + own.animation_rules, name=name))
    return project


def project_of(data: Dict[str, Any], pack: argparse.ArgumentParser, path: Path, folder: Path, where: str,
               nested: bool = False, keywords: bool = False) -> Project:
    """The options and tables of a project file's top level (or of one of
    its [[atlas]] tables, `nested`) as parsed TOML, or of the keyword
    arguments of tessel_atlas.build (`keywords`, which messages spell with
    underscores): paths relative to `folder`, messages starting with
    `where`."""
    def shown(key: str) -> str:
        return key.replace("-", "_") if keywords else key

    actions = _actions(pack)
    if nested:  # an atlas's table makes one atlas
        actions.pop("atlas-per-folder", None)
    project = Project(path)
    for key, value in data.items():
        if key == "sprites":
            if not isinstance(value, list):
                raise AtlasError(f"{where}: sprites must be [[sprites]] tables")
            project.rules = [_rule(where, key, n, table, SPRITE_CHECKS, '"ui/*.png"')
                             for n, table in enumerate(value, start=1)]
        elif key == "animations":
            if not isinstance(value, list):
                raise AtlasError(f"{where}: animations must be [[animations]] tables")
            project.animation_rules = [_rule(where, key, n, table, ANIMATION_CHECKS, '"hero/walk"')
                                       for n, table in enumerate(value, start=1)]
        elif key == "inputs":
            if not isinstance(value, list) or not value or not all(_path(where, key, v, value) for v in value):
                raise AtlasError(f"{where}: inputs = {toml_text(value)}: expected a list of paths, relative to the file")
            project.options["inputs"] = [folder / v for v in value]
        elif key == "out":
            if not _path(where, key, value, value):
                raise AtlasError(f"{where}: out = {toml_text(value)}: expected a path, relative to the file")
            project.options["out"] = folder / value
        elif key == "atlas" and not nested:
            continue  # the caller's
        elif key in actions:
            project.options[actions[key].dest] = _option_value(where, shown(key), value, actions[key])
            if key == "template":  # a path, relative to the file as inputs and out are
                project.options["template"] = folder / project.options["template"]
        else:
            keys = {"sprites", "animations", *actions} - ({"atlas-per-folder"} if keywords else set())
            keys |= {"name", "inputs", "out"} if nested else set() if keywords else {"atlas", "inputs", "out"}
            valid = ", ".join(sorted(map(shown, keys)))
            raise AtlasError(f"{where}: unknown key {toml_text(shown(key))}; valid keys: {valid}")
    for group in exclusive_groups(pack):
        given = [key for key in data if key in actions and actions[key] in group
                 and project.options[actions[key].dest] != actions[key].default]
        if len(given) > 1:
            raise AtlasError(f"{where}: {' and '.join(f'{shown(k)} = {toml_text(data[k])}' for k in given)}: these options "
                             "exclude each other; keep one")
    return project


def merged(base: Dict[str, Any], over: Dict[str, Any], pack: argparse.ArgumentParser) -> Dict[str, Any]:
    """Options `over` laid on `base` (by argparse dest): each one given wins,
    over base's options too that exclude it (--full-size over --pot)."""
    excluded = {action.dest for group in exclusive_groups(pack) if any(a.dest in over for a in group)
                for action in group}
    return {**{dest: value for dest, value in base.items() if dest not in excluded}, **over}


def exclusive_groups(pack: argparse.ArgumentParser) -> List[List[argparse.Action]]:
    """The options of which one at most may be given (--pot, --full-size)."""
    return [group._group_actions for group in pack._mutually_exclusive_groups]


def rules_key(rules: Sequence[Rule]) -> str:
    """A key of what [[sprites]] tables give which sprites."""
    return hashlib.sha256(repr([(rule.match, sorted(rule.settings.items())) for rule in rules]).encode()).hexdigest()


def with_settings(sprites: Sequence[Sprite], rules: Sequence[Rule]) -> List[Sprite]:
    """The sprites, each with its settings: its own, then each matching
    rule's in order."""
    out = []
    for sprite in sprites:
        settings = {}
        for rule in rules:
            if fnmatch.fnmatchcase(sprite.name, rule.match):
                settings.update(rule.settings)
        out.append(replace(sprite, settings=replace(sprite.settings, **settings)) if settings else sprite)
    return out


def check_matches(kind: str, rules: Sequence[Rule], names: Sequence[str]) -> None:
    """Refuses the first [[kind]] table whose pattern matches none of the names."""
    for rule in rules:
        if not any(fnmatch.fnmatchcase(name, rule.match) for name in names):
            example = f" (names are paths inside the input folders, such as {names[0]!r})" if names else ""
            raise AtlasError(f"{rule.where}: match = {rule.match!r} matches no {kind[:-1]}{example}")


def playback(rules: Sequence[Tuple[str, Optional[float], Optional[bool]]],
             name: str) -> Tuple[Optional[float], Optional[bool]]:
    """How an animation plays: frames a second and whether it loops, as the
    last matching [[animations]] table that gives each says (None where
    none does)."""
    speed: Optional[float] = None
    loop: Optional[bool] = None
    for match, rule_speed, rule_loop in rules:
        if fnmatch.fnmatchcase(name, match):
            speed = float(rule_speed) if rule_speed is not None else speed
            loop = rule_loop if rule_loop is not None else loop
    return speed, loop
