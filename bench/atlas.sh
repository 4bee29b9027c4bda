#!/usr/bin/env bash
# The atlas benchmarks from a fresh machine, in one run: fetches the sprite
# sets (Debian's supertux-data, pingus-data, wesnoth-1.16-data and
# hedgewars-data, downloaded, never installed), draws 20,000 small sprites
# from a seed, installs tessel-atlas and PyTexturePacker into an environment
# of their own, and prints the tables of bench/atlas.py (against the peer),
# bench/rebuild.py (rebuilds against clean builds), bench/bleeding.py (what
# bleeding costs a clean build), bench/formats.py (each manifest format
# against json-hash), bench/canvases.py (peak memory on large canvases) and
# bench/compressed.py (the GPU block formats' quality and writing time).
#   bash bench/atlas.sh [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/install_module.sh
mapfile -t folders < <(bash bench/fetch_sprites.sh supertux-data pingus-data wesnoth-1.16-data hedgewars-data)
venv=build/atlas-bench-venv
python3 -m venv "$venv"
install_module "$venv" '.[gpu]' PyTexturePacker==1.2.1 texture2ddecoder==1.0.6
many=build/sprites/many-20000
[[ -d $many ]] || "$venv/bin/python" bench/many_sprites.py "$many" >/dev/null
echo "## tessel-atlas against PyTexturePacker"
"$venv/bin/python" bench/atlas.py --peer-python "$venv/bin/python" "$@" "${folders[@]:0:3}"
echo
echo "## Rebuilds"
"$venv/bin/python" bench/rebuild.py "$@" "${folders[0]}" "$many"
echo
echo "## Bleeding"
(cd bench && "../$venv/bin/python" bleeding.py "../${folders[0]}" "../${folders[1]}" "../${folders[3]}")
echo
echo "## Formats against json-hash"
(cd bench && "../$venv/bin/python" formats.py "../${folders[0]}")
echo
echo "## Large canvases"
"$venv/bin/python" bench/canvases.py build/canvases
echo
echo "## GPU-compressed layers"
"$venv/bin/python" bench/compressed.py "$@" "${folders[@]:0:3}"
