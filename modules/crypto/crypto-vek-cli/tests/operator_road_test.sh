#!/bin/bash
# Runs the operator's road twice against a default world in a temporary home folder,
# never the user's own.
# usage: operator_road_test.sh OPERATOR_ROAD BUILD_DIR
set -u
home=$(mktemp -d /tmp/vek-cli-road-home-XXXXXX)
trap 'rm -rf "$home"' EXIT
for run in 1 2; do
    if ! HOME=$home "$1" "$2" >"$home/out" 2>&1; then
        echo "run $run failed:"
        cat "$home/out"
        exit 1
    fi
    grep -q '^FAILED$' "$home/out" || { echo "run $run: no FAILED verdict"; exit 1; }
done
[ -f "$home/.tavrel-standin/world.json" ] || { echo "the default world was not used"; exit 1; }
echo "operator road passed twice"
