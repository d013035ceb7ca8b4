#!/usr/bin/env bash
# libsignvek.so exports exactly its ten functions.
set -euo pipefail
lib=$1
expected="CryptoLogClose
CryptoLogOpen
CryptoProviderClose
CryptoProviderCollectStats
CryptoProviderGetCrt
CryptoProviderHash
CryptoProviderOpen
CryptoProviderSign
CryptoProviderStart
CryptoProviderStop"
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
