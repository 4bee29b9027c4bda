#!/usr/bin/env bash
# Every test of the project, from a fresh machine: installs what is missing,
# builds and runs the C++ tests twice (GCC, warnings as errors; Clang with
# AddressSanitizer and UndefinedBehaviorSanitizer), then installs the Python
# module into a virtual environment and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
command -v clang++ >/dev/null || missing+=(clang)
command -v cmake >/dev/null || missing+=(cmake)
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)

cpp_suite() {  # name, compiler, extra flags
    local dir=build/tests-$1
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$2" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_CXX_FLAGS="$3" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

cpp_suite gcc g++ ""
UBSAN_OPTIONS=print_stacktrace=1 cpp_suite sanitize clang++ \
    "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

venv=build/venv
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]"
# From outside the source tree, so that the installed module is the one tested.
(cd build && "venv/bin/python" -m pytest -q -p no:cacheprovider ../tests)
