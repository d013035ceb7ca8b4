#!/bin/bash
# run-demo.sh over fakes of install-deps.sh, cmake and the operator's road: what it passes
# to each (the options of a tree without the module and the tests, then VEK_CMAKE_ARGS, to
# install-deps.sh and to the configure of a new tree, VEK_CMAKE_ARGS alone to that of a
# configured one; --out and --world to the road), the jobs of its build (CMAKE_BUILD_PARALLEL_LEVEL
# where set), its last words (the files named only when the road passed, else the log), and its
# refusals.
# usage: run_demo_test.sh RUN_DEMO
set -u
script=$1
unset CMAKE_BUILD_PARALLEL_LEVEL  # as ctest may have it: the cases below set it where they need it
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-run-demo-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0

mkdir -p "$scratch/scripts" "$scratch/bin" "$scratch/modules/crypto/crypto-vek-cli/demo"
cp "$script" "$scratch/scripts/run-demo.sh"
cp -r "$(dirname "$script")/lib" "$scratch/scripts/"
for fake in scripts/install-deps.sh bin/cmake bin/nproc modules/crypto/crypto-vek-cli/demo/operator-road.sh; do
    printf '#!/bin/sh\necho "%s $*" >>%s\n' "${fake##*/}" "$scratch/ran" >"$scratch/$fake"
    chmod +x "$scratch/$fake"
done
printf '#!/bin/sh\necho "install-deps.sh $* VEK_CMAKE_ARGS=$VEK_CMAKE_ARGS" >>%s\n' "$scratch/ran" \
    >"$scratch/scripts/install-deps.sh"
printf '#!/bin/sh\necho 5\n' >"$scratch/bin/nproc"
printf '#!/bin/sh\necho "operator-road.sh $*" >>%s\nexit ${ROAD_EXIT:-0}\n' "$scratch/ran" \
    >"$scratch/modules/crypto/crypto-vek-cli/demo/operator-road.sh"

# demo EXPECTED-CODE ARG...: runs the script; its calls in $scratch/ran.
demo() {
    local code=$1
    shift
    rm -f "$scratch/ran"
    PATH="$scratch/bin:$PATH" BUILD_DIR="$scratch/build" VEK_CMAKE_ARGS="${user_options--DA=1 -DB=two}" \
        "$scratch/scripts/run-demo.sh" "$@" >"$scratch/out" 2>&1
    rc=$?
    [ "$rc" = "$code" ] || { echo "FAIL $*: exit $rc (want $code)"; cat "$scratch/out"; failed=1; }
}
ran() {  # DESCRIPTION LINE: the fakes ran LINE
    if grep -qxF -- "$2" "$scratch/ran" 2>/dev/null; then
        echo "ok   $1"
    else
        echo "FAIL $1: no \"$2\" among"; cat "$scratch/ran" 2>/dev/null
        failed=1
    fi
}

demo 0 --world "$scratch/w.json" --out "$scratch/o"
options="-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF -DA=1 -DB=two"
ran "install-deps.sh first, for a tree without the module and the tests" \
    "install-deps.sh  VEK_CMAKE_ARGS=$options"
ran "the same options to configure" \
    "cmake -S $scratch -B $scratch/build -DCMAKE_BUILD_TYPE=RelWithDebInfo $options"
ran "--out and --world to the road" "operator-road.sh --out $scratch/o --world $scratch/w.json $scratch/build"
# A tree configured already, as by the user for the module: it keeps its settings.
mkdir -p "$scratch/build" && echo "VEK_PYTHON:BOOL=ON" >"$scratch/build/CMakeCache.txt"
demo 0
ran "a configured tree: VEK_CMAKE_ARGS alone" "cmake -S $scratch -B $scratch/build -DA=1 -DB=two"
user_options="" demo 0
ran "a configured tree: no option" "cmake -S $scratch -B $scratch/build"
ran "and vek-cli built in it, with a job a CPU" "cmake --build $scratch/build --target vek-cli -j5"
CMAKE_BUILD_PARALLEL_LEVEL=3 demo 0
ran "CMAKE_BUILD_PARALLEL_LEVEL names the jobs" "cmake --build $scratch/build --target vek-cli -j3"
rm -r "$scratch/build"

# The files are named only when the road passed; else its exit code, and where the log is.
demo 0 --out "$scratch/o"
said() {  # DESCRIPTION LINE
    if grep -qxF -- "$2" "$scratch/out"; then echo "ok   $1"; else echo "FAIL $1: no \"$2\" in"; cat "$scratch/out"; failed=1; fi
}
said "a road that passed: its files named" \
    "The demo's files are in $scratch/o: requests/VM1K-000102.zip VM1K-000102.crt order.txt order.txt.p7s order-tampered.txt vek-cli.log"
ROAD_EXIT=1 demo 1 --out "$scratch/o"
said "a road that failed: the log named" "run-demo: the operator's road failed (exit 1); the log: $scratch/o/vek-cli.log"
if grep -q "files are in" "$scratch/out"; then
    echo "FAIL a road that failed: its files named"; cat "$scratch/out"; failed=1
else
    echo "ok   a road that failed: no files named"
fi

for args in "--out" "--world" "--colour blue"; do
    demo 2 $args
    [ ! -e "$scratch/ran" ] && grep -q '^usage: scripts/run-demo.sh' "$scratch/out" &&
        echo "ok   refused: $args" || { echo "FAIL $args ran something or gave no usage"; failed=1; }
done

[ "$failed" = 0 ] && echo "run-demo.sh passed on what it was given"
exit "$failed"
