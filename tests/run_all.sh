#!/usr/bin/env bash
# Every test of the project, from a fresh machine. It installs the Debian
# packages it needs first (GoogleTest, Clang and its sanitizer runtimes,
# MinGW-w64, Wine, stb, zlib, Chromium, Godot 3, LÖVE, xvfb, ccache: apt-get,
# so as root), then runs,
# each part under a header:
# - the C++ tests with GCC (warnings as errors), with Clang under
#   AddressSanitizer and UndefinedBehaviorSanitizer, and cross-compiled for
#   Windows x64 with MinGW-w64, run under Wine;
# - the C++ package: the example program in examples/ built against an
#   installed copy and through add_subdirectory, warnings as errors, and run;
# - the fuzzing corpora replayed, the packing core fuzzed for 60 seconds and
#   the PNG reader's inflater, against zlib's, for 30;
# - the Python tests against a sanitizer build of the modules;
# - the modules in both forms with every CPython on the machine, the Python
#   tests against each build (tests/matrix.sh), the slow ones once per form;
#   the browser tests load atlases in Phaser 3 and PixiJS in headless
#   Chromium, and Godot 3 and LÖVE load theirs;
# - the benchmark at n = 1,000 as a smoke test.
# The C++ parts and the Python parts run side by side, as two lanes whose
# output is printed as each ends (the Python lane's as it goes); compiler
# output is cached (ccache, in build/ccache) for the parts that compile the
# same sources again. It stops each lane at its first failing part; the last
# line says which part failed, or that the whole run passed, and how long it
# took: 1,308 s on 2 cores of a quiet shared machine (2,426 s on a busy day)
# once the packages were installed.
#
#   bash tests/run_all.sh --quick   the everyday subset, 299 s: C++ tests
#                                   with GCC, the Python tests once
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/install_module.sh
quick=0
[[ ${1:-} == --quick ]] && quick=1

missing=()
[[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
command -v ccache >/dev/null || missing+=(ccache)
command -v cmake >/dev/null || missing+=(cmake)
command -v chromium >/dev/null || missing+=(chromium)
# Godot 3 loads --format godot's resources (its editor, under xvfb-run, imports the layer images first).
command -v godot3-server >/dev/null || missing+=(godot3-server)
command -v godot3 >/dev/null || missing+=(godot3)
command -v xvfb-run >/dev/null || missing+=(xvfb)
# LÖVE loads the GPU-compressed layers (KTX files) as a native engine.
command -v love >/dev/null || missing+=(love)
if ((!quick)); then
    command -v clang++ >/dev/null || missing+=(clang)
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null || missing+=(wine wine64)
    dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
    [[ -f /usr/include/stb/stb_rect_pack.h ]] || missing+=(libstb-dev)
    [[ -f /usr/include/zlib.h ]] || missing+=(zlib1g-dev)  # the inflater's fuzzer compares with zlib
fi
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
started=$SECONDS
mkdir -p build
export CCACHE_DIR=$PWD/build/ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache

cpp_suite() {  # name, then extra CMake arguments
    local dir=build/tests-$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# Debug builds keep their assertions and -g, optimised: at -O0 the exactness
# tests (thousands of packings compared with the straightforward search)
# took 10 minutes with GCC and an hour under the sanitizers; at -O2, and
# -O1 (the sanitizers' advice) under them, seconds, at the same size.
gcc_cpp() {
    cpp_suite gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=-O2
}

sanitized_cpp() {
    UBSAN_OPTIONS=print_stacktrace=1 cpp_suite sanitize -DCMAKE_CXX_COMPILER=clang++ \
        "-DCMAKE_CXX_FLAGS=-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
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
    rm -rf build/fuzz/work build/fuzz/inflate_work && cp -r tests/fuzz/corpus build/fuzz/work
    build/fuzz/tests/fuzz/fuzz_pack -max_total_time=60 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
        build/fuzz/work 2>&1 | tail -4
    cp -r tests/fuzz/inflate_corpus build/fuzz/inflate_work
    build/fuzz/tests/fuzz/fuzz_inflate -max_total_time=30 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
        build/fuzz/inflate_work 2>&1 | tail -4
}

python_once() {
    local venv=build/venv-quick
    python3 -m venv --clear "$venv"
    install_module "$venv" ".[test]" -Ccmake.define.TESSEL_MODULE_LTO=OFF
    (cd build && "../$venv/bin/python" -m pytest -q -rs -p no:cacheprovider ../tests)
}

cpp_package() {  # the example against an installed copy, then through add_subdirectory
    local flags="-Wall -Wextra -Wpedantic -Wconversion -Wshadow" prefix=$PWD/build/package/prefix
    cmake -S . -B build/package/tessel -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_TESTS=OFF >/dev/null
    cmake --install build/package/tessel --prefix "$prefix" >/dev/null
    cmake -S examples/pack_rectangles -B build/package/installed -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake -S examples/pack_rectangles -B build/package/subdirectory -DTESSEL_SOURCE_DIR="$PWD" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    for way in installed subdirectory; do
        cmake --build "build/package/$way" -j "$jobs" >/dev/null
        echo "-- $way:"
        "build/package/$way/pack_rectangles"
    done
    # Through add_subdirectory, the consumer's build holds nothing of ours but tessel::tessel.
    if [[ -n $(find build/package/subdirectory/tessel -name '*.o' -o -name '*tests*' -type f) ]]; then
        echo "add_subdirectory built more than tessel::tessel" >&2
        return 1
    fi
}

part() {  # header, then the command; stops the lane at the first failure
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
    part "C++ tests, GCC" gcc_cpp
    part "Python tests" python_once
    echo
    echo "==== quick run passed in $((SECONDS - started)) s (the full run: bash tests/run_all.sh)"
    exit 0
fi

cpp_lane() {
    part "C++ tests, GCC" gcc_cpp
    part "C++ package: the example, installed and through add_subdirectory" cpp_package
    part "C++ tests, Clang with AddressSanitizer and UndefinedBehaviorSanitizer" sanitized_cpp
    part "C++ tests for Windows x64 under Wine" windows_cpp
    part "Fuzzing for 90 s" fuzz
}

python_lane() {
    part "Python tests against the sanitizer build" bash tests/sanitized_module.sh
    part "Python tests with every interpreter, both forms" bash tests/matrix.sh
    part "Benchmark smoke run" bash bench/run.sh --sizes 1000 --speedup-max-n 1000 \
        --packers TesselPack,tessel_atlas.place,stb_rect_pack --quick
}

cpp_lane >build/lane-cpp.log 2>&1 &
cpp=$!
python_lane > >(tee build/lane-python.log) 2>&1 &
python=$!
set +e
wait "$python"
python_status=$?
wait "$cpp"
cpp_status=$?
set -e
echo
echo "==== the C++ lane's output"
cat build/lane-cpp.log
echo
if ((python_status || cpp_status)); then
    failed=$(grep -h "^==== FAILED: " build/lane-python.log build/lane-cpp.log | sed 's/^==== FAILED: //' |
        paste -sd ';' -)
    echo "==== FAILED after $((SECONDS - started)) s: ${failed:-a lane ended early}"
    exit 1
fi
echo "==== the whole run passed in $((SECONDS - started)) s"
