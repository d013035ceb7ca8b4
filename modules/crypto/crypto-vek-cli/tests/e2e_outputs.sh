#!/bin/bash
# The three outputs of vek-cli (key create's request archive, sign create-ext's detached
# signature, sign export-crt's certificate) over one table of targets: a symbolic link, a
# dangling one, names of the process's descriptors, a pipe, a FIFO with a reader and one
# without, a device, links in sticky folders, long names, a file-size limit, every signal
# that ends a process sent inside the window, and what reaches the disk in which order.
# usage: e2e_outputs.sh VEK_CLI TAVREL_WORLD ZIP_DUMP FS_HOOK [PRELOAD]
#   FS_HOOK  the library built from fs_hook.c, preloaded into the runs that need it
#   PRELOAD  what must be preloaded before it (the sanitizer runtime), ':'-separated
set -u
. "$(dirname "$0")/lib/e2e.sh" outputs "$1" "$2"
ZIP_DUMP=$(realpath "$3") HOOK=${5:+$5:}$(realpath "$4")
KINDS="zip sig crt"

new_world outputs
base=$dir
printf 'operator data\n' >"$base/data"
"$VEK_CLI" sign export-crt VM1K-000101 $PW "$base/own.crt" >/dev/null && [ -n "$(pubkey_of_cert "$base/own.crt")" ] ||
    fail "the reference certificate"

# command_for KIND PATH: cmd becomes the command line that writes KIND's output to PATH.
command_for() {
    case $1 in
        zip) cmd=(key create VM1K-000102 "$PW" ds kep "$2") ;;
        sig) cmd=(sign create-ext VM1K-000101 "$PW" "$base/data" "$2") ;;
        crt) cmd=(sign export-crt VM1K-000101 "$PW" "$2") ;;
    esac
}

# is_output KIND FILE: FILE holds a whole output of KIND.
is_output() {
    case $1 in
        zip)
            local entries whole
            entries=$(mktemp -d "$scratch/entries-XXXXXX")
            [ "$("$ZIP_DUMP" "$2" "$entries" 2>/dev/null | cut -f1-2)" = $'0\tds\n1\tkep' ] &&
                [ -n "$(pubkey_of_request "$entries/0")" ] && [ -n "$(pubkey_of_request "$entries/1")" ]
            whole=$?
            rm -rf "$entries"
            return $whole
            ;;
        sig)
            openssl cms -verify -inform DER -in "$2" -content "$base/data" -binary -noverify -certfile "$base/own.crt" \
                -out /dev/null 2>/dev/null
            ;;
        crt) cmp -s "$2" "$base/own.crt" ;;  # the same certificate, byte for byte
    esac
}

# temporaries_in FOLDER...: the temporary files left in the folders.
temporaries_in() { find "$@" -maxdepth 1 -name '*.vek-cli-*' 2>/dev/null; }

# target NAME KIND: d becomes a new folder for one case, and the trace starts afresh.
target() {
    d=$base/$1-$2
    mkdir -p "$d"
    : >"$base/trace"
}

# made KIND PATH [FILE]: KIND's output written to PATH answers DONE, and FILE (PATH
# itself by default) holds it whole.
made() {
    command_for "$1" "$2"
    expect 0 $'DONE\n' "${cmd[@]}"
    is_output "$1" "${3:-$2}" || fail "$1 to $2: no whole output in ${3:-$2}"
}

# no_key WHAT: the last run made no key.
no_key() { grep -q '^KTGeneratePrivateKeyEx$' "$base/trace" && fail "$1: a key was made"; }

# --- a symbolic link, and a dangling one: what they point to is made, they stay links --
for kind in $KINDS; do
    for link in link dangling; do
        target "$link" $kind
        mkdir "$d/sub"
        if [ $link = link ]; then echo old >"$d/sub/file"; fi
        ln -s sub/file "$d/out"
        made $kind "$d/out" "$d/sub/file"
        [ -L "$d/out" ] || fail "$kind through a $link: the link was replaced"
        [ -n "$(temporaries_in "$d" "$d/sub")" ] && fail "$kind through a $link left $(temporaries_in "$d" "$d/sub")"
    done
done

