#!/bin/bash
# install-deps.sh on made-up machines: PATH holds only fakes of pyenv, dpkg-query, id,
# clang, openssl, apt-cache and apt-get (which records its calls and gives the openssl
# command with its package) and the few real tools it uses; Python 2.7 is a made-up
# folder too.
# usage: install_deps_test.sh INSTALL_DEPS
set -u
script=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-install-deps-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0

# machine NAME UID PYTHON-PREFIX CLANG-VERSION|none CANDIDATE-CLANG SUDO(yes|no) INSTALLED...:
# a fake bin folder; INSTALLED are the packages dpkg-query reports installed (the package
# openssl with its command).
machine() {
    local name=$1 bin=$scratch/$1/bin
    mkdir -p "$bin"
    for tool in bash env grep sed head cat dirname; do ln -s "$(command -v $tool)" "$bin/$tool"; done
    printf '#!/bin/sh\n[ "$1" = -u ] && echo %s\n' "$2" >"$bin/id"
    if [ "$3" = none ]; then
        printf '#!/bin/sh\nexit 1\n' >"$bin/pyenv"
    else
        printf '#!/bin/sh\necho %s\n' "$3" >"$bin/pyenv"
    fi
    [ "$4" = none ] || printf '#!/bin/sh\n[ "$1" = -dumpversion ] && echo %s\n' "$4" >"$bin/clang"
    printf '#!/bin/sh\necho clang; echo "  Depends: clang-%s"\n' "$5" >"$bin/apt-cache"
    [ "$6" = no ] || printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
    shift 6
    printf '#!/bin/sh\nfor p in %s; do [ "$p" = "$3" ] && { printf "install ok installed"; exit 0; }; done\nexit 1\n' \
        "$*" >"$bin/dpkg-query"
    case " $* " in *" openssl "*) printf '#!/bin/sh\n' >"$bin/openssl" ;; esac
    printf '#!/bin/sh\necho "apt-get $*" >>%s\ncase " $* " in *" openssl "*) printf "#!/bin/sh\\n" >%s; %s +x %s ;; esac\n' \
        "$scratch/$name/apt.log" "$bin/openssl" "$(command -v chmod)" "$bin/openssl" >"$bin/apt-get"
    chmod +x "$bin"/*
}

# run NAME [VARIABLE=VALUE...]: runs the script on machine NAME, in that environment; its
# output in NAME/out, its code in $rc.
run() {
    local name=$1
    shift
    env -i PATH="$scratch/$name/bin" HOME="$scratch/$name" "$@" "$script" >"$scratch/$name/out" 2>&1
    rc=$?
}

check() {  # NAME DESCRIPTION CONDITION...
    local name=$1 what=$2
    shift 2
    if "$@"; then
        echo "ok   $name: $what"
    else
        echo "FAIL $name: $what"
        echo "--- output:"; cat "$scratch/$name/out"
        echo "--- apt-get calls:"; cat "$scratch/$name/apt.log" 2>/dev/null
        failed=1
    fi
}
said() { grep -qF -- "$2" "$scratch/$1/out"; }
no_apt() { [ ! -e "$scratch/$1/apt.log" ]; }
apt_did() { grep -qxF -- "$2" "$scratch/$1/apt.log"; }
lines() { [ "$(wc -l <"$scratch/$1/out")" = "$2" ]; }

# The packages of vek-cli, the plug-in and the stand-ins; of the tests; of the module.
build="build-essential cmake pkg-config python3 libzip-dev libcjson-dev libssl-dev dpkg-dev"
tests="openssl libgtest-dev googletest clang zip man-db groff-base mypy lintian devscripts"
module="python3-dev swig"
all="$build $tests $module libclang-rt-14-dev"
without_openssl=${all/ openssl/}
hint='PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 2.7.18'

# A Python 2.7 with its shared library, and one without.
python2=$scratch/python2.7.18
mkdir -p "$python2/bin" "$python2/lib" "$scratch/static/bin"
printf '#!/bin/sh\n' | tee "$python2/bin/python2.7" >"$scratch/static/bin/python2.7"
chmod +x "$python2/bin/python2.7" "$scratch/static/bin/python2.7"
: >"$python2/lib/libpython2.7.so"

machine no-python 0 none 14.0.6 14 no
run no-python
check no-python "refused before apt" [ "$rc" = 1 ]
check no-python "says what is missing and how to get it" said no-python "Python 2.7.18 is required"
check no-python "names where it looked" said no-python "looked for $scratch/no-python/.pyenv/versions/2.7.18/bin/python2.7"
check no-python "with the pyenv command" said no-python "$hint"
check no-python "apt untouched" no_apt no-python

machine static-python 0 "$scratch/static" 14.0.6 14 no
run static-python
check static-python "refused before apt" [ "$rc" = 1 ]
check static-python "names the shared library, and pyenv's rebuild" said static-python \
    "in $scratch/static has no shared library lib/libpython2.7.so; rebuild it with: ${hint/install/install -f}"
check static-python "apt untouched" no_apt static-python

# PYENV_ROOT where pyenv cannot name the version; VEK_CMAKE_ARGS naming a Python and SWIG.
mkdir -p "$scratch/pyenv-root/versions"
ln -s "$python2" "$scratch/pyenv-root/versions/2.7.18"
machine elsewhere 0 none 14.0.6 14 no $all
run elsewhere PYENV_ROOT="$scratch/nowhere"
check elsewhere "PYENV_ROOT: refused" [ "$rc" = 1 ]
check elsewhere "naming where it looked" said elsewhere "looked for $scratch/nowhere/versions/2.7.18/bin/python2.7"
run elsewhere PYENV_ROOT="$scratch/pyenv-root"
check elsewhere "PYENV_ROOT: found there" [ "$rc" = 0 ]
check elsewhere "says nothing" lines elsewhere 0
machine named 0 none 14.0.6 14 no ${all/ swig/}
run named VEK_CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DVEK_PYTHON2_PREFIX=$python2 -DSWIG_EXECUTABLE:FILEPATH=/opt/swig"
check named "the named Python and SWIG: nothing to do" [ "$rc" = 0 ]
check named "says nothing" lines named 0
check named "apt untouched" no_apt named
run named VEK_CMAKE_ARGS="-DVEK_PYTHON2_PREFIX:PATH=$scratch/static"
check named "a named Python without its shared library: refused" [ "$rc" = 1 ]
check named "named, without pyenv's command" said named \
    "Python 2.7.18 in $scratch/static has no shared library lib/libpython2.7.so; build it with --enable-shared"

machine no-command 0 "$python2" 14.0.6 14 no $all
rm "$scratch/no-command/bin/openssl"
run no-command
check no-command "the package without the openssl command: refused" [ "$rc" = 1 ]
check no-command "saying so" said no-command "the package openssl is installed, but no openssl command is on the path"
check no-command "apt untouched" no_apt no-command

machine complete 1000 "$python2" 14.0.6 14 no $all
run complete
check complete "nothing to do, as a user without sudo" [ "$rc" = 0 ]
check complete "says nothing" lines complete 0
check complete "apt untouched" no_apt complete

machine no-root 1000 "$python2" 14.0.6 14 no $without_openssl
run no-root
check no-root "refused" [ "$rc" = 1 ]
check no-root "in one line" lines no-root 1
check no-root "naming root, sudo and the package" said no-root "installing openssl needs root, and there is no sudo here: run it as root"
check no-root "apt untouched" no_apt no-root

machine with-sudo 1000 "$python2" 14.0.6 14 yes $without_openssl
run with-sudo
check with-sudo "installs through sudo" apt_did with-sudo \
    "apt-get install -y --no-install-recommends openssl"

machine new-clang 0 "$python2" 16.0.6 16 no ${all/ libclang-rt-14-dev/}
run new-clang
check new-clang "the runtime of the installed clang" apt_did new-clang \
    "apt-get install -y --no-install-recommends libclang-rt-16-dev"

machine fresh 0 "$python2" none 15 no
run fresh
check fresh "done" [ "$rc" = 0 ]
check fresh "lists first, then every package in one visible install" apt_did fresh "apt-get update"
check fresh "with openssl and the runtime of the clang apt installs" apt_did fresh \
    "apt-get install -y --no-install-recommends ${all/ libclang-rt-14-dev/ libclang-rt-15-dev}"
check fresh "apt's progress not hidden" [ -z "$(grep -e -qq -e -q "$scratch/fresh/apt.log")" ]
# Its usage names each package it installs (the compiler runtime by its pattern).
env -i PATH="$scratch/fresh/bin" "$script" --help | tr -s ' ,;:()' '\n' >"$scratch/fresh/words"
for package in ${all/libclang-rt-14-dev/libclang-rt-<version>-dev}; do
    check fresh "--help names $package" grep -qxF -- "$package" "$scratch/fresh/words"
done

# The parts the configure options leave out: a machine without Python 2.7, or with one
# (ARGS then names it), with nothing installed, gets the packages of the parts built, in
# one install. The last value of an option counts, as for cmake.
# parts NAME PYTHON ARGS PACKAGES
parts() {
    local name=$1 prefix=$2 args=$3 packages=$4
    machine "$name" 0 "$prefix" none 14 no
    run "$name" VEK_CMAKE_ARGS="$args"
    check "$name" "done" [ "$rc" = 0 ]
    check "$name" "installs $packages" apt_did "$name" "apt-get install -y --no-install-recommends $packages"
}
parts demo none "-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF" "$build"
parts no-module none "-DVEK_PYTHON:BOOL=off" "$build $tests libclang-rt-14-dev"
parts no-tests "$python2" "-DBUILD_TESTING=0" "$build $module"
parts tests-again none "-DBUILD_TESTING=OFF -DVEK_PYTHON=No -DBUILD_TESTING=ON" "$build $tests libclang-rt-14-dev"

machine demo-ready 1000 none none 14 no $build
run demo-ready VEK_CMAKE_ARGS="-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF"
check demo-ready "the demo's packages present, no Python 2.7, no openssl command: nothing to do" [ "$rc" = 0 ]
check demo-ready "says nothing" lines demo-ready 0
check demo-ready "apt untouched" no_apt demo-ready
run demo-ready VEK_CMAKE_ARGS="-DVEK_PYTHON=OFF -DBUILD_TESTING=OFF -DVEK_PYTHON=ON"
check demo-ready "the module asked for again: Python 2.7 required" said demo-ready "Python 2.7.18 is required"

[ "$failed" = 0 ] && echo "install-deps.sh behaved on every machine"
exit "$failed"
