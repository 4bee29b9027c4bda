#!/usr/bin/env bash
# Every test of the project, from a fresh machine: installs what is missing,
# then
# - builds and runs the C++ tests with GCC (warnings as errors), with Clang
#   under AddressSanitizer and UndefinedBehaviorSanitizer, and cross-compiled
#   for Windows x64 with MinGW-w64, run under Wine;
# - replays the fuzzing corpus and fuzzes the packing core for 60 seconds;
# - runs the Python tests against a sanitizer build of the module
#   (tests/sanitized_module.sh);
# - builds the Python module in both forms with every CPython on the machine
#   and runs the Python tests against each build (tests/matrix.sh), the slow
#   very-large-input tests once;
# - runs the benchmark at n = 1,000 as a smoke test.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
command -v clang++ >/dev/null || missing+=(clang)
command -v cmake >/dev/null || missing+=(cmake)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine wine64)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
[[ -f /usr/include/stb/stb_rect_pack.h ]] || missing+=(libstb-dev)
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)

cpp_suite() {  # name, then extra CMake arguments
    local dir=build/tests-$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

cpp_suite gcc -DCMAKE_CXX_COMPILER=g++
UBSAN_OPTIONS=print_stacktrace=1 cpp_suite sanitize -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" cpp_suite mingw \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DTESSEL_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_CROSSCOMPILING_EMULATOR=wine

cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTESSEL_BUILD_FUZZ=ON -DTESSEL_BUILD_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure
rm -rf build/fuzz/work && cp -r tests/fuzz/corpus build/fuzz/work
build/fuzz/tests/fuzz/fuzz_pack -max_total_time=60 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
    build/fuzz/work 2>&1 | tail -4

bash tests/sanitized_module.sh
bash tests/matrix.sh
bash bench/run.sh --sizes 1000 --speedup-max-n 1000 --packers TesselPack,stb_rect_pack
