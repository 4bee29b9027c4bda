"""Checks shared by the tests of both forms of TesselPack.pack."""

import os

import numpy as np
import TesselPack

# A build carries exactly one form; the one-argument form's signature has no texture size.
LEGACY_FORM = "max_texture_size" not in TesselPack.pack.__doc__.splitlines()[0]

# AddressSanitizer's quarantine holds freed memory on purpose: memory cannot be measured under it.
MEMORY_MEASURABLE = "asan" not in os.environ.get("LD_PRELOAD", "")


def assert_module_attributes(pack_doc):
    """The module's docstring and version, and the docstring pybind11 renders for `pack`."""
    assert TesselPack.__doc__ == "TesselPack internal module for TesselTexturePacker"
    assert TesselPack.__version__ == (1, 0, 0)
    assert TesselPack.pack.__doc__ == pack_doc


def assert_sound_packing(result, sizes, bin_w, bin_h):
    """Every rectangle of positive area placed once, inside its bin, no two overlapping.

    `result` has the columns x, y, layer, flip, or x, y, flip for the one-argument
    form. Rows of zero area read (-1, -1, 0, 0), or all zeros in the one-argument form.
    """
    legacy = result.shape[1:] == (3,)
    assert result.dtype == np.int32 and result.shape == (len(sizes), 3 if legacy else 4)
    if legacy:
        result = np.insert(result, 2, 0, axis=1)
    positive = (sizes[:, 0] > 0) & (sizes[:, 1] > 0)
    assert (result[~positive] == ([0, 0, 0, 0] if legacy else [-1, -1, 0, 0])).all()
    # A square never reports a turn.
    assert (result[sizes[:, 0] == sizes[:, 1], 3] == 0).all()

    by_layer = {}
    for (x, y, layer, flip), (w, h) in zip(result[positive].tolist(), sizes[positive].tolist()):
        fw, fh = (h, w) if flip else (w, h)
        assert 0 <= x and 0 <= y and x + fw <= bin_w and y + fh <= bin_h
        by_layer.setdefault(layer, []).append((x, y, x + fw, y + fh))
    for placed in by_layer.values():
        placed.sort()
        for i, (ax0, ay0, ax1, ay1) in enumerate(placed):
            for bx0, by0, bx1, by1 in placed[i + 1:]:
                if bx0 >= ax1:  # sorted by x0: no later box can reach back
                    break
                assert by0 >= ay1 or ay0 >= by1, "rectangles overlap"
