#!/bin/bash
# Configure refuses, at once and saying what to do, a Python 2.7 without a library that
# embeds, a Python 3 without headers or older than 3.8, and a SWIG other than the supported
# one. Each case configures the source tree in
# a scratch folder with one override.
# usage: configure_refusals.sh CMAKE SOURCE_DIR PYTHON2_PREFIX SWIG
set -u
cmake=$1 source=$2 python2=$3 swig=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-configure-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0

# fake_python NAME [lib|archive]: a prefix with the real interpreter and headers, and in
# lib/ nothing, or an archive that does not link.
fake_python() {
    local prefix=$scratch/$1
    mkdir -p "$prefix/bin" "$prefix/include" "$prefix/lib"
    ln -s "$python2/bin/python2.7" "$prefix/bin/python2.7"
    ln -s "$python2/include/python2.7" "$prefix/include/python2.7"
    if [ "${2:-}" = archive ]; then
        echo 'int not_python;' >"$scratch/junk.c"
        cc -c "$scratch/junk.c" -o "$scratch/junk.o" && ar rc "$prefix/lib/libpython2.7.a" "$scratch/junk.o"
    fi
    echo "$prefix"
}

# expect_refusal NAME "CMAKE-OPTIONS" TEXT...: configure fails and says each TEXT (compared
# with runs of white space made one blank, as CMake wraps its messages).
expect_refusal() {
    local name=$1 options=$2
    shift 2
    local out=$scratch/$name.out
    # shellcheck disable=SC2086 # the options are words
    if "$cmake" -S "$source" -B "$scratch/$name.build" $options >"$out" 2>&1; then
        echo "FAIL $name: configure succeeded"
        failed=1
        return
    fi
    local said text
    said=$(tr -s ' \n' '  ' <"$out")
    for text in "$@"; do
        if [[ $said != *"$text"* ]]; then
            echo "FAIL $name: no \"$text\" in:"
            cat "$out"
            failed=1
            return
        fi
    done
    echo "ok   $name"
}

get_python='PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 2.7.18'
mkdir -p "$scratch/empty"
expect_refusal no-python "-DVEK_PYTHON2_PREFIX=$scratch/empty" \
    "Python 2.7.18 not found in $scratch/empty" "$get_python"
prefix=$(fake_python no-library)
expect_refusal no-library "-DVEK_PYTHON2_PREFIX=$prefix" \
    "$prefix/lib/libpython2.7.so is missing" "$get_python"
prefix=$(fake_python archive-does-not-link archive)
expect_refusal archive-does-not-link "-DVEK_PYTHON2_PREFIX=$prefix" \
    "$prefix/lib/libpython2.7.a does not link" "built without a shared library" "$get_python"

# A Python 3 that answers configure's question with the given version and headers folder.
fake_python3() {  # NAME VERSION INCLUDE
    local fake=$scratch/$1
    printf '#!/bin/sh\nprintf "%%s\\n" %s %s .so "" ""\n' "$2" "$3" >"$fake"
    chmod +x "$fake"
    echo "$fake"
}
get_python3='python3-dev'
fake=$(fake_python3 python3-no-headers 3.11 "$scratch/empty")
expect_refusal python3-no-headers "-DVEK_PYTHON2_PREFIX=$python2 -DVEK_PYTHON3_EXECUTABLE=$fake" \
    "Python 3.11's headers are missing: no $scratch/empty/Python.h" "Install the package $get_python3" \
    "-DVEK_PYTHON3_EXECUTABLE=<path>"
fake=$(fake_python3 python3-old 3.7 "$scratch/empty")
expect_refusal python3-old "-DVEK_PYTHON2_PREFIX=$python2 -DVEK_PYTHON3_EXECUTABLE=$fake" \
    "$fake is Python 3.7; the module needs 3.8 or newer"
expect_refusal python3-none "-DVEK_PYTHON2_PREFIX=$python2 -DVEK_PYTHON3_EXECUTABLE=$scratch/empty/python3" \
    "Python 3 not found: $scratch/empty/python3 does not run" "apt-get install python3 python3-dev"

# A SWIG that reports another version, otherwise the real one.
for version in 4.1.1 4.2.0; do
    fake=$scratch/swig-$version
    printf '#!/bin/sh\n[ "$1" = -version ] && { echo; echo "SWIG Version %s"; exit 0; }\nexec "%s" "$@"\n' \
        "$version" "$swig" >"$fake"
    chmod +x "$fake"
    expect_refusal "swig-$version" "-DVEK_PYTHON2_PREFIX=$python2 -DSWIG_EXECUTABLE=$fake" \
        "SWIG $version ($fake) is not supported" "SWIG 4.1.0 only"
done

[ "$failed" = 0 ] && echo "configure refused every case as it should"
exit "$failed"
