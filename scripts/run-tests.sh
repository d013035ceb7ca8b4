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
# "run-tests: FAIL ..." with the counts. Exit 0 only on PASS. A tree configured already keeps
# its settings; one without the sanitizer it is for fails.
#   BUILD_ROOT      the folder of the three trees
#   VEK_CMAKE_ARGS  extra configure options of every tree, split at spaces, e.g.
#                   -DVEK_PYTHON2_PREFIX=<folder> -DSWIG_EXECUTABLE=<path>
#   CMAKE_BUILD_PARALLEL_LEVEL  the build's jobs, and the tests', at once (default: nproc)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib/usage.sh"
. "$root/scripts/lib/tree.sh"
no_options "$@"
out="${BUILD_ROOT:-$root/build}"
jobs="$(build_jobs)"

"$root/scripts/install-deps.sh" || exit 1

verdict=PASS
summary=()

# wrong_sanitizer TREE SANITIZER: of a configured TREE, the first sanitizer option that is
# not on for SANITIZER (VEK_ASAN, VEK_TSAN) and off for the other, as NAME=VALUE.
wrong_sanitizer() {
  local tree=$1 sanitizer=$2 option value want have
  [[ -f $tree/CMakeCache.txt ]] || return 0
  for option in VEK_ASAN VEK_TSAN; do
    value=$(tree_setting "$tree" "$option")
    want=off have=off
    [[ $option == "$sanitizer" ]] && want=on
    cmake_true "$value" && have=on
    [[ $want == "$have" ]] || { echo "$option=${value:-OFF}"; return; }
  done
}

# build NAME TITLE [SANITIZER]: configures and builds $out/NAME, a tree with the sanitizer
# option SANITIZER on, or with none.
build() {
  local name=$1 title=$2 sanitizer=${3:-} wrong
  echo
  echo "== Building: $title ($out/$name)"
  wrong=$(wrong_sanitizer "$out/$name" "$sanitizer")
  if [[ -n $wrong ]]; then
    echo "run-tests: $out/$name is configured with $wrong: remove it, or name another BUILD_ROOT" >&2
    verdict=FAIL
    summary+=("$name: configured with $wrong")
    return 1
  fi
  if configure_tree "$out/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${sanitizer:+"-D$sanitizer=ON"} >/dev/null &&
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
build asan "AddressSanitizer and UndefinedBehaviorSanitizer" VEK_ASAN &&
  run_tests asan "every test under AddressSanitizer and UndefinedBehaviorSanitizer"
build tsan "ThreadSanitizer" VEK_TSAN &&
  run_tests tsan "the threaded tests under ThreadSanitizer" -L tsan

printf -v counts '%s; ' "${summary[@]}"
echo
echo "run-tests: $verdict (${counts%; })"
[[ $verdict == PASS ]]
