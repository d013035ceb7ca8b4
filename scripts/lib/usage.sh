# shellcheck shell=bash
# The scripts' answers to -h/--help and to an option they do not know. Sourced by each
# script in scripts/; the usage text is the comment block at the script's top that starts
# with "# usage:", up to its first line that is not a comment.

# usage: the script's usage text, on standard output.
usage() { sed -n '/^# usage:/,/^[^#]/s/^# \{0,1\}//p' "$0"; }

# usage_error TEXT: TEXT and the usage on standard error; exit 2.
usage_error() {
  echo "${0##*/}: $1" >&2
  usage >&2
  exit 2
}

# no_options "$@": for a script that takes no arguments.
no_options() {
  (($#)) || return 0
  case $1 in
    -h | --help) usage; exit 0 ;;
    *) usage_error "unknown option $1" ;;
  esac
}
