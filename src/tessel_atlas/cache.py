"""Incremental rebuilds: what the last build found, kept in its output folder.

The cache, `.tessel-atlas-cache.jsonl` beside the atlas, holds what reading
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
change of tessel-atlas's version, of a block encoder's release, of any
option or of the project's per-sprite settings. A cache that cannot be
read, is not ours, or holds anything but what a build writes is ignored
with a warning, as is one whose lines of where sprites lie are not as
written (a key of them says): a place misstated would be drawn into
unseen. One larger than its sprites could need (a build of many more
sprites left it, or it is not ours) is ignored, since it would cost more
to read than reading them. A sprite that a trusted reading misdescribes
is caught when its layer is composed (images.Pixels.image), and the build
is done again without the cache.
"""

from __future__ import annotations

import hashlib
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Collection, Dict, Iterable, List, Optional, Sequence, Union

from . import __version__
from .block_checks import Quality
from .images import Entry, Reading
from .layout import Layer, Layouts, Placement
from .output import CACHE_NAME, Text, parse_json
from .sprites import RACY_NS, Sprite, SpriteSettings, newest

# What a cache may take per sprite and variant, beyond twice its path
# (escaped in JSON): the entries a build writes take about 200 bytes.
ENTRY_BYTES = 1024
# No reading is of a larger image: twice Pillow's default limit of pixels
# (which the readers refuse beyond), at the largest --variant scale, 16.
READABLE_AREA = 2 * 89_478_485 * 16**2
# The layout of the cache file; another is an earlier version's.
FORMAT = 4
# The most of the cache's first line read before a build takes its folder's
# lock (known_heads): a build's is a small part of this.
HEAD_BYTES = 1 << 24
DAMAGED = "damaged: an entry is not as tessel-atlas writes it"
# The parts of a build's snapshot (resaved.py) in the first line, which a
# run reads before the rest: what its scan saw of the folders.
SCAN = ("listed", "folders")


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
    """A sprite's reading as a build writes it, its file's stamp and its
    settings aside (the caller compares them with its own): a box inside
    its size, its size and a fingerprint. Written out for speed: a rebuild
    checks one a sprite."""
    if type(entry) is not list or len(entry) != 5 or type(entry[2]) is not list or type(entry[3]) is not list or \
            len(entry[2]) != 4 or len(entry[3]) != 2:
        return False
    (left, top, right, bottom), (width, height), fingerprint = entry[2:]
    return (type(left) is type(top) is type(right) is type(bottom) is type(width) is type(height) is int
            and 0 <= left < right <= width < 2**31 and 0 <= top < bottom <= height < 2**31
            and width * height <= READABLE_AREA
            and type(fingerprint) is str and len(fingerprint) == 64)


def _valid_file(entry: Any) -> bool:
    return isinstance(entry, list) and len(entry) == 2 and isinstance(entry[0], str) and _whole_numbers(entry[1], 3)


def _valid_layout(entry: Any) -> bool:
    return (isinstance(entry, list) and len(entry) == 3 and _whole_numbers(entry[:2], 2) and isinstance(entry[2], list)
            and all(type(v) is int for v in entry[2]))


def _valid_outcome(outcome: Any) -> bool:
    """What a build said of its atlas: the summary's numbers and warnings,
    and each block format's stored PSNR, [dB, worst frame's dB, its name]."""
    return (isinstance(outcome, dict) and set(outcome) == {"shared", "layers", "fill", "variants", "warnings", "quality"}
            and all(type(outcome[k]) is int for k in ("shared", "layers", "variants")) and type(outcome["fill"]) is str
            and type(outcome["warnings"]) is list and all(type(w) is str for w in outcome["warnings"])
            and type(outcome["quality"]) is dict and all(
                type(q) is list and len(q) == 3 and all(type(v) in (int, float) for v in q[:2]) and type(q[2]) is str
                for q in outcome["quality"].values()))


def _check_head(head: Any) -> None:
    """Raises ValueError unless head is the first line of a cache as a
    build writes it. A sprite's reading and a file's key are checked as
    they are used (a rebuild uses few of the many)."""
    if not (isinstance(head, dict) and head.get("app") == "tessel-atlas"):
        raise ValueError("not a tessel-atlas cache")
    if head.get("format") == FORMAT and (type(head.get("started")) is not int or not isinstance(head.get("files"), dict)):
        raise ValueError(DAMAGED)  # another format is an earlier version's: nothing of it is used


