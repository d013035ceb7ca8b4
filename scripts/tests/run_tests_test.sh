#!/bin/bash
# run-tests.sh over fake cmake, ctest and install-deps.sh: a header before each build and
# test run, and one last line with the verdict and the counts; a tree configured already keeps
# its settings, and one without its sanitizer fails; CMAKE_BUILD_PARALLEL_LEVEL sets the jobs of
# the builds and of the test runs.
# usage: run_tests_test.sh RUN_TESTS
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-run-tests-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0

# world NAME PLAIN-BUILD(ok|fail) ASAN-FAILED TSAN-FAILED: a copy of the script beside a fake
# install-deps.sh, and fakes of cmake (the plain tree's build may fail) and ctest (57 tests
# in asan, 20 in tsan, with the given numbers failing).
world() {
    local dir=$scratch/$1
    mkdir -p "$dir/scripts" "$dir/bin"
    cp "$script" "$dir/scripts/run-tests.sh"
    cp -r "$(dirname "$script")/lib" "$dir/scripts/"
    printf '#!/bin/sh\nexit 0\n' >"$dir/scripts/install-deps.sh"
    # configure notes its command line, and writes the sanitizer options into the cache
    cat >"$dir/bin/cmake" <<FAKE
#!/bin/bash
if [ "\$3" = -B ]; then
    mkdir -p "\$4" && echo "\$*" >>"$dir/configured" && touch "\$4/CMakeCache.txt"
    for arg; do
        case \$arg in -DVEK_ASAN=* | -DVEK_TSAN=*) arg=\${arg#-D}; echo "\${arg%%=*}:BOOL=\${arg#*=}" >>"\$4/CMakeCache.txt" ;; esac
    done
fi
[ "\$1" = --build ] && echo "\$*" >>"$dir/jobs"
[ "\$1" = --build ] && [ "\${2##*/}" = plain ] && [ "$2" = fail ] && { echo "error: warning treated as error"; exit 1; }
exit 0
FAKE
    cat >"$dir/bin/ctest" <<FAKE
#!/bin/bash
echo "\$*" >>"$dir/jobs"
case "\$2" in
  */asan) total=57 bad=$3 ;;
  *) total=20 bad=$4 ;;
esac
echo "\$(( (total - bad) * 100 / total ))% tests passed, \$bad tests failed out of \$total"
[ "\$bad" = 0 ]
FAKE
    chmod +x "$dir"/bin/* "$dir"/scripts/*
    again "$1"
}

# again NAME [VEK_CMAKE_ARGS]: runs the script of world NAME (again).
again() {
    local dir=$scratch/$1
    PATH="$dir/bin:$PATH" BUILD_ROOT="$dir/build" VEK_CMAKE_ARGS="${2--DA=1  -DB=two}" \
        "$dir/scripts/run-tests.sh" >"$dir/out" 2>&1
    echo $? >"$dir/rc"
}

expect() {  # NAME CODE LAST-LINE
    local dir=$scratch/$1 headers
    headers=$(grep -c '^== ' "$dir/out")
    if [ "$(cat "$dir/rc")" != "$2" ] || [ "$(tail -n1 "$dir/out")" != "$3" ] || [ "$headers" != "$4" ]; then
        echo "FAIL $1: exit $(cat "$dir/rc") (want $2), $headers headers (want $4), output:"
        cat "$dir/out"
        echo "want the last line: $3"
        failed=1
    else
        echo "ok   $1"
    fi
}

script=$1
world green ok 0 0
expect green 0 "run-tests: PASS (plain: built; asan: 57/57 passed; tsan: 20/20 passed)" 5
world asan-red ok 2 0
expect asan-red 1 "run-tests: FAIL (plain: built; asan: 55/57 passed; tsan: 20/20 passed)" 5
world plain-red fail 0 1
expect plain-red 1 "run-tests: FAIL (plain: build failed; asan: 57/57 passed; tsan: 19/20 passed)" 5

# VEK_CMAKE_ARGS reach the configure of every tree, as separate options.
if [ "$(grep -c -- ' -DA=1 -DB=two$' "$scratch/green/configured")" = 3 ]; then
    echo "ok   VEK_CMAKE_ARGS configure every tree"
else
    echo "FAIL VEK_CMAKE_ARGS: configure ran as"; cat "$scratch/green/configured"
    failed=1
fi

# The configured trees again, without VEK_CMAKE_ARGS: each keeps its build type and sanitizer.
: >"$scratch/green/configured"
again green ""
expect green 0 "run-tests: PASS (plain: built; asan: 57/57 passed; tsan: 20/20 passed)" 5
if [ "$(sort "$scratch/green/configured")" = "$(for tree in asan plain tsan; do
        echo "-S $scratch/green -B $scratch/green/build/$tree"; done)" ]; then
    echo "ok   a configured tree is given no option"
else
    echo "FAIL configured trees were configured as"; cat "$scratch/green/configured"
    failed=1
fi
# The jobs: CMAKE_BUILD_PARALLEL_LEVEL where it is set, else one a CPU.
jobs() {  # WANT: every build and test run of world green had -jWANT
    local bad
    bad=$(grep -v -- " -j$1\( \|$\)" "$scratch/green/jobs")
    if [ -s "$scratch/green/jobs" ] && [ -z "$bad" ]; then echo "ok   -j$1"; else echo "FAIL not -j$1:"; cat "$scratch/green/jobs"; failed=1; fi
}
: >"$scratch/green/jobs"
CMAKE_BUILD_PARALLEL_LEVEL=3 again green ""
jobs 3
: >"$scratch/green/jobs"
(unset CMAKE_BUILD_PARALLEL_LEVEL; again green "")
jobs "$(nproc)"

# A tree configured without the sanitizer it is for.
world unsanitized ok 0 0
echo "VEK_ASAN:BOOL=OFF" >"$scratch/unsanitized/build/asan/CMakeCache.txt"
again unsanitized
expect unsanitized 1 "run-tests: FAIL (plain: built; asan: configured with VEK_ASAN=OFF; tsan: 20/20 passed)" 4

[ "$failed" = 0 ] && echo "run-tests.sh reported every case"
exit "$failed"
