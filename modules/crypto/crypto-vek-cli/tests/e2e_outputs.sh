#!/bin/bash
# The three outputs of vek-cli (key create's request archive, sign create-ext's detached
# signature, sign export-crt's certificate) over one table of targets: a symbolic link, a
# dangling one, names of the process's descriptors (also by other texts), a pipe, a FIFO
# with a reader and one without, a device, links in sticky folders, another user's move
# after the check (made by the preloaded hook at a chosen call), an owner without write
# permission, a folder that can be written but not read, a mount point, a block device,
# long names, a file-size limit, every signal that ends a process sent inside the window,
# and what reaches the disk in which order.
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
    for name in /dev/stdout /dev/fd/3 /proc/self/fd/3 pipe pid-namespace relative own-name; do
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
            pid-namespace)  # one that kept its parent's /proc: its own number is not the one there
                command_for $kind /dev/stdout
                if unshare -pf true 2>/dev/null; then
                    unshare -pf "$VEK_CLI" "${cmd[@]}" >>"$d/got" 2>"$scratch/err"
                else
                    echo "skipped: a PID namespace (not permitted here)"
                    "$VEK_CLI" "${cmd[@]}" >>"$d/got" 2>"$scratch/err"
                fi
                rc=$?
                ;;
            relative)  # /proc's link named from the root folder
                command_for $kind proc/self/fd/1
                (cd / && exec "$VEK_CLI" "${cmd[@]}") >>"$d/got" 2>"$scratch/err"
                rc=$?
                ;;
            own-name)  # the file the standard output appends to, by its own name
                command_for $kind "$d/got"
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
        case $name in /dev/fd/3 | /proc/self/fd/3) after='' ;; *) after=$([ $kind = zip ] && echo FAIL || echo DONE)$'\n' ;; esac
        if [ $kind = zip ]; then
            [ "$rc" = 70 ] || fail "$kind to $name: exit code $rc, expected 70"
            printf '%s%s' "$before" "$after" | cmp -s - "$d/got" ||
                fail "$kind to $name: $(wc -c <"$d/got") bytes held"
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

# --- names that stand for no output the caller gave: a descriptor it did not pass (the
# command's own log), a path on through a descriptor, a link whose text ends in '/', a
# deleted file behind another process's descriptor: FAIL, nothing written, no key -------
exec 3>&-  # not passed to the runs below
for kind in $KINDS; do
    target refused $kind
    echo kept >"$d/file"
    ln -s file/ "$d/slash"
    exec 7>"$d/gone"
    sleep 600 &
    holder=$!
    exec 7>&-
    rm "$d/gone"
    for name in /dev/fd/3 /dev/stdout/sub/name "$d/slash" "/proc/$holder/fd/7"; do
        command_for $kind "$name"
        expect 70 $'FAIL\n' "${cmd[@]}"
        no_key "$kind to $name"
    done
    logged 1 _T_locate "fail: not a descriptor the caller passed </proc/$holder/fd/7>"
    kill $holder
    wait $holder 2>/dev/null
    [ "$(cat "$d/file")" = kept ] || fail "$kind through a link ending in '/' replaced the file"
    [ "$(find "$d" -mindepth 1 | wc -l)" = 2 ] || fail "$kind to refused names made <$(ls "$d")>"
done

# hooked KIND PATH CALL AT RUN: KIND's output to PATH, with the hook running RUN (another
# party's move) once the command reaches CALL on a path that matches AT.
hooked() {
    command_for "$1" "$2"
    LD_PRELOAD=$HOOK VEK_FS_HOOK_CALL=$3 VEK_FS_HOOK_AT=$4 VEK_FS_HOOK_RUN=$5 expect "${expected[@]}" "${cmd[@]}"
}

# --- another user's move after the check: their folder, or their FIFO, in a sticky folder
# swapped for a link to a root-only file as the output is created or opened. What is
# written is what was checked: the folder held, never the file behind the new link ------
if [ "$(id -u)" = 0 ]; then
    for kind in $KINDS; do
        target swap $kind
        mkdir -m 0700 "$d/private"
        echo secret >"$d/private/out" && chmod 0600 "$d/private/out"
        mkdir -m 1777 "$d/sticky"
        mkdir "$d/sticky/theirs"
        mkfifo "$d/sticky/fifo"
        chown 65534:65534 "$d/sticky/theirs" "$d/sticky/fifo"
        s=$d/sticky
        expected=(0 $'DONE\n')
        hooked $kind "$s/theirs/out" open "$s/theirs/out.vek-cli-*" \
            "mv $s/theirs $s/theirs.old && ln -s ../private $s/theirs && chown -h 65534:65534 $s/theirs"
        is_output $kind "$s/theirs.old/out" || fail "$kind: no whole output in the folder checked"
        expected=(70 $'FAIL\n')
        hooked $kind "$s/fifo" open "$s/fifo" "rm $s/fifo && ln -s ../private/out $s/fifo && chown -h 65534:65534 $s/fifo"
        [ "$(cat "$d/private/out")" = secret ] || fail "$kind after another user's swap wrote the root-only file"
        [ -n "$(temporaries_in "$d"/* "$s"/*)" ] && fail "$kind after a swap left $(temporaries_in "$d"/* "$s"/*)"
    done
