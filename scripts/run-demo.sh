#!/usr/bin/env bash
# usage: scripts/run-demo.sh [-h|--help] [--out DIR] [--world FILE]
# Installs what is missing (scripts/install-deps.sh), builds vek-cli (and the stand-ins it
# runs on) and runs the operator's road through it against the stand-in signature library.
# A tree not configured yet is configured without the module and the tests, -DVEK_PYTHON=OFF
# -DBUILD_TESTING=OFF, so that neither Python 2.7 nor SWIG is needed; a tree configured
# already keeps every setting it has.
#   --out DIR       where the demo's files stay: the request archive, the exported
#                   certificate, the signed file, its signature and its tampered copy
#                   (default: demo-out/ in the build tree)
#   --world FILE    the stand-in's world file to use (default: ~/.tavrel-standin/world.json);
#                   a missing file is made with the built-in world, in a folder that exists
#   BUILD_DIR       the build tree (default: build/ in the clone)
#   VEK_CMAKE_ARGS  extra configure options, split at spaces: of a new tree, after those two
#                   (so -DVEK_PYTHON=ON configures it for the module as well); the only
#                   options a configured tree is given
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib/usage.sh"
. "$root/scripts/lib/tree.sh"
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
without_module=(-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF)

# What vek-cli needs, then the tree as it is, or a new one without the module.
VEK_CMAKE_ARGS="${without_module[*]} ${VEK_CMAKE_ARGS:-}" "$root/scripts/install-deps.sh"
configure_tree "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${without_module[@]}" >/dev/null
cmake --build "$build" --target vek-cli -j"$(nproc)"
status=0
"$root/modules/crypto/crypto-vek-cli/demo/operator-road.sh" --out "$out" "${road[@]}" "$build" || status=$?
echo "The demo's files are in $out"
exit "$status"