# --- names of the process's descriptors: written through the descriptor, after what it
# holds; key create refuses them before it makes a key ---------------------------------
stdout_was_link=$([ -L /dev/stdout ] && echo yes)
for kind in $KINDS; do
    for name in /dev/stdout /dev/fd/3 /proc/self/fd/3 pipe; do
        target "fd-$(basename "$name")" $kind
        runs=$((runs + 1))
        printf 'earlier\n' >"$d/got"
        case $name in
            pipe)
                : >"$d/got"
                command_for $kind /dev/stdout
                "$VEK_CLI" "${cmd[@]}" 2>"$scratch/err" | cat >"$d/got"
                rc=${PIPESTATUS[0]}
                ;;
            /dev/stdout)
                command_for $kind $name
                "$VEK_CLI" "${cmd[@]}" >>"$d/got" 2>"$scratch/err"
                rc=$?
                ;;
            *)
                command_for $kind $name
                "$VEK_CLI" "${cmd[@]}" 3>>"$d/got" >"$scratch/out" 2>"$scratch/err"
                rc=$?
                [ "$(cat "$scratch/out")" = "$([ $kind = zip ] && echo FAIL || echo DONE)" ] ||
                    fail "$kind to $name: answer <$(cat "$scratch/out")>"
                ;;
        esac
        [ -s "$scratch/err" ] && fail "$kind to $name: standard error: $(cat "$scratch/err")"
        leak_free "$kind to $name"
        # What the descriptor holds: what it held before, the output, and the answer when
        # it is the standard output.
        case $name in pipe) before='' ;; *) before=$'earlier\n' ;; esac
        case $name in /dev/stdout | pipe) after=$([ $kind = zip ] && echo FAIL || echo DONE)$'\n' ;; *) after='' ;; esac
        if [ $kind = zip ]; then
            [ "$rc" = 70 ] || fail "$kind to $name: exit code $rc, expected 70"
            printf '%s%s' "$before" "$after" | cmp -s - "$d/got" || fail "$kind to $name: <$(cat "$d/got")>"
            no_key "$kind to $name"
        else
            [ "$rc" = 0 ] || fail "$kind to $name: exit code $rc, expected 0"
            head -c ${#before} "$d/got" | cmp -s - <(printf '%s' "$before") ||
                fail "$kind to $name: what the descriptor held is gone"
            tail -c ${#after} "$d/got" | cmp -s - <(printf '%s' "$after") || fail "$kind to $name: the answer is not last"
            tail -c +$((${#before} + 1)) "$d/got" | head -c -${#after} >"$d/written"
            is_output $kind "$d/written" || fail "$kind to $name: no whole output"
        fi
    done
done
[ "$([ -L /dev/stdout ] && echo yes)" = "$stdout_was_link" ] || fail "/dev/stdout was replaced"

# --- a FIFO with a reader and one without, and a device: written in place, never
# waiting for a reader; key create refuses them before it makes a key -----------------
for kind in $KINDS; do
    target fifo $kind
    mkfifo "$d/read" "$d/unread"
    cat "$d/read" >"$d/got" &
    reader=$!
    for name in read unread /dev/null; do
        [ $name = /dev/null ] && path=$name || path=$d/$name
        command_for $kind "$path"
        if [ $kind = zip ] || [ $name = unread ]; then
            expect 70 $'FAIL\n' "${cmd[@]}"
            [ $kind = zip ] && no_key "$kind to $name"
        else
            expect 0 $'DONE\n' "${cmd[@]}"
        fi
    done
    exec 9<>"$d/read" 9>&-  # a reader still waiting for a writer gets its end
    wait $reader
    [ $kind = zip ] || is_output $kind "$d/got" || fail "$kind to a FIFO with a reader: no whole output"
    [ -p "$d/read" ] && [ -p "$d/unread" ] && [ -c /dev/null ] || fail "$kind replaced a FIFO or a device"
done

# --- links in sticky folders that everybody may write: followed only when the link is
# the caller's or the folder owner's, whatever fs.protected_symlinks says --------------
if [ "$(id -u)" = 0 ]; then
    for kind in $KINDS; do
        target sticky $kind
        mkdir -m 0700 "$d/private"
        echo secret >"$d/private/other" && chmod 0600 "$d/private/other"
        mkdir -m 1777 "$d/sticky" "$d/theirs"
        chown 65534 "$d/theirs"
        for link in sticky/other sticky/mine theirs/theirs; do ln -s "../private/${link#*/}" "$d/$link"; done
        chown -h 65534 "$d/sticky/other" "$d/theirs/theirs"
        command_for $kind "$d/sticky/other"
        expect 70 $'FAIL\n' "${cmd[@]}"
        logged 1 _T_locate "fail: link not followed <$d/sticky/other> (sticky folder, link-owner:65534, folder-owner:0)"
        no_key "$kind through another user's link"
        [ "$(cat "$d/private/other")" = secret ] || fail "$kind through another user's link changed its file"
        [ "$(readlink "$d/sticky/other")" = ../private/other ] || fail "$kind replaced another user's link"
        for link in sticky/mine theirs/theirs; do made $kind "$d/$link" "$d/private/${link#*/}"; done
        [ -n "$(temporaries_in "$d"/*)" ] && fail "$kind in sticky folders left $(temporaries_in "$d"/*)"
    done
else
    echo "skipped: links in sticky folders (needs root to own links as another user)"
fi

# --- names of 249 to 255 bytes, whose temporary name is cut to fit --------------------
for kind in $KINDS; do
    target long $kind
    for length in 249 255; do made $kind "$d/$(head -c $length /dev/zero | tr '\0' n)"; done
    [ -n "$(temporaries_in "$d")" ] && fail "$kind to long names left $(temporaries_in "$d")"
done

# --- over the file-size limit, SIGXFSZ at its default action: the write fails, 70, and
# the earlier file stays ------------------------------------------------------------
for kind in $KINDS; do
    target limit $kind
    made $kind "$d/kept"
    cp "$d/kept" "$d/kept.before"
    for name in kept new; do
        command_for $kind "$d/$name"
        runs=$((runs + 1))
        out=$(ulimit -f 0; exec env --default-signal=XFSZ "$VEK_CLI" "${cmd[@]}" 2>&1)
        rc=$?
        [ "$rc" = 70 ] && [ "$out" = FAIL ] || fail "$kind to $name over the limit: exit code $rc, output <$out>"
    done
    cmp -s "$d/kept" "$d/kept.before" || fail "$kind over the limit destroyed the earlier file"
    [ -e "$d/new" ] && fail "$kind over the limit left a broken new file"
    [ -n "$(temporaries_in "$d")" ] && fail "$kind over the limit left $(temporaries_in "$d")"
done

# --- on the disk: the file synced, renamed over the name, then its folder synced ------
for kind in $KINDS; do
    target sync $kind
    command_for $kind "$d/out"
    LD_PRELOAD=$HOOK VEK_FS_HOOK_TRACE=$d/calls expect 0 $'DONE\n' "${cmd[@]}"
    grep -E "^(fsync|rename) $d(/|\$)" "$d/calls" >"$d/ours"
    temporary=$(sed -n '1s/^fsync //p' "$d/ours")
    [[ $temporary =~ ^$d/out\.vek-cli-[A-Za-z0-9]{6}$ ]] &&
        [ "$(cat "$d/ours")" = "$(printf 'fsync %s\nrename %s %s\nfsync %s' "$temporary" "$temporary" "$d/out" "$d")" ] ||
        fail "$kind reaches the disk as <$(tr '\n' ';' <"$d/ours")>"
done

# --- every signal whose default action ends a process, sent as the output's temporary
# file is synced: the command ends once the output is in place, whole, with no answer;
# SIGPIPE and SIGXFSZ are ignored for the whole run -------------------------------------
ending_signals() {
    local n name
    for n in $(seq 1 64); do
        name=$(kill -l "$n" 2>/dev/null)
        [ -n "$name" ] || continue  # glibc keeps 32 and 33 for itself
        case $name in KILL | STOP | CHLD | CONT | TSTP | TTIN | TTOU | URG | WINCH) continue ;; esac
        echo "$name"
    done
}
# signal_case KIND SIGNAL: one run in a world of its own; its failures go to a file.
signal_case() {
    local kind=$1 sig=$2 d=$base/signal-$1-$2 rc
    mkdir -p "$d"
    cp "$base/world.json" "$d/world.json"
    command_for "$kind" "$d/out"
    (
        ulimit -c 0
        export TAVREL_STANDIN_WORLD=$d/world.json JOTLOG_FILE=$d/log TAVREL_STANDIN_TRACE=$d/trace
        export LD_PRELOAD=$HOOK VEK_FS_HOOK_SIGNAL=$(kill -l "$sig") VEK_FS_HOOK_AT="$d/out.vek-cli-*"
        # The sanitizer's own handlers would report the signals of a fault instead.
        export ASAN_OPTIONS=${ASAN_OPTIONS:-}:handle_segv=0:handle_sigbus=0:handle_sigfpe=0
        exec env --default-signal "$VEK_CLI" "${cmd[@]}" >"$d/answer" 2>"$d/err"
    )
    rc=$?
    {
        case $sig in
            PIPE | XFSZ) [ "$rc" = 0 ] && [ "$(cat "$d/answer")" = DONE ] || echo "$kind, SIG$sig: exit code $rc" ;;
            *) [ "$rc" = $((128 + $(kill -l "$sig"))) ] && [ ! -s "$d/answer" ] || echo "$kind, SIG$sig: exit code $rc" ;;
        esac
        [ -s "$d/err" ] && echo "$kind, SIG$sig: standard error: $(cat "$d/err")"
        is_output "$kind" "$d/out" || echo "$kind, SIG$sig: no whole output"
        [ -n "$(temporaries_in "$d")" ] && echo "$kind, SIG$sig left $(temporaries_in "$d")"
    } >"$d/failures"
}
parallel=$(($(nproc) < 4 ? $(nproc) : 4))
for kind in $KINDS; do
    for sig in $(ending_signals); do
        while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
        signal_case $kind "$sig" 2>/dev/null &  # not the shell's notes of the signalled runs
        runs=$((runs + 1))
    done
done
wait
signalled_runs=$(find "$base" -maxdepth 2 -path '*/signal-*/failures' | wc -l)
[ "$signalled_runs" = $(($(ending_signals | wc -l) * 3)) ] || fail "only $signalled_runs signalled runs ended"
while IFS= read -r line; do fail "$line"; done < <(cat "$base"/signal-*/failures)

finish
