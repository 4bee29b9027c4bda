# Sourced by the test and benchmark scripts: install_module VENV PIP-ARGS...
# installs the project into a virtual environment, pip upgraded first.
# Nothing in it has a time limit that a loaded machine could pass (the
# build backend is pinned to a release whose question to CMake has none:
# see pyproject.toml).
install_module() {
    local venv=$1
    shift
    "$venv/bin/python" -m pip install -q --upgrade pip && "$venv/bin/python" -m pip install -q "$@"
}
