#!/bin/bash
# vek-cli's manual page: every command of the program's usage text is in its synopsis as
# the program prints it and has an entry of its own; the synopsis has no other command;
# man renders the page without a warning, also in the C locale, where the accepted type's
# name is spelt in Latin letters; the install puts it beside the program; its EXAMPLES, pasted
# into one shell, run the installed program on this build's stand-ins and print what they show;
# the documents it names are where the install puts them.
# usage: manual_test.sh VEK_CLI MANUAL_PAGE BUILD_DIR
set -u
cli=$(realpath "$1") page=$2 build=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-cli-man-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export LC_ALL=C.UTF-8 MANWIDTH=200 TAVREL_STANDIN_WORLD=$scratch/world.json
failed=0
fail() { echo "FAIL $*"; failed=1; }

"$cli" >"$scratch/usage"
[ $? = 70 ] && [ "$(wc -l <"$scratch/usage")" -gt 0 ] || fail "no usage text from $cli"

render() { man --warnings -l "$1" 2>"$scratch/warnings"; }  # plain text: not to a terminal
render "$page" >"$scratch/page"
[ -s "$scratch/page" ] || fail "man renders nothing of $page"
[ -s "$scratch/warnings" ] && fail "man warns about $page: $(cat "$scratch/warnings")"
sed -n '/^SYNOPSIS/,/^[A-Z]/s/^ *//p' "$scratch/page" | grep '^vek-cli ' >"$scratch/synopsis"
diff -u "$scratch/usage" "$scratch/synopsis" || fail "the synopsis is not the usage text (above)"
# Each command's entry: its line, the words as the usage has them after the program name.
sed -n '/^COMMANDS/,/^[A-Z]/s/^ \{1,7\}\([a-z]\)/\1/p' "$scratch/page" >"$scratch/entries"
while read -r program command; do
    entry=$(tr -s ' ' <<<"$command")
    grep -qxF "$entry" "$scratch/entries" || fail "no entry <$entry> under COMMANDS"
done <"$scratch/usage"
for code in 0 64 70; do
    sed -n '/^EXIT STATUS/,/^[A-Z]/p' "$scratch/page" | grep -qE "^ +$code +" || fail "exit $code not described"
done

LC_ALL=C render "$page" >"$scratch/page.c"
[ -s "$scratch/warnings" ] && fail "man warns about $page in the C locale: $(head -n 3 "$scratch/warnings")"
grep -qF '"e.klyuch VEK Modra-1K" (its Cyrillic letters spelt in Latin' "$scratch/page.c" ||
    fail "the C locale's page does not spell the accepted type's name"

cmake --install "$build" --prefix "$scratch/prefix" --component vek-cli >/dev/null || fail "cmake --install"
installed=$(cd "$scratch/prefix" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/vek-cli ./share/man/man1/vek-cli.1.gz " ] || fail "the install holds <$installed>"
render "$scratch/prefix/share/man/man1/vek-cli.1.gz" | cmp -s - "$scratch/page" || fail "the installed page differs"

# The EXAMPLES: the lines of their blocks; the "$ " lines run one after the other in one shell,
# in a fresh folder, with the installed vek-cli first on the path, this build tree for the
# page's ~/vek/build and the log in the scratch folder.
sed -n '/^EXAMPLES/,/^[A-Z]/s/^ \{14\}//p' "$scratch/page" >"$scratch/examples"
grep -q '^\$ vek-cli sign verify' "$scratch/examples" || fail "no examples found in the page"
mkdir "$scratch/run"
while IFS= read -r line; do
    case $line in
        '$ '*)
            command=${line#'$ '}
            command=${command//\/tmp\/vek-cli.log/$scratch/vek-cli.log}
            printf 'printf "%%s\\n" %q\n{ %s\n} </dev/null >%q 2>&1; expand %q\n' \
                "$line" "${command//\~\/vek\/build/$build}" "$scratch/answer" "$scratch/answer"
            ;;
    esac
done <"$scratch/examples" >"$scratch/examples.sh"
(cd "$scratch/run" && env -u LD_LIBRARY_PATH PATH="$scratch/prefix/bin:$PATH" bash "$scratch/examples.sh") \
    >"$scratch/transcript" 2>&1
diff -u "$scratch/examples" "$scratch/transcript" || fail "the EXAMPLES do not print what the page shows (above)"

# The documents that SEE ALSO names, below the prefix of the install.
docs=$(sed -n '/^SEE ALSO/,$p' "$scratch/page" | grep -o '/usr/share/doc/[^ ,]*\.md')
cmake --install "$build" --prefix "$scratch/docs" --component doc >/dev/null || fail "cmake --install the documents"
[ -n "$docs" ] || fail "SEE ALSO names no document"
for doc in $docs; do
    [ -f "$scratch/docs/${doc#/usr/}" ] || fail "SEE ALSO names <$doc>, which the install lacks"
done
[ "$failed" = 0 ] && echo "ok   $(wc -l <"$scratch/usage") commands in the manual page"
exit "$failed"
