#!/usr/bin/env bash
# Builds the end-to-end benchmark in Release and runs every network profile
# against the phone simulator on loopback, a minute of real-time voice each
# (about 15 minutes in all), then writes one markdown table with the machine
# it ran on.
#   scripts/bench-e2e.sh                          all profiles, 60 s each
#   scripts/bench-e2e.sh --seconds 5 --out /tmp/e2e.md loss-5% flood-10x
# Long: run it in the background (nohup scripts/bench-e2e.sh > log 2>&1 &).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=60
out=bench/results/end-to-end.md
profiles=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) profiles+=("$1"); shift ;;
  esac
done

bash scripts/install-deps.sh

build=$root/build/bench-e2e
echo "=== building end_to_end_bench (Release) in $build ==="
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVEXLINK_BUILD_TESTS=OFF -DVEXLINK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target end_to_end_bench >/dev/null
bin=$build/bench/end_to_end_bench

if [ ${#profiles[@]} -eq 0 ]; then
  mapfile -t profiles < <("$bin" --list | cut -f1)
fi

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

rows=$(mktemp)
notes=$(mktemp)
trap 'rm -f "$rows" "$notes"' EXIT
for p in "${profiles[@]}"; do
  echo "=== profile $p (${seconds} s of voice) ==="
  if ! "$bin" --profile "$p" --seconds "$seconds" >> "$rows" 2>> "$notes"; then
    echo "| $p | – | – | – | – | – | – | – | – | – | – | – | failed to run |" >> "$rows"
  fi
  tail -1 "$rows"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

mkdir -p "$(dirname "$out")"
{
  echo "# End-to-end figures of the client"
  echo
  echo "The real client (MicController with its receive and timer threads, the UDP media socket,"
  echo "libopus, the loopback writer with ALSA routed to a file) against the phone simulator on"
  echo "127.0.0.1, ${seconds} s of voice per profile, one process per profile. Made by"
  echo "\`scripts/bench-e2e.sh\` (program: \`bench/EndToEndBench.cpp\`, Release build)."
  echo
  echo "Machine: $(nproc) CPUs, ${cpu:-unknown CPU}; Linux $(uname -r);"
  echo "compiler $("$cxx" --version | head -1); run started ${started}."
  echo "Load average (1, 5, 15 min) before: ${load_before}; after: ${load_after} (a shared machine: other"
  echo "builds ran meanwhile, so the latency tails include their scheduling delays)."
  echo
  "$bin" --header
  cat "$rows"
  echo
  echo "Columns:"
  echo "- sent: voice datagrams the simulator wrote (copies included); received: frames the client queued."
  echo "- concealed %: ticks that repeated or faded the last frame, of all ticks from the first to the last"
  echo "  fresh frame; dropped %: received frames thrown away unplayed (trimmed by the tick, or pushed out"
  echo "  of the full queue, which keeps at most a second of voice), of those received."
  echo "- max queue: the playout queue's largest depth seen at a tick."
  echo "- latency: per played frame, from its arrival (read and decoded by the receive thread) to its"
  echo "  write to the device, p50 and p99."
  echo "- CPU ms / min of voice: user + system time of the client process (getrusage) over the voice,"
  echo "  scaled to a minute; the simulator runs in a forked process of its own and is not counted."
  echo "- peak RSS: the client process's maximum resident set (includes the probe's ring and samples,"
  echo "  under 3 MB even for the flood; \`unimpaired-noprobe\` runs without the probe). The test routing's"
  echo "  ALSA file plugin (over a null slave) keeps every frame written to it in memory until the device"
  echo "  closes, 1920 bytes per played tick (5.5 MB a minute); the next column takes that out, which is"
  echo "  what the client holds with a real loopback card."
  echo "- end: how the connection ended (ok: by stop(), result 0)."
  echo
  echo "Every profile but \`unimpaired-tick-aligned\` starts the voice 10 ms (half a tick) after the Start"
  echo "reply. The client starts its 20 ms tick right after that reply, so voice sent at once arrives within"
  echo "a millisecond of each tick, where scheduling noise decides between playing a frame and concealing it"
  echo "(then trimming one a tick later): that profile shows the cost; the others measure the network's"
  echo "trouble without it. \"largest gap\" in the details below is the longest time without an arrival and"
  echo "without a fresh write: where both are long and no stall was configured, the machine held the"
  echo "process up (a shared machine), which shows in the latency tail and the queue depth."
  echo
  echo "Profiles:"
  "$bin" --list | while IFS=$'\t' read -r name what; do echo "- \`$name\`: $what"; done
  echo
  echo "Details per profile (simulator counters and the probe's own books):"
  echo
  echo '```'
  cat "$notes"
  echo '```'
} > "$out"
echo "=== written: $out ==="
cat "$out"
