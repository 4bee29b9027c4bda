"""Incremental rebuilds: what the last build found, kept in its output folder.

The cache, `.tessel-atlas-cache.json` beside the atlas, holds what reading
each sprite file found (its trim box, size and fingerprint) and, for each
layer image, a key of its content and the size and modification time the
file had when written. A rebuild trusts a sprite's reading while the file's
path, size, modification time (to the nanosecond) and inode are as they
were, unless it was modified in the two seconds before that build started
(a file changed again within its clock's resolution, or a coarse one, two
seconds on FAT, could show the same time), and keeps a layer image whose
content key is the same while the file is as it was written. Everything else is done again, and everything is
after a change of tessel-atlas's version, of any option or of the
project's per-sprite settings. A cache that cannot be read, or is not
ours, is ignored with a warning.
"""

from __future__ import annotations

import hashlib
import json
import os
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterable, Optional, Sequence

from . import __version__
from .images import Entry, Reading
from .layout import Layer
from .sprites import Sprite

CACHE_NAME = ".tessel-atlas-cache.json"
# Readings of files modified this close to the start of the build that took
# them are not trusted.
RACY_NS = 2_000_000_000


def _stat(path: str) -> Optional[list]:
    try:
        s = os.stat(path)
    except OSError:
        return None
    return [s.st_size, s.st_mtime_ns, s.st_ino]


def options_key(options: Dict[str, Any]) -> str:
    """What every cached result depends on beyond the files and each
    sprite's own settings (which each reading keeps with it)."""
    return hashlib.sha256(repr((__version__, sorted(options.items()))).encode()).hexdigest()


def layer_key(layer: Layer, what: Any) -> str:
    """A key of a layer image's content: its size, what is written and how
    (`what`), and each placement with its picture's fingerprint and name
    (a preview colours each block by it)."""
    placements = sorted((p.x, p.y, p.rotated, p.pixels.extrusion, p.pixels.width, p.pixels.height,
                         (p.pixels.fingerprint or b"").hex(), p.pixels.sprite.name) for p in layer.placements)
    return hashlib.sha256(repr((layer.width, layer.height, what, placements)).encode()).hexdigest()


class BuildCache:
    def __init__(self, key: str, sprites: Optional[dict] = None, layers: Optional[dict] = None,
                 trusted_before: int = 0):
        self.key = key
        self.started = time.time_ns()
        self.trusted_before = trusted_before  # readings of files modified before this, in ns
        # "scale|path" -> [stat, settings, box, size, fingerprint]
        self.sprites: Dict[str, list] = sprites or {}
        self.layers: Dict[str, list] = layers or {}  # file name -> [content key, stat]
        self.read_now: Dict[str, list] = {}  # this build's readings, what the next one gets

    @classmethod
    def load(cls, out_dir: Path, key: str) -> "BuildCache":
        path = out_dir / CACHE_NAME
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
            if data["app"] != "tessel-atlas" or not isinstance(data["sprites"], dict) or \
                    not isinstance(data["layers"], dict) or not isinstance(data["started"], int):
                raise ValueError("not a tessel-atlas cache")
        except FileNotFoundError:
            return cls(key)
        except (OSError, ValueError, KeyError, TypeError) as error:
            print(f"tessel-atlas: warning: {path}: ignoring a cache that cannot be read ({error}); "
                  "building from the sprites", file=sys.stderr)
            return cls(key)
        if data.get("key") != key:  # other options, settings or version: nothing carries over
            return cls(key)
        return cls(key, data["sprites"], data["layers"], int(data["started"]) - RACY_NS)

    def reading(self, scale: float, sprite: Sprite) -> Optional[Reading]:
        """What reading the sprite found last time, if its file is as it was."""
        cached = self.sprites.get(f"{scale:g}|{sprite.source}")
        try:
            stat = _stat(sprite.source)
            if cached is not None and cached[:2] == [stat, repr(sprite.settings)] and stat[1] < self.trusted_before:
                box, size, fingerprint = cached[2:]
                return tuple(box), tuple(size), bytes.fromhex(fingerprint)
        except (TypeError, ValueError):  # a damaged entry is not trusted
            pass
        return None

    def remember(self, scale: float, entries: Sequence[Entry]) -> None:
        for e in entries:
            if e.sprite.open is not None:
                self.read_now[f"{scale:g}|{e.sprite.source}"] = [
                    _stat(e.sprite.source), repr(e.sprite.settings), list(e.box), list(e.size),
                    (e.pixels.fingerprint or b"").hex()]

    def unchanged(self, out_dir: Path, name: str, key: str) -> bool:
        """Whether the file `name` already holds the content `key`."""
        cached = self.layers.get(name)
        return cached is not None and cached[0] == key and cached[1] == _stat(str(out_dir / name))

    def text(self, staging: Path, out_dir: Path, keys: Dict[str, str], kept: Iterable[str]) -> str:
        """The cache as written with this build's atlas: layer files just
        written are in `staging`, those kept as they were in `out_dir`."""
        kept = set(kept)
        layers = {name: [key, _stat(str((out_dir if name in kept else staging) / name))]
                  for name, key in keys.items()}
        return json.dumps({"app": "tessel-atlas", "version": __version__, "key": self.key, "started": self.started,
                           "sprites": self.read_now, "layers": layers}, separators=(",", ":")) + "\n"
