#!/bin/bash
# The plug-in's README as a host author follows it: its host, built from the README, signs
# with each of its two configurations on the stand-in's default world and prints what the
# README shows (byte counts aside), logging no failure.
# usage: doc_example_test.sh HOST PLUGIN TAVREL_WORLD README PYTHON3 EXTRACT_EXAMPLE
set -u
host=$1 plugin=$2 world_tool=$3 readme=$4 python3=$5 extract=$6
scratch=$(mktemp -d "${TMPDIR:-/tmp}/signvek-doc-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
export TAVREL_STANDIN_WORLD=$scratch/world.json JOTLOG_FILE=$scratch/host.log
failed=0

"$world_tool" init world.json >/dev/null || exit 1
"$world_tool" keyfile signer.p12 file-password >/dev/null || exit 1
"$python3" "$extract" "$readme" host-output expected || exit 1
bytes_as_n() { sed 's/[0-9][0-9]* bytes/N bytes/g' "$1"; }
for conf in medium.json keyfile.json; do
    "$python3" "$extract" "$readme" "$conf" "$conf" || exit 1
    if "$host" "$plugin" "$conf" >"$conf.out" 2>&1 && diff <(bytes_as_n expected) <(bytes_as_n "$conf.out") &&
        ! grep -qP '^1\t' host.log; then
        echo "ok   $conf"
    else
        echo "FAIL $conf: exit or output other than the README's (sizes aside), or a failure logged:"
        cat "$conf.out"
        grep -P '^[12]\t' host.log
        failed=1
    fi
    : >host.log
done
exit "$failed"
