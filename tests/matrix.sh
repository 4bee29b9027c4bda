#!/usr/bin/env bash
# Builds and tests the Python modules with every CPython on this machine: the
# two-argument form with each CPython 3.9 or newer that pyenv provides, the
# one-argument form with CPython 3.7, and both forms with the default python3.
# Each build goes into its own virtual environment under build/matrix, with
# its output in a log there. Builds run side by side, one per core: most of
# a build's time is pip and pytest, each on one core. The slow tests (large
# inputs, real processes, browsers, type checking) are the same on every
# interpreter, and run in the default python3's builds only.
set -uo pipefail
cd "$(dirname "$0")/.."
source tests/install_module.sh
mkdir -p build/matrix

# Test builds: no link-time optimisation (it only slows linking).
common_defines=(-Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON -Ccmake.define.TESSEL_MODULE_LTO=OFF)
legacy_define=-Ccmake.define.TESSEL_LEGACY_PACK=ON
builds=()  # label:form:python:extra pytest argument

run_one() {  # label, form (two-argument | one-argument), interpreter, extra pytest arguments
    local label=$1 form=$2 python=$3 venv=build/matrix/$1-$2 defines=("${common_defines[@]}")
    shift 3
    [[ $form == one-argument ]] && defines+=("$legacy_define")
    "$python" -m venv --clear "$venv" &&
        install_module "$venv" ".[test]" "${defines[@]}" &&
        (cd build && "../$venv/bin/python" -m pytest -q -rs -p no:cacheprovider ../tests "$@")
}

default_python=$(command -v python3)
default_version=$("$default_python" -c 'import platform; print(platform.python_version())')
builds+=("$default_version:two-argument:$default_python:--run-slow" "$default_version:one-argument:$default_python:--run-slow")
if command -v pyenv >/dev/null; then
    for dir in "$(pyenv root)"/versions/3.*; do
        version=$(basename "$dir")
        minor=$(cut -d. -f2 <<<"$version")
        if [[ $version == "$default_version" ]]; then
            continue
        elif ((minor >= 9)); then
            builds+=("$version:two-argument:$dir/bin/python3:")
        elif ((minor == 7)); then
            builds+=("$version:one-argument:$dir/bin/python3:")
        fi
    done
fi

parallel=$(nproc)
for build in "${builds[@]}"; do
    IFS=: read -r label form python extra <<<"$build"
    while (($(jobs -rp | wc -l) >= parallel)); do
        wait -n
    done
    (
        started=$SECONDS
        run_one "$label" "$form" "$python" ${extra:+"$extra"} >"build/matrix/$label-$form.log" 2>&1
        echo "$? $((SECONDS - started))" >"build/matrix/$label-$form.status"
    ) &
done
wait

failed=0
table=()
for build in "${builds[@]}"; do
    IFS=: read -r label form _ _ <<<"$build"
    read -r status took <"build/matrix/$label-$form.status"
    echo "== $label, $form form ($took s)"
    cat "build/matrix/$label-$form.log"
    if ((status)); then
        table+=("$label | $form | FAILED")
        failed=1
    else
        table+=("$label | $form | passed")
    fi
done
echo
echo "interpreter | form | result"
printf '%s\n' "${table[@]}"
exit $failed
