#!/usr/bin/env bash
# Fetches the sprite sets that the atlas benchmark packs: the PNGs of Debian's
# game data packages, downloaded (never installed) and unpacked into
# build/sprites/<package>, keeping images of at most 2048 px a side.
# Prints the folder of each set. Safe to run again: finished sets are kept.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=build/sprites
mkdir -p "$cache"
for package in "$@"; do
    dest=$cache/$package
    if [[ -f $dest.done ]]; then
        echo "$dest"
        continue
    fi
    rm -rf "$dest" "$cache/$package.tmp" && mkdir -p "$cache/$package.tmp"
    (cd "$cache/$package.tmp" && apt-get download -qq "$package" >/dev/null 2>&1 ||
        { apt-get update -qq && apt-get download -qq "$package"; })
    dpkg-deb -x "$cache/$package.tmp"/*.deb "$cache/$package.tmp/root"
    mkdir -p "$dest"
    # Only PNGs, and only those a texture of 2048 can hold.
    python3 - "$cache/$package.tmp/root" "$dest" <<'PY'
import shutil, struct, sys
from pathlib import Path
src, dest = Path(sys.argv[1]), Path(sys.argv[2])
for path in sorted(src.rglob("*.png")):
    if not path.is_file() or path.is_symlink():
        continue
    with path.open("rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        continue
    w, h = struct.unpack(">II", head[16:24])
    if 0 < w <= 2048 and 0 < h <= 2048:
        target = dest / path.relative_to(src)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, target)
PY
    rm -rf "$cache/$package.tmp"
    touch "$dest.done"
    echo "$dest"
done
