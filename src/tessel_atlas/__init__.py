"""tessel-atlas: turns folders of sprite images into texture atlases with TesselPack."""

__version__ = "1.0.0"
