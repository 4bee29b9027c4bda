"""Tests of the two-argument TesselPack.pack."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from packing_checks import LEGACY_FORM, assert_module_attributes, assert_sound_packing

if LEGACY_FORM:
    pytest.skip("this build carries the one-argument pack", allow_module_level=True)
import TesselPack  # noqa: E402

pack = TesselPack.pack

MAX_SIDE = 46340


def test_module_attributes_and_signature():
    assert_module_attributes(
        "pack(rect_sizes: numpy.ndarray[numpy.int32], max_texture_size: int) "
        "-> Tuple[numpy.ndarray[numpy.int32], int, int]\n\n"
        "Pack a (n,2) array representing an array of rectangles with attributes width, height. "
        "Return a (n,4) arrays with attributes x, y, layer, flip (bool), each layer being a "
        "different texture of maximum size 'max_texture_size' (if it is greater than 0).\n"
    )


def test_single_rectangle_is_turned_into_the_narrow_bin():
    result, w, h = pack(np.array([[30, 10]], dtype=np.int32), 0)
    assert result.tolist() == [[0, 0, 0, 1]]
    assert (w, h) == (10, 30)


def test_layers_and_progress_lines(capfd):
    result, w, h = pack(np.full((3, 2), 60, dtype=np.int32), 100)
    assert (w, h) == (100, 100)
    assert sorted(result[:, 2].tolist()) == [0, 1, 2]
    assert (result[:, [0, 1, 3]] == 0).all()
    assert capfd.readouterr().out == "".join(
        f"There remains {n} rectangles to pack.\n" for n in (2, 1, 0)
    )


@pytest.mark.parametrize(
    "texture, expected_w, expected_h, lines",
    [(0, 0, 0, ""), (512, 512, 512, "There remains 0 rectangles to pack.\n")],
)
def test_empty_input(capfd, texture, expected_w, expected_h, lines):
    result, w, h = pack(np.zeros((0, 2), dtype=np.int32), texture)
    assert result.shape == (0, 4) and result.dtype == np.int32
    assert (w, h) == (expected_w, expected_h)
    assert capfd.readouterr().out == lines


@pytest.mark.parametrize(
    "rect_sizes, message",
    [
        (np.zeros(4, dtype=np.int32), "Incompatible buffer dimension!"),
        (np.zeros((2, 2, 2), dtype=np.int32), "Incompatible buffer dimension!"),
        (np.zeros((3, 3), dtype=np.int32), "Incompatible buffer width!"),
        (np.zeros((0, 0), dtype=np.int32), "Incompatible buffer width!"),
    ],
)
@pytest.mark.parametrize("texture", [0, 64])
def test_shape_errors(capfd, rect_sizes, message, texture):
    with pytest.raises(RuntimeError) as error:
        pack(rect_sizes, texture)
    assert str(error.value) == message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "converted, plain",
    [
        (np.array([[10.7, 5.2]]), [[10, 5]]),
        ([[4, 4], [2, 8]], [[4, 4], [2, 8]]),
        (np.array([[7, 3], [2, 9]], dtype=np.int64), [[7, 3], [2, 9]]),
    ],
)
@pytest.mark.parametrize("texture", [0, 16])
def test_converted_input_packs_like_int32(converted, plain, texture):
    expected = pack(np.array(plain, dtype=np.int32), texture)
    got = pack(converted, texture)
    assert np.array_equal(got[0], expected[0]) and got[1:] == expected[1:]


@pytest.mark.parametrize("texture", [0, 40])
def test_strided_input_matches_contiguous_and_is_unchanged(texture):
    wide = np.arange(1, 61, dtype=np.int32).reshape(10, 6) % 17 + 1
    view = wide[::2, 1:5:3]
    assert not view.flags.c_contiguous
    before = wide.copy()
    got = pack(view, texture)
    expected = pack(np.ascontiguousarray(view), texture)
    assert np.array_equal(got[0], expected[0]) and got[1:] == expected[1:]
    assert np.array_equal(wide, before)


def test_keyword_and_positional_calls_agree():
    sizes = np.array([[5, 9], [3, 3], [8, 2]], dtype=np.int32)
    by_position = pack(sizes, 0)
    by_keyword = pack(max_texture_size=0, rect_sizes=sizes)
    assert np.array_equal(by_position[0], by_keyword[0]) and by_position[1:] == by_keyword[1:]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((np.ones((1, 2), dtype=np.int32),), {}),
        ((np.ones((1, 2), dtype=np.int32), 0.5), {}),
        ((np.ones((1, 2), dtype=np.int32),), {"texture": 5}),
        (("not sizes", 0), {}),
    ],
)
def test_type_errors(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pack(*args, **kwargs)


@pytest.mark.parametrize(
    "sizes, texture, message",
    [
        ([[4, 4]], -5, "max_texture_size must not be negative (got -5)"),
        ([[4, 4]], MAX_SIDE + 1, "max_texture_size 46341 exceeds the largest supported side of 46340"),
        (
            [[4, 4], [70, 3]],
            64,
            "rect_sizes row 1 (70 x 3) does not fit a 64 x 64 texture in either orientation",
        ),
        ([[4, 4], [2, -3]], 64, "rect_sizes row 1 has a negative size (2 x -3)"),
        ([[-2, 0]], 0, "rect_sizes row 0 has a negative size (-2 x 0)"),
        (
            [[MAX_SIDE + 1, 1]],
            0,
            "rect_sizes row 0 (46341 x 1) does not fit a 46340 x 46340 bin (the largest supported) "
            "in either orientation",
        ),
        (
            [[MAX_SIDE, MAX_SIDE], [MAX_SIDE, MAX_SIDE]],
            0,
            "total area of rect_sizes (4294791200) exceeds the 32-bit limit of 2147483647",
        ),
        (
            [[30000, 30000], [30000, 30000]],
            0,
            "the bin would have to grow past the largest supported side of 46340 to hold all rectangles",
        ),
    ],
)
def test_bad_input_is_refused_before_any_output(capfd, sizes, texture, message):
    with pytest.raises(RuntimeError) as error:
        pack(np.array(sizes, dtype=np.int32), texture)
    assert str(error.value) == message
    assert capfd.readouterr().out == ""


def test_zero_area_rows_are_left_out_and_not_counted(capfd):
    sizes = np.array([[0, 5], [6, 6], [7, 0], [0, 0]], dtype=np.int32)
    for texture in (0, 32):
        result, _, _ = pack(sizes, texture)
        assert result[[0, 2, 3]].tolist() == [[-1, -1, 0, 0]] * 3
        assert result[1].tolist() == [0, 0, 0, 0]
    assert capfd.readouterr().out == "There remains 0 rectangles to pack.\n"


def test_single_bin_ignores_zero_area_rows_for_its_size():
    _, w, h = pack(np.array([[0, 50], [3, 4]], dtype=np.int32), 0)
    assert (w, h) == (3, 4) or (w, h) == (4, 3)


sizes_strategy = st.lists(
    st.tuples(st.integers(0, 40), st.integers(0, 40)), min_size=0, max_size=60
).map(lambda rows: np.array(rows, dtype=np.int32).reshape(-1, 2))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sizes=sizes_strategy, texture=st.sampled_from([0, 40, 64, 200]))
def test_random_inputs_pack_soundly_and_repeatably(capfd, sizes, texture):
    result, w, h = pack(sizes, texture)
    if texture:
        assert (w, h) == (texture, texture)
    assert_sound_packing(result, sizes, w, h)
    again = pack(sizes, texture)
    assert np.array_equal(result, again[0]) and (w, h) == again[1:]
    layers = result[:, 2].max() + 1 if len(result) else 1
    assert capfd.readouterr().out.count("\n") == (2 * layers if texture else 0)


@pytest.mark.parametrize(
    "sizes, texture, message",
    [
        (np.array([[2**32 + 5, 3]]), 0, "rect_sizes row 0 has a size beyond the 32-bit range (4294967301 x 3)"),
        (np.array([[4, 4], [2**32, 3]]), 64, "rect_sizes row 1 has a size beyond the 32-bit range (4294967296 x 3)"),
        (np.array([[-2**32 + 10, 3]]), 0, "rect_sizes row 0 has a negative size (-4294967286 x 3)"),
        (np.array([[3_000_000_000, 1]], dtype=np.uint32), 0,
         "rect_sizes row 0 has a size beyond the 32-bit range (3000000000 x 1)"),
        (np.array([[2**64 - 1, 0]], dtype=np.uint64), 64,
         "rect_sizes row 0 has a size beyond the 32-bit range (18446744073709551615 x 0)"),
        (np.array([[3, 2**63 - 1]]), 0, "rect_sizes row 0 has a size beyond the 32-bit range (3 x 9223372036854775807)"),
    ],
)
def test_wide_integers_are_judged_by_their_own_value(capfd, sizes, texture, message):
    with pytest.raises(RuntimeError) as error:
        pack(sizes, texture)
    assert str(error.value) == message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("sizes", [[[45000, 1]], [[23170, 23170]] * 3, [[46340, 46340]]])
def test_single_bins_up_to_the_largest_side_are_packed(sizes):
    sizes = np.array(sizes, dtype=np.int32)
    result, w, h = pack(sizes, 0)
    assert w <= MAX_SIDE and h <= MAX_SIDE
    assert_sound_packing(result, sizes, w, h)


@pytest.mark.parametrize("sizes, texture", [([[0, 65], [3, 3]], 64), ([[MAX_SIDE + 1, 0], [3, 3]], 0)])
def test_zero_area_rows_need_not_fit(capfd, sizes, texture):
    result, _, _ = pack(np.array(sizes, dtype=np.int32), texture)
    assert result.tolist() == [[-1, -1, 0, 0], [0, 0, 0, 0]]


def test_progress_lines_survive_a_failed_write(capfd):
    sizes = np.full((2, 2), 60, dtype=np.int32)
    saved = os.dup(1)
    os.close(1)  # every write to stdout fails
    try:
        pack(sizes, 100)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    pack(sizes, 100)
    assert capfd.readouterr().out.endswith("There remains 1 rectangles to pack.\nThere remains 0 rectangles to pack.\n")
