"""The atlases a run builds, from the command line, a project file (its
top level or its [[atlas]] tables) or tessel_atlas.build's arguments:
each one's options merged and checked, and its sprites found, before any
work.

Which option wins, from lowest to highest: the defaults, the project
file's top level, an [[atlas]] table, the command line. Per-sprite
settings: a file's own (an animation's durations), then the top level's
[[sprites]] tables, then the atlas's own, the last matching table that
gives a setting winning.
"""

from __future__ import annotations

import argparse
import copy
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Collection, Dict, List, Optional, Sequence

from .animations import animations
from .builder import check_output_names, check_textures, format_options
from .cache import known_heads
from .errors import AtlasError
from .formats import check_names, resolutions
from .formats.template import load_template
from .inputs import collect_sprites, top_folders
from .output import check_variant_names
from .project import Project, Rule, check_matches, merged, rules_key, with_settings
from .sprites import Found, SpriteSettings


class UsageError(AtlasError):
    """Options that do not go together: the command line shows its usage with it."""


@dataclass
class Plan:
    """One atlas of a run, before its inputs are looked at: its name (""
    for a run's only atlas), options and the project tables it takes
    per-sprite settings and playing from. Those of its own (`own_rules`,
    `own_animation_rules`) must each match one of its sprites; those it
    shares with other atlases, one of theirs (check_shared_rules)."""

    name: str
    args: argparse.Namespace
    rules: List[Rule]
    animation_rules: List[Rule]
    own_rules: List[Rule]
    own_animation_rules: List[Rule]
    # The input an --atlas-per-folder atlas is a folder of, where a new
    # folder makes a new atlas.
    within: Optional[Path] = None

    @property
    def out(self) -> Path:
        return self.args.out


@dataclass
class Job:
    """One atlas, ready to build: its sprites (settings given), output folder and options."""

    name: str
    found: Found
    out: Path
    args: argparse.Namespace


def plans(args: argparse.Namespace, project: Project, given: Collection[str],
          pack: argparse.ArgumentParser) -> List[Plan]:
    """The atlases of a run: `args` as parsed (defaults filled in),
    `given` the options given in it, which win over the project's."""
    on_command_line = {dest: getattr(args, dest) for dest in given}
    if project.atlases and ({"inputs", "out"} & set(given)):
        raise UsageError(f"{project.path} has [[atlas]] tables, which each name their inputs and out: leave INPUT "
                         "and --out off the command line")
    found: List[Plan] = []
    for table in project.atlases or [project]:
        one = copy.copy(args)
        for dest, value in merged(table.options, on_command_line, pack).items():
            setattr(one, dest, value)
        shared = (0, 0) if table is project else (len(project.rules), len(project.animation_rules))
        plan = Plan(table.name, one, table.rules, table.animation_rules, table.rules[shared[0]:],
                    table.animation_rules[shared[1]:])
        found += _per_folder(plan) if one.atlas_per_folder else [plan]
    only = set(args.only or [])
    if only:
        names = [plan.name for plan in found]
        if names == [""]:
            raise UsageError("--only picks atlases by name: give it with a project file's [[atlas]] tables "
                             "(--config) or --atlas-per-folder")
        unknown = sorted(only - set(names))
        if unknown:
            raise UsageError(f"--only {unknown[0]}: no atlas of that name; the atlases are {', '.join(names)}")
        found = [plan for plan in found if plan.name in only]
    _check_apart(found)
    return found


def _needs_inputs_and_out(args: argparse.Namespace) -> None:
    if not args.inputs or args.out is None:
        raise UsageError(f"{args.command} needs INPUT and --out, on the command line or in the project file "
                         "(--config)")


def _per_folder(plan: Plan) -> List[Plan]:
    """An atlas of each folder directly inside the plan's inputs, named
    after it, written to a folder of that name in its out."""
    _needs_inputs_and_out(plan.args)
    plans: Dict[str, Plan] = {}
    for folder in plan.args.inputs:
        for sub in top_folders(folder, plan.args.exclude):
            if os.path.realpath(sub) == os.path.realpath(plan.args.out):
                continue  # the atlases' own folder, when it is inside the input
            if sub.name in plans:
                raise AtlasError(f"{sub} and {plans[sub.name].args.inputs[0]}: two folders named "
                                 f"{sub.name!r} would make two atlases of that name; rename one")
            one = copy.copy(plan.args)
            one.inputs, one.out = [sub], plan.args.out / sub.name
            plans[sub.name] = Plan(sub.name, one, plan.rules, plan.animation_rules, [], [], folder)
    if not plans:
        raise AtlasError(f"no folders in {', '.join(map(str, plan.args.inputs))}: --atlas-per-folder makes an atlas "
                         "of each folder inside its inputs")
    return list(plans.values())


