"""tessel-atlas: turns folders of sprite images into texture atlases.

`place` is the packing engine's entry point for callers who need more than
TesselPack.pack (rotation control, denser single bins, threads, progress);
importing it needs nothing beyond NumPy.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._engine import place

__all__ = ["place"]
__version__ = "1.2.0"


def __getattr__(name: str) -> object:
    # Loaded on first use: the command imports this package before it can
    # take over Ctrl-C, and the engine brings NumPy, most of a start-up.
    if name == "place":
        from ._engine import place

        return place
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
