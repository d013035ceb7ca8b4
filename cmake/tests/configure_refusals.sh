#!/bin/bash
# Configure refuses, at once and saying what to do, a missing Python 2.7, a Python 2.7
# without a library that embeds, a Python 3 without headers or older than 3.8, and a SWIG
# other than the supported one. Without the module (-DVEK_PYTHON=OFF) it looks for none of
# them; without the tests (-DBUILD_TESTING=OFF) its build system holds no test program.
# Each case configures the source tree in a scratch folder with one override.
# usage: configure_refusals.sh CMAKE SOURCE_DIR PYTHON2_PREFIX SWIG PYTHON3
set -u
cmake=$1 source=$2 python2=$3 swig=$4 python3=$5
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

# configure NAME "CMAKE-OPTIONS": configures $scratch/NAME.build on the machine that
# $machine (a command prefix) makes, its output in $scratch/NAME.out, and asks for the
# build system's targets.
machine=()
configure() {
    mkdir -p "$scratch/$1.build/.cmake/api/v1/query"
    : >"$scratch/$1.build/.cmake/api/v1/query/codemodel-v2"
    # shellcheck disable=SC2086 # the options are words
    "${machine[@]}" "$cmake" -S "$source" -B "$scratch/$1.build" $2 >"$scratch/$1.out" 2>&1
}

# expect_refusal NAME "CMAKE-OPTIONS" TEXT...: configure fails and says each TEXT (compared
# with runs of white space made one blank, as CMake wraps its messages).
expect_refusal() {
    local name=$1 options=$2
    shift 2
    local out=$scratch/$name.out
    if configure "$name" "$options"; then
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

# expect NAME DESCRIPTION CONDITION...
expect() {
    local name=$1 what=$2
    shift 2
    if "$@"; then
        echo "ok   $name: $what"
    else
        echo "FAIL $name: $what"
        cat "$scratch/$name.out"
        failed=1
    fi
}

# targets NAME: the targets of a configured tree, "name type folder" a line (the folder
# below the source tree).
targets() {
    "$python3" - "$scratch/$1.build/.cmake/api/v1/reply" <<'PY'
import glob, json, os, sys
reply = sys.argv[1]
def read(name):
    with open(os.path.join(reply, name)) as f:
        return json.load(f)
index = read(sorted(glob.glob(os.path.join(reply, 'index-*.json')))[-1])
model = read(index['reply']['codemodel-v2']['jsonFile'])
for entry in model['configurations'][0]['targets']:
    target = read(entry['jsonFile'])
    print(target['name'], target['type'], target['paths']['source'])
PY
}
has_target() { grep -q "^$2 " "$scratch/$1.targets"; }
no_target() { ! has_target "$@"; }

# A machine without Python 2.7: pyenv, python2.7 and swig are fakes that note their calls
# and fail, and PYENV_ROOT is an empty folder. With the module, configure looks there and
# refuses; without it, it looks for nothing and succeeds, with a Python 3 that has no
# headers.
mkdir -p "$scratch/no-python2/bin"
for tool in pyenv python2.7 swig; do
    printf '#!/bin/sh\necho "%s $*" >>%s\nexit 1\n' "$tool" "$scratch/no-python2/ran" >"$scratch/no-python2/bin/$tool"
    chmod +x "$scratch/no-python2/bin/$tool"
done
machine=(env PATH="$scratch/no-python2/bin:$PATH" PYENV_ROOT="$scratch/empty")
expect_refusal python2-nowhere "" \
    "Python 2.7.18 not found in $scratch/empty/versions/2.7.18" "$get_python"
rm -f "$scratch/no-python2/ran"
fake=$(fake_python3 python3-headerless 3.11 "$scratch/empty")
name=without-module
configure "$name" "-DVEK_PYTHON=OFF -DVEK_PYTHON3_EXECUTABLE=$fake"
expect "$name" "configured" [ "$?" = 0 ]
expect "$name" "ran no pyenv, Python 2.7 or SWIG" [ ! -e "$scratch/no-python2/ran" ]
targets "$name" >"$scratch/$name.targets"
for target in _Tavrel _Tavrel_py3 module_reference; do
    expect "$name" "no target $target" no_target "$name" "$target"
done
for target in vek-cli signvek tavrellib vek_cli_engine_tests; do
    expect "$name" "the target $target" has_target "$name" "$target"
done
machine=()

# Without the tests: no test program, no benchmark, no test registered; the module is
# still built.
name=without-tests
configure "$name" "-DVEK_PYTHON2_PREFIX=$python2 -DSWIG_EXECUTABLE=$swig -DBUILD_TESTING=OFF"
expect "$name" "configured" [ "$?" = 0 ]
targets "$name" >"$scratch/$name.targets"
expect "$name" "its programs are vek-cli and tavrel-world" \
    [ "$(awk '$2 == "EXECUTABLE" { print $1 }' "$scratch/$name.targets" | sort | xargs)" = "tavrel-world vek-cli" ]
expect "$name" "no target of a tests/ or bench/ folder" \
    [ -z "$(awk '$3 ~ /(^|\/)(tests|bench)(\/|$)/' "$scratch/$name.targets")" ]
expect "$name" "the module's target" has_target "$name" _Tavrel
expect "$name" "no test" grep -qx "Total Tests: 0" <("$(dirname "$cmake")/ctest" --test-dir "$scratch/$name.build" -N)

[ "$failed" = 0 ] && echo "configure behaved in every case"
exit "$failed"
