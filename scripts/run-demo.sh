#!/usr/bin/env bash
# Installs what is missing, builds vek-cli (and the stand-ins it runs on) and runs the
# operator's road through it against the stand-in signature library.
# usage: scripts/run-demo.sh [--out DIR] [--world FILE]
#   --out DIR     where the demo's files stay: the request archive, the exported
#                 certificate, the signed file and its signature (default: demo-out/ in the
#                 build tree, ${BUILD_DIR:-build})
#   --world FILE  the stand-in's world file to use (default: ~/.tavrel-standin/world.json);
#                 a missing file is made with the built-in world, in a folder that exists
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="$build/demo-out"
road=()
usage() { sed -n '4,9s/^# \{0,1\}//p' "$0" >&2; exit 2; }
while (($#)); do
  (($# > 1)) || usage
  case $1 in
    --out) out=$2 ;;
    --world) road+=(--world "$2") ;;
    *) usage ;;
  esac
  shift 2
done

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target vek-cli -j"$(nproc)"
status=0
"$root/modules/crypto/crypto-vek-cli/demo/operator-road.sh" --out "$out" "${road[@]}" "$build" || status=$?
echo "The demo's files are in $out"
exit "$status"
