#!/usr/bin/env bash
# usage: scripts/run-tests.sh [-h|--help]
# Installs what is missing (scripts/install-deps.sh), builds, and runs every test, in three
# trees under $BUILD_ROOT (default: build/ in the clone):
#   plain  a build with warnings as errors (built, not run);
#   asan   the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   tsan   the threaded tests (label "tsan") under ThreadSanitizer.
# Every tree builds the module for Python 2.7 and for Python 3, and the suite tests both:
# each module test runs under either interpreter (labels python2 and python3).
# Each step starts with a "==" header; the last line is "run-tests: PASS ..." or
# "run-tests: FAIL ..." with the counts. Exit 0 only on PASS.
#   BUILD_ROOT      the folder of the three trees
#   VEK_CMAKE_ARGS  extra configure options of every tree, split at spaces, e.g.
#                   -DVEK_PYTHON2_PREFIX=<folder> -DSWIG_EXECUTABLE=<path>
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib/usage.sh"
no_options "$@"
out="${BUILD_ROOT:-$root/build}"
jobs="$(nproc)"
read -ra cmake_args <<<"${VEK_CMAKE_ARGS:-}"

"$root/scripts/install-deps.sh" || exit 1

verdict=PASS
summary=()

# build NAME TITLE CMAKE-OPTIONS...: configures and builds $out/NAME.
build() {
  local name=$1 title=$2
  shift 2
  echo
  echo "== Building: $title ($out/$name)"
  if cmake -S "$root" -B "$out/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" "${cmake_args[@]}" >/dev/null &&
     cmake --build "$out/$name" -j"$jobs"; then
    return 0
  fi
  verdict=FAIL
  summary+=("$name: build failed")
  return 1
}

# run_tests NAME TITLE CTEST-OPTIONS...: runs the tests of $out/NAME and notes their counts.
run_tests() {
  local name=$1 title=$2
  shift 2
  echo
  echo "== Testing: $title ($out/$name)"
  local log="$out/$name/run-tests.log"
  ctest --test-dir "$out/$name" -j"$jobs" --output-on-failure --timeout 600 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # "100% tests passed, 0 tests failed out of 57"
  local counts
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n1)
  if [[ -n $counts ]]; then
    local failed=${counts% *} total=${counts#* }
    summary+=("$name: $((total - failed))/$total passed")
  else
    summary+=("$name: no test ran")
    rc=1
  fi
  [[ $rc -eq 0 ]] || verdict=FAIL
}

build plain "plain build, warnings as errors" && summary+=("plain: built")
build asan "AddressSanitizer and UndefinedBehaviorSanitizer" -DVEK_ASAN=ON &&
  run_tests asan "every test under AddressSanitizer and UndefinedBehaviorSanitizer"
build tsan "ThreadSanitizer" -DVEK_TSAN=ON &&
  run_tests tsan "the threaded tests under ThreadSanitizer" -L tsan

printf -v counts '%s; ' "${summary[@]}"
echo
echo "run-tests: $verdict (${counts%; })"
[[ $verdict == PASS ]]
