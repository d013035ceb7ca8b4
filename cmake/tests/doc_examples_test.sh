#!/bin/bash
# Examples of the documents run as written, in a folder whose build/ is this build tree (and
# modules/ the clone's), each
# on a fresh stand-in world: README.md's vek-cli road and its host of the plug-in, and
# docs/vek-cli.md's log. An example whose name has a dot is a file, saved under that name; any
# other is commands, run in one shell (not stopping at a failure, as pasted), which must end
# well and whose output must end in the example NAME-output of the same document.
# usage: doc_examples_test.sh PYTHON3 EXTRACT_EXAMPLE BUILD_DIR [--cflags FLAGS] DOC:NAME...
#   FLAGS  go to every compiler the commands call (a sanitizer build: an instrumented plug-in)
set -u
python3=$1 extract=$2 build=$3
shift 3
cflags=""
if [ "${1:-}" = --cflags ]; then
    cflags=$2
    shift 2
fi
. "$(dirname "$0")/lib/checks.sh" doc-examples
mkdir -p "$scratch/bin" "$scratch/run"
for compiler in cc c++; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$(command -v $compiler)" "$cflags" >"$scratch/bin/$compiler"
    chmod +x "$scratch/bin/$compiler"
done
export PATH=$scratch/bin:$PATH TAVREL_STANDIN_WORLD=$scratch/world.json
cd "$scratch/run" || exit 1
ln -s "$build" build
ln -s "$(cd "$(dirname "$0")/../.." && pwd)/modules" modules
for example in "$@"; do
    doc=${example%%:*} name=${example#*:}
    if [ "$name" != "${name#*.}" ]; then
        "$python3" "$extract" "$doc" "$name" "$name" || exit 1
        continue
    fi
    "$python3" "$extract" "$doc" "$name" "$scratch/$name" || exit 1
    "$python3" "$extract" "$doc" "$name-output" "$scratch/$name-output" || exit 1
    sed -i "s|/tmp/vek-cli.log|$scratch/vek-cli.log|g" "$scratch/$name"
    rm -f "$scratch/world.json"
    build/standins/bin/tavrel-world init "$scratch/world.json" >/dev/null || exit 1
    bash "$scratch/$name" >"$scratch/$name.out" 2>&1
    check "${doc##*/} $name runs" [ $? = 0 ]
    check "${doc##*/} $name prints what it shows" \
        diff -u "$scratch/$name-output" <(tail -n "$(wc -l <"$scratch/$name-output")" "$scratch/$name.out")
    [ "$failed" = 0 ] || { cat "$scratch/$name.out"; exit 1; }
done
exit "$failed"
