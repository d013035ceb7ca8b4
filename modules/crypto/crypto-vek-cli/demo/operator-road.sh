#!/bin/bash
# The operator's road through vek-cli on the stand-in's default world
# (~/.tavrel-standin/world.json, made on first use): list the media, create a key and its
# request archive, test it, read its certificate's period, export the certificate, sign
# a file, verify the signature, and verify a tampered copy, which must fail with 64.
# usage: operator-road.sh BUILD_DIR        (exit 0 when every step behaved as expected)
set -u
if [ $# -ne 1 ] || [ ! -x "$1/modules/crypto/crypto-vek-cli/vek-cli" ]; then
    echo "usage: $0 BUILD_DIR   (with vek-cli built in it)" >&2
    exit 2
fi
VEK_CLI=$(cd "$1" && pwd)/modules/crypto/crypto-vek-cli/vek-cli
unset TAVREL_STANDIN_WORLD TAVREL_STANDIN_FAULTS TAVREL_STANDIN_DELAYS TAVREL_STANDIN_TRACE \
    TAVREL_STANDIN_LONG_SIGNATURES

SERIAL=VM1K-000102  # no key in the built-in world; each run makes it a new one
PASSWORD=12345678
work=$(mktemp -d "${TMPDIR:-/tmp}/operator-road-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0

# step CODE COMMAND...: shows the command and its output; the exit code must be CODE.
step() {
    local want=$1
    shift
    echo "\$ vek-cli $*"
    "$VEK_CLI" "$@"
    local rc=$?
    if [ "$rc" = "$want" ]; then
        echo "  (exit $rc, as expected)"
    else
        echo "  (exit $rc, expected $want)"
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
    echo "operator road: a step did not behave as expected"
fi
exit "$failed"
