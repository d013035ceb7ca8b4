#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   - a plain build with warnings as errors (compiled, not run);
#   - the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   - the threaded tests (label "tsan") under ThreadSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${BUILD_ROOT:-$root/build}"
jobs="$(nproc)"

"$root/scripts/install-deps.sh"

configure_and_build() {  # <dir> <cmake options...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

configure_and_build "$out/plain"
configure_and_build "$out/asan" -DVEK_ASAN=ON
configure_and_build "$out/tsan" -DVEK_TSAN=ON

status=0
echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir "$out/asan" -j"$jobs" --output-on-failure --timeout 600 || status=1
echo "== Threaded tests under ThreadSanitizer"
ctest --test-dir "$out/tsan" -L tsan -j"$jobs" --output-on-failure --timeout 600 || status=1
exit $status
