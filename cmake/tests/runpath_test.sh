#!/bin/bash
# No executable or shared object built in the tree carries an empty or relative RUNPATH or
# RPATH entry: the loader resolves those against the current folder, where a planted
# library would be loaded. Entries under $ORIGIN are the binary's own folder and pass.
# usage: runpath_test.sh BUILD_DIR REQUIRED_FILE...  (each REQUIRED_FILE must be among those checked)
set -u
build=$1
shift
failed=0
checked=()
while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file")" = $'\x7fELF' ] || continue
    checked+=("$file")
    while read -r tag entries; do
        IFS=: read -r -a list <<<"$entries:"  # the trailing colon keeps a last empty entry
        for entry in "${list[@]}"; do
            case "$entry" in
                /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
                *) echo "FAIL $file: $tag entry <$entry> in <$entries>"; failed=1 ;;
            esac
        done
    done < <(readelf -d "$file" 2>/dev/null | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\1 \2/p')
done < <(find "$build" -path '*/CMakeFiles' -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print0)

for required in "$@"; do
    found=0
    for file in "${checked[@]}"; do [ "$file" -ef "$required" ] && found=1; done
    if [ "$found" = 0 ]; then
        echo "FAIL $required: not among the ${#checked[@]} binaries checked"
        failed=1
    fi
done
[ "$failed" = 0 ] && echo "ok   ${#checked[@]} binaries, no empty or relative search path entry"
exit "$failed"
