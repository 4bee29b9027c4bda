"""Tests of tessel_atlas.place, the engine's second entry point."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from packing_checks import LEGACY_FORM, assert_sound_packing
from tessel_atlas import place

import TesselPack

small_sizes = st.lists(st.tuples(st.integers(0, 40), st.integers(0, 40)), max_size=60)
# Large enough to be searched on several threads.
large_sizes = st.integers(0, 2**32 - 1).map(
    lambda seed: np.random.default_rng(seed).integers(1, 60, size=(int(seed % 700) + 400, 2)))


@pytest.mark.skipif(LEGACY_FORM, reason="compares with the two-argument pack")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sizes=st.one_of(small_sizes.map(lambda rows: np.array(rows, dtype=np.int32).reshape(-1, 2)), large_sizes),
       texture=st.sampled_from([0, 64, 256]), threads=st.sampled_from([0, 1, 2, 3, 6]))
def test_defaults_return_exactly_what_pack_returns(capfd, sizes, texture, threads):
    expected = TesselPack.pack(sizes, texture)
    got = place(sizes, texture, threads=threads)
    assert np.array_equal(got[0], expected[0]) and got[1:] == expected[1:]


@settings(max_examples=40, deadline=None)
@given(rows=small_sizes, texture=st.sampled_from([0, 40, 64]), growth=st.sampled_from([1.01, 1.1, 2.0]),
       resolution=st.sampled_from([1, 4, 64]))
def test_without_rotation_nothing_is_turned(rows, texture, growth, resolution):
    sizes = np.array(rows, dtype=np.int32).reshape(-1, 2)
    result, w, h = place(sizes, texture, allow_rotation=False, growth=growth, resolution=resolution, threads=2)
    assert not result[:, 3].any()
    assert_sound_packing(result, sizes, w, h)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"growth": 1.0}, ValueError, r"growth must be above 1 and at most 2 \(got 1.0\)"),
        ({"growth": float("nan")}, ValueError, "growth must be above 1"),
        ({"growth": 2.5}, ValueError, "growth must be above 1"),
        ({"resolution": 0}, ValueError, r"resolution must be at least 1 \(got 0\)"),
        ({"threads": -1}, ValueError, r"threads must not be negative \(got -1\)"),
        ({"progress": 3}, TypeError, r"progress must be callable or None \(got int\)"),
    ],
)
def test_bad_options_are_refused_before_any_work(options, error, message):
    calls = []
    with pytest.raises(error, match=message):
        place([[4, 4]], 64, **{"progress": calls.append, **options})
    assert calls == []


def test_input_errors_are_those_of_pack():
    with pytest.raises(RuntimeError, match=r"^rect_sizes row 1 \(70 x 3\) does not fit a 64 x 64 texture"):
        place([[4, 4], [70, 3]], 64)
    with pytest.raises(TypeError):
        place([[4, 4]], 64, 1.1)  # options are keyword only


def test_thread_limit_from_the_environment_is_checked(monkeypatch):
    monkeypatch.setenv("TESSEL_NUM_THREADS", "many")
    with pytest.raises(ValueError, match="TESSEL_NUM_THREADS must be a positive whole number"):
        place([[4, 4]], 0)
    monkeypatch.setenv("TESSEL_NUM_THREADS", "1")
    assert place([[4, 4]], 0)[1:] == (4, 4)


def test_progress_counts_down_and_nothing_is_printed(capfd):
    counts = []
    place(np.full((3, 2), 60), 100, progress=counts.append)
    assert counts == [2, 1, 0]
    counts.clear()
    place(np.array([[30, 10]]), 0, progress=counts.append)
    assert counts[-1] == 0 and set(counts[:-1]) == {1}  # a single bin grows until the one rectangle fits
    assert capfd.readouterr() == ("", "")


def test_flip_bits_come_from_the_sizes_as_read():
    # The array changes under the call (here from the progress callable);
    # the flip bits still describe the layout that was packed.
    sizes = np.random.default_rng(8).integers(1, 30, size=(300, 2))
    expected = place(sizes.copy(), 64)[0]
    got = place(sizes, 64, progress=lambda _: sizes.__setitem__((slice(None), 0), 1))[0]
    assert np.array_equal(got, expected)


def test_an_exception_from_progress_ends_the_call():
    def stop(remaining):
        raise LookupError(remaining)

    with pytest.raises(LookupError):
        place(np.full((3, 2), 60), 100, progress=stop)


def big_job():
    return np.random.default_rng(9).integers(8, 64, size=(40_000, 2)), 256


def test_other_threads_run_while_it_packs():
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.perf_counter()
        place(*big_job(), threads=1)
        end = time.perf_counter()
    finally:
        done.set()
        ticker.join()
    during = [t for t in ticks if start < t < end]
    assert len(during) > 10, f"{len(during)} ticks in {end - start:.2f} s"


# Sanitizer runtimes slow the engine many times over: what only timing can
# show is not shown there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# Searches of these take seconds; a signal at 0.3 s lands inside one.
CTRL_C_JOBS = pytest.mark.parametrize("job, threads", [
    (big_job(), 0),
    ((np.random.default_rng(8).integers(1, 40, size=(200_000, 2)), 0), 1),
    ((np.random.default_rng(8).integers(1, 40, size=(200_000, 2)), 0), 2),
])


def interrupted(job, threads):
    """Sends SIGINT to this process 0.3 s into place(*job), which must end
    with KeyboardInterrupt; returns the processor time the process spent
    from the signal to the end of the call (all threads, so that a loaded
    machine, which delays every thread alike, does not change it much)."""
    sent = []
    timer = threading.Timer(0.3, lambda: (sent.append(time.process_time()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            place(*job, threads=threads, progress=lambda _: None)
    finally:
        timer.cancel()
    return time.process_time() - sent[0]


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT to itself")
@CTRL_C_JOBS
def test_ctrl_c_ends_the_call_and_leaves_the_engine_clean(job, threads):
    sizes = np.random.default_rng(2).integers(1, 50, size=(5000, 2))
    expected = place(sizes, 0, threads=threads)
    interrupted(job, threads)
    got = place(sizes, 0, threads=threads)
    assert np.array_equal(got[0], expected[0]) and got[1:] == expected[1:]


@pytest.mark.slow
@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT to itself")
@pytest.mark.skipif(SANITIZED, reason="timing, which sanitizers distort")
@CTRL_C_JOBS
def test_ctrl_c_ends_the_call_long_before_its_work_is_done(job, threads):
    # Measured against the whole call in processor time, not against a
    # clock: on a loaded machine both grow alike. Stopped, a search costs
    # at most one insertion a thread more (the core's own tests count them).
    start = time.process_time()
    place(*job, threads=threads)
    whole = time.process_time() - start
    assert interrupted(job, threads) < whole / 4
