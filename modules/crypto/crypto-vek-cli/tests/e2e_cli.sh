#!/bin/bash
# End-to-end runs of vek-cli against stand-in worlds made here: standard output byte for
# byte, exit codes, an empty error stream, the log, and no library object left over.
# usage: e2e_cli.sh VEK_CLI TAVREL_WORLD ZIP_DUMP LIBZIP_SONAME
set -u
. "$(dirname "$0")/lib/e2e.sh" e2e "$1" "$2"
ZIP_DUMP=$(realpath "$3") LIBZIP_SONAME=$4

USAGE='vek-cli media  list
vek-cli media  list         <serial>
vek-cli key    create       <serial> <password> <csr-ds-name> <csr-kep-name> <csr-zip-path>
vek-cli key    delete       <serial> <password>
vek-cli key    test-access  <serial> <password>
vek-cli key    test-valid   <serial> <password>
vek-cli key    test-sign    <serial> <password>
vek-cli key    test-all     <serial> <password>
vek-cli sign   crt-info     <serial> <password>
vek-cli sign   export-crt   <serial> <password> <crt-path>
vek-cli sign   create-ext   <serial> <password> <blob-path> <sign-path>
vek-cli sign   verify       <blob-path> <sign-path> <crt-path>
'
ALL_PASSED='{"test-key-access":"passed","test-key-valid":"passed","test-key-sign":"passed","test-all":"passed"}
'
ALL_FAILED='{"test-key-access":"failed","test-key-valid":"failed","test-key-sign":"failed","test-all":"failed"}
'

# --- listing, tests and the certificate on the built-in world -------------------------
new_world road
expect 0 $'VM1K-000101\nVM1K-000102\nVM1K-000103\n' media list
logged 4 mediaList "done: serial-count:3"
logged 4 kt_guard "done: KTInitialize"
[ "$(tail -n 1 "$dir/log.run" | cut -f2-3)" = $'~kt_guard\tdone: KTFinalize' ] || fail "the library is finalised last"
cut -f4 "$dir/log.run" | grep -q 'modules/crypto/crypto-vek-cli/src/tavrel/api.cpp:' || fail "log source path"
expect 0 $'VM1K-000102\n' media list VM1K-000102
logged 4 mediaList "done: (media-found:yes"
expect 0 '' media list VM1-000001
expect 70 "$USAGE" media list a b
expect 70 "$USAGE" Media list
expect 70 "$USAGE"
expect 70 "$USAGE" key
expect 70 "$USAGE" key test-access VM1K-000101
expect 70 "$USAGE" sign verify a b

expect 0 $'PASSED\n' key test-access VM1K-000101 $PW
expect 0 $'FAILED\n' key test-access VM1K-000101 wrong
logged 1 keyTestAccess "fail: KTIsPrivateKeyExists (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"
expect 0 $'FAILED\n' key test-access nobody $PW
logged 4 keyTestAccess "fail: invalid key-media"
expect 0 $'FAILED\n' key test-access VM1K-000102 $PW
expect 0 $'PASSED\n' key test-valid VM1K-000101 $PW
expect 0 $'FAILED\n' key test-valid VM1K-000102 $PW
expect 0 $'PASSED\n' key test-sign VM1K-000101 $PW
logged 4 keyTestSign "done: sign-valid:yes"
expect 70 "$USAGE" key test-sign nobody $PW
expect 70 "$USAGE" key test-sign VM1K-000101 wrong
expect 70 "$USAGE" key test-sign VM1K-000102 $PW
expect 0 "$ALL_PASSED" key test-all VM1K-000101 $PW
expect 0 "$ALL_FAILED" key test-all VM1K-000101 wrong
expect 0 "$ALL_FAILED" key test-all VM1K-000101 "$(printf '%065d' 0)"
expect 70 "$USAGE" key test-all nobody $PW
expect 0 $'{"min-time":"2021-03-01T08:05:09","max-time":"2031-03-01T08:05:09"}\n' sign crt-info VM1K-000101 $PW
expect 70 "$USAGE" sign crt-info VM1K-000102 $PW

expect 0 $'DONE\n' sign export-crt VM1K-000101 $PW "$dir/own.crt"
pubkey_of_cert "$dir/own.crt" >/dev/null || fail "exported certificate is not DER X.509"
expect 0 $'DONE\n' sign export-crt VM1K-000103 87654321 "$dir/foreign.crt"
expect 70 $'FAIL\n' sign export-crt VM1K-000101 $PW /dev/full
expect 70 $'FAIL\n' sign export-crt VM1K-000101 $PW "$dir"
expect 70 "$USAGE" sign export-crt VM1K-000101 wrong "$dir/x.crt"
[ -e "$dir/x.crt" ] && fail "refused export wrote a file"

