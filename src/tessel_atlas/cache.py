"""Incremental rebuilds: what the last build found, kept in its output folder.

The cache, `.tessel-atlas-cache.json` beside the atlas, holds what reading
each sprite file found (its trim box, size and fingerprint) and, for each
layer image, a key of its content and the size and modification time the
file had when written. A rebuild trusts a sprite's reading while the file's
path, size, modification time and change time (to the nanosecond) and inode
are as they were, unless it was modified or changed in the two seconds
before that build started (a file changed again within its clock's
resolution, or a coarse one, two seconds on FAT, could show the same
times). The change time is the one no tool can set back: an archive
unpacked over a sprite, or a rewrite of the same size, can restore the
modification time, and a freed inode is often handed straight back. A
layer image whose content key is the same is kept while the file is as it
was written. Everything else is done again, and everything is after a
change of tessel-atlas's version, of any option or of the project's
per-sprite settings. A cache that cannot be read, is not ours, or holds
anything but what a build writes is ignored with a warning; so is one
larger than its sprites could need, which would cost more to read than
reading them. A sprite that a trusted reading misdescribes is caught when
its layer is composed (images.Pixels.image), and the build is done again
without the cache.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterable, Optional, Sequence

from . import __version__
from .images import Entry, Reading
from .layout import Layer
from .output import CACHE_NAME, read_json
from .sprites import Sprite

# Readings of files modified this close to the start of the build that took
# them are not trusted.
RACY_NS = 2_000_000_000
# What a cache may take per sprite and variant, beyond twice its path
# (escaped in JSON): the entries a build writes take about 200 bytes.
ENTRY_BYTES = 1024
FINGERPRINT = re.compile(r"[0-9a-f]{64}")


def _sprite_stat(path: str) -> Optional[list]:
    try:
        s = os.stat(path)
    except OSError:
        return None
    return [s.st_size, s.st_mtime_ns, s.st_ctime_ns, s.st_ino]


def _file_stat(path: Path) -> Optional[list]:
    """A file of ours as written: moving it into place changes its change
    time, not these."""
    try:
        s = os.stat(path)
    except OSError:
        return None
    return [s.st_size, s.st_mtime_ns, s.st_ino]


def _whole_numbers(value: Any, count: int) -> bool:
    return isinstance(value, list) and len(value) == count and all(
        type(v) is int and 0 <= v < 2**63 for v in value)


def _valid_reading(entry: Any) -> bool:
    """A sprite's entry as a build writes it: its file's stat, settings, a
    box inside its size, its size and a fingerprint."""
    if not (isinstance(entry, list) and len(entry) == 5):
        return False
    stat, settings, box, size, fingerprint = entry
    return (_whole_numbers(stat, 4) and isinstance(settings, str) and _whole_numbers(box, 4)
            and _whole_numbers(size, 2) and box[0] < box[2] <= size[0] < 2**31 and box[1] < box[3] <= size[1] < 2**31
            and isinstance(fingerprint, str) and FINGERPRINT.fullmatch(fingerprint) is not None)


def _valid_layer(entry: Any) -> bool:
    return isinstance(entry, list) and len(entry) == 2 and isinstance(entry[0], str) and _whole_numbers(entry[1], 3)


def _check(data: Any) -> None:
    """Raises ValueError unless data is a cache as a build writes it."""
    if not (isinstance(data, dict) and data.get("app") == "tessel-atlas"):
        raise ValueError("not a tessel-atlas cache")
    sprites, layers = data.get("sprites"), data.get("layers")
    if not (isinstance(sprites, dict) and isinstance(layers, dict) and type(data.get("started")) is int
            and all(map(_valid_reading, sprites.values())) and all(map(_valid_layer, layers.values()))):
        raise ValueError("damaged: an entry is not as tessel-atlas writes it")


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
        self.trusted_before = trusted_before  # readings of files changed before this, in ns
        # "scale|path" -> [stat, settings, box, size, fingerprint]
        self.sprites: Dict[str, list] = sprites or {}
        self.layers: Dict[str, list] = layers or {}  # file name -> [content key, stat]
        self.read_now: Dict[str, list] = {}  # this build's readings, what the next one gets

    @classmethod
    def load(cls, out_dir: Path, key: str, readings: int, path_bytes: int) -> "BuildCache":
        """The cache in out_dir, for a build of `readings` sprite readings
        (sprites times variants) whose paths take `path_bytes` in all."""
        path = out_dir / CACHE_NAME
        try:
            data = read_json(path, ENTRY_BYTES * (readings + 64) + 2 * path_bytes)
            _check(data)
        except FileNotFoundError:
            return cls(key)
        except (OSError, ValueError) as error:
            print(f"tessel-atlas: warning: {path}: ignoring a cache that cannot be read ({error}); "
                  "building from the sprites", file=sys.stderr)
            return cls(key)
        if data.get("key") != key:  # other options, settings or version: nothing carries over
            return cls(key)
        return cls(key, data["sprites"], data["layers"], data["started"] - RACY_NS)

    def forget_readings(self) -> None:
        """Trusts no sprite's reading from now on: each is read again."""
        self.sprites, self.read_now = {}, {}

    @staticmethod
    def _key(scale: float, sprite: Sprite) -> str:
        return f"{scale!r}|{sprite.source}"  # the exact scale: 0.5 and 0.4999999 are two

    def reading(self, scale: float, sprite: Sprite) -> Optional[Reading]:
        """What reading the sprite found last time, if its file is as it was."""
        cached = self.sprites.get(self._key(scale, sprite))
        stat = _sprite_stat(sprite.source)
        if (cached is None or stat is None or cached[:2] != [stat, repr(sprite.settings)]
                or max(stat[1], stat[2]) >= self.trusted_before):
            return None
        box, size, fingerprint = cached[2:]
        return tuple(box), tuple(size), bytes.fromhex(fingerprint)

    def remember(self, scale: float, entries: Sequence[Entry]) -> None:
        for e in entries:
            stat = _sprite_stat(e.sprite.source) if e.sprite.open is not None else None
            if stat is not None:
                self.read_now[self._key(scale, e.sprite)] = [
                    stat, repr(e.sprite.settings), list(e.box), list(e.size), (e.pixels.fingerprint or b"").hex()]

    def unchanged(self, out_dir: Path, name: str, key: str) -> bool:
        """Whether the file `name` already holds the content `key`."""
        cached = self.layers.get(name)
        return cached is not None and cached[0] == key and cached[1] == _file_stat(out_dir / name)

    def text(self, staging: Path, out_dir: Path, keys: Dict[str, str], kept: Iterable[str]) -> str:
        """The cache as written with this build's atlas: layer files just
        written are in `staging`, those kept as they were in `out_dir`."""
        kept = set(kept)
        stats = {name: _file_stat((out_dir if name in kept else staging) / name) for name in keys}
        layers = {name: [key, stats[name]] for name, key in keys.items() if stats[name] is not None}
        return json.dumps({"app": "tessel-atlas", "version": __version__, "key": self.key, "started": self.started,
                           "sprites": self.read_now, "layers": layers}, separators=(",", ":")) + "\n"
