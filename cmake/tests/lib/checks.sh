# Sourced by a shell test: a scratch folder removed at exit, and check, which prints each
# verdict and remembers a failure in $failed.
# usage: . checks.sh NAME     (the scratch folder is $TMPDIR/vek-NAME-XXXXXX)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-$1-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0
check() {  # DESCRIPTION CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