# --- signing and verification --------------------------------------------------------
printf 'operator data\n' >"$dir/data"
: >"$dir/empty"
expect 0 $'DONE\n' sign create-ext VM1K-000101 $PW "$dir/data" "$dir/data.p7s"
expect 0 $'PASSED\n' sign verify "$dir/data" "$dir/data.p7s" "$dir/own.crt"
logged 4 signVerify "blobSize:14 signSize:$(stat -c %s "$dir/data.p7s"), certSize:$(stat -c %s "$dir/own.crt")"
printf 'operator dat4\n' >"$dir/tampered"
expect 64 $'FAILED\n' sign verify "$dir/tampered" "$dir/data.p7s" "$dir/own.crt"
logged 1 signVerify "fail: KTVerifyDataWithParams (Signature does not match the data or the certificate)"
expect 64 $'FAILED\n' sign verify "$dir/data" "$dir/data.p7s" "$dir/foreign.crt"
expect 64 $'FAILED\n' sign verify "$dir/data" "$dir/own.crt" "$dir/own.crt"
expect 70 $'FAIL\n' sign verify "$dir/missing" "$dir/data.p7s" "$dir/own.crt"
logged 1 readFile "fail: fopen <$dir/missing> (errno:No such file or directory)\\n"
expect 70 $'FAIL\n' sign verify "$dir/empty" "$dir/data.p7s" "$dir/own.crt"
expect 70 $'FAIL\n' sign verify "$dir/data" "$dir" "$dir/own.crt"
expect 70 $'FAIL\n' sign create-ext VM1K-000101 $PW "$dir/missing" "$dir/x.p7s"
expect 70 "$USAGE" sign create-ext VM1K-000101 wrong "$dir/data" "$dir/x.p7s"
TAVREL_STANDIN_LONG_SIGNATURES=1 expect 0 $'DONE\n' sign create-ext VM1K-000101 $PW "$dir/data" "$dir/long.p7s"
[ "$(stat -c %s "$dir/long.p7s")" -gt 4096 ] || fail "long signature"
expect 0 $'PASSED\n' sign verify "$dir/data" "$dir/long.p7s" "$dir/own.crt"

# --- library failures ----------------------------------------------------------------
TAVREL_STANDIN_FAULTS=KTCtxReadPrivateKey=18 expect 70 $'FAIL\n' key test-sign VM1K-000101 $PW
TAVREL_STANDIN_FAULTS=KTCtxSignData=18 expect 0 $'FAILED\n' key test-sign VM1K-000101 $PW
TAVREL_STANDIN_FAULTS=KTInitialize=6 expect 70 $'FAIL\n' media list
TAVREL_STANDIN_FAULTS=KTEnumKeyMediaDevices=6 expect 70 $'FAIL\n' key test-access VM1K-000101 $PW

# --- a key made in one run, used in the next; its archive read back ------------------
new_world create
expect 0 $'DONE\n' key create VM1K-000102 $PW ds.p10 kep.p10 "$dir/out/deep/req.zip"
logged 4 keyCreate "done"
mkdir -p "$dir/entries"
"$ZIP_DUMP" "$dir/out/deep/req.zip" "$dir/entries" >"$dir/entries.txt" || fail "archive unreadable"
[ "$(cut -f1-2 "$dir/entries.txt")" = $'0\tds.p10\n1\tkep.p10' ] || fail "archive entries: $(cat "$dir/entries.txt")"
expect 0 $'PASSED\n' key test-sign VM1K-000102 $PW
expect 0 $'DONE\n' sign export-crt VM1K-000102 $PW "$dir/new.crt"
new_key=$(pubkey_of_cert "$dir/new.crt")
if [ -z "$new_key" ] || [ "$new_key" != "$(pubkey_of_request "$dir/entries/0")" ]; then
    fail "the first request is not the new signing key's"
