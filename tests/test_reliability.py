"""Bad and extreme input, repeated calls and threads: no crash, hang, leak or corruption."""

import sys
import threading
import time
import warnings

import numpy as np
import pytest

from packing_checks import LEGACY_FORM, MEMORY_MEASURABLE

import TesselPack


def pack(sizes, texture=0):
    return TesselPack.pack(sizes) if LEGACY_FORM else TesselPack.pack(sizes, texture)


TEXTURES = [0] if LEGACY_FORM else [0, 256]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def int32_copy_cases():
    base = np.array([[5, 9], [3, 3], [8, 2], [1, 7]], dtype=np.int32)
    fortran = np.asfortranarray(base)
    readonly = base.copy()
    readonly.setflags(write=False)
    yield "int8", base.astype(np.int8)
    yield "uint16", base.astype(np.uint16)
    yield "int64", base.astype(np.int64)
    yield "float32", base.astype(np.float32) + np.float32(0.5)
    yield "fortran", fortran
    yield "readonly", readonly
    yield "broadcast", np.broadcast_to(np.array([6, 4], dtype=np.int32), (5, 2))


@pytest.mark.parametrize("texture", TEXTURES)
@pytest.mark.parametrize("label, array", list(int32_copy_cases()))
def test_any_layout_and_dtype_packs_like_its_int32_copy(capfd, texture, label, array):
    got = pack(array, texture)
    expected = pack(np.ascontiguousarray(array, dtype=np.int32), texture)
    assert np.array_equal(got[0], expected[0]) and got[1:] == expected[1:], label


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e20])
@pytest.mark.parametrize("texture", TEXTURES)
def test_non_finite_floats_are_refused(capfd, bad, texture):
    sizes = np.array([[4.0, 4.0], [3.0, bad]])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # NumPy's own word on the cast
        with pytest.raises(RuntimeError, match="row 1 has a size that is not a finite number"):
            pack(sizes, texture)
    assert capfd.readouterr().out == ""


def test_reference_counts_are_unchanged():
    good = np.array([[4, 4], [2, 8]], dtype=np.int32)
    bad = np.zeros((2, 3), dtype=np.int32)
    before = sys.getrefcount(good), sys.getrefcount(bad)
    for _ in range(100):
        pack(good)
        with pytest.raises(RuntimeError):
            pack(bad)
    assert (sys.getrefcount(good), sys.getrefcount(bad)) == before


@pytest.mark.skipif(not MEMORY_MEASURABLE, reason="AddressSanitizer's quarantine holds freed memory")
def test_many_calls_keep_memory_flat(capfd):
    rng = np.random.default_rng(3)
    inputs = [rng.integers(0, 40, size=(int(n), 2)) for n in rng.integers(0, 40, size=50)]
    inputs += [np.zeros((3, 3)), np.array([[-1, 2]]), np.ones(4)]

    def run(calls):
        for i in range(calls):
            try:
                pack(inputs[i % len(inputs)], TEXTURES[i % len(TEXTURES)])
            except RuntimeError:
                pass
        capfd.readouterr()

    run(5000)  # warm up the core's per-thread scratch and the allocator
    before = resident_bytes()
    run(100_000)
    grown = resident_bytes() - before
    # Generous: a leak of even 100 bytes a call would show as 10 MB.
    assert grown < 8 * 2**20, f"resident memory grew by {grown} bytes over 100,000 calls"


def test_threads_get_the_results_of_sequential_calls(capfd):
    rng = np.random.default_rng(4)
    inputs = [rng.integers(1, 60, size=(200, 2)) for _ in range(8)]
    expected = [pack(sizes, TEXTURES[i % len(TEXTURES)]) for i, sizes in enumerate(inputs)]
    results = [None] * len(inputs)
    errors = []

    def worker(i):
        try:
            for _ in range(5):
                results[i] = pack(inputs[i], TEXTURES[i % len(TEXTURES)])
        except Exception as error:  # reported below, on the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for got, want in zip(results, expected):
        assert np.array_equal(got[0], want[0]) and got[1:] == want[1:]


@pytest.mark.slow
@pytest.mark.parametrize(
    "n, texture, high",
    [(200_000, 0, 129), pytest.param(1_000_000, 2048, 17, marks=pytest.mark.skipif(LEGACY_FORM, reason="layers"))],
)
def test_very_large_inputs_complete(capfd, n, texture, high):
    sizes = np.random.default_rng(5).integers(1 if texture else 8, high, size=(n, 2), dtype=np.int32)
    start = time.perf_counter()
    result, w, h = pack(sizes, texture)
    took = time.perf_counter() - start
    lines = capfd.readouterr().out.count("\n")
    with capfd.disabled():
        print(f"\n{n:,} rectangles, texture {texture}: {took:.1f} s, bin {w} x {h}, {lines} progress lines")
    # Every rectangle placed and inside its bin; overlaps are checked on smaller inputs.
    flip = result[:, -1].astype(bool)
    far_x = result[:, 0] + np.where(flip, sizes[:, 1], sizes[:, 0])
    far_y = result[:, 1] + np.where(flip, sizes[:, 0], sizes[:, 1])
    assert (result[:, :2] >= 0).all() and (far_x <= w).all() and (far_y <= h).all()
