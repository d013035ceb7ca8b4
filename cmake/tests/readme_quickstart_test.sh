#!/bin/bash
# README.md's quick-start of the module as a new user runs it: its script and its commands,
# from the build tree and from the install tree, in a folder whose build/ is this build
# tree. The output must be the one the README shows.
# usage: readme_quickstart_test.sh README PYTHON3 EXTRACT_EXAMPLE BUILD_DIR [SANITIZER_RUNTIME]
# With a sanitizer runtime (an instrumented module in an interpreter that is not) the
# commands find, through a pyenv stand-in, an interpreter that preloads it.
set -u
readme=$1 python3=$2 extract=$3 build=$4 preload=${5:-}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-quickstart-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
ln -s "$build" build
for example in quickstart.py quickstart-build quickstart-install quickstart-output; do
    "$python3" "$extract" "$readme" "$example" "$example" || exit 1
done
sed -i "s|/opt/vek|$scratch/prefix|g" quickstart-install
export TAVREL_STANDIN_WORLD=$scratch/world.json

if [ -n "$preload" ]; then
    real=$(pyenv prefix 2.7.18) || exit 1
    mkdir -p fake/bin python/bin
    printf '#!/bin/sh\nLD_PRELOAD=%s exec %s "$@"\n' "$preload" "$real/bin/python2.7" >python/bin/python2.7
    printf '#!/bin/sh\n[ "$1 $2" = "prefix 2.7.18" ] && echo %s\n' "$scratch/python" >fake/bin/pyenv
    chmod +x python/bin/python2.7 fake/bin/pyenv
    export PATH=$scratch/fake/bin:$PATH
fi

failed=0
for tree in build install; do
    rm -f world.json
    if ! bash -e "quickstart-$tree" >"$tree.out" 2>"$tree.err"; then
        echo "FAIL from the $tree tree: the commands failed"
        cat "$tree.err"
        failed=1
    elif ! diff -u quickstart-output <(tail -n "$(wc -l <quickstart-output)" "$tree.out"); then
        echo "FAIL from the $tree tree: the output differs from the README's (above)"
        failed=1
    else
        echo "ok   from the $tree tree"
    fi
done
exit "$failed"
