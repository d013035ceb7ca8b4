#!/bin/bash
# README.md's example of run-tests.sh's verdict gives the counts of tests this tree holds:
# every test for asan, those labelled "tsan" for tsan.
# usage: readme_verdict_test.sh README CTEST BUILD_DIR
set -u
readme=$1 ctest=$2 build=$3
verdict=$(grep -o 'run-tests: PASS (plain: built; asan: [0-9]*/[0-9]* passed; tsan: [0-9]*/[0-9]* passed)' "$readme")
[ -n "$verdict" ] || { echo "FAIL no verdict example in $readme"; exit 1; }
total() { "$ctest" --test-dir "$build" -N "$@" | sed -n 's/^Total Tests: //p'; }
all=$(total) threaded=$(total -L tsan)
want="run-tests: PASS (plain: built; asan: $all/$all passed; tsan: $threaded/$threaded passed)"
if [ "$verdict" != "$want" ]; then
    echo "FAIL the README shows: $verdict"
    echo "     the tests count:  $want"
    exit 1
fi
echo "ok   $verdict"
