#!/usr/bin/env bash
# Installs what is missing, builds, and runs the operator's road through vek-cli
# against the stand-in signature library's default world (kept in ~/.tavrel-standin).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
"$root/modules/crypto/crypto-vek-cli/demo/operator-road.sh" "$build"
