"""The installed type stubs describe pack as it is: checked with mypy."""

import pytest

from packing_checks import LEGACY_FORM

mypy_api = pytest.importorskip("mypy.api")
# The stubs are the same on every interpreter: checked once per form.
pytestmark = pytest.mark.slow

ARGS = "sizes" if LEGACY_FORM else "sizes, 0"

TYPED_USAGE = f"""
from typing import Tuple
import numpy as np
import numpy.typing as npt
import TesselPack

sizes = np.array([[30, 10], [16, 16]], dtype=np.int32)
placements, width, height = TesselPack.pack({ARGS})
rows: npt.NDArray[np.int32] = placements
area: int = width * height
version: Tuple[int, int, int] = TesselPack.__version__

from tessel_atlas import place

placed, side, _ = place(sizes, 0, allow_rotation=False, growth=1.02, progress=print)
placed_rows: npt.NDArray[np.int32] = placed

from tessel_atlas import AtlasError, Result, build

try:
    result: Result = build(["sprites"], "out", max_texture_size=512, texture_format=["png", "bc7"])
    right: int = result.frames["hero.png"].x + result.layers[0].width
except AtlasError as error:
    message: str = str(error)
"""

MISUSES = [
    f"import TesselPack\nname: str = TesselPack.pack([[1, 2]]{'' if LEGACY_FORM else ', 0'})[1]\n",
    "import TesselPack\nTesselPack.pack([[1, 2]], 'big', 3)\n",
    "import TesselPack\nTesselPack.unpack([[1, 2]])\n",
    "from tessel_atlas import place\nplace([[1, 2]], 0, False)\n",
    "from tessel_atlas import build\nbuild('sprites', 'out').layers[0].frames + 1\n",
]


def run_mypy(tmp_path, source):
    path = tmp_path / "usage.py"
    path.write_text(source)
    out, err, status = mypy_api.run(["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                                     str(path)])
    return out + err, status


def test_typed_usage_checks(tmp_path):
    report, status = run_mypy(tmp_path, TYPED_USAGE)
    assert status == 0, report


@pytest.mark.parametrize("source", MISUSES)
def test_misuse_is_caught(tmp_path, source):
    report, status = run_mypy(tmp_path, source)
    assert status == 1 and "error:" in report, report