else
    echo "skipped: another user's swap (needs root to own files as another user)"
fi

# --- a FIFO (with a reader) put where nothing was, after the check (key create: as its
# probe goes, before the key; the others: as their file is synced): the name no longer
# holds what was located, so nothing is written there; key create logs its requests ---
for kind in $KINDS; do
    target appears $kind
    mkfifo "$d/fifo"
    exec 8<>"$d/fifo"
    sleep 600 <&8 &  # the reader, which the command does not share
    reader=$!
    exec 8<&-
    expected=(70 $'FAIL\n')
    case $kind in zip) call=unlink ;; *) call=fsync ;; esac
    hooked $kind "$d/out" $call "$d/out.vek-cli-*" "mv $d/fifo $d/out"
    [ -p "$d/out" ] || fail "$kind replaced a FIFO that appeared after the check"
    kill $reader
    wait $reader 2>/dev/null
    [ $kind = zip ] && { grep -q 'request not archived (name:<ds>' "$dir/log.run" || fail "zip: requests not logged"; }
    [ -n "$(temporaries_in "$d")" ] && fail "$kind left $(temporaries_in "$d")"
done

# as_nobody DIR KIND PATH [UMASK]: KIND's output to PATH as an unprivileged user, with a
# world of its own in DIR (which that user owns); expect ran with expected.
as_nobody() {
    local world=$1
    shift
    cp "$base/world.json" "$world/world.json" && touch "$world/log" "$world/trace"
    chown -R 65534:65534 "$world"
    command_for "$1" "$2"
    (
        export TAVREL_STANDIN_WORLD=$world/world.json JOTLOG_FILE=$world/log TAVREL_STANDIN_TRACE=$world/trace
        umask "${3:-022}"
        dir=$world VEK_CLI=$scratch/as-nobody expect "${expected[@]}" "${cmd[@]}"
        echo "$runs $failures" >"$world/counts"
    )
    read -r runs failures <"$world/counts"
}

# --- an owner without write permission (their own 0444 output, a umask that takes the
# owner's write bit), a folder that can be written but not read (0333, and a 1733 drop
# folder): the output is whole, with its final mode, and DONE -------------------------
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    chmod 0711 "$scratch" "$base"
    printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups -- %q "$@"\n' "$VEK_CLI" >"$scratch/as-nobody"
    chmod 0755 "$scratch/as-nobody"
    chmod 0644 "$base/data"
    expected=(0 $'DONE\n')
    for kind in $KINDS; do
        target user $kind
        mkdir "$d/world" "$d/own" "$d/wo" "$d/drop"
        echo old >"$d/own/readonly" && chmod 0444 "$d/own/readonly"
        echo old >"$d/wo/existing"
        chown -R 65534:65534 "$d/own" "$d/wo"
        chmod 0711 "$d"
        chmod 0333 "$d/wo"
        chmod 1733 "$d/drop"
        for case in own/readonly:022:0444 own/new:0222:0444 own/private:0277:0400 wo/new:022:0644 \
            wo/existing:022:0644 drop/new:022:0644; do
            IFS=: read -r name mask mode <<<"$case"
            as_nobody "$d/world" $kind "$d/$name" "$mask"
            is_output $kind "$d/$name" || fail "$kind as another user to $name: no whole output"
            [ "$(stat -c %a "$d/$name")" = "${mode#0}" ] || fail "$kind to $name: mode $(stat -c %a "$d/$name")"
        done
        [ -n "$(temporaries_in "$d"/*)" ] && fail "$kind as another user left $(temporaries_in "$d"/*)"
    done
else
    echo "skipped: outputs of another user (needs root and setpriv)"
fi

