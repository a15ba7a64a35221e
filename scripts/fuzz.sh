#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# bounded time over the seed corpus in fuzz/corpus/<target>, after replaying
# every saved crash input in fuzz/regressions/<target>.
#   scripts/fuzz.sh [seconds-per-target]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
bash scripts/install-deps.sh clang libclang-rt-dev

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLINK_SANITIZE=address \
  -DVEXLINK_BUILD_FUZZ=ON -DVEXLINK_BUILD_TESTS=OFF -DVEXLINK_BUILD_BENCH=OFF >/dev/null
targets=(control_reply media_packets media_socket playout command_line)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$t"
  if [ -d "fuzz/regressions/$t" ] && [ -n "$(ls -A "fuzz/regressions/$t")" ]; then
    echo "=== fuzz_$t: replaying saved regressions ==="
    "$bin" -runs=0 "fuzz/regressions/$t"/*
  fi
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$t/." "$work/"
  echo "=== fuzz_$t: ${seconds}s ==="
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
echo "=== fuzzing found nothing ==="