def _recent_key(saves: Union[bytes, memoryview], recent: Union[bytes, memoryview]) -> str:
    key = hashlib.sha256(saves)
    key.update(b"\n")
    key.update(recent)
    return key.hexdigest()


def _warn(path: Optional[Path], reason: object) -> None:
    print(f"tessel-atlas: warning: {path}: ignoring a cache that cannot be read ({reason}); building from the "
          "sprites", file=sys.stderr)


def known_heads(out_dir: Path) -> Dict[str, Any]:
    """What the last build's scan found of its PNG files' heads
    (inputs.png_heads), from the cache's first line: read before the
    folder is locked, which is safe, since the file is only ever replaced
    whole and what it says of a folder is used only while the folder's
    files are as it says. Nothing where there is no such cache."""
    try:
        with open(out_dir / CACHE_NAME, "rb") as stream:
            line = stream.readline(HEAD_BYTES)
        head = parse_json(line) if line.endswith(b"\n") else None
    except (OSError, ValueError):
        return {}
    heads = head.get("heads") if isinstance(head, dict) and head.get("app") == "tessel-atlas" and \
        head.get("format") == FORMAT else None
    return heads if isinstance(heads, dict) else {}


def inputs_key(sprites: Sequence[Sprite]) -> str:
    """A key of the sprites a build is made from: each one's name, file,
    stamp and settings, in order."""
    digest = hashlib.sha256()
    texts: Dict[SpriteSettings, str] = {}
    for s in sprites:
        settings = texts.get(s.settings) or texts.setdefault(s.settings, repr(s.settings))
        digest.update(f"{s.name}\0{s.source}\0{s.stamp}\0{settings}\n".encode("utf-8", "surrogateescape"))
    return digest.hexdigest()


def options_key(options: Dict[str, Any]) -> str:
    """What every cached result depends on beyond the files and each
    sprite's own settings (which each reading keeps with it)."""
    return hashlib.sha256(repr((__version__, sorted(options.items()))).encode()).hexdigest()


@dataclass(frozen=True)
class Composition:
    """A layer image's content: where each picture lies (`geometry`, a key
    of that and of how the image is written), and what each holds
    (`fingerprints`, in the order of `placements`); `key` is of both."""

    key: str
    geometry: str
    placements: List[Placement]
    fingerprints: List[str]


def composition(layer: Layer, what: Any) -> Composition:
    """The composition of a layer image: its size, what is written and how
    (`what`), and each placement with its picture's name (a preview colours
    each block by it) and fingerprint."""
    placements = sorted(layer.placements, key=lambda p: (p.x, p.y))  # no two lie at one place
    geometry = [(p.x, p.y, p.rotated, p.pixels.extrusion, p.pixels.width, p.pixels.height, p.pixels.sprite.name)
                for p in placements]
    fingerprints = [(p.pixels.fingerprint or b"").hex() for p in placements]
    geometry_key = hashlib.sha256(repr((layer.width, layer.height, what, geometry)).encode()).hexdigest()
    return _composed(geometry_key, placements, fingerprints)


def composition_key(geometry_key: str, fingerprints: Sequence[str]) -> str:
    return hashlib.sha256((geometry_key + "".join(fingerprints)).encode()).hexdigest()


def _composed(geometry_key: str, placements: List[Placement], fingerprints: List[str]) -> Composition:
    return Composition(composition_key(geometry_key, fingerprints), geometry_key, placements, fingerprints)


def recomposed(earlier: Composition, changed: Iterable[int]) -> Composition:
    """The composition again once the pictures of the placements at
    positions `changed` were read anew (a watch's saved sprites), in the
    same places: their fingerprints taken again, the geometry as it was."""
    fingerprints = list(earlier.fingerprints)
    for i in changed:
        fingerprints[i] = (earlier.placements[i].pixels.fingerprint or b"").hex()
    return _composed(earlier.geometry, earlier.placements, fingerprints)


def valid_composition(entry: Any) -> bool:
    return (type(entry) is list and len(entry) == 2 and type(entry[0]) is str and type(entry[1]) is list
            and all(type(f) is str for f in entry[1]))