fi
[ -n "$(pubkey_of_request "$dir/entries/1")" ] || fail "the second entry is not a request"
expect 0 $'DONE\n' key create VM1K-000102 $PW a b "$dir/out/deep/req.zip"
[ "$(cut -f2 <("$ZIP_DUMP" "$dir/out/deep/req.zip" "$dir/entries"))" = $'a\nb' ] || fail "archive not replaced"
expect 0 $'DONE\n' key delete VM1K-000102 $PW
logged 4 keyDelete "done"
expect 0 $'FAILED\n' key test-access VM1K-000102 $PW
expect 70 "$USAGE" key delete VM1K-000102 $PW

# --- a signal that ends key create ----------------------------------------------------
# key_create_signalled SIGNAL FUNCTION ZIP: key create with FUNCTION slowed down, sent SIGNAL
# once FUNCTION has been entered; it leaves no temporary file beside the archive.
key_create_signalled() {
    local sig=$1 function=$2 zip=$3
    signalled "$sig" "^$function\$" "TAVREL_STANDIN_DELAYS=$function=1500" key create VM1K-000102 $PW ds kep "$zip"
    ls "$dir" | grep -q '\.zip\.' && fail "key create sent SIG$sig in $function left $(ls "$dir" | grep '\.zip\.')"
}
new_world signals
# Before the key is replaced the signal ends the command at once: nothing is made.
key_create_signalled TERM KTEnumKeyMediaTypes "$dir/early.zip"
[ -e "$dir/early.zip" ] && fail "key create ended early wrote an archive"
expect 0 $'FAILED\n' key test-access VM1K-000102 $PW
# Once the key is being replaced, the signal waits until its requests are archived.
for sig in TERM INT HUP QUIT; do
    key_create_signalled $sig KTGeneratePrivateKeyEx "$dir/$sig.zip"
    rm -rf "$dir/entries" && mkdir "$dir/entries"
    "$ZIP_DUMP" "$dir/$sig.zip" "$dir/entries" >"$dir/entries.txt" || fail "SIG$sig: no archive of the new key"
    expect 0 $'DONE\n' sign export-crt VM1K-000102 $PW "$dir/$sig.crt"
    key=$(pubkey_of_cert "$dir/$sig.crt")
    [ -n "$key" ] && [ "$key" = "$(pubkey_of_request "$dir/entries/0")" ] ||
        fail "SIG$sig: the archive does not hold the new key's request"
done

# --- key create refuses before making a key ------------------------------------------
new_world refuse
mkdir -p "$dir/work"
mkfifo "$dir/fifo.zip"
cd "$dir/work" || exit 1
for args in "same same $dir/r.zip" "ds kep relative-missing/r.zip" "ds kep $dir" "ds kep $dir/world.json/r.zip" \
    "ds kep $dir/fifo.zip"; do
    # shellcheck disable=SC2086
    expect 70 $'FAIL\n' key create VM1K-000102 $PW $args
done
cd / || exit 1
[ -e "$dir/work/relative-missing" ] && fail "a relative directory was made"
expect 70 $'FAIL\n' key create VM1K-000102 $PW "" kep "$dir/r.zip"
expect 70 $'FAIL\n' key create VM1K-000102 $PW ds kep ""
expect 70 $'FAIL\n' key create VM1K-000102 $PW $'\xff' kep "$dir/r.zip"
expect 70 $'FAIL\n' key create VM1K-000102 wrong ds kep "$dir/r.zip"
expect 70 "$USAGE" key create nobody $PW ds kep "$dir/r.zip"
expect 0 $'FAILED\n' key test-access VM1K-000102 $PW
[ -e "$dir/r.zip" ] && fail "refused create wrote an archive"
[ "$(grep -c '^KTGeneratePrivateKeyEx$' "$dir/trace")" = 1 ] || fail "only the wrong password reaches the library"

# --- an unrelated type whose name is not Windows-1251 text ---------------------------
new_world odd empty
"$WORLD_TOOL" add-type-hex "$dir/world.json" e52ee0ebfe9820 >/dev/null
"$WORLD_TOOL" add-type "$dir/world.json" 'е.ключ ВЕК Модра-1К' >/dev/null
"$WORLD_TOOL" add-device "$dir/world.json" 1 ODD-OK $PW key >/dev/null
expect 0 $'ODD-OK\n' media list
logged 4 mediaList "skip: type-index:0 (type-desc not convertible)"
expect 0 $'PASSED\n' key test-sign ODD-OK $PW

new_world nothing empty
expect 0 '' media list
logged 4 mediaList "done: serial-count:0"

