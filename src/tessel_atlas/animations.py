"""Animations: sprites whose names end in a number, grouped by what comes
before it (`walk_01.png`, `walk_02.png`, ... make `walk`), in numeric
order; and the natural order of names, numbers compared as numbers."""

from __future__ import annotations

import re
from typing import Dict, Iterable, List, Sequence, Tuple, Union

# The stem's last run of digits, after the rest of the path; one separator
# before the number belongs to neither.
NUMBERED = re.compile(r"(?P<group>.*?)[-_. ]?(?P<number>\d+)(?:\.[^./]*)?$")
DIGITS = re.compile(r"(\d+)")


def natural_key(name: str) -> Tuple[Union[int, str], ...]:
    """Sorts walk_2 before walk_10: runs of digits compare as numbers."""
    return tuple(int(part) if part.isdigit() else part for part in DIGITS.split(name))


def play_order(frames: Sequence[str], direction: str, repeat: int = 0) -> List[str]:
    """The frames in the order they show: for an animation that plays for
    ever (repeat 0), one round (a ping-pong out and back, its ends not
    shown twice); for one that plays `repeat` times, every frame it shows."""
    one_pass = list(frames)[::-1] if direction in ("reverse", "pingpong_reverse") else list(frames)
    pingpong = direction.startswith("pingpong")
    if repeat == 0:
        return one_pass + (one_pass[-2:0:-1] if pingpong else [])
    order = list(one_pass)
    for _ in range(repeat - 1):
        if pingpong:  # back the way it came, from the frame before the last shown
            one_pass = one_pass[::-1]
            order += one_pass[1:]
        else:
            order += one_pass
    return order


def animations(names: Iterable[str]) -> Dict[str, List[str]]:
    """{group: frame names in numeric order} for every group of two frames
    or more, groups in natural order."""
    groups: Dict[str, List[Tuple[int, str]]] = {}
    for name in names:
        found = NUMBERED.fullmatch(name)
        if found and found["group"] and not found["group"].endswith("/"):
            groups.setdefault(found["group"], []).append((int(found["number"]), name))
    return {group: [name for _, name in sorted(frames, key=lambda f: (f[0], natural_key(f[1])))]
            for group, frames in sorted(groups.items(), key=lambda g: natural_key(g[0])) if len(frames) > 1}
