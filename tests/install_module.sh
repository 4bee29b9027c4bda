# Sourced by the test and benchmark scripts: install_module VENV PIP-ARGS...
# installs the project into a virtual environment (pip upgraded first).
#
# The build backend asks CMake its version with a time limit of a few
# seconds (20 with CI set), and on a loaded machine that question alone can
# run past it: the build then fails with "Could not find CMake". That is the
# machine, not the project, so the install is tried again, up to three
# times in all, saying why; any other failure ends it at once.
install_module() {
    local venv=$1 log try
    shift
    log=$(mktemp)
    "$venv/bin/python" -m pip install -q --upgrade pip || return
    for try in 1 2 3; do
        if "$venv/bin/python" -m pip install -q "$@" >"$log" 2>&1; then
            cat "$log" && rm -f "$log"
            return 0
        fi
        if ! grep -q "Accessing CMake timed out" "$log" || ((try == 3)); then
            cat "$log" && rm -f "$log"
            return 1
        fi
        echo "install_module: the build backend's question to CMake timed out (a loaded machine); trying again"
    done
}
