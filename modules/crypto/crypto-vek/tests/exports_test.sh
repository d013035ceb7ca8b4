#!/usr/bin/env bash
# libsignvek.so exports exactly the ten functions its public header declares.
set -euo pipefail
lib=$1 header=$2
# The functions signvek.h declares, one a line.
expected=$(sed -n 's/^[a-z][a-z ]* \**\(Crypto[A-Za-z]*\)(.*/\1/p' "$header" | sort)
[[ $(wc -l <<<"$expected") == 10 ]] || { echo "$header declares other than ten functions:"; echo "$expected"; exit 1; }
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exports of $lib differ:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
for name in $expected; do
  nm -D --defined-only "$lib" | grep -q " T $name\$" || { echo "$name is not a function"; exit 1; }
done
echo "ok: $lib exports its ten functions"
