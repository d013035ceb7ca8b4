#!/bin/bash
# Times `vek-cli media list` as a whole process against vek-cli-bench-enum, a minimal C
# program doing KTInitialize, the enumeration and KTFinalize, on one stand-in world, in
# one run: the two alternate start by start, in rounds. Prints the median and spread of each
# over the rounds and their ratio (through binding/bench/bench_stats.py). Both run on one
# CPU, the one this script starts on or VEK_BENCH_CPU: a virtual machine's CPUs may differ
# in speed.
# usage: bench_media_list.sh BUILD_DIR [ROUNDS [STARTS-PER-ROUND]]
set -u
build=${1:?usage: bench_media_list.sh BUILD_DIR [ROUNDS [STARTS-PER-ROUND]]}
rounds=${2:-15}
starts=${3:-20}
stats=$(cd "$(dirname "$0")/../../../../binding/bench" && pwd)/bench_stats.py
python=${VEK_PYTHON2:-$(pyenv prefix 2.7.18 2>/dev/null)/bin/python2.7}
VEK_CLI=$build/modules/crypto/crypto-vek-cli/vek-cli
ENUM=$build/modules/crypto/crypto-vek-cli/bench/vek-cli-bench-enum
for tool in "$VEK_CLI" "$ENUM" "$build/standins/bin/tavrel-world"; do
    if [ ! -x "$tool" ]; then
        echo "missing $tool (build vek-cli, vek-cli-bench-enum and tavrel-world)" >&2
        exit 2
    fi
done

self=$(</proc/$$/stat)
read -r -a fields <<<"${self##*) }"  # from the state on: the processor is field 39
cpu=${VEK_BENCH_CPU:-${fields[36]}}
taskset -cp "$cpu" $$ >/dev/null || { echo "cannot pin to CPU $cpu" >&2; exit 2; }

work=$(mktemp -d /tmp/vek-cli-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/standins/bin/tavrel-world" init "$work/world.json" >/dev/null || exit 1
export TAVREL_STANDIN_WORLD=$work/world.json
unset TAVREL_STANDIN_FAULTS TAVREL_STANDIN_DELAYS TAVREL_STANDIN_TRACE JOTLOG_FILE

[ "$("$VEK_CLI" media list)" = "$("$ENUM")" ] || { echo "the two programs list different media" >&2; exit 1; }

# One timed start of a program, in microseconds (bash's clock: no extra process).
time_one() {
    local start=${EPOCHREALTIME/[.,]/} end
    "$@" >/dev/null
    end=${EPOCHREALTIME/[.,]/}
    echo $((end - start))
}

for ((i = 0; i < 20; i++)); do "$VEK_CLI" media list >/dev/null; "$ENUM" >/dev/null; done  # warm the caches
: >"$work/cli" && : >"$work/enum"
for ((round = 0; round < rounds; round++)); do
    cli=0 enum=0
    for ((i = 0; i < starts; i++)); do
        cli=$((cli + $(time_one "$VEK_CLI" media list)))
        enum=$((enum + $(time_one "$ENUM")))
    done
    echo $((cli / starts)) >>"$work/cli"
    echo $((enum / starts)) >>"$work/enum"
done

echo "one start of each program, microseconds: $rounds interleaved rounds of $starts starts, on CPU $cpu"
"$python" "$stats" figures "vek-cli media list" us "$work/cli"
"$python" "$stats" figures "enumeration in C" us "$work/enum"
"$python" "$stats" ratio "vek-cli media list / C client (time)" "goal: at most 1.03" "$work/cli" "$work/enum"