# --- a mount point at the name (a file bound over it, in a mount namespace of the run's
# own): no rename can replace it, so FAIL; key create refuses it before the key --------
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
    for kind in $KINDS; do
        target mount $kind
        echo mounted >"$d/source"
        echo under >"$d/out"
        command_for $kind "$d/out"
        runs=$((runs + 1))
        out=$(unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$d/source" "$d/out" \
            "$VEK_CLI" "${cmd[@]}" 2>&1)
        rc=$?
        [ "$rc" = 70 ] && [ "$out" = FAIL ] || fail "$kind to a mount point: exit code $rc, output <$out>"
        no_key "$kind to a mount point"
        [ "$(cat "$d/source")" = mounted ] && [ "$(cat "$d/out")" = under ] || fail "$kind to a mount point changed it"
        [ -n "$(temporaries_in "$d")" ] && fail "$kind to a mount point left $(temporaries_in "$d")"
    done
else
    echo "skipped: a mount point (needs root and a mount namespace)"
fi

# --- a block device: written in place and synced (key create refuses it) ---------------
loop=""
if [ "$(id -u)" = 0 ]; then
    head -c 65536 /dev/zero >"$base/disk"
    loop=$(losetup -f --show "$base/disk" 2>/dev/null)
fi
if [ -n "$loop" ]; then
    for kind in $KINDS; do
        target block $kind
        command_for $kind "$loop"
        if [ $kind = zip ]; then
            expect 70 $'FAIL\n' "${cmd[@]}"
            no_key "zip to a block device"
            continue
        fi
        LD_PRELOAD=$HOOK VEK_FS_HOOK_TRACE=$d/calls expect 0 $'DONE\n' "${cmd[@]}"
        grep -qxF "fsync $loop" "$d/calls" || fail "$kind to a block device: not synced"
    done
    dd if="$loop" bs=1 count="$(stat -c %s "$base/own.crt")" 2>/dev/null | cmp -s - "$base/own.crt" ||
        fail "crt to a block device: not there"
    losetup -d "$loop"
else
    echo "skipped: a block device (needs root and a loop device)"
fi

# --- written in place, no signal is held: SIGTERM as the output reaches a pipe ends the
# command there, before anything is written --------------------------------------------
for kind in sig crt; do
    command_for $kind /dev/stdout
    runs=$((runs + 1))
    got=$(LD_PRELOAD=$HOOK VEK_FS_HOOK_CALL=write VEK_FS_HOOK_AT='pipe:*' VEK_FS_HOOK_SIGNAL=15 \
        env --default-signal "$VEK_CLI" "${cmd[@]}" 2>/dev/null | wc -c; exit "${PIPESTATUS[0]}")
    rc=$?
    [ "$rc" = 143 ] && [ "$got" = 0 ] || fail "$kind to a pipe, SIGTERM at the write: exit code $rc, $got bytes"
done

# --- key create's folders: made 0755 less the umask, each synced in its parent, removed
# again when the key is not made; a relative path logs no folder ----------------------
target made zip
mask=$(umask)
umask 0
LD_PRELOAD=$HOOK VEK_FS_HOOK_TRACE=$d/calls expect 0 $'DONE\n' key create VM1K-000102 $PW ds kep "$d/new/a/req.zip"
umask "$mask"
for folder in "$d" "$d/new"; do grep -qxF "fsync $folder" "$d/calls" || fail "made folder in $folder not synced"; done
[ "$(stat -c %a "$d/new") $(stat -c %a "$d/new/a")" = "755 755" ] || fail "made folders: modes $(stat -c %a "$d/new" "$d/new/a")"
expect 70 $'FAIL\n' key create VM1K-000102 wrong ds kep "$d/failed/b/req.zip"
[ -e "$d/failed" ] && fail "a failed key create left the folders it made"
cd "$d" || fail "cd $d"
expect 0 $'DONE\n' key create VM1K-000102 $PW ds kep rel.zip
cd - >/dev/null || fail "cd back"
grep -q 'mkdir' "$dir/log.run" && fail "a relative archive path logged a folder: $(grep mkdir "$dir/log.run")"

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
# (32 and 33, which the C library keeps for itself and names not, by their numbers.)
ending_signals() {
    local n name
    for n in $(seq 1 64); do
        name=$(kill -l "$n" 2>/dev/null)
        case $name in KILL | STOP | CHLD | CONT | TSTP | TTIN | TTOU | URG | WINCH) continue ;; esac
        echo "${name:-$n}"
    done
}
# signal_number SIGNAL: the number of a signal named or numbered.
signal_number() { case $1 in [0-9]*) echo "$1" ;; *) kill -l "$1" ;; esac; }
# signal_case KIND SIGNAL: one run in a world of its own; its failures go to a file.
signal_case() {
    local kind=$1 sig=$2 d=$base/signal-$1-$2 rc
    mkdir -p "$d"
    cp "$base/world.json" "$d/world.json"
    command_for "$kind" "$d/out"
    (
        ulimit -c 0
        export TAVREL_STANDIN_WORLD=$d/world.json JOTLOG_FILE=$d/log TAVREL_STANDIN_TRACE=$d/trace
        export LD_PRELOAD=$HOOK VEK_FS_HOOK_SIGNAL=$(signal_number "$sig") VEK_FS_HOOK_AT="$d/out.vek-cli-*"
        # The sanitizer's own handlers would report the signals of a fault instead.
        export ASAN_OPTIONS=${ASAN_OPTIONS:-}:handle_segv=0:handle_sigbus=0:handle_sigfpe=0
        exec env --default-signal "$VEK_CLI" "${cmd[@]}" >"$d/answer" 2>"$d/err"
    )
    rc=$?
    {
        case $sig in
            PIPE | XFSZ) [ "$rc" = 0 ] && [ "$(cat "$d/answer")" = DONE ] || echo "$kind, SIG$sig: exit code $rc" ;;
            *) [ "$rc" = $((128 + $(signal_number "$sig"))) ] && [ ! -s "$d/answer" ] || echo "$kind, SIG$sig: exit code $rc" ;;
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
