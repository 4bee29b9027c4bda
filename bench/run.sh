#!/usr/bin/env bash
# The whole benchmark from a fresh machine: installs the peer packers into a
# benchmark environment of their own (never the module's dependencies),
# builds the C++ helpers, then prints the speed-up of the fast search over the
# straightforward one and the comparison with the peers.
#   bash bench/run.sh [--sizes 100,1000,10000,100000] [--speedup-max-n 10000]
#                     [--packers TesselPack,tessel_atlas.place,stb_rect_pack,...] [--quick]
# --quick leaves out the per-ordering times and the growth and resolution
# table of place.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/install_module.sh

sizes=100,1000,10000,100000
speedup_max_n=10000
quick=0
packers="TesselPack,tessel_atlas.place,stb_rect_pack,rectangle-packer,rectpack MaxRects"
while (($#)); do
    case $1 in
        --sizes) sizes=$2; shift 2 ;;
        --speedup-max-n) speedup_max_n=$2; shift 2 ;;
        --packers) packers=$2; shift 2 ;;
        --quick) quick=1; shift ;;
        *) echo "usage: bash bench/run.sh [--sizes LIST] [--speedup-max-n N] [--packers LIST] [--quick]" >&2
           exit 2 ;;
    esac
done

if [[ ! -f /usr/include/stb/stb_rect_pack.h ]]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libstb-dev >/dev/null
fi

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_BENCH=ON -DTESSEL_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null

venv=build/bench-venv
python3 -m venv "$venv"
install_module "$venv" . rectangle-packer==2.1.1 rectpack==0.2.2

echo "## Fast search against the straightforward one (C++, same results required)"
echo
build/bench/bench/tessel_speedup "$speedup_max_n"
echo
echo "## TesselPack and its peers (Python, each measurement in its own process)"
echo
"$venv/bin/python" bench/bench.py --sizes "$sizes" --packers "$packers" \
    --stb "$PWD/build/bench/bench/libstb_shim.so"
((quick)) && exit 0
echo
echo "## Each ordering's search, single bin (C++, summed over the attempts)"
echo
build/bench/bench/tessel_speedup --orderings 100000
echo
echo "## Single bins from tessel_atlas.place: growth factor and search resolution"
echo
(cd bench && "../$venv/bin/python" place.py --n 10000)
