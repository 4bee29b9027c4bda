#!/usr/bin/env bash
# Every test of the project, from a fresh machine. It installs the Debian
# packages it needs first (GoogleTest, Clang and its sanitizer runtimes,
# MinGW-w64, Wine, stb, Chromium: apt-get, so as root), then runs, each part
# under a header:
# - the C++ tests with GCC (warnings as errors), with Clang under
#   AddressSanitizer and UndefinedBehaviorSanitizer, and cross-compiled for
#   Windows x64 with MinGW-w64, run under Wine;
# - the fuzzing corpus replayed, and the packing core fuzzed for 60 seconds;
# - the Python tests against a sanitizer build of the modules;
# - the modules in both forms with every CPython on the machine, the Python
#   tests against each build (tests/matrix.sh), the slow ones once; the
#   browser tests load atlases in Phaser 3 and PixiJS in headless Chromium;
# - the benchmark at n = 1,000 as a smoke test.
# It stops at the first part that fails; the last line says which, or that
# the whole run passed. About 25 minutes on 2 cores.
#
#   bash tests/run_all.sh --quick   the everyday subset, about 3 minutes:
#                                   C++ tests with GCC, the Python tests once
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[[ ${1:-} == --quick ]] && quick=1

missing=()
[[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v chromium >/dev/null || missing+=(chromium)
if ((!quick)); then
    command -v clang++ >/dev/null || missing+=(clang)
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null || missing+=(wine wine64)
    dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
    [[ -f /usr/include/stb/stb_rect_pack.h ]] || missing+=(libstb-dev)
fi
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
started=$SECONDS

cpp_suite() {  # name, then extra CMake arguments
    local dir=build/tests-$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

sanitized_cpp() {
    UBSAN_OPTIONS=print_stacktrace=1 cpp_suite sanitize -DCMAKE_CXX_COMPILER=clang++ \
        "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
}

windows_cpp() {
    WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" cpp_suite mingw \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DTESSEL_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_CROSSCOMPILING_EMULATOR=wine
}

fuzz() {
    cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DTESSEL_BUILD_FUZZ=ON -DTESSEL_BUILD_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build build/fuzz -j "$jobs"
    ctest --test-dir build/fuzz --output-on-failure
    rm -rf build/fuzz/work && cp -r tests/fuzz/corpus build/fuzz/work
    build/fuzz/tests/fuzz/fuzz_pack -max_total_time=60 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
        build/fuzz/work 2>&1 | tail -4
}

python_once() {
    local venv=build/venv-quick
    python3 -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ".[test]"
    (cd build && "../$venv/bin/python" -m pytest -q -p no:cacheprovider ../tests)
}

part() {  # header, then the command; stops the run at the first failure
    echo
    echo "==== $1 ($((SECONDS - started)) s into the run)"
    set +e
    (set -euo pipefail; "${@:2}")
    local status=$?
    set -e
    if ((status)); then
        echo
        echo "==== FAILED: $1 (exit status $status)"
        exit "$status"
    fi
}

if ((quick)); then
    part "C++ tests, GCC" cpp_suite gcc -DCMAKE_CXX_COMPILER=g++
    part "Python tests" python_once
    echo
    echo "==== quick run passed in $((SECONDS - started)) s (the full run: bash tests/run_all.sh)"
    exit 0
fi

part "C++ tests, GCC" cpp_suite gcc -DCMAKE_CXX_COMPILER=g++
part "C++ tests, Clang with AddressSanitizer and UndefinedBehaviorSanitizer" sanitized_cpp
part "C++ tests for Windows x64 under Wine" windows_cpp
part "Fuzzing for 60 s" fuzz
part "Python tests against the sanitizer build" bash tests/sanitized_module.sh
part "Python tests with every interpreter, both forms" bash tests/matrix.sh
part "Benchmark smoke run" bash bench/run.sh --sizes 1000 --speedup-max-n 1000 \
    --packers TesselPack,tessel_atlas.place,stb_rect_pack --quick
echo
echo "==== the whole run passed in $((SECONDS - started)) s"
