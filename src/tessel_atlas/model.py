"""The atlas as every writer reads it: plain data, built once per variant.

A manifest format, a user's template and the report see the same model:
layers, each with its image file, size and frames, and the animations
whose frames it holds. Nothing in it refers back to the reading, packing
or composing that made it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, NamedTuple, Optional, Tuple

from .blocks import PLAIN_FORMATS

PIXEL_FORMATS = {"png": "RGBA8888", "webp": "RGBA8888", "bc7": "BC7", "bc3": "BC3", "etc2": "ETC2_RGBA8",
                 "astc": "ASTC_4x4"}


# The directions an animation plays in, as artists' tools name them.
DIRECTIONS = ("forward", "reverse", "pingpong", "pingpong_reverse")


@dataclass(frozen=True)
class Timing:
    """How an animation plays: its direction and how many times (0: for
    ever; a ping-pong's pass each way counts as one)."""

    direction: str = "forward"
    repeat: int = 0


# How long a frame shows where nothing says (10 frames a second): what
# players of frames without a duration take.
NO_DURATION = 100


class Frame(NamedTuple):
    """One sprite as the atlas holds it. Its kept pixels (`width` x
    `height`, the source cut by trimming) lie at (`x`, `y`) in the layer
    image, turned a quarter turn clockwise when `rotated` (then covering
    height x width there); they lie at (`trim_x`, `trim_y`) inside the
    source image of `source_width` x `source_height`. Sprites that show the
    same pixels share a `picture` number (and place)."""

    name: str
    x: int
    y: int
    width: int
    height: int
    rotated: bool
    trim_x: int
    trim_y: int
    source_width: int
    source_height: int
    pivot: Optional[Tuple[float, float]]  # fractions of the source size
    nine_slice: Optional[Tuple[int, int, int, int]]  # left, top, right, bottom, in source pixels
    picture: int
    duration: Optional[int] = None  # how long it shows in its animation, in ms, where known

    @property
    def trimmed(self) -> bool:
        return (self.trim_x, self.trim_y, self.width, self.height) != (0, 0, self.source_width, self.source_height)

    @property
    def footprint(self) -> Tuple[int, int]:
        """The width and height it covers in the layer image."""
        return (self.height, self.width) if self.rotated else (self.width, self.height)


@dataclass
class AtlasLayer:
    """A layer as the manifests see it: its image file (`image`, the
    variant's suffix in its name) in texture format `texture` (each
    block format's files get manifests of their own, see `tag`), the
    frames in it in natural name order,
    the animations whose frames it holds (frame names in numeric order) and
    how they play. `scale` is the variant's
    scale of the sprites, `resolution` the texture resolution its
    manifests give (formats.resolutions), `fill` the share of its area that
    frames cover."""

    index: int
    image: str
    texture: str
    width: int
    height: int
    scale: float
    resolution: float
    suffix: str
    premultiplied: bool
    fill: float
    # The suffix of its normal maps' layer (atlas_0_n.png beside atlas_0.png), where the atlas has one.
    normal_map: str = ""
    frames: List[Frame] = field(default_factory=list)
    animations: Dict[str, List[str]] = field(default_factory=dict)
    # How each animation with frames here plays (listed in `animations` or not).
    timings: Dict[str, Timing] = field(default_factory=dict)

    @property
    def stem(self) -> str:
        """Its files' name without the extension: atlas_0, atlas_0@2x, ..."""
        return f"atlas_{self.index}{self.suffix}"

    @property
    def normal_image(self) -> Optional[str]:
        """The file of its normal maps' layer, in its image's format."""
        return f"{self.stem}{self.normal_map}{self.image[len(self.stem):]}" if self.normal_map else None

    @property
    def pixel_format(self) -> str:
        """What its image stores: RGBA8888 for PNG and WebP, else the block
        format (BC7, BC3, ETC2_RGBA8, ASTC_4x4)."""
        return PIXEL_FORMATS[self.texture]

    @property
    def tag(self) -> str:
        """What the names of manifests describing this layer's file add
        after the variant's suffix: nothing for the plain image (PNG or
        WebP), the block format for its file (atlas_0.bc7.json)."""
        return "" if self.texture in PLAIN_FORMATS else f".{self.texture}"


@dataclass
class Result:
    """What building an atlas made: its summary line (the command's),
    each variant's layers (largest scale first) as the manifests of its
    plain image files describe them, and the warnings the command prints."""

    summary: str
    variants: List[List[AtlasLayer]]
    warnings: List[str]

    @property
    def layers(self) -> List[AtlasLayer]:
        """The first (largest) variant's layers."""
        return self.variants[0]

    @property
    def frames(self) -> Dict[str, Frame]:
        """The first variant's frames, by sprite name."""
        return {frame.name: frame for layer in self.layers for frame in layer.frames}
