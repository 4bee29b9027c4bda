"""The layer PNG writer: whatever the pixels, Pillow reads back exactly them."""

import zlib
from unittest import mock

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

Image = pytest.importorskip("PIL.Image")
from tessel_atlas import png  # noqa: E402
from tessel_atlas._png import filter_rows  # noqa: E402


def pictures():
    """Noise, flat areas, gradients and repeated rows: each favours another row filter."""
    def build(args):
        seed, height, width, kind = args
        rng = np.random.default_rng(seed)
        if kind == "noise":
            return rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
        y, x = np.mgrid[0:height, 0:width]
        gradient = np.stack([x * 7, y * 5, x + y, np.full_like(x, 255)], axis=-1) % 256
        if kind == "gradient":
            return gradient.astype(np.uint8)
        flat = np.zeros((height, width, 4), np.uint8)
        flat[height // 3:, : width // 2] = rng.integers(0, 256, 4)
        return flat if kind == "flat" else np.repeat(gradient[:1], height, axis=0).astype(np.uint8)
    return st.tuples(st.integers(0, 2**32), st.integers(1, 40), st.integers(1, 40),
                     st.sampled_from(["noise", "gradient", "flat", "repeated"])).map(build)


@settings(max_examples=60, deadline=None)
@given(pixels=pictures(), level=st.sampled_from([0, 1, 3, 9]), chunk=st.sampled_from([7, png.IDAT_BYTES]),
       stdlib=st.booleans())
def test_pixels_read_back_exactly(tmp_path_factory, pixels, level, chunk, stdlib):
    path = tmp_path_factory.mktemp("png") / "layer.png"
    with mock.patch.object(png, "IDAT_BYTES", chunk), \
            mock.patch.object(png, "deflater", zlib if stdlib else png.deflater):
        png.write_png(path, pixels, level)
    with Image.open(path) as image:
        assert image.mode == "RGBA"
        np.testing.assert_array_equal(np.asarray(image), pixels)


def test_rows_that_repeat_are_filtered_to_zeros():
    # The previous row predicts a repeated one exactly: the chosen filter must see that.
    pixels = np.repeat(np.arange(64, dtype=np.uint8).reshape(1, 16, 4), 3, axis=0)
    rows = np.frombuffer(filter_rows(pixels), np.uint8).reshape(3, 65)
    assert (rows[1:, 1:] == 0).all()


@pytest.mark.parametrize("shape", [(4, 4), (2, 2, 5), (2, 2, 0)])
def test_filter_rows_refuses_other_shapes(shape):
    with pytest.raises(ValueError, match="height, width, channels"):
        filter_rows(np.zeros(shape, np.uint8))
