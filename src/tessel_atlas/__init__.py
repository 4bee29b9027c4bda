"""tessel-atlas: turns folders of sprite images into texture atlases.

`place` is the packing engine's entry point for callers who need more than
TesselPack.pack (rotation control, denser single bins, threads, progress);
importing it needs nothing beyond NumPy.
"""

from ._engine import place

__all__ = ["place"]
__version__ = "1.1.0"
