"""Animations: sprites whose names end in a number, grouped by what comes
before it (`walk_01.png`, `walk_02.png`, ... make `walk`), in numeric
order; and the natural order of names, numbers compared as numbers."""

from __future__ import annotations

import re
from typing import Dict, Iterable, List, Tuple, Union

# The stem's last run of digits, after the rest of the path; one separator
# before the number belongs to neither.
NUMBERED = re.compile(r"(?P<group>.*?)[-_. ]?(?P<number>\d+)(?:\.[^./]*)?$")
DIGITS = re.compile(r"(\d+)")


def natural_key(name: str) -> Tuple[Union[int, str], ...]:
    """Sorts walk_2 before walk_10: runs of digits compare as numbers."""
    return tuple(int(part) if part.isdigit() else part for part in DIGITS.split(name))


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
