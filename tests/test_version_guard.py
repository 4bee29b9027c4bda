"""A module built for one CPython minor version refuses to load into another."""

import glob
import os
import shutil
import subprocess
import sys

import pytest
import TesselPack

BUILT_FOR = f"{sys.version_info.major}.{sys.version_info.minor}"
PROBE = (
    "import sys; sys.path.insert(0, sys.argv[1])\n"
    "try:\n"
    "    import TesselPack\n"
    "except ImportError as error:\n"
    "    print(error, end='')\n"
    "    print('|' + sys.version, end='')\n"
    "else:\n"
    "    print('imported')\n"
)


def other_interpreters():
    """One python3 per minor version other than ours, from pyenv or the PATH."""
    found = {}
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3")))
    candidates += [shutil.which(f"python3.{minor}") for minor in range(6, 16)]
    for path in filter(None, candidates):
        try:
            version = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                     capture_output=True, text=True).stdout.strip()
        except OSError:
            continue
        if version and version != BUILT_FOR:
            found.setdefault(version, path)
    return found


def test_other_minor_versions_are_refused(tmp_path):
    others = other_interpreters()
    if not others:
        pytest.skip("no CPython of another minor version on this machine")
    # A plain .so name loads under any CPython on Linux; .pyd likewise on Windows.
    shutil.copy(TesselPack.__file__, tmp_path / ("TesselPack" + os.path.splitext(TesselPack.__file__)[1]))
    guarded = 0
    for version, path in others.items():
        done = subprocess.run([path, "-c", PROBE, str(tmp_path)], capture_output=True, text=True)
        assert done.returncode == 0, f"{version}: {done.stderr}"
        assert done.stdout != "imported", f"a {BUILT_FOR} build imported into {version}"
        message, _, running = done.stdout.partition("|")
        if "undefined symbol" in message:
            continue  # the loader refused it before the module's own check could run
        assert message == (
            f"Python version mismatch: module was compiled for Python {BUILT_FOR}, "
            f"but the interpreter version is incompatible: {running}."
        )
        guarded += 1
    if not guarded:
        pytest.skip(f"the loader refused this build in every other interpreter ({sorted(others)})")
