"""The tessel-atlas command: sprite folders in, texture atlases and manifests out.

Ctrl-C can come at any moment, start-up included, and must end the command
with one line. So this module imports next to nothing before main() takes
over the signals; the rest, NumPy and the engine above all, is imported
inside it.
"""

from __future__ import annotations

import gc
import math
import os
import sys
import warnings

from . import __version__, interrupts
from .errors import AtlasError
from .interrupts import Terminated
from .progress import say

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Dict, List, Optional, Set


def _png_level(text: str):
    """--png-level: png.RUNS (spelt here, where png, and NumPy, are not
    imported yet), or a zlib level."""
    import argparse

    if text == "rle":
        return text
    try:
        return _whole(0, 9)(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"expected rle or a level from 0 to 9, got {text!r}") from None


def _whole(low: int, high: int):
    import argparse

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, got {value}")
        return value

    return parse


def _pivot(text: str):
    import argparse

    from .sprites import PIVOT_LIMIT, valid_pivot

    try:
        x, y = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected X,Y (two numbers), got {text!r}") from None
    if not valid_pivot(x, y):
        raise argparse.ArgumentTypeError(f"expected numbers from -{PIVOT_LIMIT:g} to {PIVOT_LIMIT:g}, got {text!r}")
    return x, y


def _css_prefix(text: str):
    import argparse
    import re

    if not re.fullmatch(r"(-?[A-Za-z_][A-Za-z0-9_-]*)?", text):
        raise argparse.ArgumentTypeError(f"expected the start of a CSS class name (a letter or _ first, then "
                                          f"letters, digits, _ or -), got {text!r}")
    return text


def _normal_suffix(text: str):
    import argparse
    import re

    if not re.fullmatch(r"[A-Za-z0-9_.@-]+", text) or text.startswith("."):
        raise argparse.ArgumentTypeError(f"expected the end of a file name before its extension (letters, digits "
                                         f"or _ - @ ., not . first), such as _n, got {text!r}")
    return text


def _pack_parser(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    import argparse

    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return commands.choices["pack"]


def _variant(text: str):
    import argparse

    from .output import SUFFIX

    scale, _, suffix = text.partition(":")
    try:
        value = float(scale)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and 0 < value <= 16) or not _ or not SUFFIX.fullmatch(suffix):
        raise argparse.ArgumentTypeError(
            f"expected SCALE:SUFFIX, a scale above 0 and at most 16 and a suffix that starts with one of "
            f"@ . _ - (or nothing), got {text!r}")
    return value, suffix


