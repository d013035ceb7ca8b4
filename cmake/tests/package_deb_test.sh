#!/bin/bash
# The Debian package of a built tree, made and installed (apt-get simulates) by README.md's
# commands: it holds everything the install rules install (and at least the files named
# here), its Depends come from the binaries and name neither the signature library nor
# the logger, and, unpacked anywhere, its pkg-config file names its folders and its
# vek-cli runs against the stand-ins.
# usage: package_deb_test.sh README PYTHON3 EXTRACT_EXAMPLE BUILD_DIR FILE...
#   FILE  a path the package must hold, below /usr
set -u
readme=$1 python3=$2 extract=$3 build=$4
shift 4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0
check() {  # DESCRIPTION CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}

# The README's commands, in a folder whose build/ is this tree, with the package made in
# the scratch folder and its installation simulated.
"$python3" "$extract" "$readme" package "$scratch/package.sh" || exit 1
sed -i -e "s|cpack -G DEB)|cpack -G DEB -B '$scratch/out')|" \
    -e "s|^sudo apt-get install ./build/|apt-get install -s '$scratch/out'/|" "$scratch/package.sh"
if [ "$(grep -c "$scratch/out" "$scratch/package.sh")" != 2 ]; then
    echo "FAIL the README's commands are not those this test knows:"; cat "$scratch/package.sh"; exit 1
fi
mkdir "$scratch/clone" && ln -s "$build" "$scratch/clone/build"
if ! (cd "$scratch/clone" && bash -e "$scratch/package.sh") >"$scratch/package.log" 2>&1; then
    echo "FAIL the README's commands:"; cat "$scratch/package.log"; exit 1
fi
debs=("$scratch"/out/*.deb)
check "one package made (${debs[*]##*/})" test "${#debs[@]}" = 1 -a -f "${debs[0]}"
deb=${debs[0]}

# Its files against those the install rules install under the same prefix.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort >"$scratch/packaged"
DESTDIR=$scratch/installed cmake --install "$build" --prefix /usr >/dev/null || exit 1
(cd "$scratch/installed" && find . ! -type d | sed 's/^\.//' | sort) >"$scratch/installed.list"
check "holds what is installed" diff -u "$scratch/installed.list" "$scratch/packaged"
for file in "$@"; do
    check "holds /usr/$file" grep -qxF "/usr/$file" "$scratch/packaged"
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' >"$scratch/depends"
for library in libzip libcjson libstdc++ libc6; do
    check "depends on $library" grep -q "^$library" "$scratch/depends"
done
check "depends on neither tavrellib nor jotlog" [ -z "$(grep -iE 'tavrel|jotlog' <<<"$depends")" ]
description=$(dpkg-deb -f "$deb" Description)
check "its description says both are outside it" \
    grep -qz 'tavrellib.so and the logger libjotlog.so.*not in this package' <<<"$description"

dpkg-deb -x "$deb" "$scratch/root" || exit 1
for binary in usr/bin/vek-cli usr/lib/libsignvek.so; do
    check "$binary carries no run path" [ -z "$(readelf -d "$scratch/root/$binary" | grep -E 'RPATH|RUNPATH')" ]
done
cflags=$(PKG_CONFIG_PATH=$scratch/root/usr/lib/pkgconfig pkg-config --cflags signvek)
include=${cflags#-I}
check "its signvek.pc names its own folders ($cflags)" \
    [ "$(cd "${include% }" && pwd -P)" = "$(cd "$scratch/root/usr/include" && pwd -P)" ]
LD_LIBRARY_PATH=$build/standins/lib TAVREL_STANDIN_WORLD=$scratch/world.json \
    "$scratch/root/usr/bin/vek-cli" media list >"$scratch/media" 2>&1
check "its vek-cli runs on the stand-ins" grep -qx VM1K-000101 "$scratch/media"

[ "$failed" = 0 ] && echo "the package holds what it should"
exit "$failed"
