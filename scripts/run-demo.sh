#!/usr/bin/env bash
# usage: scripts/run-demo.sh [-h|--help] [--out DIR] [--world FILE]
# Installs what is missing (scripts/install-deps.sh), builds vek-cli (and the stand-ins it
# runs on) and runs the operator's road through it against the stand-in signature library.
# The tree is configured without the module and the tests, -DVEK_PYTHON=OFF
# -DBUILD_TESTING=OFF, so that neither Python 2.7 nor SWIG is needed.
#   --out DIR       where the demo's files stay: the request archive, the exported
#                   certificate, the signed file, its signature and its tampered copy
#                   (default: demo-out/ in the build tree)
#   --world FILE    the stand-in's world file to use (default: ~/.tavrel-standin/world.json);
#                   a missing file is made with the built-in world, in a folder that exists
#   BUILD_DIR       the build tree (default: build/ in the clone)
#   VEK_CMAKE_ARGS  extra configure options, split at spaces, given after those two (so
#                   -DVEK_PYTHON=ON configures the tree for the module as well)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib/usage.sh"
build="${BUILD_DIR:-$root/build}"
out="$build/demo-out"
road=()
while (($#)); do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --out | --world) (($# > 1)) || usage_error "$1 needs a value" ;;
    *) usage_error "unknown option $1" ;;
  esac
  case $1 in
    --out) out=$2 ;;
    --world) road+=(--world "$2") ;;
  esac
  shift 2
done
read -ra cmake_args <<<"-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF ${VEK_CMAKE_ARGS:-}"

VEK_CMAKE_ARGS="${cmake_args[*]}" "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
cmake --build "$build" --target vek-cli -j"$(nproc)"
status=0
"$root/modules/crypto/crypto-vek-cli/demo/operator-road.sh" --out "$out" "${road[@]}" "$build" || status=$?
echo "The demo's files are in $out"
exit "$status"
