#!/usr/bin/env bash
# Builds the Python module with AddressSanitizer and UndefinedBehaviorSanitizer
# (GCC) and runs the whole pytest suite against it, the sanitizer runtimes
# preloaded into the uninstrumented interpreter. Any sanitizer error fails the
# run; of the leaks reported at exit, those whose allocation passed through
# the module's own code fail it too (the interpreter and its other extensions
# keep memory until exit by design, and are not ours to judge).
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/install_module.sh

venv=build/venv-asan
reports=build/asan-reports
python3 -m venv --clear "$venv"
install_module "$venv" ".[test]" -Ccmake.build-type=Debug \
    "-Ccmake.define.CMAKE_CXX_FLAGS=-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

rm -rf "$reports" && mkdir -p "$reports"
(
    cd build
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
        ASAN_OPTIONS="detect_leaks=1:log_path=$PWD/asan-reports/report" LSAN_OPTIONS=exitcode=0 \
        UBSAN_OPTIONS=print_stacktrace=1 \
        "venv-asan/bin/python" -m pytest -q -rs -p no:cacheprovider ../tests
)

shopt -s nullglob
failed=0
for report in "$reports"/report.*; do
    if grep -q "ERROR: AddressSanitizer\|runtime error:" "$report"; then
        echo "sanitizer error in $report:" && cat "$report"
        failed=1
    fi
    # Leak records are separated by blank lines; keep those that reach our code
    # outside the one-time module registration.
    ours=$(awk -v RS= '/(Direct|Indirect) leak/ && /(TesselPack\.cpp|\/tessel\/|tessel_atlas\/_(engine|png|stamps)\.cpp)/ \
        && !/pybind11_init_(TesselPack|_engine|_png|_blocks|_stamps|_text)|PyInit_(TesselPack|_engine|_png|_blocks|_stamps|_text)/' "$report")
    if [[ -n $ours ]]; then
        echo "leak in the module's own code ($report):" && echo "$ours"
        failed=1
    fi
done
echo "sanitized module: $(ls "$reports" | wc -l) sanitizer reports read, $([[ $failed == 0 ]] && echo clean || echo FAILED)"
exit $failed