def _add_pack_arguments(pack: argparse.ArgumentParser) -> None:
    from pathlib import Path

    from .blocks import EFFORTS, TEXTURE_FORMATS
    from .formats import FORMATS
    from .layout import MAX_SIDE
    from .mipmaps import KEPT_APART

    pack.add_argument(
        "inputs", nargs="*", type=Path, metavar="INPUT",
        help="image file, folder searched recursively for images, or CSV file of name,w,h rows (alone); "
             "at least one, here or in the project file",
    )
    pack.add_argument("--out", type=Path, help="folder for the atlases and manifests (here or in the project file)")
    pack.add_argument("--config", type=Path, metavar="FILE",
                      help="project file (TOML): these options without their dashes, inputs, out, "
                           "[[sprites]] tables of per-sprite settings, and [[atlas]] tables, one per atlas "
                           "(name, inputs, out and options), to build several; options given here win")
    pack.add_argument(
        "--max-texture-size", type=_whole(0, MAX_SIDE), default=2048, metavar="N",
        help="largest side of each square texture; each layer is cropped to what it uses unless --pot or "
             "--full-size; 0 packs everything into one bin as small as found (default 2048)",
    )
    sizes = pack.add_mutually_exclusive_group()
    sizes.add_argument("--pot", action="store_true", help="round each layer's sides up to powers of two")
    sizes.add_argument("--full-size", action="store_true", help="make every layer the full texture size")
    pack.add_argument("--format", choices=sorted(FORMATS), default="json-hash",
                      help="manifest format (default json-hash); phaser3 and aseprite never rotate")
    pack.add_argument("--template", type=Path, metavar="FILE",
                      help="with --format template: a Jinja2 template of the manifest; its file name (less .j2) "
                           "names the files it makes, one a layer if the name holds {index}")
    pack.add_argument("--css-prefix", type=_css_prefix, default="", metavar="PREFIX",
                      help="with --format css: the start of every class name (default none)")
    pack.add_argument("--no-rotation", action="store_true", help="never store a sprite turned a quarter turn")
    pack.add_argument("--no-trim", action="store_true", help="keep fully transparent borders")
    pack.add_argument("--trim-threshold", type=_whole(0, 254), default=0, metavar="A",
                      help="pixels with alpha at most A count as transparent when trimming; those outside "
                           "the frame are dropped (default 0)")
    pack.add_argument("--trim-margin", type=_whole(0, 1024), default=0, metavar="N",
                      help="keep up to N transparent pixels around each trimmed sprite (default 0)")
    pack.add_argument("--no-alias", action="store_true", help="pack identical sprites once each, not shared")
    pack.add_argument("--padding", type=_whole(0, 1024), metavar="P",
                      help="P pixels of empty border around each sprite: the same as --shape-padding 2P "
                           "--border-padding P (default 0)")
    pack.add_argument("--shape-padding", type=_whole(0, 2048), metavar="P",
                      help="empty pixels between sprites (default 0, or twice --padding)")
    pack.add_argument("--border-padding", type=_whole(0, 1024), metavar="P",
                      help="empty pixels between sprites and the texture's edges (default 0, or --padding)")
    pack.add_argument("--variant", action="append", type=_variant, metavar="SCALE:SUFFIX",
                      help="also write the atlas with the sprites scaled by SCALE, its files named with SUFFIX "
                           "(atlas_0@2x.png); repeatable: --variant 1:@2x --variant 0.5: gives full-size @2x "
                           "files and half-size plain ones, the same frames in the same layers")
    pack.add_argument("--pivot", type=_pivot, metavar="X,Y",
                      help="every sprite's pivot (anchor), in fractions of its source size: 0.5,1 is the "
                           "middle of its bottom edge; written only where set")
    pack.add_argument("--extrude", type=_whole(0, 1024), default=0, metavar="N",
                      help="repeat each sprite's edge pixels N pixels outward, inside the padding (default 0)")
    pack.add_argument("--texture-format", action="append", choices=TEXTURE_FORMATS, metavar="FORMAT",
                      help="write each layer as PNG (default), lossless WebP, or GPU-compressed blocks in KTX "
                           "files: bc7, bc3, etc2, astc (4x4); repeatable, each layer then written once per "
                           "format, the manifests naming the first PNG or WebP (PNG if neither is given) and "
                           "each block format's files getting manifests of their own (atlas_0.bc7.json); "
                           "previews are PNG")
    pack.add_argument("--block-effort", choices=EFFORTS, default="medium",
                      help="how long the block formats' encoders search for the best blocks: fast, medium "
                           "(default) or best")
    aligning = pack.add_mutually_exclusive_group()
    aligning.add_argument("--block-align", action="store_true", default=None,
                          help="start every sprite on a multiple of 4 pixels and round its padding up, so that no "
                               "4 x 4 block holds two sprites (the default with a block --texture-format; for "
                               "engines that compress layers themselves, give it)")
    aligning.add_argument("--no-block-align", dest="block_align", action="store_false",
                          help="pack sprites as tightly with block formats as without")
    pack.add_argument("--mipmaps", nargs="?", const=0, type=_whole(2, 12), metavar="N",
                      help="write every mipmap level, down to 1 x 1, in block files, and keep sprites apart in "
                           f"the first N levels (default {KEPT_APART}: down to 1/{1 << (KEPT_APART - 1)} of their "
                           "size), aligned and bled, in power-of-two layers, so that no sprite drawn that small "
                           "shows its neighbours; PNG and WebP layers get the same layout, for engines that make "
                           "their levels on upload")
    pack.add_argument("--normal-maps", nargs="?", const="_n", type=_normal_suffix, metavar="SUFFIX",
                      help="pack each sprite's normal map, the image beside it named with SUFFIX (hero_n.png beside "
                           "hero.png; default _n), at the same place in layers of their own (atlas_0_n.png), "
                           "trimmed, turned, extruded and shared as the sprite is, never bled or premultiplied; "
                           "sprites without one get a flat normal (128, 128, 255)")
    pack.add_argument("--png-level", type=_png_level, default="rle", metavar="L",
                      help="PNG compression: rle (the default) deflates runs of one byte only, fast and within "
                           "a few percent of level 3; or a level, 0 (fastest) to 9 (smallest files)")
    pack.add_argument("--webp-method", type=_whole(0, 6), default=0, metavar="M",
                      help="WebP compression method, 0 (fastest) to 6 (smallest files) (default 0)")
    pack.add_argument("--no-bleed", action="store_true",
                      help="leave fully transparent pixels with the colour the sprite files give them; by "
                           "default those around each sprite (up to half the gap to its neighbours) take its "
                           "nearest visible colour, so that linear filtering draws no dark fringe")
    pack.add_argument("--premultiply", action="store_true",
                      help="store colour premultiplied by alpha (the manifests say alphaMode premultiplied-alpha)")
    pack.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                      help="leave out files whose path inside the input folder, or name, matches (repeatable)")
    pack.add_argument("--preview", action="store_true", help="also draw each layer's layout as a PNG")
    pack.add_argument("--report", action="store_true",
                      help="also write report.html, a page (opened from disk) showing every frame of the atlas")
    pack.add_argument("--no-cache", action="store_true",
                      help="read every sprite and write every layer; by default a rebuild reads only new or "
                           "changed sprites and writes only changed layers, by the cache in the output folder")
    pack.add_argument("--only", action="append", metavar="NAME",
                      help="build only the atlas NAME of the project file's [[atlas]] tables, or of "
                           "--atlas-per-folder (repeatable)")
    pack.add_argument("--atlas-per-folder", action="store_true",
                      help="make an atlas of each folder directly inside the inputs, named after it and "
                           "written to a folder of that name in --out, its sprites named inside it")
    pack.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")
    pack.set_defaults(playback=[])  # how animations play: the project file's [[animations]]



