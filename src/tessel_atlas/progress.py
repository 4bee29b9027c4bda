"""Progress of the phases that take time: a bar on a terminal, one plain
line per phase elsewhere (logs, CI), nothing when quiet.

tqdm draws the bars: one small pure-Python package, and its `delay` keeps a
phase that ends within a second from ever showing a bar.
"""

from __future__ import annotations

import sys
import time
from contextlib import contextmanager
from typing import Callable, Iterator, Optional, TextIO


def say(line: str, stream: Optional[TextIO] = None) -> None:
    """Writes a line to `stream` (standard error) in one piece. Standard
    error passes each write straight on, and print writes a line and its
    end apart: a line of another process building an atlas at once could
    come between them."""
    stream = stream or sys.stderr
    stream.write(line + "\n")
    stream.flush()


class Progress:
    def __init__(self, quiet: bool = False, stream: Optional[TextIO] = None, bars: bool = True, name: str = ""):
        self.quiet = quiet
        self.stream = stream or sys.stderr
        self.bars = bars  # on a terminal; else lines, as where processes share one
        self.name = f"{name}: " if name else ""  # the atlas's, where a run builds several

    @contextmanager
    def phase(self, verb: str, total: int, unit: str) -> Iterator[Callable[[int], None]]:
        """Yields a function that advances the phase by a count of units."""
        start = time.perf_counter()
        if self.quiet:
            yield lambda n: None
        elif self.bars and self.stream.isatty():
            from tqdm import tqdm

            with tqdm(total=total, desc=verb, unit=f" {unit}", delay=1.0, leave=False, file=self.stream) as bar:
                yield bar.update
        else:
            yield lambda n: None
            units = unit if total == 1 else f"{unit}s"
            say(f"tessel-atlas: {self.name}{verb} {total} {units} in {time.perf_counter() - start:.2f} s", self.stream)
