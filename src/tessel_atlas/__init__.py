"""tessel-atlas: turns folders of sprite images into texture atlases.

`build` builds an atlas as the command does, for build pipelines, and
returns what it made (a `Result`); failures raise `AtlasError` with the
command's one-line message. `place` is the packing engine's entry point
for callers who need more than TesselPack.pack (rotation control, denser
single bins, threads, progress); importing it needs nothing beyond NumPy.
"""

from .errors import AtlasError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._engine import place
    from .api import build
    from .model import Result

__all__ = ["AtlasError", "Result", "build", "place"]
__version__ = "1.2.0"


def __getattr__(name: str) -> object:
    # Loaded on first use: the command imports this package before it can
    # take over Ctrl-C, and the engine brings NumPy, most of a start-up.
    if name == "place":
        from ._engine import place

        return place
    if name == "build":
        from .api import build

        return build
    if name == "Result":
        from .model import Result

        return Result
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
