#!/bin/bash
# The main job on a machine without Python 2.7: run-demo.sh, for real, with a PATH that
# holds no Python 2.7 and no pyenv (this machine's, without their folders) and PYENV_ROOT
# and HOME empty folders. It passes and leaves its files, in a tree that configure made
# without the module and the tests, and without looking for Python 2.7 or SWIG.
# usage: demo_without_python_test.sh RUN_DEMO BUILD_DIR
set -u
script=$1 build=$2
. "$(dirname "$0")/../../cmake/tests/lib/checks.sh" demo

# First a folder whose nproc keeps the build to two jobs: ctest runs other tests meanwhile.
mkdir -p "$scratch/bin" "$scratch/home" "$scratch/pyenv"
printf '#!/bin/sh\necho 2\n' >"$scratch/bin/nproc"
chmod +x "$scratch/bin/nproc"
path=$scratch/bin
IFS=: read -ra folders <<<"$PATH"
for folder in "${folders[@]}"; do
    [ -e "$folder/python2.7" ] || [ -e "$folder/python2" ] || [ -e "$folder/pyenv" ] || path+=:$folder
done
machine() { env -i PATH="$path" HOME="$scratch/home" PYENV_ROOT="$scratch/pyenv" BUILD_DIR="$build" "$@"; }
check "no Python 2.7 and no pyenv on its PATH" [ -z "$(machine bash -c 'command -v python2.7 python2 pyenv')" ]

machine "$script" --out "$scratch/out" --world "$scratch/world.json" >"$scratch/demo.log" 2>&1
check "run-demo.sh passed" [ "$?" = 0 ]
check "every step of the operator's road behaved" \
    grep -q "^operator road: every step behaved as expected" "$scratch/demo.log"
for made in requests/VM1K-000102.zip VM1K-000102.crt order.txt order.txt.p7s; do
    check "made $made" [ -s "$scratch/out/$made" ]
done
cache=$build/CMakeCache.txt
check "configured without the module" grep -qx 'VEK_PYTHON:BOOL=OFF' "$cache"
check "configured without the tests" grep -qx 'BUILD_TESTING:BOOL=OFF' "$cache"
check "looked for no Python 2.7 and no SWIG" [ -z "$(grep -E '^(VEK_PYTHON2_PREFIX|SWIG_EXECUTABLE)[:=]' "$cache")" ]

if [ "$failed" = 0 ]; then
    echo "the main job ran without Python 2.7"
else
    echo "--- run-demo.sh said:"; cat "$scratch/demo.log"
fi
exit "$failed"
