# Shared by the packaging tests. A test script defines test_* functions and
# ends with `run_case "$@"`; CTest runs one case per process:
#   bash <script> test_<name>
# Exit status: 0 passed, 1 failed, 77 skipped.

set -u

: "${VEXLINK_BINARY_DIR:?run through ctest}"
: "${VEXLINK_SOURCE_DIR:?run through ctest}"

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/vexlink-packaging.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

fail() { printf 'FAILED: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIPPED: %s\n' "$*" >&2; exit 77; }
assert_eq() { [ "$1" = "$2" ] || fail "$3: expected [$1], got [$2]"; }  # expected actual what
# haystack needle what
assert_contains() { [[ $1 == *"$2"* ]] || fail "$3: [$2] not found in:"$'\n'"$1"; }
assert_not_contains() { [[ $1 != *"$2"* ]] || fail "$3: [$2] unexpectedly found in:"$'\n'"$1"; }

# Runs a command, keeping its combined output in $OUT and its status in $RC.
run() { OUT=$("$@" 2>&1); RC=$?; }

# Installs the build tree into a fresh prefix under the scratch directory,
# kept in $PREFIX.
install_to_scratch() {
    PREFIX=$SCRATCH/prefix
    cmake --install "$VEXLINK_BINARY_DIR" --prefix "$PREFIX" >"$SCRATCH/install.log" 2>&1 ||
        fail "cmake --install failed: $(cat "$SCRATCH/install.log")"
}

run_case() {
    local name=${1:-}
    [ -n "$name" ] || fail "usage: $0 test_<name>"
    declare -F "$name" >/dev/null || fail "no such case: $name"
    "$name"
    echo "passed: $name"
}
