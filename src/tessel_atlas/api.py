"""tessel_atlas.build: the pack command for build pipelines, in-process.

The keyword arguments are the command's long options with underscores
(max_texture_size=1024, texture_format=["png", "bc7"], pot=True), their
values spelt as a project file spells them (variant=["1:@2x"],
pivot=[0.5, 1]), plus `sprites` and `animations`, lists of the project
file's tables as dicts. They go through the project file's checks, then
the command's, and through the same build: the files written are the
command's, byte for byte, and a failure raises AtlasError with the
message the command prints, naming the keyword where it names an option.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Sequence, Union

from . import interrupts
from .errors import AtlasError
from .model import Result

PathLike = Union[str, "os.PathLike[str]"]
# What the caller names: the keyword arguments stand for a project file.
WHERE = "tessel_atlas.build"


def _plain(value: Any) -> Any:
    """A value as TOML would give it: paths as text, tuples as lists."""
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def build(inputs: Union[PathLike, Sequence[PathLike]], out: PathLike, **options: Any) -> Result:
    """Builds one atlas of `inputs` (image files, folders, or CSV layouts)
    into the folder `out`, as `tessel-atlas pack` does, and returns what it
    made: its layers and frames as the manifests describe them, its
    warnings (not printed) and its summary line. Progress is printed only
    with quiet=False."""
    from . import cli
    from .builder import run_job
    from .jobs import plans, prepare
    from .progress import Progress
    from .project import project_of

    parser = cli._parser()
    pack = cli._pack_parser(parser)
    data = {key.replace("_", "-"): _plain(value) for key, value in options.items()}
    for key in ("atlas", "atlas_per_folder"):
        if key in options:
            raise AtlasError(f"{WHERE}: {key}: build makes one atlas; call it once for each")
    data["inputs"] = [_plain(inputs)] if isinstance(inputs, (str, os.PathLike)) else _plain(list(inputs))
    data["out"] = _plain(out)
    project = project_of(data, pack, Path(WHERE), Path(), WHERE, keywords=True)
    args = parser.parse_args(["pack", "--quiet"])
    plan, = plans(args, project, (), pack)
    job = prepare(plan)
    # As the command does: Ctrl-C (or SIGTERM, raised as interrupts.Terminated)
    # is held while the new atlas goes into place, and raised once it is
    # whole; the caller's handlers come back after (in the main thread only).
    with interrupts.installed():
        result = run_job(job.found, job.out, job.args, Progress(job.args.quiet))
        interrupts.release()
    return result
