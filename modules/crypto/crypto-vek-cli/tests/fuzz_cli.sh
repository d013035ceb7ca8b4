#!/bin/bash
# Throws generated argument vectors at vek-cli. Every run must end with 0, 64 or 70, with
# nothing on standard error (a sanitizer report included) and no library object left.
# Every path it makes lies inside its own scratch folder, which is also the working
# directory, and generated words never hold '/' or "..".
# usage: fuzz_cli.sh VEK_CLI TAVREL_WORLD [RUNS [SEED]]   (or VEK_FUZZ_RUNS, VEK_FUZZ_SEED)
# shellcheck disable=SC2034,SC1003  # word lists are read through pick's name reference
set -u
VEK_CLI=$(realpath "$1") WORLD_TOOL=$(realpath "$2")
runs=${3:-${VEK_FUZZ_RUNS:-150}}
seed=${4:-${VEK_FUZZ_SEED:-20241209}}
RANDOM=$seed

scratch=$(mktemp -d /tmp/vek-cli-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
"$WORLD_TOOL" init world.json >/dev/null || exit 1
export TAVREL_STANDIN_WORLD=$scratch/world.json JOTLOG_FILE=$scratch/log TAVREL_STANDIN_TRACE=$scratch/trace
unset TAVREL_STANDIN_FAULTS TAVREL_STANDIN_DELAYS

printf 'data to sign\n' >data
: >empty
mkdir dir
mkfifo fifo
"$VEK_CLI" sign export-crt VM1K-000101 12345678 "$scratch/own.crt" >/dev/null
"$VEK_CLI" sign create-ext VM1K-000101 12345678 "$scratch/data" "$scratch/data.p7s" >/dev/null

groups=(media key sign Media KEY "" x)
verbs=(list create delete test-access test-valid test-sign test-all crt-info export-crt create-ext verify
       LIST "" test)
serials=(VM1K-000101 VM1K-000102 VM1K-000103 VM1-000001 FS-000001 "" nobody "VM1K-000101 " "$(printf 'S%.0s' {1..300})")
passwords=(12345678 87654321 wrong "" "$(printf '%064d' 1)" "$(printf '%065d' 1)" "$(printf 'p%.0s' {1..1000})"
           "12345678$(printf '\t')")
paths=("$scratch/data" "$scratch/empty" "$scratch/dir" "$scratch/fifo" "$scratch/missing" "$scratch/own.crt"
       "$scratch/data.p7s" "$scratch/out/r.zip" "$scratch/new.crt" "$scratch/new.p7s" "$scratch/dir/" rel.zip
       sub/x.zip data own.crt "" "$scratch/world.json/x")
chars=(a b Z 0 9 . - _ "=" ' ' '*' '?' '$' '%' "'" '"' '\' $'\t' $'\n' 'й' 'Ї' $'\xff' $'\x01')

pick() {  # pick NAME: a random element of the array NAME
    local -n list=$1
    word=${list[RANDOM % ${#list[@]}]}
}
random_word() {
    local n=$((RANDOM % 12)) w=""
    for ((k = 0; k < n; k++)); do w+=${chars[RANDOM % ${#chars[@]}]}; done
    while [[ $w == *..* ]]; do w=${w//../.}; done  # never the parent folder
    word=$w
}
any_word() {
    case $((RANDOM % 5)) in
    0) pick serials ;; 1) pick passwords ;; 2 | 3) pick paths ;; *) random_word ;;
    esac
}

# Commands by argument kind: s serial, p password, f path, v a path likely to be read, n entry name.
templates=("media list" "media list s" "key create s p n n f" "key delete s p" "key test-access s p"
           "key test-valid s p" "key test-sign s p" "key test-all s p" "sign crt-info s p" "sign export-crt s p f"
           "sign create-ext s p f f" "sign verify v v v")
names=(ds.p10 kep.p10 same same "" "й.p10")
readable=("$scratch/data" "$scratch/data.p7s" "$scratch/own.crt" data own.crt "$scratch/new.p7s" "$scratch/new.crt")

failures=0
declare -A codes=()
for ((i = 0; i < runs; i++)); do
    argv=()
    if ((RANDOM % 3)); then  # a command's shape, its words drawn by kind, now and then one replaced
        pick templates
        for kind in $word; do
            case $kind in
            s) pick serials ;; p) pick passwords ;; f) pick paths ;; n) pick names ;;
            v) if ((RANDOM % 4)); then pick readable; else pick paths; fi ;;
            *) word=$kind ;;
            esac
            ((RANDOM % 10)) || any_word
            argv+=("$word")
        done
    else
        count=$((RANDOM % 8))
        for ((a = 0; a < count; a++)); do
            case $a in
            0) if ((RANDOM % 6)); then pick groups; else random_word; fi ;;
            1) if ((RANDOM % 6)); then pick verbs; else random_word; fi ;;
            2) if ((RANDOM % 3)); then pick serials; else any_word; fi ;;
            3) if ((RANDOM % 3)); then pick passwords; else any_word; fi ;;
            *) any_word ;;
            esac
            argv+=("$word")
        done
    fi
    timeout 30 "$VEK_CLI" "${argv[@]}" >out 2>err
    rc=$?
    codes[$rc]=$((${codes[$rc]:-0} + 1))
    problem=""
    case $rc in 0 | 64 | 70) ;; *) problem="exit code $rc" ;; esac
    [ -s err ] && problem="$problem; standard error: $(head -c 2000 err)"
    last=$(grep '^outstanding' trace | tail -n 1)
    [ "$last" = "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0" ] ||
        problem="$problem; left over: $last"
    if [ -n "$problem" ]; then
        failures=$((failures + 1))
        printf 'FAIL (run %d, seed %s): vek-cli' "$i" "$seed"
        printf ' %q' "${argv[@]}"
        printf '\n  %s\n' "$problem"
    fi
    # Keep the fixtures usable: a run may have deleted or replaced them.
    [ -p fifo ] || { rm -rf fifo; mkfifo fifo; }
    [ -d dir ] || { rm -rf dir; mkdir dir; }
done
echo "$runs runs (seed $seed): exit 0 x${codes[0]:-0}, 64 x${codes[64]:-0}, 70 x${codes[70]:-0}; $failures failures"
[ "$failures" = 0 ]