def _parser(suppress_defaults: bool = False) -> argparse.ArgumentParser:
    """The command's parser; with suppress_defaults, options not given are
    left out of the result, to tell them from those given."""
    import argparse
    from pathlib import Path

    # No abbreviations: a misspelt option (--paddin) is an error, not another option.
    parser = argparse.ArgumentParser(
        prog="tessel-atlas", description="Pack sprite images into texture atlases with JSON manifests.",
        allow_abbrev=False)
    parser.add_argument("--version", action="version", version=f"tessel-atlas {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    pack = commands.add_parser("pack", help="pack images, folders of images, or CSV layouts", allow_abbrev=False)
    watch = commands.add_parser("watch", help="pack as pack does, then again whenever the inputs change",
                                allow_abbrev=False)
    for command in (pack, watch):
        _add_pack_arguments(command)
    if suppress_defaults:
        for action in pack._actions + watch._actions:
            action.default = argparse.SUPPRESS

    demo = commands.add_parser("demo", help="draw a few hundred sprites and pack them in both modes",
                               allow_abbrev=False)
    demo.add_argument("--out", type=Path, default=Path("atlas-demo"), help="output folder (default atlas-demo)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")
    return parser


def run() -> None:
    """The tessel-atlas script: main() on the command line's arguments, and
    the process ends with its status, whatever signal comes after."""
    # NumPy asks the kernel for huge pages for large arrays, and where the
    # kernel then compacts memory to find them as pages are first touched
    # (transparent huge pages with defrag on madvise, as here), two threads
    # composing fresh 16 MB layers at once stalled on it: clean builds of
    # three games took 3 to 10% longer, much of it in system time. Set for
    # the command's own process only, before NumPy loads; a user's setting
    # wins, and programs using build() keep their own.
    os.environ.setdefault("NUMPY_MADVISE_HUGEPAGE", "0")
    # NumPy's linear algebra library starts a thread per core as it loads,
    # and each spins for a tenth of a second waiting for work that a build
    # never gives it (only the block checks' small decompositions use it):
    # on two cores, a clean build of pingus spent 0.15 s of processor time
    # so, and took 5 to 10% longer. As above, the command's own process only.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    # A build makes several objects per sprite at each stage, tens of
    # thousands that live until it ends, and few cycles; at the collector's
    # default, a pass every 700 new objects, a rebuild of 20,000 sprites
    # spent a tenth of its time in passes that freed nothing
    # (bench/RESULTS.md). The command's own process only, as above.
    gc.set_threshold(50_000, *gc.get_threshold()[1:])
    status = main(ending_process=True)
    # Tearing the interpreter down, every module and object freed one by
    # one, took 17 ms of a 0.45 s build. By now every file is closed, every
    # thread and process joined and the staging folder gone, so the process
    # ends at once, once what it printed is out; should that fail (a
    # closed pipe), the interpreter ends it and says so, as it would have.
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None: started with that descriptor closed
                stream.flush()
    except OSError:
        sys.exit(status)
    os._exit(status)


def main(argv: Optional[List[str]] = None, *, ending_process: bool = False) -> int:
    """Runs the command on argv (default: the command line's arguments) and
    returns its exit status: 0, 1 for an error it explains, 130 or 143 for
    Ctrl-C or SIGTERM (argparse exits with 2 for bad usage)."""
    with interrupts.installed(restore=not ending_process), warnings.catch_warnings():
        # Pillow warns of damage it reads through (a TIFF tag past the end
        # of the file, say) in lines naming its own source, not the image:
        # a file it then cannot read is refused in one line naming it, and
        # one it reads is packed as read.
        warnings.filterwarnings("ignore", module=r"PIL\.")
        try:
            with interrupts.held():
                # Most of a start-up: a signal meanwhile is raised once the
                # imports are done, not inside NumPy's, which would report it
                # as a broken install.
                import argparse  # noqa: F401
                from . import builder  # noqa: F401
            interrupts.release()
            return _run(argv)
        except AtlasError as error:
            print(f"tessel-atlas: error: {error}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            interrupts.seen()
            print("tessel-atlas: interrupted", file=sys.stderr)
            return 130
        except Terminated:
            interrupts.seen()
            print("tessel-atlas: terminated", file=sys.stderr)
            return 143


def _plans(parser: argparse.ArgumentParser, argv: Optional[List[str]]):
    """The project file (--config) and the atlases that pack (or watch)
    argv asks for, the project's options merged in: read anew for every
    build."""
    from pathlib import Path

    from .jobs import plans
    from .project import Project, load_project

    args = parser.parse_args(argv)
    project = Project(Path())
    given = vars(args)
    if args.config:
        project = load_project(args.config, _pack_parser(parser))
        given = vars(_parser(suppress_defaults=True).parse_args(argv))
    return project, plans(args, project, set(given), _pack_parser(parser))


# Why standard output took no summary line, once it has not: it then
# points at the null device, and later summaries are said lost too.
_summaries_lost: List[str] = []


def _report(result, quiet: bool, name: str = "") -> bool:
    """An atlas built: its warnings, and its summary line unless quiet.
    False where the summary could not be written, said in an error line
    naming the atlas `name`: it is built all the same, so not failed."""
    for warning in result.warnings:
        say(warning)
    if quiet:
        return True
    if not _summaries_lost:
        try:
            print(result.summary, flush=True)
            return True
        except OSError as error:  # a full disk, a reader gone: said in one line, not a traceback
            # What could not be written would fail again as the process ends.
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, sys.stdout.fileno())
            os.close(null)
            _summaries_lost.append(error.strerror or str(error))
    _failed(name, f"standard output: cannot write the summary line ({_summaries_lost[0]}); the atlas is built")
    return False


def _failed(name: str, error: object) -> None:
    """An atlas failed: its line, naming it where a run has several."""
    say(f"tessel-atlas: error: {'atlas ' + name + ': ' if name else ''}{error}")


def _build_all(project, plans, progress, quiet: bool) -> int:
    """Builds the planned atlases (where there are several, AT_ONCE at a
    time), printing each one's summary line. Where a run has several, one
    that fails is named and the others are built still; the status is 1 if
    any failed, or one's summary line could not be written."""
    from .jobs import check_shared_rules, prepare

    if len(plans) == 1 and not plans[0].name:
        return _run_jobs(plans, progress, quiet)
    jobs, failed = [], []
    for plan in plans:
        try:
            jobs.append(prepare(plan))
        except AtlasError as error:
            _failed(plan.name, error)
            failed.append(plan.name)
    if not failed and not plans[0].args.only:
        check_shared_rules(project, jobs)
    if len(jobs) > 1 and hasattr(os, "fork") and (os.cpu_count() or 1) > 1:
        status = _run_apart(jobs, quiet, failed)
    else:
        status = _run_jobs(jobs, progress, quiet, failed)
    if failed:
        rest = "none was built" if len(failed) == len(plans) else "the others are built"
        print(f"tessel-atlas: {len(failed)} of {len(plans)} atlases failed ({', '.join(failed)}); {rest}",
              file=sys.stderr)
    return status


# Atlases built at once, each in a process of its own, where a run has
# several. Measured on 2 cores (bench/projects.py, three real sets): two
# at a time took 0.75 to 0.86 of the time of one after another, and one
# after another in one process 0.94, as one atlas's packing and manifests,
# on one core, leave the other to the other atlas.
AT_ONCE = 2
# A forked process's status for an atlas built whose summary line could
# not be written (said in its own error line): an error, but not a failure.
UNREPORTED = 3


def _build_one(job, progress, quiet: bool) -> None:
    """A forked process's whole work: one atlas, its error, warnings and
    summary printed; the exit status as the command's."""
    from .builder import run_job

    try:
        try:
            reported = _report(run_job(job.found, job.out, job.args, progress, model=False), quiet, job.name)
        except AtlasError as error:
            _failed(job.name, error)
            sys.exit(1)
        interrupts.release()  # a signal held while the atlas went into place
        if not reported:
            sys.exit(UNREPORTED)
    except KeyboardInterrupt:
        sys.exit(130)
    except Terminated:
        sys.exit(143)


def _run_apart(jobs, quiet: bool, failed: List[str]) -> int:
    """Builds the jobs AT_ONCE at a time, each in a forked process, adding
    those that fail to `failed`; the status is 1 if any in `failed`, or
    one was built without its summary line. On Ctrl-C or SIGTERM the
    processes still building are ended as SIGTERM ends the command: each
    atlas is left whole, the old one or the new."""
    import multiprocessing
    from multiprocessing.connection import wait

    from .progress import Progress

    context = multiprocessing.get_context("fork")
    waiting, running = list(jobs), {}
    status = 0
    try:
        while waiting or running:
            while waiting and len(running) < AT_ONCE:
                job = waiting.pop(0)
                # Lines naming the atlas, not bars, which two processes would draw over each other.
                progress = Progress(quiet, bars=False, name=job.name)
                process = context.Process(target=_build_one, args=(job, progress, quiet))
                process.start()
                running[process.sentinel] = (process, job)
            for sentinel in wait(list(running)):
                process, job = running.pop(sentinel)
                process.join()
                if process.exitcode == UNREPORTED:
                    status = 1
                elif process.exitcode:
                    failed.append(job.name)
                if process.exitcode not in (0, 1, UNREPORTED):  # it said nothing of why
                    _failed(job.name, f"its process ended with status {process.exitcode}")
    finally:
        with interrupts.held():
            for process, _ in running.values():
                process.terminate()
            for process, _ in running.values():
                process.join()
    return 1 if failed else status


def _built(job, progress):
    """A job's atlas built, or a plan's: from the cache alone where only
    sprites were saved over since the last build (resaved.py), else found
    and built."""
    from .builder import run_job
    from .jobs import Plan, prepare

    if isinstance(job, Plan):
        from .resaved import rebuilt

        result = rebuilt(job)
        if result is not None:
            return result
        job = prepare(job)
    return run_job(job.found, job.out, job.args, progress, model=False)


def _run_jobs(jobs, progress, quiet: bool, failed: Optional[List[str]] = None) -> int:
    """Builds the jobs (or plans, see _built) in turn, each summary line as
    it is done. Named atlases that fail are added to `failed` (status 1),
    the rest built still; a run's only atlas fails the run."""
    failed = [] if failed is None else failed
    done = None
    status = 0
    for job in jobs:
        # A signal held while the previous atlas went into place ends the
        # command before the next one starts.
        interrupts.release()
        try:
            result = _built(job, progress)
        except AtlasError as error:
            if not job.name:
                raise
            _failed(job.name, error)
            failed.append(job.name)
            continue
        done = job.out
        if not _report(result, quiet, job.name):
            status = 1
    if interrupts.pending() and done is not None:
        print(f"tessel-atlas: interrupted once the new atlas was in place: {done} holds it whole", file=sys.stderr)
    return 1 if failed else status


def _watched(path: str):
    """Where to watch for changes of path: the path itself or, while it is
    missing, its nearest existing folder; with that one's identity, which
    changes when it is deleted and made again (a watch on the old one
    would hear nothing more)."""
    path = os.path.realpath(path)
    while not os.path.exists(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    try:
        stat = os.stat(path)
    except OSError:  # gone meanwhile: the next look finds it changed
        return path, None
    return path, (stat.st_dev, stat.st_ino)


def _watch(parser: argparse.ArgumentParser, argv: Optional[List[str]]) -> int:
    """Builds, then builds again each atlas whose inputs (or template)
    change, and every atlas when the project file does, once a burst of
    changes has settled: one line per build. A failed build says why and
    leaves the last good atlas; Ctrl-C ends it. An input that is deleted
    (or made again) is watched for from its nearest existing folder until
    it is back."""
    from .jobs import inside
    from .session import Session

    try:
        import watchfiles
    except ImportError:
        raise AtlasError("tessel-atlas watch needs watchfiles: pip install 'TesselPack[watch]'") from None
    project, plans = _plans(parser, argv)
    args = parser.parse_args(argv)
    config = [os.path.realpath(args.config)] if args.config else []

    def watched_paths(plans) -> Dict[str, List[str]]:
        # The template makes the manifests as much as the sprites do.
        return {plan.name: [os.path.realpath(p) for p in plan.args.inputs] +
                ([os.path.realpath(plan.args.template)] if plan.args.template is not None else []) for plan in plans}

    def folders_of(plans) -> List[str]:
        # Where a new folder makes a new atlas (--atlas-per-folder).
        return sorted({os.path.realpath(plan.within) for plan in plans if plan.within is not None})

    paths, roots = watched_paths(plans), folders_of(plans)
    outputs = [os.path.realpath(plan.args.out) for plan in plans]

    def every_path() -> List[str]:
        return sorted({p for wanted in paths.values() for p in wanted} | set(config) | set(roots))

    def near(real: str, wanted: str) -> bool:
        """A change inside a watched path, or of a folder on the way to one (made again)."""
        return inside(real, wanted) or inside(wanted, real)

    def relevant(change, path: str) -> bool:
        real = os.path.realpath(path)
        return not any(inside(real, output) for output in outputs) and any(near(real, p) for p in every_path())

    def touched(changes) -> Optional[Dict[str, Set[str]]]:
        """The atlases a batch of changes touches, each with the real paths
        changed; None for all of them, anything changed."""
        found: Dict[str, Set[str]] = {}
        for _, path in changes:
            real = os.path.realpath(path)
            atlases = {name for name, wanted in paths.items() if any(near(real, p) for p in wanted)}
            if any(near(real, p) for p in config) or not atlases and any(near(real, p) for p in roots):
                return None  # the atlases themselves may change
            for name in atlases:
                found.setdefault(name, set()).add(real)
        return found

    sessions: Dict[str, Session] = {}

    def build(changed: Optional[Dict[str, Set[str]]]) -> bool:
        """Builds the atlases a change touched (all for None), unless the
        project file now names other paths to watch (another template,
        other inputs): then False, to watch them first."""
        nonlocal paths, roots, outputs
        try:
            _, now = _plans(parser, argv)
            if watched_paths(now) != paths or folders_of(now) != roots:
                paths, roots = watched_paths(now), folders_of(now)
                outputs = [os.path.realpath(plan.args.out) for plan in now]
                return False
            for plan in now:
                if changed is not None and plan.name not in changed:
                    continue
                # A template changed, or anything: found and built afresh.
                files = changed[plan.name] if changed is not None else None
                if files is not None and plan.args.template is not None and \
                        os.path.realpath(plan.args.template) in files:
                    files = None
                try:
                    sessions.setdefault(plan.name, Session()).build(
                        plan, files, lambda result: _report(result, args.quiet, plan.name))
                except AtlasError as error:
                    _failed(plan.name, error)
        except AtlasError as error:
            _failed("", error)
        # A signal held while an atlas went into place ends the watch now.
        interrupts.release()
        return True

    # Each build starts once a watch is running, so that no change during
    # it goes unheard: the first once the watch has begun (the watch yields
    # an empty batch when idle), and the first after a watched path went or
    # came back, or the paths to watch changed, which needs a watch begun
    # anew; those build every atlas.
    due = True
    while True:
        watched = [_watched(p) for p in every_path()]
        # A save is answered once 10 ms pass without another change (a
        # burst of them, up to 400 ms, is taken as one): most of what a
        # rebuild of saved sprites waits for (bench/watch_latency.py). A
        # writer that pauses longer within a file gets a build of the part
        # written, which fails as an unreadable image and leaves the atlas
        # as it was, and then one of the whole file.
        for changes in watchfiles.watch(*sorted({where for where, _ in watched}), watch_filter=relevant,
                                        debounce=400, step=10, raise_interrupt=True, yield_on_timeout=True,
                                        rust_timeout=500):
            if [_watched(p) for p in every_path()] != watched:
                due = True
                break
            changed = None if due else touched(changes) if changes else {}
            if changed is None or changed:
                due = not build(changed)
                if due:
                    break


def _run(argv: Optional[List[str]]) -> int:
    from .jobs import UsageError
    from .progress import Progress
    from .sprites import Found

    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 0
    try:
        if args.command == "watch":
            return _watch(parser, argv)
        if args.command == "pack":
            project, plans = _plans(parser, argv)
            return _build_all(project, plans, Progress(args.quiet), args.quiet)
    except UsageError as error:
        parser.error(str(error))
    from .demo import demo_sprites
    from .jobs import Job

    found = Found(demo_sprites())
    jobs = []
    for mode, texture in (("single", 0), ("layered", 512)):
        defaults = parser.parse_args(["pack", "-", "--out", "-", "--preview"])
        defaults.max_texture_size, defaults.padding = texture, 1
        jobs.append(Job("", found, args.out / mode, defaults))
    return _run_jobs(jobs, Progress(args.quiet), args.quiet)
