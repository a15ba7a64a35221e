#!/usr/bin/env bash
# Prints the share of test code: test lines (C++ and shell under tests/)
# divided by all C++ lines plus those shell lines, counting neither blank
# lines nor comment lines. The house rule is at most a third.
#   scripts/test-share.sh            print the figure
#   scripts/test-share.sh --check    also fail when it is above 0.33
set -euo pipefail
cd "$(dirname "$0")/.."

cxx_lines() { xargs -r cat | grep -c -v -E '^\s*($|//|/\*|\*)' || true; }
sh_lines() { xargs -r cat | grep -c -v -E '^\s*($|#)' || true; }

files=$(git ls-files -co --exclude-standard)
all=$(grep -E '\.(cpp|cc|h|hpp)$' <<<"$files" | cxx_lines)
test_cxx=$(grep -E '^tests/.*\.(cpp|cc|h|hpp)$' <<<"$files" | cxx_lines)
test_sh=$(grep -E '^tests/.*\.sh$' <<<"$files" | sh_lines)

share=$(awk -v t=$((test_cxx + test_sh)) -v a=$((all + test_sh)) 'BEGIN { printf "%.3f", t / a }')
echo "test share: ${share} (${test_cxx} C++ + ${test_sh} shell test lines of $((all + test_sh)))"
if [ "${1:-}" = "--check" ] && awk -v s="$share" 'BEGIN { exit !(s > 0.33) }'; then
  echo "test share above 0.33" >&2
  exit 1
fi
