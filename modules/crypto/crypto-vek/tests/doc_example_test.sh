#!/bin/bash
# The plug-in's README as a host author follows it, in a folder whose build/ is this build
# tree: the plug-in installed into a prefix of its own, the README's host built from the
# installed header and pkg-config file alone, and run with each of the README's two
# configurations on the stand-in's world; it prints what the README shows (byte counts
# aside) and logs no failure. The header also builds as strict C99 and as C++, where a
# program links the plug-in through it, and the README's declarations agree with it.
# usage: doc_example_test.sh BUILD_DIR README PYTHON3 EXTRACT_EXAMPLE [SANITIZER_FLAG...]
# Sanitizer flags (an instrumented plug-in) go to every compiler the blocks call.
set -u
build=$1 readme=$2 python3=$3 extract=$4
shift 4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/signvek-doc-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
ln -s "$build" build
failed=0
fail() { echo "FAIL $*"; failed=1; }

examples="declarations host.c medium.json keyfile.json host-build host-keyfile host-output"
for example in $examples; do
    "$python3" "$extract" "$readme" "$example" "$example" || exit 1
done
# Every fenced block of the README is a named example, and every one is run here.
[ "$(grep -c '^```' "$readme")" = $((2 * $(grep -c '^<!-- example: ' "$readme"))) ] ||
    fail "the README has a fenced block that is no named example"
[ "$(grep -o '^<!-- example: [^ ]* -->' "$readme" | cut -d' ' -f3 | sort)" = "$(printf '%s\n' $examples | sort)" ] ||
    fail "the README names other examples than this test runs: $examples"
sed -i "s|/opt/vek|$scratch/prefix|g" host-build
mkdir bin
for compiler in cc c++; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$(command -v $compiler)" "$*" >"bin/$compiler"
    chmod +x "bin/$compiler"
done
export PATH=$scratch/bin:$PATH
export TAVREL_STANDIN_WORLD=$scratch/world.json
build/standins/bin/tavrel-world init world.json >/dev/null || exit 1

bytes_as_n() { sed 's/[0-9][0-9]* bytes/N bytes/g' "$1"; }
run_block() {  # name: runs it, its output's tail must be the README's
    local name=$1
    : >host.log
    if ! bash -e "$name" >"$name.out" 2>"$name.err"; then
        fail "$name: the commands failed"
        cat "$name.out" "$name.err"
    elif ! diff <(bytes_as_n host-output) <(tail -n "$(wc -l <host-output)" "$name.out" | bytes_as_n /dev/stdin); then
        fail "$name: the output differs from the README's (above, sizes aside)"
    elif grep -P '^1\t' host.log; then
        fail "$name: a failure logged (above)"
    else
        echo "ok   $name"
    fi
}
run_block host-build
# What the blocks ran with stays for the checks below.
export PKG_CONFIG_PATH=$scratch/prefix/lib/pkgconfig LD_LIBRARY_PATH=$scratch/prefix/lib:$build/standins/lib
run_block host-keyfile

# The install holds the three files and nothing else; the plug-in has no search path.
installed=$(cd prefix && find . -type f -o -type l | sort | tr '\n' ' ')
[ "$installed" = "./include/signvek.h ./lib/libsignvek.so ./lib/pkgconfig/signvek.pc " ] ||
    fail "the install holds <$installed>"
if readelf -d prefix/lib/libsignvek.so | grep -E 'R(UN)?PATH'; then
    fail "the installed plug-in keeps a search path (above)"
fi

# The header alone, strict: C99 and C++11, every warning an error.
flags=$(pkg-config --cflags signvek) || fail "pkg-config --cflags signvek"
echo '#include <signvek.h>' >alone.c
cc -std=c99 -pedantic -Wall -Wextra -Werror $flags -fsyntax-only alone.c || fail "the header in C99"
# A declaration that differs from the header's conflicts with it (typedefs may repeat in C11).
{ echo '#include <signvek.h>'; cat declarations; } >declared.c
cc -std=c11 -pedantic -Wall -Wextra -Werror $flags -fsyntax-only declared.c ||
    fail "the README's declarations differ from the header's (above)"
[ "$(grep -c ' \**Crypto[A-Za-z]*(' declarations)" = 10 ] || fail "the README declares other than ten functions"
cat >linked.cpp <<'CPP'
#include <signvek.h>

#include <cstdio>
#include <cstring>

static_assert(SIGNVEK_OK == 0 && SIGNVEK_FAIL == -1 && SIGNVEK_DENIED == -2 && SIGNVEK_BUSY == -3, "statuses");

int main() {
    const CryptoStatsCallback print = [](void *context, const char *stats) {
        std::printf("%s %s\n", static_cast<const char *>(context), stats);
        return 7;
    };
    unsigned int size = 0;
    unsigned char probe;
    return CryptoProviderCollectStats(print, const_cast<char *>("stats:")) == 7 &&
                   CryptoProviderGetCrt(&probe, &size) == SIGNVEK_FAIL  // no provider
               ? 0
               : 1;
}
CPP
if ! c++ -std=c++11 -pedantic -Wall -Wextra -Werror -o linked linked.cpp $(pkg-config --cflags --libs signvek); then
    fail "the header in C++"
elif [ "$(./linked)" != 'stats: {"stats": "test"}' ]; then
    fail "a C++ program linked through the header"
else
    echo "ok   the header in C99 and C++"
fi
exit "$failed"
