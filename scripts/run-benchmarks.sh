#!/bin/bash
# usage: scripts/run-benchmarks.sh [-h|--help] [--smoke]
# Runs every benchmark on a plain build and prints one table of their ratios, each marked
# when it misses its goal. The figures are for reading, not a test: each benchmark
# interleaves its contenders round by round and marks a ratio "untrusted" when it spreads
# too widely over the rounds.
#   --smoke            tiny counts and no build: checks that every benchmark runs, says
#                      nothing about speed (the tree must hold the benchmarks already)
#   BUILD_DIR          the build tree (default build/plain, configured RelWithDebInfo
#                      when missing)
#   VEK_CMAKE_ARGS     extra configure options, split at spaces: of a missing tree, after
#                      the build type; the only options a configured tree is given
#   CMAKE_BUILD_PARALLEL_LEVEL  the build's jobs at once (default 4)
#   VEK_BENCH_PRELOAD  libraries preloaded into the interpreter only (a sanitizer's runtime and
#                      the C++ runtime, separated by ':')
#   VEK_PYTHON3        the Python 3 of the build's second module (default: the one
#                      configure found)
# The wrapper call is measured against ctypes under Python 2.7 (call_overhead) and Python 3
# (call_overhead_py3).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/usage.sh"
. "$root/scripts/lib/tree.sh"
smoke=0
case "${1:-}" in
    -h | --help) usage; exit 0 ;;
    --smoke) smoke=1 ;;
    "") ;;
    *) usage_error "unknown option $1" ;;
esac
(($# <= 1)) || usage_error "unknown option $2"
build=${BUILD_DIR:-$root/build/plain}
python=${VEK_PYTHON2:-$(pyenv prefix 2.7.18 2>/dev/null)/bin/python2.7}

if [ "$smoke" = 0 ]; then
    targets=(_Tavrel _Tavrel_py3 tavrellib tavrel-world signvek_bench vek-cli vek-cli-bench-enum tavrel_bench_loop
             _tavrel_bench_probe _tavrel_bench_probe_py3 tavrel_bench_data_loop tavrel_bench_envelope_loop
             tavrel_bench_context_loop)
    [ -f "$build/CMakeCache.txt" ] || echo "configuring $build"
    configure_tree "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
    echo "building in $build: ${targets[*]}"
    log=$build/run-benchmarks-build.log
    # What is being built, a line a target, as the build goes; everything on a failure.
    cmake --build "$build" -j"$(build_jobs 4)" --target "${targets[@]}" 2>&1 | tee "$log" |
        awk '/^\[ *[0-9]+%\] Built target / && !seen[$NF]++ { print "  built " $NF; fflush() }'
    if [ "${PIPESTATUS[0]}" != 0 ]; then
        cat "$log"
        echo "run-benchmarks: the build failed (above; also in $log)" >&2
        exit 1
    fi
fi

python3=${VEK_PYTHON3:-$(sed -n 's/^VEK_PYTHON3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null)}
python3=${python3:-/usr/bin/python3}

work=$(mktemp -d /tmp/vek-benchmarks-XXXXXX)
trap 'rm -rf "$work"' EXIT
bench=$build/binding/bench

# The benchmarks run on the two CPUs, of those this process may use, that count fastest
# right now: on a shared machine one CPU can be several times slower than the others.
if [ "$smoke" = 0 ]; then
    allowed=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/$$/status)
    for part in ${allowed//,/ }; do
        if [[ $part == *-* ]]; then seq "${part%-*}" "${part#*-}"; else echo "$part"; fi
    done >"$work/allowed"
    while read -r cpu; do
        echo "$(taskset -c "$cpu" "$python" -c 'import time
start = time.time()
for _ in xrange(2000000): pass
print "%.4f" % (time.time() - start)') $cpu"
    done <"$work/allowed" | sort -n | head -2 | awk '{print $2}' | paste -sd, >"$work/cpus"
    cpus=$(cat "$work/cpus")
    if [ -n "$cpus" ] && taskset -cp "$cpus" $$ >/dev/null; then
        echo "on CPUs $cpus, the fastest two at the start"
    fi
fi

# name, then the command; its output is shown and its RATIO lines kept for the table
run() {
    local name=$1
    shift
    echo "== $name"
    "$@" >"$work/out" 2>&1
    local status=$?
    cat "$work/out"
    if [ "$status" != 0 ]; then
        echo "$name failed with status $status" >&2
        failed=1
    fi
    sed -n "s/^RATIO /$(printf '%-18s' "$name") /p" "$work/out" >>"$work/table"
}

python_bench() {  # script, count; PYTHON and MODULES (the folders of its modules) may be set
    env PYTHONPATH="$root/binding/bench:${MODULES:-$build/binding:$bench}" LD_LIBRARY_PATH="$build/standins/lib" \
        PYTHONDONTWRITEBYTECODE=1 ${VEK_BENCH_PRELOAD:+LD_PRELOAD=$VEK_BENCH_PRELOAD} \
        TAVREL_BENCH_LOOP="$bench/libtavrel_bench_loop.so" \
        TAVREL_BENCH_DATA_LOOP="$bench/libtavrel_bench_data_loop.so" \
        TAVREL_BENCH_ENVELOPE_LOOP="$bench/libtavrel_bench_envelope_loop.so" \
        TAVREL_BENCH_CONTEXT_LOOP="$bench/libtavrel_bench_context_loop.so" \
        TAVREL_BENCH_WORLD="$work/data-world.json" TAVREL_STANDIN_WORLD="$work/world.json" \
        "${PYTHON:-$python}" "$root/binding/bench/$1" "$2"
}

python3_bench() {  # script, count: python_bench under Python 3, with the Python 3 modules
    PYTHON=$python3 MODULES="$build/binding/python3:$bench/python3" python_bench "$@"
}

if [ "$smoke" = 1 ]; then
    counts=(2000 0.05 0.002 20 50 "3 2")
else
    counts=(2000000 6.0 0.3 2000 5000 "15 20")
fi
failed=0
: >"$work/table"
run call_overhead python_bench bench_call_overhead.py "${counts[0]}"
run call_overhead_py3 python3_bench bench_call_overhead.py "${counts[0]}"
run data_path python_bench bench_data_path.py "${counts[1]}"
run envelope python_bench bench_envelope.py "${counts[2]}"
run context python_bench bench_context.py "${counts[3]}"
run plug-in "$build/modules/crypto/crypto-vek/bench/signvek_bench" "${counts[4]}"
run media_list env VEK_PYTHON2="$python" \
    "$root/modules/crypto/crypto-vek-cli/bench/bench_media_list.sh" "$build" ${counts[5]}

echo
echo "== ratios (median over rounds; \"untrusted\" when the rounds spread more than 5%)"
awk -f "$root/scripts/lib/goals.awk" "$work/table"
exit "$failed"
