#!/bin/bash
# The Debian packages of a built tree, made and installed (apt-get simulates) by the commands of
# docs/packages.md, which install those cpack has just made and no package an earlier run left:
# lintian finds no error and no lack of hardening in any of them, and each warning it gives is
# explained in that document; hardening-check (where installed) passes on every binary, whose
# code was compiled with control-flow protection and stack-clash probing; together they hold everything the install rules install (and at least the files
# named here), stripped, with the debug information in -dbgsym packages; their Depends come
# from the binaries and name neither the signature library nor the logger. Unpacked, their
# pkg-config file names the system folders, which pkg-config drops; their vek-cli runs against
# the stand-ins; their documents' links lead to installed files; the Python 3 module imports
# from where Debian's Python 3 looks by itself, and the Python 2.7 one through the document's
# .pth file. Installed into a scratch dpkg database and removed by the document's command, they
# leave nothing behind, not even the .pth file.
# usage: package_deb_test.sh DOC PYTHON3 EXTRACT_EXAMPLE BUILD_DIR FILE...
#   DOC      docs/packages.md, whose commands are run
#   PYTHON3  runs the example extractor
#   FILE     a path a package must hold, below /usr
# and, when the tree builds the module, in the environment:
#   VEK_TEST_PYTHON2, VEK_TEST_PYTHON3  the Python 2.7 and the Python 3 it is built for
#   VEK_TEST_PRELOAD                    what they preload to load an instrumented module
# and, for a sanitizer build, whose binaries are not fortified, VEK_TEST_UNFORTIFIED=1.
set -u
doc=$1 python3=$2 extract=$3 build=$4
shift 4
. "$(dirname "$0")/lib/checks.sh" package

# The README's commands, in a folder whose build/ is this tree, with the packages made in
# the scratch folder, where an earlier run left a package and a debug package of a name this
# build does not make, and their installation simulated.
"$python3" "$extract" "$doc" package "$scratch/package.sh" || exit 1
sed -i -e "s|cpack -G DEB)|cpack -G DEB -B '$scratch/out')|" \
    -e "s|^\$as_root apt-get install ./build/packages/|apt-get install -s '$scratch/out'/|" "$scratch/package.sh"
if [ "$(grep -c "$scratch/out" "$scratch/package.sh")" != 2 ]; then
    echo "FAIL the document's commands are not those this test knows:"; cat "$scratch/package.sh"; exit 1
fi
mkdir -p "$scratch/clone" "$scratch/stale/DEBIAN" "$scratch/out" && ln -s "$build" "$scratch/clone/build"
printf 'Package: vek-stale\nVersion: 0.1.0-1\nArchitecture: all\nMaintainer: Nobody <nobody@example.org>\nDescription: made by an earlier run\n' \
    >"$scratch/stale/DEBIAN/control"
dpkg-deb --root-owner-group -b "$scratch/stale" "$scratch/out/vek-stale_0.1.0-1_all.deb" >/dev/null || exit 1
cp "$scratch/out/vek-stale_0.1.0-1_all.deb" "$scratch/out/vek-stale-dbgsym_0.1.0-1_all.ddeb"
if ! (cd "$scratch/clone" && bash -e "$scratch/package.sh") >"$scratch/package.log" 2>&1; then
    echo "FAIL the document's commands:"; cat "$scratch/package.log"; exit 1