# --- key create refuses what the archive's open or rename would refuse ---------------
new_world unreplaceable
ln -s loop.zip "$dir/loop.zip"
expect 70 $'FAIL\n' key create VM1K-000102 $PW ds kep "$dir/loop.zip"
logged 1 _T_locate "fail: stat <$dir/loop.zip> (Too many levels of symbolic links)"
expect 70 $'FAIL\n' key create VM1K-000102 $PW ds kep "$dir/newdir/"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    # Another user's archive in a sticky folder: readable, not replaceable.
    chmod 0711 "$scratch"
    chmod 0777 "$dir"
    touch "$dir/log" "$dir/trace"
    chmod 0666 "$dir/world.json" "$dir/log" "$dir/trace"
    mkdir -m 1777 "$dir/sticky"
    echo "root's" >"$dir/sticky/req.zip"
    printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups -- %q "$@"\n' "$VEK_CLI" >"$scratch/as-nobody"
    chmod 0755 "$scratch/as-nobody"
    own_cli=$VEK_CLI VEK_CLI=$scratch/as-nobody
    expect 70 $'FAIL\n' key create VM1K-000102 $PW ds kep "$dir/sticky/req.zip"
    logged 1 checkZip "fail: not replaceable <$dir/sticky/req.zip> (sticky folder, owner:0)"
    expect 0 $'DONE\n' key create VM1K-000102 $PW ds kep "$dir/sticky/own.zip"
    expect 0 $'DONE\n' key create VM1K-000102 $PW ds kep "$dir/sticky/own.zip"  # its own archive is replaced
    VEK_CLI=$own_cli
    [ "$(cat "$dir/sticky/req.zip")" = "root's" ] || fail "another user's archive was touched"
    [ "$(grep -c '^KTGeneratePrivateKeyEx$' "$dir/trace")" = 2 ] || fail "a refused archive reached the library"
else
    echo "skipped: another user's archives (needs root and setpriv)"
    expect 0 $'FAILED\n' key test-access VM1K-000102 $PW
    grep -q '^KTGeneratePrivateKeyEx$' "$dir/trace" && fail "a refused archive reached the library"
fi

# --- sign create-ext never writes its signature over the data ------------------------
new_world passage
printf 'operator data\n' >"$dir/data"
cp "$dir/data" "$dir/data.orig"
ln -s data "$dir/data.symlink"
for sign_path in "$dir/data" "$dir/data.symlink"; do
    expect 70 $'FAIL\n' sign create-ext VM1K-000101 $PW "$dir/data" "$sign_path"
    logged 1 checkPassage "fail: same file <$dir/data> <$sign_path>"
done
cmp -s "$dir/data" "$dir/data.orig" || fail "the data was overwritten by its signature"
grep -q '^KTCtxSignFile$' "$dir/trace" && fail "a refused signature reached the library"

# --- an output is the complete new file or what was at its name before ---------------
new_world outputs
printf 'operator data\n' >"$dir/data"
expect 0 $'DONE\n' sign export-crt VM1K-000101 $PW "$dir/good.crt"
expect 0 $'DONE\n' sign create-ext VM1K-000101 $PW "$dir/data" "$dir/good.p7s"
cp "$dir/good.p7s" "$scratch/good.p7s"
temporaries() { ls "$dir" | grep '\.vek-cli-'; }
# Folders of an output are never made (e2e_outputs.sh runs the three outputs over links,
# descriptors, pipes, devices and the rest).
expect 70 $'FAIL\n' sign export-crt VM1K-000101 $PW "$dir/missing/x.crt"
expect 70 $'FAIL\n' sign create-ext VM1K-000101 $PW "$dir/data" "$dir/missing/x.p7s"
[ -e "$dir/missing" ] && fail "a folder was made for an output"
expect 0 $'PASSED\n' sign verify "$dir/data" "$dir/good.p7s" "$dir/good.crt"

# create_ext_signalled SIGNAL SIGN: sign create-ext to SIGN, sent SIGNAL while the library
# holds the signature half written.
create_ext_signalled() {
    signalled "$1" '^half-written ' TAVREL_STANDIN_WRITE_PAUSE=1000 sign create-ext VM1K-000101 $PW "$dir/data" "$2"
}
# An ending signal waits until the signature is in place, whole.
for sig in TERM INT HUP QUIT; do
    create_ext_signalled $sig "$dir/$sig.p7s"
    expect 0 $'PASSED\n' sign verify "$dir/data" "$dir/$sig.p7s" "$dir/good.crt"
