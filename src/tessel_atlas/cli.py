"""The tessel-atlas command: sprite folders in, texture atlases and manifests out.

Ctrl-C can come at any moment, start-up included, and must end the command
with one line. So this module imports next to nothing before main() takes
over the signals; the rest, NumPy and the engine above all, is imported
inside it.
"""

from __future__ import annotations

import sys

from . import __version__, interrupts
from .errors import AtlasError
from .interrupts import Terminated

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import List, Optional


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


def _parser() -> argparse.ArgumentParser:
    import argparse
    from pathlib import Path

    from .formats import FORMATS
    from .layout import MAX_SIDE

    parser = argparse.ArgumentParser(
        prog="tessel-atlas", description="Pack sprite images into texture atlases with JSON manifests."
    )
    parser.add_argument("--version", action="version", version=f"tessel-atlas {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    pack = commands.add_parser("pack", help="pack images, folders of images, or CSV layouts")
    pack.add_argument(
        "inputs", nargs="+", type=Path, metavar="INPUT",
        help="image file, folder searched recursively for images, or CSV file of name,w,h rows (alone)",
    )
    pack.add_argument("--out", required=True, type=Path, help="folder for the atlases and manifests")
    pack.add_argument(
        "--max-texture-size", type=_whole(0, MAX_SIDE), default=2048, metavar="N",
        help="largest side of each square texture; each layer is cropped to what it uses unless --pot or "
             "--full-size; 0 packs everything into one bin as small as found (default 2048)",
    )
    sizes = pack.add_mutually_exclusive_group()
    sizes.add_argument("--pot", action="store_true", help="round each layer's sides up to powers of two")
    sizes.add_argument("--full-size", action="store_true", help="make every layer the full texture size")
    pack.add_argument("--format", choices=sorted(FORMATS), default="json-hash",
                      help="manifest format (default json-hash); phaser3 never rotates")
    pack.add_argument("--no-rotation", action="store_true", help="never store a sprite turned a quarter turn")
    pack.add_argument("--no-trim", action="store_true", help="keep fully transparent borders")
    pack.add_argument("--no-alias", action="store_true", help="pack identical sprites once each, not shared")
    pack.add_argument("--padding", type=_whole(0, 1024), default=0, metavar="P",
                      help="pixels of empty border kept around each sprite (default 0)")
    pack.add_argument("--extrude", type=_whole(0, 1024), default=0, metavar="N",
                      help="repeat each sprite's edge pixels N pixels outward, inside the padding (default 0)")
    pack.add_argument("--png-level", type=_whole(0, 9), default=3, metavar="L",
                      help="PNG compression level, 0 (fastest) to 9 (smallest files) (default 3)")
    pack.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                      help="leave out files whose path inside the input folder, or name, matches (repeatable)")
    pack.add_argument("--preview", action="store_true", help="also draw each layer's layout as a PNG")
    pack.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")

    demo = commands.add_parser("demo", help="draw a few hundred sprites and pack them in both modes")
    demo.add_argument("--out", type=Path, default=Path("atlas-demo"), help="output folder (default atlas-demo)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary line")
    return parser


def run() -> None:
    """The tessel-atlas script: main() on the command line's arguments, and
    the process ends with its status, whatever signal comes after."""
    sys.exit(main(ending_process=True))


def main(argv: Optional[List[str]] = None, *, ending_process: bool = False) -> int:
    """Runs the command on argv (default: the command line's arguments) and
    returns its exit status: 0, 1 for an error it explains, 130 or 143 for
    Ctrl-C or SIGTERM (argparse exits with 2 for bad usage)."""
    with interrupts.installed(restore=not ending_process):
        try:
            with interrupts.held():
                # Most of a start-up: a signal meanwhile is raised once the
                # imports are done, not inside NumPy's, which would report it
                # as a broken install.
                import argparse  # noqa: F401
                from . import build  # noqa: F401
            interrupts.release()
            return _run(argv)
        except AtlasError as error:
            print(f"tessel-atlas: error: {error}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("tessel-atlas: interrupted", file=sys.stderr)
            return 130
        except Terminated:
            print("tessel-atlas: terminated", file=sys.stderr)
            return 143


def _run(argv: Optional[List[str]]) -> int:
    from .build import run_job
    from .progress import Progress
    from .sprites import Found, collect_sprites

    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 0
    progress = Progress(args.quiet)
    jobs = []
    if args.command == "pack":
        if args.pot and args.max_texture_size & (args.max_texture_size - 1):
            parser.error(f"--pot needs a power-of-two --max-texture-size (got {args.max_texture_size})")
        jobs.append((collect_sprites(args.inputs, exclude=args.exclude, skip=[args.out]), args.out, args))
    else:
        from .demo import demo_sprites

        found = Found(demo_sprites())
        for mode, texture in (("single", 0), ("layered", 512)):
            defaults = parser.parse_args(["pack", "-", "--out", "-", "--preview"])
            defaults.max_texture_size, defaults.padding = texture, 1
            jobs.append((found, args.out / mode, defaults))
    summaries = []
    for found, out, options in jobs:
        # A signal held while the previous atlas went into place ends the
        # command before the next one starts.
        interrupts.release()
        summaries.append(run_job(found, out, options, progress))
    if not args.quiet:
        print("\n".join(summaries))
    if interrupts.pending():
        print(f"tessel-atlas: interrupted once the new atlas was in place: {jobs[-1][1]} holds it whole",
              file=sys.stderr)
    return 0
