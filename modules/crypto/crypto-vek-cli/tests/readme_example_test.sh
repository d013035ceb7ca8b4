#!/bin/bash
# The vek-cli example of README.md run as written, in a folder whose build/ is this build
# tree, on a fresh stand-in world: it prints what the README shows.
# usage: readme_example_test.sh README PYTHON3 EXTRACT_EXAMPLE BUILD_DIR
set -u
readme=$1 python3=$2 extract=$3 build=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-cli-readme-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
ln -s "$build" build
for example in vek-cli-log vek-cli-log-output; do
    "$python3" "$extract" "$readme" "$example" "$example" || exit 1
done
sed -i "s|/tmp/vek-cli.log|$scratch/vek-cli.log|g" vek-cli-log
export TAVREL_STANDIN_WORLD=$scratch/world.json
build/standins/bin/tavrel-world init world.json >/dev/null || exit 1
bash vek-cli-log >out 2>&1
diff -u vek-cli-log-output out || { echo "FAIL the output differs from the README's (above)"; exit 1; }
echo "ok   vek-cli-log"