done
[ -n "$(temporaries)" ] && fail "an ending signal left $(temporaries)"
# SIGKILL cannot wait: it leaves the earlier signature, or none, and one temporary file.
cp "$scratch/good.p7s" "$dir/good.p7s"
for sign in good.p7s killed.p7s; do
    create_ext_signalled KILL "$dir/$sign"
    [ "$(temporaries)" = "$(ls "$dir" | grep -xE "$sign\.vek-cli-[A-Za-z0-9]{6}")" ] && [ -n "$(temporaries)" ] ||
        fail "SIGKILL while writing $sign left <$(temporaries)>"
    rm -f "$dir/$sign".vek-cli-*
done
cmp -s "$dir/good.p7s" "$scratch/good.p7s" || fail "SIGKILL while writing destroyed the signature"
[ -e "$dir/killed.p7s" ] && fail "SIGKILL while writing left a broken signature"

# --- closed standard descriptors: no file the tool opens takes their place -----------
new_world descriptors
runs=$((runs + 1))
"$VEK_CLI" media list >&- 2>"$scratch/err"
rc=$?
[ "$rc" = 70 ] || fail "media list with stdout closed: exit code $rc, expected 70"
grep -qx 'VM1K-000101' "$dir/log" && fail "the answer went into the log"
cut -f2-3 "$dir/log" | grep -qxF $'main\tfail: write <stdout>' || fail "the failed write is not logged"
[ -s "$scratch/err" ] && fail "media list with stdout closed: standard error: $(cat "$scratch/err")"
for closed in 0 2; do
    runs=$((runs + 1))
    rm -f "$dir/log"
    if [ "$closed" = 0 ]; then "$VEK_CLI" media list <&- >"$scratch/out"; else "$VEK_CLI" media list 2>&- >"$scratch/out"; fi
    rc=$?
    [ "$rc" = 0 ] || fail "media list with descriptor $closed closed: exit code $rc"
    [ "$(cat "$scratch/out")" = $'VM1K-000101\nVM1K-000102\nVM1K-000103' ] || fail "media list with descriptor $closed closed"
    cut -f2-3 "$dir/log" | grep -qxF $'mediaList\tdone: serial-count:3' || fail "log with descriptor $closed closed"
done

# --- an answer whose reader has gone: the write fails, as on /dev/full ----------------
# The commands that change something may have done so before the answer was lost.
new_world lost-answer
mkfifo "$scratch/lost"
exec 7<>"$scratch/lost" 8>"$scratch/lost"  # 7 lets 8 open without waiting for a reader
exec 7<&-
printf 'operator data\n' >"$dir/data"
for args in "media list" "key create VM1K-000102 $PW ds kep $dir/lost.zip" \
    "sign export-crt VM1K-000101 $PW $dir/lost.crt" "sign create-ext VM1K-000101 $PW $dir/data $dir/lost.p7s"; do
    runs=$((runs + 1))
    rm -f "$dir/log"
    # SIGPIPE at its default action, whatever the test runner's is.
    # shellcheck disable=SC2086
    env --default-signal=PIPE "$VEK_CLI" $args >&8 2>"$scratch/err"
    rc=$?
    [ "$rc" = 70 ] || fail "vek-cli $args to a reader that has gone: exit code $rc, expected 70"
    cut -f2-3 "$dir/log" | grep -qxF $'main\tfail: write <stdout>' || fail "vek-cli $args: the failed write is not logged"
    [ -s "$scratch/err" ] && fail "vek-cli $args: standard error: $(cat "$scratch/err")"
done
exec 8>&-
for made in lost.zip lost.crt lost.p7s; do [ -s "$dir/$made" ] || fail "the lost answer's $made was not made"; done

# --- libzip is loaded by the commands that make archives, and only by them -------------
new_world no-libzip
mkdir "$dir/libs"
: >"$dir/libs/$LIBZIP_SONAME"  # found first, and no library
LD_LIBRARY_PATH=$dir/libs expect 0 $'VM1K-000101\nVM1K-000102\nVM1K-000103\n' media list
LD_LIBRARY_PATH=$dir/libs expect 70 $'FAIL\n' key create VM1K-000102 $PW ds kep "$dir/r.zip"
logged 1 zip_library "fail: dlopen <$LIBZIP_SONAME> ($dir/libs/$LIBZIP_SONAME: file too short)"
[ -e "$dir/r.zip" ] && fail "an archive was written without libzip"
grep -q '^KTGeneratePrivateKeyEx$' "$dir/trace" && fail "a key was made without libzip"

finish
