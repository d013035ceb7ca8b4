#!/bin/bash
# Runs the operator's road twice against a default world in a temporary home folder,
# never the user's own, then with --out and --world; and once failing, on a world that
# cannot be made, over the files of an earlier run.
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

# Once more keeping its files, on a world file of its own: the default world is not read.
rm -rf "$home/.tavrel-standin"
if ! HOME=$home "$1" --out "$home/kept" --world "$home/own-world.json" "$2" >"$home/out" 2>&1; then
    echo "run with --out and --world failed:"
    cat "$home/out"
    exit 1
fi
# Exactly what the README names, none of them empty.
kept=$(cd "$home/kept" && find . -type f -size +0 | LC_ALL=C sort | tr '\n' ' ')
[ "$kept" = "./VM1K-000102.crt ./order-tampered.txt ./order.txt ./order.txt.p7s ./requests/VM1K-000102.zip ./vek-cli.log " ] ||
    { echo "--out kept <$kept>"; exit 1; }
[ -s "$home/own-world.json" ] || { echo "--world: the world file was not used"; exit 1; }
[ ! -e "$home/.tavrel-standin" ] || { echo "--world: the default world was used"; exit 1; }

# A world in a folder that does not exist: every step fails and says why from the log; the
# earlier run's files are gone before the first step (so no step reads them), a file of the
# user's in the folder stays.
echo "the user's" >"$home/kept/mine.txt"
HOME=$home "$1" --out "$home/kept" --world "$home/no-folder/world.json" "$2" >"$home/out" 2>&1
rc=$?
cause='  log: kt_guard: fail: KTInitialize (error:61443, Stand-in world file cannot be read or is invalid)'
steps=$(grep -c '^\$ vek-cli ' "$home/out")
[ "$rc" = 1 ] && [ "$steps" = 8 ] && [ "$(grep -cxF "$cause" "$home/out")" = "$steps" ] || {
    echo "a failing road: exit $rc, $steps steps, each followed by <$cause>? It said:"
    cat "$home/out"
    exit 1
}
left=$(cd "$home/kept" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
[ "$left" = "./mine.txt ./order-tampered.txt ./order.txt ./vek-cli.log " ] ||
    { echo "a failing road over an earlier run's files left <$left>"; exit 1; }
echo "operator road passed twice, and once keeping its files on a world of its own; failing, it said why"
