"""A watched atlas: what its last build made, kept between builds, so that
saves the watch hears of are applied without finding the sprites or
reading the unchanged ones again (builder.rebuild_saved). Anything else,
or a save that moves or shares a picture, is built as the command builds
it, from the cache on disk."""

from __future__ import annotations

import os
from typing import Callable, Collection, Dict, List, Optional

from .builder import Built, build_kept, rebuild_saved
from .inputs import found_again
from .jobs import Plan, prepare
from .model import Result
from .progress import Progress
from .sprites import Found, Sprite


class Session:
    """One atlas of a watch, and its last build (None until one succeeds,
    and after one fails: the next starts afresh)."""

    def __init__(self) -> None:
        self.built: Optional[Built] = None
        # The real path of each still sprite's file (and normal map's) -> the sprite, and back.
        self._source_of: Dict[str, Sprite] = {}
        self._paths_of: Dict[str, List[str]] = {}

    def build(self, plan: Plan, changed: Optional[Collection[str]], report: Callable[[Result], None]) -> None:
        """Builds the atlas of `plan` once the files `changed` (real paths)
        have changed, or anything has (None), and reports the Result once
        it is in place. Raises AtlasError as the command does."""
        built, self.built = self.built, None
        saved = self._saved(built, changed) if built is not None and changed is not None else None
        quiet = Progress(quiet=True)
        if built is not None and saved:
            if rebuild_saved(built, saved, quiet, report):
                self.built = built
                return
        if built is not None and saved is not None:  # found as before but for the saves: no need to look again
            sprite_of = {s.source: s for s in saved}
            found = Found([sprite_of.get(s.source, s) for s in built.found.sprites], built.found.skipped_files,
                          built.found.timings, built.found.png_heads)
            args = built.args
        else:
            job = prepare(plan)
            found, args = job.found, job.args
        self.built = build_kept(found, args.out, args, quiet)
        self._source_of, self._paths_of = {}, {}
        assert self.built.result is not None
        report(self.built.result)

    def _saved(self, built: Built, changed: Collection[str]) -> Optional[List[Sprite]]:
        """The sprites whose files (or normal maps) changed, found again,
        where each is a still image's that is still one (a file of several
        sprites, or a file made, deleted or renamed, is not); else None."""
        if not self._source_of:
            folders: Dict[str, str] = {}
            counted: Dict[str, int] = {}
            for sprite in built.found.sprites:
                if sprite.open is None:  # a layout's row
                    continue
                for source in [sprite.source] + ([sprite.normal.source] if sprite.normal is not None else []):
                    folder, name = os.path.split(source)
                    real = os.path.join(folders.get(folder) or folders.setdefault(folder, os.path.realpath(folder)),
                                        name)
                    counted[real] = counted.get(real, 0) + 1
                    self._source_of[real] = sprite
                    self._paths_of.setdefault(sprite.source, []).append(real)
            for real, count in counted.items():
                if count > 1:  # frames or layers of one file
                    del self._source_of[real]
        saved: Dict[str, Sprite] = {}
        for path in changed:
            sprite = self._source_of.get(path)
            again = found_again(sprite) if sprite is not None else None
            if sprite is None or again is None:
                return None
            if again.stamp != sprite.stamp:
                saved[sprite.source] = again
        for sprite in saved.values():  # the files' paths, now for the sprites found again
            self._source_of.update((path, sprite) for path in self._paths_of[sprite.source])
        return list(saved.values())
