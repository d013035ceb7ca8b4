#!/usr/bin/env bash
# usage: scripts/install-deps.sh [-h|--help]
# Installs the Debian packages the build needs, when any is missing: those of vek-cli, the
# plug-in, the stand-ins and the Debian packages (build-essential cmake pkg-config python3
# libzip-dev libcjson-dev libssl-dev dpkg-dev), and by default also the tests' (GoogleTest:
# libgtest-dev googletest; clang with its compiler runtime libclang-rt-<version>-dev; zip;
# man: man-db groff-base; mypy for the type stub; lintian and devscripts (hardening-check)
# for the Debian packages; and openssl, whose command it then checks for) and the module's
# (swig, and python3-dev: the headers the Python 3 module compiles against). For the module
# it first checks for Python 2.7.18 with its shared library, which apt does not give, and
# installs nothing without it. Safe to run again: it installs nothing that is
# present. Needs root, or sudo, only when it installs.
#   PYENV_ROOT      pyenv's folder, where 2.7.18 is looked for when the pyenv command
#                   cannot name it (default: ~/.pyenv)
#   VEK_CMAKE_ARGS  the build's extra configure options, split at spaces: with
#                   -DVEK_PYTHON2_PREFIX=<folder> that Python 2.7 is checked instead of
#                   pyenv's 2.7.18; with -DSWIG_EXECUTABLE=<path> the swig package is
#                   not needed; with -DVEK_PYTHON=OFF (a build without the module, as
#                   scripts/run-demo.sh configures) no Python 2.7, swig or python3-dev;
#                   with -DBUILD_TESTING=OFF nothing of the tests
set -euo pipefail
me=install-deps.sh
. "$(dirname "$0")/lib/usage.sh"
. "$(dirname "$0")/lib/tree.sh"
no_options "$@"

# What the build's configure options name instead of the defaults, and what they leave out.
py2_named="" swig_named="" module_option=ON tests_option=ON
read -ra cmake_args <<<"${VEK_CMAKE_ARGS:-}"
for arg in "${cmake_args[@]}"; do
  case $arg in
    -DVEK_PYTHON2_PREFIX=* | -DVEK_PYTHON2_PREFIX:*=*) py2_named=${arg#*=} ;;
    -DSWIG_EXECUTABLE=* | -DSWIG_EXECUTABLE:*=*) swig_named=${arg#*=} ;;
    -DVEK_PYTHON=* | -DVEK_PYTHON:*=*) module_option=${arg#*=} ;;
    -DBUILD_TESTING=* | -DBUILD_TESTING:*=*) tests_option=${arg#*=} ;;
  esac
done

# Python 2.7 first: nothing is installed for a machine that cannot build anyway.
check_python2() {
  local py2_prefix py2_from py2_get py2_rebuild
  if [[ -n $py2_named ]]; then
    py2_prefix=$py2_named
    py2_from="named by -DVEK_PYTHON2_PREFIX"
    py2_get="build it with --enable-shared, or name another one"
    py2_rebuild=$py2_get
  else
    py2_prefix="$(pyenv prefix 2.7.18 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}/versions/2.7.18")"
    py2_from="from pyenv"
    py2_get="install it with: PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 2.7.18"
    py2_rebuild="rebuild it with: PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install -f 2.7.18"
  fi
  if [[ ! -x $py2_prefix/bin/python2.7 ]]; then
    echo "$me: Python 2.7.18 is required (looked for $py2_prefix/bin/python2.7, $py2_from); $py2_get" >&2
    exit 1
  fi
  if [[ ! -e $py2_prefix/lib/libpython2.7.so ]]; then
    echo "$me: Python 2.7.18 in $py2_prefix has no shared library lib/libpython2.7.so; $py2_rebuild" >&2
    exit 1
  fi
}

# vek-cli, the plug-in, the stand-ins and the package; then the tests' and the module's.
packages=(build-essential cmake pkg-config python3 libzip-dev libcjson-dev libssl-dev dpkg-dev)
tests=""
if cmake_true "$tests_option"; then
  tests=1
  packages+=(openssl libgtest-dev googletest clang zip man-db groff-base mypy lintian devscripts)
fi
if cmake_true "$module_option"; then
  check_python2
  packages+=(python3-dev)
  [[ -n $swig_named ]] || packages+=(swig)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The compiler runtime (libFuzzer, sanitizers for clang) of the clang that is, or will be,
# installed: its LLVM major version from clang itself, else from the package clang names.
clang_runtime() {
  local version
  if command -v clang >/dev/null; then
    version=$(clang -dumpversion)
  else
    version=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n1)
  fi
  version=${version%%.*}
  [[ -n $version ]] || { echo "$me: cannot tell which LLVM version clang is" >&2; return 1; }
  echo "libclang-rt-$version-dev"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
runtime=""
if [[ -n $tests ]] && command -v clang >/dev/null; then
  runtime=$(clang_runtime)
  installed "$runtime" || missing+=("$runtime")
fi

# The package alone does not give the command the tests run.
openssl_command() {
  [[ -n $tests ]] || return 0
  command -v openssl >/dev/null && return 0
  echo "$me: the package openssl is installed, but no openssl command is on the path ($PATH)" >&2
  return 1
}
((${#missing[@]})) || { openssl_command; exit; }

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "$me: installing ${missing[*]} needs root, and there is no sudo here: run it as root" >&2
    exit 1
  fi
  sudo=(sudo)
fi

"${sudo[@]}" apt-get update
if [[ -n $tests && -z $runtime ]]; then
  missing+=("$(clang_runtime)")  # clang comes with this install
fi
echo "$me: installing ${missing[*]}"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
openssl_command
