#!/usr/bin/env bash
# Builds and tests the Python module with every CPython on this machine: the
# two-argument form with each CPython 3.9 or newer that pyenv provides, the
# one-argument form with CPython 3.7, and both forms with the default python3.
# Each build goes into its own virtual environment under build/matrix.
set -uo pipefail
cd "$(dirname "$0")/.."

legacy_define=-Ccmake.define.TESSEL_LEGACY_PACK=ON
report=()
failed=0

run_one() {  # label, interpreter, form (two-argument | one-argument), extra pytest arguments
    local label=$1 python=$2 form=$3 venv=build/matrix/$1-$3 define=(-Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON)
    shift 3
    [[ $form == one-argument ]] && define+=("$legacy_define")
    echo "== $label, $form form"
    if "$python" -m venv --clear "$venv" &&
        "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/python" -m pip install -q ".[test]" "${define[@]}" &&
        (cd build && "../$venv/bin/python" -m pytest -q -p no:cacheprovider ../tests "$@"); then
        report+=("$label | $form | passed")
    else
        report+=("$label | $form | FAILED")
        failed=1
    fi
}

default_python=$(command -v python3)
default_version=$("$default_python" -c 'import platform; print(platform.python_version())')
run_one "$default_version" "$default_python" two-argument --run-slow
run_one "$default_version" "$default_python" one-argument --run-slow

if command -v pyenv >/dev/null; then
    for dir in "$(pyenv root)"/versions/3.*; do
        version=$(basename "$dir")
        minor=$(cut -d. -f2 <<<"$version")
        if [[ $version == "$default_version" ]]; then
            continue
        elif ((minor >= 9)); then
            run_one "$version" "$dir/bin/python3" two-argument
        elif ((minor == 7)); then
            run_one "$version" "$dir/bin/python3" one-argument
        fi
    done
fi

echo
echo "interpreter | form | result"
printf '%s\n' "${report[@]}"
exit $failed
