# Sourced by the end-to-end tests of vek-cli: a scratch folder removed at exit, stand-in
# worlds made there, and runs of the program checked whole.
# usage: . lib/e2e.sh NAME VEK_CLI TAVREL_WORLD   (the scratch folder is /tmp/vek-cli-NAME-XXXXXX)
VEK_CLI=$(realpath "$2") WORLD_TOOL=$(realpath "$3")
scratch=$(mktemp -d "/tmp/vek-cli-$1-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
runs=0
# The certificate checks read public keys with the openssl command.
if ! command -v openssl >/dev/null; then
    echo "openssl not found: install the openssl package (scripts/install-deps.sh does)"
    exit 1
fi
PW=12345678

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# new_world NAME [init|empty]: a world of its own; later runs use it, its log and trace.
new_world() {
    dir=$scratch/$1
    mkdir -p "$dir"
    "$WORLD_TOOL" "${2:-init}" "$dir/world.json" >/dev/null || fail "tavrel-world ${2:-init}"
    export TAVREL_STANDIN_WORLD=$dir/world.json JOTLOG_FILE=$dir/log TAVREL_STANDIN_TRACE=$dir/trace
    unset TAVREL_STANDIN_FAULTS
}

# leak_free WHAT: the library's last finalisation found no object left over.
leak_free() {
    local last
    last=$(grep '^outstanding' "$dir/trace" 2>/dev/null | tail -n 1)
    [ "$last" = "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0" ] ||
        fail "$1: left over: $last"
}

# expect CODE OUTPUT ARGS...: runs vek-cli ARGS and checks all of it.
expect() {
    local code=$1 want=$2
    shift 2
    runs=$((runs + 1))
    local before=0
    [ -f "$dir/log" ] && before=$(wc -l <"$dir/log")
    "$VEK_CLI" "$@" >"$scratch/out" 2>"$scratch/err"
    local rc=$?
    tail -n +$((before + 1)) "$dir/log" >"$dir/log.run" 2>/dev/null
    printf '%s' "$want" >"$scratch/want"
    cmp -s "$scratch/want" "$scratch/out" || fail "vek-cli $*: output <$(cat "$scratch/out")>, expected <$want>"
    [ "$rc" = "$code" ] || fail "vek-cli $*: exit code $rc, expected $code"
    [ -s "$scratch/err" ] && fail "vek-cli $*: standard error: $(cat "$scratch/err")"
    leak_free "vek-cli $*"
    return 0
}

# logged LEVEL FUNCTION TEXT: the last run logged exactly this line.
logged() {
    cut -f1-3 "$dir/log.run" | grep -qxF "$1	$2	$3" || fail "log line <$1 $2 $3> missing"
}

pubkey_of_cert() { openssl x509 -inform DER -in "$1" -noout -pubkey 2>/dev/null; }
pubkey_of_request() { openssl req -inform DER -in "$1" -noout -pubkey 2>/dev/null; }

# signalled SIGNAL TRACE_LINE CONTROL ARGS...: vek-cli ARGS under the stand-in control
# CONTROL (NAME=VALUE), sent SIGNAL once the trace has a line that matches TRACE_LINE; the
# run must end by that signal, with no answer.
signalled() {
    local sig=$1 line=$2 control=$3 rc
    shift 3
    runs=$((runs + 1))
    : >"$dir/trace"
    # Every signal at its default action (a background job ignores SIGINT and SIGQUIT).
    (ulimit -c 0; export "${control?}"; exec env --default-signal "$VEK_CLI" "$@" >"$scratch/out" 2>"$scratch/err") &
    local pid=$!
    for _ in $(seq 400); do grep -qE "$line" "$dir/trace" && break; sleep 0.025; done
    grep -qE "$line" "$dir/trace" || fail "vek-cli $* for SIG$sig: no trace line <$line>"
    kill -s "$sig" "$pid"
    wait "$pid"
    rc=$?
    [ "$rc" = $((128 + $(kill -l "$sig"))) ] || fail "vek-cli $* sent SIG$sig at <$line>: exit code $rc"
    [ -s "$scratch/out" ] && fail "vek-cli $* sent SIG$sig at <$line> answered: $(cat "$scratch/out")"
    [ -s "$scratch/err" ] && fail "vek-cli $* sent SIG$sig at <$line>: standard error: $(cat "$scratch/err")"
}

# finish: the verdict line and the exit status.
finish() {
    echo "$runs runs, $failures failures"
    [ "$failures" = 0 ]
}
