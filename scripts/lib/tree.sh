# shellcheck shell=bash
# How the scripts configure a build tree, so that none changes a setting the user chose: a
# tree not configured yet gets the script's own options, one configured already keeps every
# setting it has and gets only what VEK_CMAKE_ARGS names now. Sourced by the scripts in
# scripts/, which set $root to the top of the clone.

# cmake_true VALUE: VALUE is true as CMake reads an option.
cmake_true() {
  case ${1^^} in
    "" | 0 | OFF | NO | FALSE | N | IGNORE | NOTFOUND | *-NOTFOUND) return 1 ;;
  esac
}

# tree_setting TREE NAME: the value of the cache entry NAME of a configured TREE ("" if none).
tree_setting() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null; }

# configure_tree TREE OPTION...: configures TREE with OPTION... and then VEK_CMAKE_ARGS (split
# at spaces) when it is not configured yet; a configured TREE with VEK_CMAKE_ARGS alone, which
# also makes it know targets added to the sources since.
configure_tree() {
  local tree=$1 user
  shift
  read -ra user <<<"${VEK_CMAKE_ARGS:-}"
  if [[ -f $tree/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$tree" "${user[@]}"
  else
    cmake -S "$root" -B "$tree" "$@" "${user[@]}"
  fi
}

# build_jobs [DEFAULT]: how many jobs a build (and a test run) may take at once:
# CMAKE_BUILD_PARALLEL_LEVEL where it is set, as cmake --build reads it, else DEFAULT (every CPU).
build_jobs() { echo "${CMAKE_BUILD_PARALLEL_LEVEL:-${1:-$(nproc)}}"; }
