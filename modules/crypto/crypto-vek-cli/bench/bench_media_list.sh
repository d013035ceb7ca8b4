#!/bin/bash
# Times `vek-cli media list` as a whole process against vek-cli-bench-enum, a minimal C
# program doing KTInitialize, the enumeration and KTFinalize, on one stand-in world, in
# one run (the two alternate). Prints the mean and median of each and their ratio.
# usage: bench_media_list.sh BUILD_DIR [RUNS]
set -u
build=${1:?usage: bench_media_list.sh BUILD_DIR [RUNS]}
runs=${2:-300}
VEK_CLI=$build/modules/crypto/crypto-vek-cli/vek-cli
ENUM=$build/modules/crypto/crypto-vek-cli/bench/vek-cli-bench-enum
for tool in "$VEK_CLI" "$ENUM" "$build/standins/bin/tavrel-world"; do
    if [ ! -x "$tool" ]; then
        echo "missing $tool (build vek-cli, vek-cli-bench-enum and tavrel-world)" >&2
        exit 2
    fi
done

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
for ((i = 0; i < runs; i++)); do
    time_one "$VEK_CLI" media list >>"$work/cli"
    time_one "$ENUM" >>"$work/enum"
done

stats() {  # mean and median of a file of numbers
    sort -n "$1" | awk '{ v[NR] = $1; s += $1 } END { printf "%.0f %.0f", s / NR, v[int((NR + 1) / 2)] }'
}
read -r cli_mean cli_median < <(stats "$work/cli")
read -r enum_mean enum_median < <(stats "$work/enum")
printf '%-28s %10s %10s\n' "program ($runs runs each)" "mean us" "median us"
printf '%-28s %10s %10s\n' "vek-cli media list" "$cli_mean" "$cli_median"
printf '%-28s %10s %10s\n' "enumeration in C" "$enum_mean" "$enum_median"
awk -v a="$cli_mean" -v b="$enum_mean" -v c="$cli_median" -v d="$enum_median" \
    'BEGIN { printf "ratio: %.2f (mean), %.2f (median); goal: at most 1.5\n", a / b, c / d }'
