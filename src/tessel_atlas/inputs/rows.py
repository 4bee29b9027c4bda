"""CSV layouts: rows of name,w,h, sprites with a size and no pixels."""

from __future__ import annotations

import csv
from pathlib import Path
from typing import Iterator

from ..errors import AtlasError
from ..sprites import Sprite


def sprites(path: Path) -> Iterator[Sprite]:
    try:
        with path.open(newline="", encoding="utf-8") as stream:
            rows = list(csv.reader(stream))
    except (OSError, UnicodeDecodeError) as error:
        raise AtlasError(f"{path}: cannot read ({error})") from error
    for number, row in enumerate(rows, start=1):
        if not row or (number == 1 and [cell.strip() for cell in row] == ["name", "w", "h"]):
            continue
        try:
            name, width, height = row[0].strip(), int(row[1]), int(row[2])
            if len(row) != 3 or not name or width <= 0 or height <= 0:
                raise ValueError
        except (ValueError, IndexError):
            raise AtlasError(
                f"{path}, line {number}: expected 'name,w,h' with positive whole numbers, got {row!r}"
            ) from None
        yield Sprite(name, f"{path}, line {number}", (width, height))


