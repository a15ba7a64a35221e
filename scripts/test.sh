#!/usr/bin/env bash
# Installs what is missing, builds vexlink and runs the whole test suite:
# the plain build, then the same suite under ASan+UBSan and under TSan.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

# The packaging checks (man pages, completion, .deb) need a few tools too;
# install them first so the ctest passes run those checks instead of skipping.
bash scripts/install-deps.sh dpkg-dev file man-db groff-base bash-completion

# The house rule first: tests are at most a third of the code.
bash scripts/test-share.sh --check

jobs=$(nproc)
run_suite() {
  local preset=$1
  shift
  echo "=== ${preset}: configure and build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: tests ==="
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j "$jobs" --timeout 300 "$@" | tee "$log"
  local total
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  passed_total=$(( passed_total + ${total:-0} ))
}
passed_total=0

run_suite default
if [ "$quick" -eq 0 ]; then
  run_suite asan
  run_suite tsan
  echo "=== fuzzing (ASan+UBSan, bounded) ==="
  bash scripts/fuzz.sh 60
fi

# --- package check (plain build only, never a sanitizer build) ---
echo "=== package: build the .deb from build/default and check it ==="
bash scripts/check-package.sh build/default


echo "=== all test passes succeeded ==="
echo "${passed_total} passed, 0 failed"