def inside(path: str, folder: str) -> bool:
    """Whether the real path `path` is `folder` or lies inside it."""
    return os.path.commonpath([path, folder]) == folder


def _check_apart(plans: Sequence[Plan]) -> None:
    """Refuses atlases that would write one folder, or one inside another
    (moving an atlas into place would take the other's files), or into
    another's inputs (which it would read as sprites next time)."""
    if len(plans) < 2:
        return
    for plan in plans:
        _needs_inputs_and_out(plan.args)
    outs = {plan.name: os.path.realpath(plan.args.out) for plan in plans}
    for i, first in enumerate(plans):
        for second in plans[i + 1:]:
            a, b = outs[first.name], outs[second.name]
            if inside(a, b) or inside(b, a):
                how = "into the same folder" if a == b else "one inside the other's"
                inner = first if len(a) >= len(b) else second
                raise AtlasError(f"atlases {first.name} and {second.name} would write {how} ({inner.args.out}); "
                                 "give each an out of its own, apart")
    for plan in plans:
        for other in plans:
            for folder in other.args.inputs if other is not plan else ():
                if inside(outs[plan.name], os.path.realpath(folder)):
                    raise AtlasError(f"atlas {plan.name} would write {plan.args.out}, inside atlas {other.name}'s "
                                     f"input {folder}, which would then read it as sprites; move its out")


def default_settings(args: argparse.Namespace) -> SpriteSettings:
    """A sprite's settings where no [[sprites]] table gives any."""
    return SpriteSettings(pivot=args.pivot, trim=not args.no_trim, extrude=args.extrude)


def prepare(plan: Plan) -> Job:
    """The plan's options checked together and its sprites found, with
    their settings: AtlasError (UsageError for options that do not go
    together) naming what is wrong, before any work."""
    args = plan.args
    _needs_inputs_and_out(args)
    if args.pot and args.max_texture_size & (args.max_texture_size - 1):
        raise UsageError(f"--pot needs a power-of-two --max-texture-size (got {args.max_texture_size})")
    if (args.format == "template") != (args.template is not None):
        raise UsageError("--format template and --template FILE go together: give both, or neither")
    if args.css_prefix and args.format != "css":
        raise UsageError("--css-prefix is for --format css: give both, or leave out --css-prefix")
    if args.template is not None:
        load_template(args.template)  # its syntax, before any work
    check_variant_names(args.variant or [])
    resolutions(args.variant or [])
    check_textures(args)
    check_output_names(args)
    found = collect_sprites(args.inputs, exclude=args.exclude, skip=[args.out], settings=default_settings(args),
                            normal_suffix=args.normal_maps or "",
                            known_heads=None if args.no_cache else known_heads(args.out))
    check_names(found.sprites, args.format, format_options(args))
    found.sprites = with_settings(found.sprites, plan.rules)
    found.rules = rules_key(plan.rules)
    names = [s.name for s in found.sprites]
    check_matches("sprites", plan.own_rules, names)
    if plan.own_animation_rules:  # grouping 20,000 names takes a tenth of a second
        check_matches("animations", plan.own_animation_rules, list(animations(names)))
    args.playback = [(rule.match, rule.settings.get("speed"), rule.settings.get("loop"))
                     for rule in plan.animation_rules]
    return Job(plan.name, found, args.out, args)


def check_shared_rules(project: Project, jobs: Sequence[Job]) -> None:
    """Refuses a top-level [[sprites]] or [[animations]] table that the
    atlases of a run share and that matches none of their sprites."""
    names = [s.name for job in jobs for s in job.found.sprites]
    check_matches("sprites", project.rules, names)
    if project.animation_rules:
        check_matches("animations", project.animation_rules, list(animations(names)))
