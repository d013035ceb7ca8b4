#!/bin/bash
# The operator's road through vek-cli on the stand-in's default world
# (~/.tavrel-standin/world.json, made on first use): list the media, create a key and its
# request archive, test it, read its certificate's period, export the certificate, sign
# a file, verify the signature, and verify a tampered copy, which must fail with 64.
# usage: operator-road.sh [--out DIR] [--world FILE] BUILD_DIR
#   --out DIR     make the files (request archive, certificate, signed file, signature,
#                 tampered copy, and the log vek-cli.log) in DIR and keep them; those of an
#                 earlier run there are removed first, nothing else in DIR is touched.
#                 Without it they go to a temporary folder, removed at the end
#   --world FILE  the stand-in's world file instead of the default one (made with the
#                 built-in world if missing; it must hold VM1K-000102, password 12345678)
# A step that does not behave as expected is followed by the log's failure lines of its run.
# Exit 0 when every step behaved as expected.
set -u
usage() {
    echo "usage: $0 [--out DIR] [--world FILE] BUILD_DIR   (with vek-cli built in it)" >&2
    exit 2
}
out="" world=""
while [ $# -gt 1 ]; do
    case $1 in
        --out) out=$2 ;;
        --world) world=$2 ;;
        *) usage ;;
    esac
    shift 2
done
if [ $# -ne 1 ] || [ ! -x "$1/modules/crypto/crypto-vek-cli/vek-cli" ]; then
    usage
fi
VEK_CLI=$(cd "$1" && pwd)/modules/crypto/crypto-vek-cli/vek-cli
unset TAVREL_STANDIN_WORLD TAVREL_STANDIN_FAULTS TAVREL_STANDIN_DELAYS TAVREL_STANDIN_TRACE \
    TAVREL_STANDIN_LONG_SIGNATURES
case $world in
    "") ;;
    /*) export TAVREL_STANDIN_WORLD="$world" ;;
    *) export TAVREL_STANDIN_WORLD="$PWD/$world" ;;
esac

SERIAL=VM1K-000102  # no key in the built-in world; each run makes it a new one
PASSWORD=12345678
# What a run makes, below its folder; an earlier run's are removed before the first step, so
# that no step reads them.
MADE="requests/$SERIAL.zip $SERIAL.crt order.txt order.txt.p7s order-tampered.txt vek-cli.log"
if [ -n "$out" ]; then
    mkdir -p "$out" || exit 1
    work=$(cd "$out" && pwd)
    for file in $MADE; do
        rm -f "$work/$file" || exit 1
    done
    [ ! -d "$work/requests" ] || rmdir --ignore-fail-on-non-empty "$work/requests" || exit 1
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/operator-road-XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
cd "$work" || exit 1
failed=0
# The stand-in logger writes here; lines are "level<TAB>function<TAB>text<TAB>source:line".
export JOTLOG_FILE=$work/vek-cli.log
: >"$JOTLOG_FILE" || exit 1

# step CODE COMMAND...: shows the command and its output; the exit code must be CODE, or the
# failure lines the command logged follow.
step() {
    local want=$1 logged
    shift
    logged=$(wc -l <"$JOTLOG_FILE")
    echo "\$ vek-cli $*"
    "$VEK_CLI" "$@"
    local rc=$?
    if [ "$rc" = "$want" ]; then
        echo "  (exit $rc, as expected)"
    else
        echo "  (exit $rc, expected $want)"
        tail -n +"$((logged + 1))" "$JOTLOG_FILE" | awk -F '\t' '$3 ~ /^fail/ { print "  log: " $2 ": " $3 }'
        failed=1
    fi
    echo
}

step 0 media list
step 0 key create "$SERIAL" "$PASSWORD" ds.p10 kep.p10 "$work/requests/$SERIAL.zip"
step 0 key test-all "$SERIAL" "$PASSWORD"
step 0 sign crt-info "$SERIAL" "$PASSWORD"
step 0 sign export-crt "$SERIAL" "$PASSWORD" "$work/$SERIAL.crt"
printf 'Payment order 1207: 1 500,00 UAH\n' >"$work/order.txt"
step 0 sign create-ext "$SERIAL" "$PASSWORD" "$work/order.txt" "$work/order.txt.p7s"
step 0 sign verify "$work/order.txt" "$work/order.txt.p7s" "$work/$SERIAL.crt"
sed 's/1 500/9 500/' "$work/order.txt" >"$work/order-tampered.txt"
step 64 sign verify "$work/order-tampered.txt" "$work/order.txt.p7s" "$work/$SERIAL.crt"

if [ "$failed" = 0 ]; then
    echo "operator road: every step behaved as expected (the tampered copy FAILED with 64)"
else
    echo "operator road: a step did not behave as expected (the log's failure lines follow it)"
fi
exit "$failed"
