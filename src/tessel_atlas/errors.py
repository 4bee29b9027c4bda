"""The one error type of the command line, and the optional image library."""


class AtlasError(Exception):
    """A failure to report to the user as it stands: the message names the file or limit."""


def require_pillow():
    """The Pillow Image module, or a clear error saying how to install it."""
    try:
        from PIL import Image
    except ImportError:
        raise AtlasError("tessel-atlas needs Pillow: pip install 'TesselPack[atlas]'") from None
    return Image