def content_key(manifest: Union[dict, str]) -> str:
    """A key of a manifest's content, cheaper to find than its text."""
    text = manifest if isinstance(manifest, str) else json.dumps(manifest, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()


class BuildCache:
    """The cache file holds four lines of JSON: what a rebuild with nothing
    changed needs (its key and start, the files written, what the build was
    made from and said, what its scan saw of the folders); the sprites'
    readings, the layouts and the manifests' key; what the scan saw of the
    files and where each sprite lies (resaved.py); the layer images'
    compositions, with the readings taken by runs after saves since (the
    journal). The last three are parsed
    only when a build needs them, and a run after saves parses the last two
    only: it writes the others back as they were, the journal beside them."""

    def __init__(self, key: str, head: Optional[dict] = None, body: bytes = b"", path: Optional[Path] = None):
        head = head or {}
        self.key = key
        self.path = path
        self.started = time.time_ns()
        # Readings of files changed before this, in ns, are trusted.
        self.trusted_before = head["started"] - RACY_NS if head else 0
        self.files: Dict[str, list] = head.get("files", {})  # file name -> [content key, stat]
        # What the last build was made from and what it said (see as_left),
        # and this build's.
        self.inputs_before, self.outcome_before = head.get("inputs"), head.get("outcome")
        # Block file name -> [content key, its Quality's fields], the last build's and this one's.
        self.quality_before: Dict[str, list] = head.get("quality") if isinstance(head.get("quality"), dict) else {}
        self.quality: Dict[str, list] = {}
        # What the scans found of PNG files' heads (inputs.png_heads), the last build's and this one's.
        self.heads_before = head.get("heads")
        self.heads: Dict[str, list] = {}
        self.inputs: Optional[str] = None
        self.outcome: Optional[dict] = None
        self._body: Optional[bytes] = body or None
        self._recent = head.get("recent")  # a key of the body's last two lines, as written
        self.scan_before = head.get("scan")
        self._saves_line: Optional[memoryview] = None
        self.warn = True
        # The body's first two lines as read, until the readings are parsed
        # (a run after saves writes them back as they were).
        self._raw: Optional[List[memoryview]] = None
        self._parsed_all = not body
        # "scale|path" -> [stamp, settings, box, size, fingerprint]
        self._sprites: Dict[str, list] = {}
        # Readings taken by runs after saves since the last full build,
        # which the file keeps apart (resaved.py): the last build's as
        # read, and this run's (written only where not None).
        self._journal: Dict[str, Any] = {}
        self.journal: Optional[Dict[str, list]] = None
        self._layouts: Layouts = {}
        # Layer image name -> [geometry key, fingerprints] (see Composition)
        self._compositions: Dict[str, list] = {}
        # [key of the manifests (formats.manifests_key), their names]
        self._manifests: list = []
        # What the scan saw and where each sprite lies (resaved.py), the
        # last build's as read (checked where it is used) and this one's.
        self._saves: Any = None
        self.saves: Optional[dict] = None
        # This build's readings, placements and compositions: what the next one gets.
        self.read_now: Dict[str, list] = {}
        self.placed: Layouts = {}
        self.composed: Dict[str, list] = {}
        self.manifested: list = []
        self._settings_text: Dict[SpriteSettings, str] = {}  # repr is slow, and most sprites share settings
        self._last_settings: Optional[SpriteSettings] = None
        self._last_text = ""
        # The files this build's cache states, once text() has made it.
        self.written: Dict[str, list] = {}
        # Whether a reading was taken again only for its file's change near
        # the last build's start: this build's start trusts it next time.
        self.read_as_racy = False

    @classmethod
    def load(cls, out_dir: Path, key: str, readings: int, path_bytes: int) -> "BuildCache":
        """The cache in out_dir, for a build of `readings` sprite readings
        (sprites times variants) whose paths take `path_bytes` in all: a
        larger file would cost more to read than reading the sprites."""
        return cls.load_within(out_dir, key, ENTRY_BYTES * (readings + 64) + 2 * path_bytes)

    @classmethod
    def load_within(cls, out_dir: Path, key: str, limit: int, warn: bool = True) -> "BuildCache":
        """The cache in out_dir, unless it is larger than `limit` bytes;
        without `warn`, one that cannot be read or is damaged is ignored
        without a word (for a caller that builds from the file again)."""
        path = out_dir / CACHE_NAME
        try:
            with open(path, "rb") as stream:
                if os.fstat(stream.fileno()).st_size > limit:  # a larger build's, or not ours: start afresh
                    return cls(key)
                head = parse_json(stream.readline())
                _check_head(head)
                body = stream.read()
        except FileNotFoundError:
            return cls(key)
        except (OSError, ValueError) as error:
            if warn:
                _warn(path, error)
            return cls(key)
        # Other options, settings, version or layout: nothing carries over.
        if head.get("format") != FORMAT or head.get("key") != key:
            return cls(key)
        cache = cls(key, head, body, path)
        cache.warn = warn
        return cache

    def _parsed(self, readings: bool = True) -> None:
        """The file's body, once it is needed. Its lines: the readings,
        layouts and manifests; what the scan saw and where sprites lie
        (resaved.py); the layer images' compositions and the journal. A run
        after saves parses the last two only (`readings` False)."""
        try:
            if self._body is not None:
                # Three lines, in views of what was read: a run after saves writes the first two back as
                # they were, and copies of 10 MB cost it more than parsing what it needs.
                body, self._body = self._body, None
                first = body.find(b"\n")
                second = body.find(b"\n", first + 1)
                third = body.find(b"\n", second + 1)
                if min(first, second, third) < 0 or third != len(body) - 1:
                    raise ValueError(DAMAGED)
                view = memoryview(body)
                lines = [view[:first], view[first + 1:second], view[second + 1:third]]
                # A place of a sprite misstated would draw it there unseen: those lines must be as written.
                if _recent_key(*lines[1:3]) != self._recent:
                    raise ValueError(DAMAGED)
                recent = parse_json(bytes(lines[2]))
                if not (isinstance(recent, dict) and isinstance(recent.get("compositions"), dict)
                        and isinstance(recent.get("journal"), dict)
                        and all(map(valid_composition, recent["compositions"].values()))):
                    raise ValueError(DAMAGED)
                self._saves_line, self._raw = lines[1], lines[:2]
                self._compositions, self._journal = recent["compositions"], recent["journal"]
            if readings and self._raw is not None:
                data, self._raw = parse_json(bytes(self._raw[0])), None
                if not (isinstance(data, dict) and isinstance(data.get("sprites"), dict)
                        and isinstance(data.get("layouts"), dict) and isinstance(data.get("manifests"), list)
                        and all(map(_valid_layout, data["layouts"].values()))):
                    raise ValueError(DAMAGED)
                self._sprites, self._layouts, self._manifests = data["sprites"], data["layouts"], data["manifests"]
                self._sprites.update(self._journal)
                self._parsed_all = True
        except ValueError:
            self._damaged()

    @property
    def sprites(self) -> Dict[str, list]:
        self._parsed()
        return self._sprites

    @property
    def layouts(self) -> Layouts:
        self._parsed()
        return self._layouts

    @property
    def compositions(self) -> Dict[str, list]:
        self._parsed(readings=False)
        return self._compositions

    @property
    def saves_before(self) -> Any:
        """The last build's snapshot as read (checked where it is used),
        its scan's part from the first line."""
        self._parsed(readings=False)
        if self._saves_line is not None:
            line, self._saves_line = self._saves_line, None
            try:
                rest = parse_json(bytes(line))
            except ValueError:
                self._damaged()
                return None
            if isinstance(rest, dict) and isinstance(self.scan_before, dict):
                self._saves = {**self.scan_before, **rest}
        return self._saves

    @property
    def journal_before(self) -> Dict[str, Any]:
        self._parsed(readings=False)
        return self._journal

    def _damaged(self) -> None:
        """An entry is not as a build writes it: nothing more is trusted."""
        if self.warn:
            _warn(self.path, DAMAGED)
        self._body, self._raw, self._sprites, self.files, self._layouts = None, None, {}, {}, {}
        self._compositions, self._manifests, self.read_now, self._saves, self._journal = {}, [], {}, None, {}
        self._saves_line = None
        self._parsed_all = True

    def as_left(self, out_dir: Path, sprites: Sequence[Sprite], inputs: str, recorded: Collection[str]) -> bool:
        """Whether the atlas in out_dir is what a build of these sprites
        would write: they are the last build's (by `inputs`, a key of them
        and their settings), every file is one the cache trusts, and every
        file of the atlas (`recorded`, as the record lists them) is as that
        build wrote it. Then a build would read nothing, place as before
        and write the same bytes, which the rebuild tests hold it to."""
        if self.inputs_before != inputs or self.heads != self.heads_before:  # else the scan's look would be taken again
            return False
        for sprite in sprites:
            if sprite.stamp is None or newest(sprite.stamp) >= self.trusted_before:
                return False
        return self.as_written(out_dir, recorded)

    def as_written(self, out_dir: Path, recorded: Collection[str]) -> bool:
        """Whether every file of the atlas in out_dir (`recorded`, as the
        record lists them) is one the cache states, as the last build wrote
        it, and the build's outcome is as a build writes it."""
        return _valid_outcome(self.outcome_before) and set(recorded) == set(self.files) and all(
            _valid_file(entry) and entry[1] == _file_stat(out_dir / name) for name, entry in self.files.items())

    def carried(self, out_dir: Path) -> "BuildCache":
        """The cache the next build would load from the file this one
        wrote (text()), without reading it: a watch's. It keeps this
        build's start, when every reading it holds was taken or trusted."""
        head = {"started": self.started, "files": self.written, "inputs": self.inputs, "outcome": self.outcome,
                "quality": self.quality, "heads": self.heads}
        following = BuildCache(self.key, head, path=out_dir / CACHE_NAME)
        following.heads = self.heads
        following.started = self.started
        following._sprites, following._layouts = self.read_now, self.placed
        following._compositions, following._manifests = self.composed, self.manifested
        following.read_now, following.placed = dict(self.read_now), self.placed
        following.composed, following.manifested = dict(self.composed), self.manifested
        return following

    def forget_readings(self) -> None:
        """Trusts no sprite's reading from now on: each is read again."""
        self._parsed()
        self._sprites, self.read_now = {}, {}

    def settings_text(self, settings: SpriteSettings) -> str:
        if settings is self._last_settings:  # most sprites share one: spared hashing it
            return self._last_text
        text = self._settings_text.get(settings)
        if text is None:
            text = self._settings_text[settings] = repr(settings)
        self._last_settings, self._last_text = settings, text
        return text

    @staticmethod
    def _key(scale: float, sprite: Sprite) -> str:
        return f"{scale!r}|{sprite.source}"  # the exact scale: 0.5 and 0.4999999 are two

    def reading(self, scale: float, sprite: Sprite) -> Optional[Reading]:
        """What reading the sprite found last time, if its file is as the
        scan found it now. A sprite with a normal map is read every time:
        its reading is of both files."""
        if sprite.normal is not None:
            return None
        key = self._key(scale, sprite)
        cached = (self._sprites if self._parsed_all else self.sprites).get(key)  # parsed once, looked up often
        stamp = sprite.stamp
        if type(cached) is not list or len(cached) != 5 or stamp is None or cached[0] != list(stamp) or \
                cached[1] != self.settings_text(sprite.settings):
            return None
        if newest(stamp) >= self.trusted_before:
            self.read_as_racy = True
            return None
        try:
            if not _valid_reading(cached):
                raise ValueError(DAMAGED)
            fingerprint = bytes.fromhex(cached[4])
        except ValueError:
            self._damaged()
            return None
        self.read_now[key] = cached
        return tuple(cached[2]), tuple(cached[3]), fingerprint

    def remember(self, scale: float, entries: Sequence[Entry], anew: bool = False) -> None:
        """Keeps each sprite's reading with its file as the scan found it: a
        file changed since then differs from that next time, and is read
        again. With `anew`, the entries were read again since (a watch's
        saved sprites)."""
        for e in entries:
            key = self._key(scale, e.sprite)
            # Not a known reading, taken as it was (unless read anew).
            if e.sprite.stamp is not None and (anew or key not in self.read_now):
                self.read_now[key] = [
                    list(e.sprite.stamp), self.settings_text(e.sprite.settings), list(e.box), list(e.size),
                    (e.pixels.fingerprint or b"").hex()]

    def unchanged(self, out_dir: Path, name: str, key: str) -> bool:
        """Whether the file `name` already holds the content `key`."""
        cached = self.files.get(name)
        if cached is not None and not _valid_file(cached):
            self._damaged()
            return False
        return cached is not None and cached[0] == key and cached[1] == _file_stat(out_dir / name)

    def changed_placements(self, out_dir: Path, name: str, layer: Composition) -> Optional[List[Placement]]:
        """The placements whose pictures changed since the last build wrote
        the layer image `name`, when the file is as written and every
        picture lies where it lay: composing those again onto the file's
        pixels gives the layer (images.compose). None otherwise, or when
        so many changed that composing them all costs no more."""
        self._parsed()
        earlier, written = self._compositions.get(name), self.files.get(name)
        if earlier is None or written is None:
            return None
        if not (valid_composition(earlier) and _valid_file(written)):
            self._damaged()
            return None
        if earlier[0] != layer.geometry or len(earlier[1]) != len(layer.fingerprints) or \
                written[1] != _file_stat(out_dir / name):
            return None
        changed = [p for p, now, before in zip(layer.placements, layer.fingerprints, earlier[1]) if now != before]
        return changed if len(changed) <= len(layer.placements) // 2 else None

    def kept_quality(self, name: str, key: str) -> Optional[Quality]:
        """The Quality the last build measured of block file `name`, when it
        wrote it with content key `key`."""
        entry = self.quality_before.get(name)
        try:
            if entry[0] == key:
                found = Quality(float(entry[1]), int(entry[2]), [(str(n), float(db)) for n, db in entry[3]])
                return found if found.samples >= 0 and found.squared_error >= 0 else None
        except (TypeError, ValueError, IndexError, KeyError):
            pass  # not as a build writes it: not known
        return None

    def kept_manifests(self, out_dir: Path, key: str) -> Optional[List[str]]:
        """The manifest files, when the last build wrote them for the same
        key (formats.manifests_key) and they are as it wrote them."""
        self._parsed()
        earlier = self._manifests
        if not earlier:
            return None
        if not (type(earlier) is list and len(earlier) == 2 and type(earlier[1]) is list
                and all(type(name) is str and _valid_file(self.files.get(name)) for name in earlier[1])):
            self._damaged()
            return None
        if earlier[0] != key or any(self.files[name][1] != _file_stat(out_dir / name) for name in earlier[1]):
            return None
        return earlier[1]

    def text(self, staging: Path, out_dir: Path, keys: Dict[str, str], kept: Iterable[str]) -> Optional[Text]:
        """The cache as written with this build's atlas: files just written
        are in `staging`, those kept as they were in `out_dir`. None when
        it would say what the one there says, its start time aside; but
        where a reading was taken again only because its file changed near
        the last build's start, this build's start is written all the same:
        it trusts that file from the next build on, and the old one never
        would."""
        kept = set(kept)
        stats = {name: _file_stat((out_dir if name in kept else staging) / name) for name in keys}
        files = self.written = {name: [key, stats[name]] for name, key in keys.items() if stats[name] is not None}
        head = {"app": "tessel-atlas", "format": FORMAT, "version": __version__, "key": self.key,
                "started": self.started, "files": files, "inputs": self.inputs, "outcome": self.outcome,
                "quality": self.quality, "heads": self.heads}
        if self.journal is None and self.path is not None and not self.read_as_racy and (
                files, self.inputs, self.outcome, self.quality, self.heads) == (
                self.files, self.inputs_before, self.outcome_before, self.quality_before, self.heads_before) and (
                self.read_now, self.placed, self.manifested, self.composed) == (
                self.sprites, self.layouts, self._manifests, self._compositions) and self.saves == self.saves_before:
            return None

        def dump(value: Any) -> bytes:  # ASCII: JSON escapes the rest
            return json.dumps(value, separators=(",", ":")).encode()

        readings: Union[bytes, memoryview]
        saves: Union[bytes, memoryview]
        if self.journal is not None:  # a run after saves: the readings and the snapshot as they were
            assert self._raw is not None
            readings, saves = self._raw
        else:
            readings = dump({"sprites": self.read_now, "layouts": self.placed, "manifests": self.manifested})
            saves = dump({k: v for k, v in self.saves.items() if k not in SCAN} if self.saves is not None else None)
        head["scan"] = {k: self.saves[k] for k in SCAN} if self.saves is not None else None
        recent = dump({"compositions": self.composed, "journal": self.journal or {}})
        head["recent"] = _recent_key(saves, recent)
        return [dump(head), b"\n", readings, b"\n", saves, b"\n", recent, b"\n"]
