#!/usr/bin/env bash
# The atlas benchmark from a fresh machine: fetches the sprite sets (Debian's
# supertux-data, pingus-data and wesnoth-1.16-data, downloaded, never
# installed), installs tessel-atlas and PyTexturePacker into an environment
# of their own, and prints the table of bench/atlas.py.
#   bash bench/atlas.sh [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t folders < <(bash bench/fetch_sprites.sh supertux-data pingus-data wesnoth-1.16-data)
venv=build/atlas-bench-venv
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q '.[atlas]' PyTexturePacker==1.2.1
"$venv/bin/python" bench/atlas.py --peer-python "$venv/bin/python" "$@" "${folders[@]}"
