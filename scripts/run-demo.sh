#!/usr/bin/env bash
# usage: scripts/run-demo.sh [-h|--help] [--out DIR] [--world FILE]
# Installs what is missing (scripts/install-deps.sh), builds vek-cli (and the stand-ins it
# runs on) and runs the operator's road through it against the stand-in signature library.
# A tree not configured yet is configured without the module and the tests, -DVEK_PYTHON=OFF
# -DBUILD_TESTING=OFF, so that neither Python 2.7 nor SWIG is needed; a tree configured
# already keeps every setting it has.
#   --out DIR       where the demo's files stay: the request archive, the exported
#                   certificate, the signed file, its signature, its tampered copy and the
#                   log (default: demo-out/ in the build tree); those of an earlier run
#                   there are removed first, nothing else. A step that fails is followed by
#                   the log's failure lines, and the files are named only when all passed
#   --world FILE    the stand-in's world file to use (default: ~/.tavrel-standin/world.json);
#                   a missing file is made with the built-in world, in a folder that exists
#   BUILD_DIR       the build tree (default: build/ in the clone)
#   VEK_CMAKE_ARGS  extra configure options, split at spaces: of a new tree, after those two
#                   (so -DVEK_PYTHON=ON configures it for the module as well); the only
#                   options a configured tree is given
#   CMAKE_BUILD_PARALLEL_LEVEL  the build's jobs at once (default: nproc)
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
cmake --build "$build" --target vek-cli -j"$(build_jobs)"
status=0
"$root/modules/crypto/crypto-vek-cli/demo/operator-road.sh" --out "$out" "${road[@]}" "$build" || status=$?
if [ "$status" = 0 ]; then
  echo "The demo's files are in $out: requests/VM1K-000102.zip VM1K-000102.crt order.txt order.txt.p7s order-tampered.txt vek-cli.log"
else
  echo "run-demo: the operator's road failed (exit $status); the log: $out/vek-cli.log" >&2
fi
exit "$status"