fi
debs=("$scratch"/out/*.deb)
ddebs=("$scratch"/out/*.ddeb)
names() { for deb in "$@"; do dpkg-deb -f "$deb" Package; done | sort | tr '\n' ' '; }
echo "packages: $(names "${debs[@]}")"
echo "debug packages: $(names "${ddebs[@]}")"
for name in $(names "${debs[@]}"); do
    check "the document's command installs $name" grep -q "^Inst $name " "$scratch/package.log"
done
check "cpack removed the packages of an earlier run" [ -z "$(ls "$scratch/out" | grep '^vek-stale')" ]
check "the document's command installs no package of an earlier run" \
    [ -z "$(grep '^Inst vek-stale' "$scratch/package.log")" ]

# lintian: no error and no hardening tag in any package (a sanitizer build's binaries are not
# fortified); each warning named in the document's section on them.
lintian -I --pedantic --fail-on error --tag-display-limit 0 "${debs[@]}" "${ddebs[@]}" >"$scratch/lintian" 2>&1
check "lintian finds no error" [ $? = 0 ]
cat "$scratch/lintian"
allowed='^$'
[ -n "${VEK_TEST_UNFORTIFIED:-}" ] && allowed=': hardening-no-fortify-functions '
unhardened=$(grep -E '^[A-Z]: [^ ]+: hardening-' "$scratch/lintian" | grep -v -e "$allowed")
check "lintian finds every binary hardened${VEK_TEST_UNFORTIFIED:+ (but not fortified: a sanitizer build)}" \
    [ -z "$unhardened" ]
sed -n '/^## Hardening/,/^## /p' "$doc" >"$scratch/section"
for tag in $(sed -n 's/^W: [^:]*: \([a-z0-9-]*\).*/\1/p' "$scratch/lintian" | sort -u); do
    check "docs/packages.md explains the warning $tag" grep -q "^- \`$tag\`" "$scratch/section"
done

# Their files against those the install rules install under the same prefix; each package has
# its copyright and changelog; the debug information is in the -dbgsym packages.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print substr($6, 2)}'; }
: >"$scratch/packaged"
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$scratch/root" || exit 1
    name=$(dpkg-deb -f "$deb" Package)
    files "$deb" >"$scratch/files"
    for file in copyright changelog.Debian.gz; do
        check "$name holds its $file" grep -qxF "/usr/share/doc/$name/$file" "$scratch/files"
    done
    grep -v "^/usr/share/doc/$name/\(copyright\|changelog.Debian.gz\)$" "$scratch/files" >>"$scratch/packaged"
done
sort -o "$scratch/packaged" "$scratch/packaged"
for ddeb in "${ddebs[@]}"; do files "$ddeb"; done >"$scratch/debug"
DESTDIR=$scratch/installed cmake --install "$build" --prefix /usr >/dev/null || exit 1
(cd "$scratch/installed" && find . ! -type d | sed 's/^\.//' | sort) >"$scratch/installed.list"
check "they hold what is installed" diff -u "$scratch/installed.list" "$scratch/packaged"
for file in "$@"; do
    check "they hold /usr/$file" grep -qxF "/usr/$file" "$scratch/packaged"
done
for ddeb in "${ddebs[@]}"; do dpkg-deb -x "$ddeb" "$scratch/debug-root" || exit 1; done
# hardening-check (devscripts) where installed. Debian 12's C start files (Scrt1.o, crti.o,
# crtn.o) carry no control-flow protection marking, so no binary linked with them carries one,
# however its own code is compiled: that code's flags are read from its debug information.
skips=(--nocfprotection)
[ -n "${VEK_TEST_UNFORTIFIED:-}" ] && skips+=(--nostackprotector --nofortify)  # a sanitizer build
command -v hardening-check >/dev/null || echo "note: no hardening-check here (package devscripts)"
for binary in $(cd "$scratch/root" && find . -type f -exec sh -c 'file "$1" | grep -q ELF' _ {} \; -print); do
    check "$binary is stripped" [ -z "$(readelf -S "$scratch/root/$binary" | grep -E '\.(debug_info|symtab) ')" ]
    id=$(readelf -n "$scratch/root/$binary" | sed -n 's/.*Build ID: //p')
    debug=/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    check "its debug information is in a -dbgsym package" grep -qxF "$debug" "$scratch/debug"
    if command -v hardening-check >/dev/null; then
        check "hardening-check ${skips[*]} passes on $binary" hardening-check --quiet "${skips[@]}" "$scratch/root/$binary"
    fi
    if [ -z "${VEK_TEST_UNFORTIFIED:-}" ]; then
        readelf --debug-dump=info "$scratch/debug-root$debug" 2>/dev/null |
            sed -n 's/.*DW_AT_producer *: *\(([^)]*): *\)\{0,1\}//p' | grep '^GNU C' | sort -u >"$scratch/producers"
        check "$binary: its code was compiled" [ -s "$scratch/producers" ]
        check "$binary: all its code with -fcf-protection and -fstack-clash-protection" \
            [ -z "$(grep -v -e '-fcf-protection' "$scratch/producers"; grep -v -e '-fstack-clash-protection' "$scratch/producers")" ]
    fi
done

for deb in "${debs[@]}"; do
    name=$(dpkg-deb -f "$deb" Package)
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$name Depends: $depends"
    check "$name depends on neither tavrellib nor jotlog" [ -z "$(grep -iE 'tavrellib|jotlog' <<<"$depends")" ]
    check "$name's description says both are outside it" \
        grep -qz 'tavrellib.so and the logger libjotlog.so.*not in this package' <<<"$(dpkg-deb -f "$deb" Description)"
    tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' >"$scratch/depends.$name"
done
for library in libzip libstdc++ libc6; do
    check "vek-cli depends on $library" grep -q "^$library" "$scratch/depends.vek-cli"
done
for library in libcjson libstdc++ libc6; do
    check "libsignvek depends on $library" grep -q "^$library" "$scratch/depends.libsignvek"
done
check "libsignvek-dev depends on libsignvek" grep -qx libsignvek "$scratch/depends.libsignvek-dev"

root=$scratch/root
for binary in usr/bin/vek-cli usr/lib/libsignvek.so; do
    check "$binary carries no run path" [ -z "$(readelf -d "$root/$binary" | grep -E 'RPATH|RUNPATH')" ]
done
check "signvek.pc names the prefix /usr" grep -qx 'prefix=/usr' "$root/usr/lib/pkgconfig/signvek.pc"
flags=$(PKG_CONFIG_LIBDIR=$root/usr/lib/pkgconfig pkg-config --cflags --libs signvek)
check "pkg-config gives no system folder ($flags)" [ "${flags% }" = "-lsignvek" ]
# The README's commands for the stand-ins, with the unpacked vek-cli first on the path.
for example in package-library package-library-output; do
    "$python3" "$extract" "$doc" $example "$scratch/$example" || exit 1
done
(cd "$scratch/clone" && PATH=$root/usr/bin:$PATH TAVREL_STANDIN_WORLD=$scratch/world.json \
    bash -e "$scratch/package-library") >"$scratch/media" 2>&1
check "its vek-cli runs on the stand-ins as the document shows" diff -u "$scratch/package-library-output" "$scratch/media"

# Each relative link of an installed document leads to an installed file.
while IFS= read -r installed; do
    links=$(grep -o '](\([^)#:]*\)[)#]' "$installed" | sed 's/^](//; s/[)#]$//' | sort -u)
    for link in $links; do
        check "${installed#"$root"}: its link $link is installed" test -f "$(dirname "$installed")/$link"
    done
done < <(find "$root/usr/share/doc" -name '*.md')

# The modules, imported as each interpreter finds them.
preload=${VEK_TEST_PRELOAD:-}
run_python() {  # INTERPRETER ARGUMENT...: prints the file _Tavrel was imported from
    LD_PRELOAD=$preload LD_LIBRARY_PATH=$build/standins/lib env -u PYTHONPATH "$@"
}
if [ -d "$root/usr/lib/python3/dist-packages" ]; then
    looks=$(env -u PYTHONPATH "$VEK_TEST_PYTHON3" -c 'import sys; print("/usr/lib/python3/dist-packages" in sys.path)')
    check "$VEK_TEST_PYTHON3 looks in /usr/lib/python3/dist-packages by itself" [ "$looks" = True ]
    found=$(run_python "$VEK_TEST_PYTHON3" -c "import sys; sys.path[sys.path.index('/usr/lib/python3/dist-packages')] = '$root/usr/lib/python3/dist-packages'; import _Tavrel; print(_Tavrel.__file__)")
    check "Python 3 imports _Tavrel from there ($found)" grep -q "^$root/usr/lib/python3/dist-packages/_Tavrel\.cpython" <<<"$found"
fi
if [ -d "$root/usr/lib/vek/python2.7" ]; then
    "$python3" "$extract" "$doc" package-python2 "$scratch/python2.sh" || exit 1
    # The README's .pth file, written into a pyenv stand-in's site-packages, naming the
    # unpacked folder; Python 2.7 reads it as it reads its own site-packages.
    site=$scratch/pyenv/lib/python2.7/site-packages
    mkdir -p "$site" "$scratch/bin"
    printf '#!/bin/sh\n[ "$1 $2" = "prefix 2.7.18" ] && echo %s\n' "$scratch/pyenv" >"$scratch/bin/pyenv"
    chmod +x "$scratch/bin/pyenv"
    sed -i "s| /usr/| $root/usr/|" "$scratch/python2.sh"
    PATH=$scratch/bin:$PATH bash -e "$scratch/python2.sh" || failed=1
    found=$(run_python "$VEK_TEST_PYTHON2" -c "import site; site.addsitedir('$site'); import _Tavrel; print(_Tavrel.__file__)")
    check "Python 2.7 imports _Tavrel through the .pth file ($found)" grep -q "^$root/usr/lib/vek/python2.7/_Tavrel\.so$" <<<"$found"
fi

# (The commands below find the pyenv stand-in, never this machine's pyenv.)
mkdir -p "$scratch/bin"
printf '#!/bin/sh\n[ "$1 $2" = "prefix 2.7.18" ] && echo %s\n' "$scratch/pyenv" >"$scratch/bin/pyenv"
chmod +x "$scratch/bin/pyenv"

# Installed into a scratch dpkg database and folder, the document's command removes them all,
# leaving no file and no folder behind.
"$python3" "$extract" "$doc" package-remove "$scratch/remove.sh" || exit 1
db=$scratch/dpkg
mkdir -p "$db/info" "$db/updates" "$db/triggers" "$scratch/system" && touch "$db/status" "$db/available"
in_scratch="--admindir=$db --instdir=$scratch/system --force-not-root --force-script-chrootless"
# shellcheck disable=SC2086  # the options, split at spaces
dpkg $in_scratch --force-depends -i "${debs[@]}" >"$scratch/dpkg.log" 2>&1
check "dpkg installs them into a scratch folder" [ -n "$(find "$scratch/system" -type f)" ]
sed -i "s|^\$as_root dpkg |dpkg $in_scratch |" "$scratch/remove.sh"
check "the commands of docs/packages.md remove them" env PATH="$scratch/bin:$PATH" bash -e "$scratch/remove.sh"
if [ -d "$root/usr/lib/vek/python2.7" ]; then
    check "and the .pth file" [ ! -e "$scratch/pyenv/lib/python2.7/site-packages/vek.pth" ]
fi
check "nothing of them is left installed" \
    [ -z "$(dpkg-query --admindir="$db" -W -f '${Package} ${Status}\n' | grep -v ' not-installed$')" ]
check "they leave nothing behind" [ -z "$(find "$scratch/system" -mindepth 1)" ]

[ "$failed" = 0 ] && echo "the packages hold what they should"
exit "$failed"
