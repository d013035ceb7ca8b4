#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing, and checks for
# pyenv's Python 2.7.18. Safe to run again: it installs nothing that is present.
set -euo pipefail

packages=(build-essential cmake pkg-config python3 swig libzip-dev libcjson-dev libssl-dev
          libgtest-dev googletest clang libclang-rt-14-dev zip)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

py2="$(pyenv prefix 2.7.18 2>/dev/null || echo "$HOME/.pyenv/versions/2.7.18")/bin/python2.7"
if [[ ! -x $py2 ]]; then
  echo "Python 2.7.18 is required (expected at $py2, from pyenv)." >&2
  exit 1
fi
