"""Tests of the one-argument TesselPack.pack(rect_sizes), built with TESSEL_LEGACY_PACK."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from packing_checks import LEGACY_FORM, assert_module_attributes, assert_sound_packing

if not LEGACY_FORM:
    pytest.skip("this build carries the two-argument pack", allow_module_level=True)
import TesselPack  # noqa: E402

pack = TesselPack.pack


def test_module_attributes_and_signature():
    assert_module_attributes(
        "pack(rect_sizes: numpy.ndarray[numpy.int32]) -> Tuple[numpy.ndarray[numpy.int32], int, int]\n\n"
        "Pack a (n,2) array representing an array of rectangles with attributes width, height. "
        "Return a (n,3) array with attributes x, y, flip (bool).\n"
    )


@pytest.mark.parametrize(
    "sizes, rows, w, h",
    [
        (np.zeros((0, 2), dtype=np.int32), [], 0, 0),
        ([[0, 0], [0, 7], [5, 0]], [[0, 0, 0]] * 3, 0, 0),
        ([[30, 10]], [[0, 0, 1]], 10, 30),
        ([[0, 9], [4, 4]], [[0, 0, 0], [0, 0, 0]], 4, 4),
        (np.array([[2.7, 3.2]]), [[0, 0, 0]], 2, 3),
    ],
)
def test_documented_results(capfd, sizes, rows, w, h):
    result, got_w, got_h = pack(sizes)
    assert result.dtype == np.int32 and result.shape == (len(rows), 3)
    assert result.tolist() == rows and (got_w, got_h) == (w, h)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    "rect_sizes, message",
    [
        (np.zeros(4, dtype=np.int32), "Incompatible buffer dimension!"),
        (np.zeros((1, 2, 2), dtype=np.int32), "Incompatible buffer dimension!"),
        (np.zeros((3, 3), dtype=np.int32), "Incompatible buffer width!"),
        (np.zeros((0, 0), dtype=np.int32), "Incompatible buffer width!"),
        ([[3, 3], [-1, 4]], "rect_sizes row 1 has a negative size (-1 x 4)"),
        ([[46340, 46340], [46340, 46340]],
         "total area of rect_sizes (4294791200) exceeds the 32-bit limit of 2147483647"),
    ],
)
def test_bad_input(rect_sizes, message):
    with pytest.raises(RuntimeError) as error:
        pack(np.asarray(rect_sizes, dtype=np.int32))
    assert str(error.value) == message


def test_arguments():
    sizes = [[4, 4], [2, 8]]
    assert np.array_equal(pack(rect_sizes=sizes)[0], pack(np.array(sizes, dtype=np.int32))[0])
    for args, kwargs in [((sizes, 0), {}), ((sizes,), {"max_texture_size": 0}), ((), {})]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            pack(*args, **kwargs)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(st.integers(0, 40), st.integers(0, 40)), max_size=50))
def test_random_inputs_pack_soundly(capfd, rows):
    sizes = np.array(rows, dtype=np.int32).reshape(-1, 2)
    result, w, h = pack(sizes)
    assert_sound_packing(result, sizes, w, h)
    assert capfd.readouterr().out == ""
