#!/bin/bash
# Every script in scripts/, and .ci/run, answers -h and --help with its usage on standard
# output and exit 0, and an unknown option with the usage on standard error and exit 2,
# and does nothing else: PATH holds only what reading the options needs, and fakes of the
# tools the scripts run, which note that they were run.
# usage: options_test.sh SOURCE_DIR
set -u
root=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-options-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0

bin=$scratch/bin
mkdir -p "$bin"
for tool in bash sed dirname; do ln -s "$(command -v $tool)" "$bin/$tool"; done
for tool in cmake ctest cpack apt-get apt-cache sudo pyenv dpkg-query nproc taskset mktemp id clang; do
    printf '#!/bin/sh\necho "%s $*" >>%s\n' "$tool" "$scratch/ran" >"$bin/$tool"
    chmod +x "$bin/$tool"
done

# answer SCRIPT OPTION CODE STREAM: SCRIPT (below the source folder) OPTION exits with
# CODE, its usage on STREAM (out or err), nothing on the other stream, and runs nothing.
answer() {
    local name=$1 option=$2 code=$3 stream=$4 rc
    rm -f "$scratch/ran"
    env -i PATH="$bin" HOME="$scratch" "$root/$name" "$option" >"$scratch/out" 2>"$scratch/err"
    rc=$?
    local other=err
    [ "$stream" = err ] && other=out
    if [ "$rc" = "$code" ] && grep -q "^usage: $name " "$scratch/$stream" &&
       [ ! -s "$scratch/$other" ] && [ ! -e "$scratch/ran" ]; then
        echo "ok   $name $option"
    else
        echo "FAIL $name $option: exit $rc (want $code), usage wanted on std$stream"
        echo "--- stdout:"; cat "$scratch/out"
        echo "--- stderr:"; cat "$scratch/err"
        echo "--- ran:"; cat "$scratch/ran" 2>/dev/null
        failed=1
    fi
}

count=0
for script in "$root"/scripts/*.sh "$root/.ci/run"; do
    name=${script#"$root"/}
    answer "$name" --help 0 out
    answer "$name" -h 0 out
    answer "$name" --no-such-option 2 err
    count=$((count + 1))
done
[ "$count" -ge 5 ] || { echo "FAIL only $count scripts in $root"; failed=1; }
[ "$failed" = 0 ] && echo "every script answered"
exit "$failed"
