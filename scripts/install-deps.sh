#!/usr/bin/env bash
# Checks for pyenv's Python 2.7.18 with its shared library, then installs the Debian
# packages the build and the tests need, when any is missing. Safe to run again: it
# installs nothing that is present. Needs root, or sudo, only when it installs.
set -euo pipefail
me=install-deps.sh

# Python 2.7.18 first: nothing is installed for a machine that cannot build anyway.
py2_prefix="$(pyenv prefix 2.7.18 2>/dev/null || echo "$HOME/.pyenv/versions/2.7.18")"
py2_get="install it with: PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 2.7.18"
if [[ ! -x $py2_prefix/bin/python2.7 ]]; then
  echo "$me: Python 2.7.18 is required (expected $py2_prefix/bin/python2.7, from pyenv); $py2_get" >&2
  exit 1
fi
if [[ ! -e $py2_prefix/lib/libpython2.7.so ]]; then
  echo "$me: Python 2.7.18 in $py2_prefix has no shared library lib/libpython2.7.so; $py2_get" >&2
  exit 1
fi

packages=(build-essential cmake pkg-config python3 swig libzip-dev libcjson-dev libssl-dev openssl
          libgtest-dev googletest clang zip dpkg-dev)

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
if command -v clang >/dev/null; then
  runtime=$(clang_runtime)
  installed "$runtime" || missing+=("$runtime")
fi
((${#missing[@]})) || exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "$me: installing ${missing[*]} needs root, and there is no sudo here: run it as root" >&2
    exit 1
  fi
  sudo=(sudo)
fi

"${sudo[@]}" apt-get update
[[ -n $runtime ]] || missing+=("$(clang_runtime)")  # clang comes with this install
echo "$me: installing ${missing[*]}"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
