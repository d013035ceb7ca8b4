#!/bin/bash
# README.md's quick-start of the module as a new user runs it: its script and its commands,
# from the build tree, and those of docs/packages.md from the install tree, in a folder whose
# build/ is this build tree. The output must be the one the README shows.
# usage: readme_quickstart_test.sh [--python3 INTERPRETER SITE] README INSTALL_DOC PYTHON3
#                                  EXTRACT_EXAMPLE BUILD_DIR [SANITIZER_RUNTIME]
# --python3: the commands for Python 3 (which name Debian's /usr/bin/python3 and its module
# folder lib/python3/dist-packages; they run INTERPRETER, the one the build was configured for,
# and SITE, its module folder below the install prefix), with the same script and output.
# With a sanitizer runtime (an instrumented module in an interpreter that is not) the
# commands find an interpreter that preloads it: for Python 2.7 through a pyenv stand-in,
# for Python 3 in place of the one they name.
set -u
interpreter="" site=""
if [ "${1:-}" = --python3 ]; then
    interpreter=$2 site=$3
    shift 3
fi
readme=$1 install_doc=$2 python3=$3 extract=$4 build=$5 preload=${6:-}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-quickstart-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
ln -s "$build" build
prefix=quickstart
[ -n "$interpreter" ] && prefix=quickstart3
for example in quickstart.py $prefix-build quickstart-output; do
    "$python3" "$extract" "$readme" "$example" "$example" || exit 1
done
"$python3" "$extract" "$install_doc" "$prefix-install" "$prefix-install" || exit 1
sed -i "s|/opt/vek|$scratch/prefix|g" $prefix-install
export TAVREL_STANDIN_WORLD=$scratch/world.json

if [ -n "$interpreter" ]; then
    run=$interpreter
    if [ -n "$preload" ]; then
        printf '#!/bin/sh\nLD_PRELOAD=%s exec %s "$@"\n' "$preload" "$interpreter" >python3-preloading
        chmod +x python3-preloading
        run=$scratch/python3-preloading
    fi
    sed -i "s|/usr/bin/python3 |$run |" $prefix-build $prefix-install
    # The install folder the README names is Debian's Python 3's.
    sed -i "s|/lib/python3/dist-packages|/$site|" $prefix-install
elif [ -n "$preload" ]; then
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
    if ! bash -e "$prefix-$tree" >"$tree.out" 2>"$tree.err"; then
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
