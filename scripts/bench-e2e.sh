#!/usr/bin/env bash
# Builds the end-to-end benchmarks in Release, runs every network profile for
# every playout strategy against the phone simulator on loopback (the
# strategies side by side, the same seeds), a few runs at a time, the
# adaptive playout on the PipeWire output for a few profiles, then the
# callgrind replay of each strategy, and writes one markdown file with the
# machine it ran on.
#   scripts/bench-e2e.sh                                  everything (about 25 minutes)
#   scripts/bench-e2e.sh --strategies tick,adaptive       two strategies
#   scripts/bench-e2e.sh --jobs 1 --seconds 5 --out /tmp/e2e.md loss-5% flood-10x
# Strategies: tick, adaptive (fade), adaptive-codec (the codec's concealment:
# only the profiles the benchmark marks for it, the losses). Options: --jobs N
# (runs at once, default 2: one per core of the 2-core machine), --seconds N (voice of every profile instead of
# its own length), --quanta LIST (the PipeWire runs' quanta, default
# "default,256"), --no-pipewire, --no-callgrind, --no-check (skip the runs
# alone that check the concurrency). Run it in the background
# (nohup scripts/bench-e2e.sh > log 2>&1 &).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

jobs=2
seconds=0
strategies=tick,adaptive,adaptive-codec
quanta=default,256
pipewire=1
callgrind=1
check=1
out=bench/results/end-to-end.md
notes=bench/results/end-to-end-notes.md
profiles=()
while [ $# -gt 0 ]; do
  case "$1" in
    --jobs) jobs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --strategies) strategies=$2; shift 2 ;;
    --quanta) quanta=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-pipewire) pipewire=0; shift ;;
    --no-callgrind) callgrind=0; shift ;;
    --no-check) check=0; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) profiles+=("$1"); shift ;;
  esac
done
IFS=, read -r -a strategy_list <<<"$strategies"
IFS=, read -r -a quantum_list <<<"$quanta"

bash scripts/install-deps.sh valgrind

build=$root/build/bench-e2e
echo "=== building the end-to-end benchmarks (Release) in $build ==="
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVEXLINK_BUILD_TESTS=OFF -DVEXLINK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target end_to_end_bench playout_replay_bench >/dev/null
bin=$build/bench/end_to_end_bench
replay=$build/bench/playout_replay_bench

declare -A length extra
while IFS=$'\t' read -r name secs _ more; do length[$name]=$secs; extra[$name]=$more; done < <("$bin" --list)
if [ ${#profiles[@]} -eq 0 ]; then
  mapfile -t profiles < <("$bin" --list | cut -f1)
fi
voice_of() { if [ "$seconds" -gt 0 ]; then echo "$seconds"; else echo "${length[$1]}"; fi; }

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
SECONDS=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run ID PROFILE STRATEGY BATCH [QUANTUM]: one run, its record and its details
# in files of its own; with a quantum ("default" or a number) on PipeWire.
run() {
  local id=$1 p=$2 s=$3 batch=$4 q=${5:-}
  local graph=()
  if [ -n "$q" ]; then
    graph=(--output pipewire)
    [ "$q" = default ] || graph+=(--quantum "$q")
  fi
  if ! "$bin" --profile "$p" --strategy "$s" --batch "$batch" --seconds "$(voice_of "$p")" "${graph[@]}" \
      > "$work/rec.$id" 2> "$work/det.$id"; then
    if [ -n "$q" ]; then
      printf 'kind=run\tprofile=%s\tstrategy=%s\tbatch=%s\toutput=pipewire\tquantum=%s\tend=failed to run\n' \
        "$p" "$s" "$batch" "$q" > "$work/rec.$id"
    else
      printf 'kind=run\tprofile=%s\tstrategy=%s\tbatch=%s\tend=failed to run\n' "$p" "$s" "$batch" > "$work/rec.$id"
    fi
  fi
  echo "--- done: $p [$s${q:+, pipewire $q}, $batch] after ${SECONDS} s"
}

# Whether a strategy runs a profile: the codec's concealment only where the
# benchmark marks it.
runs() { [ "$2" != adaptive-codec ] || [[ " ${extra[$1]} " == *" codec "* ]]; }

# The concurrency check: two profiles alone first, one after the other,
# for the first two strategies.
n=0
if [ "$check" -eq 1 ]; then
  for s in "${strategy_list[@]:0:2}"; do
    for p in unimpaired-phase10 jitter-20ms; do
      [ -n "${length[$p]:-}" ] || continue
      echo "=== alone: $p [$s] ==="
      run "$n" "$p" "$s" alone
      n=$((n + 1))
    done
  done
fi

# Then every profile and strategy (and the PipeWire runs), the longest runs
# first, $jobs at a time.
mapfile -t queue < <(for p in "${profiles[@]}"; do
  for s in "${strategy_list[@]}"; do
    if runs "$p" "$s"; then printf '%s\t%s\t%s\t\n' "$(voice_of "$p")" "$p" "$s"; fi
  done
  if [ "$pipewire" -eq 1 ] && [[ " ${extra[$p]} " == *" pipewire "* ]]; then
    for q in "${quantum_list[@]}"; do printf '%s\t%s\tadaptive\t%s\n' "$(voice_of "$p")" "$p" "$q"; done
  fi
done | sort -t$'\t' -k1,1nr -s)
echo "=== ${#queue[@]} runs, ${jobs} at a time ==="
for entry in "${queue[@]}"; do
  IFS=$'\t' read -r _ p s q <<<"$entry"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  id=$n
  n=$((n + 1))
  run "$id" "$p" "$s" batched "$q" &
done
wait

# Instructions per voice second of each strategy on one recorded trace.
if [ "$callgrind" -eq 1 ]; then
  for s in "${strategy_list[@]}"; do
    echo "=== callgrind: $s ==="
    cg=$work/callgrind.$s
    if valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$cg.out" \
        "$replay" --strategy "$s" > "$cg.txt" 2> "$cg.log"; then
      ir=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$cg.out" | head -1)
      voice=$(sed -n 's/.*voice_s=\([0-9]*\).*/\1/p' "$cg.txt")
      printf 'kind=callgrind\tstrategy=%s\tir=%s\tvoice_s=%s\n' "$s" "$ir" "$voice" > "$work/rec.cg.$s"
      echo "replay $s: $(cat "$cg.txt")" > "$work/det.cg.$s"
    else
      echo "callgrind run of $s failed: $(tail -3 "$cg.log")" > "$work/det.cg.$s"
    fi
  done
fi

elapsed=$SECONDS
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cat "$work"/rec.* > "$work/records"

mkdir -p "$(dirname "$out")"
{
  echo "# End-to-end figures of the client"
  echo
  echo "The real client (MicController with its receive and timer threads, the UDP media socket,"
  echo "libopus, a loopback writer with ALSA routed to a file, or its PipeWire node in a private"
  echo "session) against the phone simulator on 127.0.0.1, one process per run, ${jobs} runs at a time;"
  echo "strategies: ${strategies}; the same seeds for every strategy. Made by \`scripts/bench-e2e.sh\`"
  echo "(programs: \`bench/EndToEndBench.cpp\`, \`bench/PlayoutReplayBench.cpp\`, Release build) in"
  echo "$((elapsed / 60)) min $((elapsed % 60)) s."
  echo
  echo "Machine: $(nproc) CPUs, ${cpu:-unknown CPU}; Linux $(uname -r);"
  echo "compiler $("$cxx" --version | head -1); run started ${started}."
  echo "Load average (1, 5, 15 min) before: ${load_before}; after: ${load_after} (a shared machine: other"
  echo "builds ran meanwhile, so the latency tails include their scheduling delays)."
  echo
  # What the figures say, kept by hand beside the script.
  if [ -f "$notes" ]; then cat "$notes"; echo; fi
  "$bin" --render "$work/records"
  cat <<'EOF'

### Columns

- sent: voice datagrams the simulator wrote (copies included); arrived: frames the client read (the
  tick: read and decoded; the adaptive playout reads them undecoded); net loss %: frames the simulator
  dropped on purpose, of those it made.
- strategies: `tick` is the queue-paced tick (`--jitter-buffer queue`); `adaptive` the adaptive
  playout with repeat-and-fade concealment (`--jitter-buffer adaptive`); `adaptive-codec` the same with
  `--conceal codec` (Opus loss concealment, in-band FEC from the next packet, a frame more held for it),
  run on the loss profiles and on the unimpaired run their target is held against.
- concealed %: output made up instead of a real frame (frames' worth, up to the last real frame, so the
  silence after the voice does not count), of real frames played plus that; split by cause where the
  strategy can tell: lost (a frame that never arrived, or was missing while later ones waited) / late
  (it arrived after its turn) / underrun (nothing to play otherwise: a stall, the clocks, or a frame
  inserted at once to let the delay grow).
- discarded %: frames that arrived and were never played, of those that arrived; split into
  duplicates / arrived after their turn / thrown away to shorten the delay (the tick's trimming, the
  adaptive playout's skip of a large excess) / pushed out of a full buffer (the tick's queue; the
  adaptive playout's window and packet ring). "–": the strategy cannot tell.
- FEC rebuilt / isolated losses recovered / isolated losses: frames the codec concealment rebuilt from
  the next packet's in-band redundancy (every frame concealed while the next packet waited, whether
  that packet carried any); lost frames whose neighbours both arrived and whose concealment is within
  10 dB of the lost frame (segmental SNR at least 10 dB against the unimpaired decode; repeat-and-fade
  and Opus's own guess stay far below it); lost frames whose neighbours both arrived.
- out of order: frames heard after a later frame (the first time they were heard); played twice:
  frames heard again; slips after 10 s: from 10 s of output on, two real frames heard one after the
  other that are not consecutive or not about 960 samples apart (a frame dropped or made up; a loss
  is one too).
- clicks / min: jumps of the written waveform far beyond what the signal makes (`ClickDetector`:
  the second difference above 150 on the benchmark's 220 Hz tremolo voice, jumps within 50 ms
  counted once), over the output from 20 ms after the first real frame to the end of the last; a
  dropped, repeated or swapped frame, a fade step or voice out of silence makes one, resampling does
  not; clicks after 10 s: their number from 10 s of that output on.
- SNR real / concealed: segmental SNR (mean over 20 ms pieces, each held within [-10, 35] dB) of the
  written PCM against the same packets all decoded in order (the unimpaired decode), aligned through
  the output sample the probe gives for each real frame: real frames against their own frame, the
  output between real frames against the frames that should have been there (pieces under half a
  frame, which resampling leaves between frames, are not concealment). 35.0 on real frames means
  bit-exact; it shows that the alignment holds (resampled frames score lower).
- send→write: from the simulator's first send of a frame to the moment its first sample goes out (both
  read CLOCK_MONOTONIC), first play of each frame: the device write that carries it plus the sample's
  place in that write (the tick's frames begin its 960-sample writes; the adaptive playout's begin
  anywhere in them); arrival→write: from the frame's first arrival (read); p99 outside the event:
  without the frames the stall held.
- recovery s: after the end of the stall or of the jitter step, the seconds until the send→write p50
  of every later 1 s window of media time is within 5 ms of the p50 before the event.
- ratio ppm / set: the playout's rate after 10 s of output, media samples consumed per output sample
  (from the first real frame heard after 10 s to the last), against the sender's clock offset: the
  adaptive playout's resampling, the tick's dropped and repeated frames. target ms: the adaptive
  playout's target delay (p50 and largest over the run, sampled every second): how far behind the
  point the arrivals have reached it holds playout, a 20 ms pull and the look-ahead included, so a
  frame's send→write is about 20 ms less.
- max depth: frames waiting, the most seen (the tick's queue at a tick; the adaptive playout's
  buffered delay in frames, rounded up, at its real frames).
- CPU ms / min of voice: user + system time of the client process (getrusage) over the voice, scaled
  to a minute; the simulator runs in a forked process of its own and is not counted. peak RSS: the
  client process's maximum resident set; the test routing's ALSA file plugin keeps every frame
  written to it in memory until the device closes (1920 bytes per tick, 5.5 MB a minute), which the
  next column takes out.
- end: how the connection ended (ok: by stop(), result 0).
- PipeWire output: the client as `--output pipewire` runs it (its "vexlink" node pulls the adaptive
  playout, the graph's cycles set the pull size) in a private PipeWire session of the run's own
  (`pipewire`, `wireplumber`, the dummy driver), at the graph's default quantum and at a forced 256,
  recorded by the benchmark's own capture stream (`bench/support/PipeWireCapture`: a `pw_stream`
  input linked to the node, S16 mono, which keeps every buffer and the CLOCK_MONOTONIC time its cycle
  handed it over). send→capture: to the moment the capture's stream reaches the frame's first sample
  (the buffer that holds it, plus the sample's place in it); each frame is found in the capture bit
  for bit (frames located %); send→cycle: to the node's cycle that pulled the sample (the graph's time
  of the cycle plus the sample's place in it), the figure the other columns are measured on. CPU
  leaves out the capture's own data thread; RSS without the run's records (the node's output and the
  capture, kept in memory).
- Instructions per voice second: `playout_replay_bench` under `valgrind --tool=callgrind
  --instr-atstart=no`: one arrival trace (the jitter-20ms profile, 60 s, seed 7, real Opus payloads)
  built before instrumentation starts, then replayed single-threaded on a hand-advanced clock: the
  tick decodes at arrival into a VoicePacket, queues it (bounded) and plays with PlayoutTick::tick()
  every 20 ms into a null sink; the adaptive playout copies each arrival into its packet ring as the
  receive thread does and pulls 960 samples every 20 ms (the ring drained into the core, decoding,
  concealment, resampling and the status it publishes); callgrind's total divided by the trace's 60 s.
- Concurrency check: the runs share the machine with each other (and with whatever else runs); the
  same profile alone and within the batch tells whether that moved the figures.

The signal is phonesim's `TremoloSignal` (220 Hz with its 2nd to 4th harmonics under a 4 Hz tremolo
down to 10 %): low and steady in pitch, so every broken frame leaves a jump the click detector sees,
and lively enough that libopus treats it as voice and sends in-band FEC when asked to.
EOF
  echo
  echo "Profiles (voice seconds; every profile but phase0/5/15/19 starts its voice 10 ms, half a tick,"
  echo "after the Start reply; the client starts its 20 ms tick right after that reply; the simulator"
  echo "runs at a real-time priority, a phone of its own rather than a share of this machine):"
  "$bin" --list | while IFS=$'\t' read -r name secs what more; do
    also=""
    [ "$more" = - ] || also=" (also: ${more// /, })"
    echo "- \`$name\` ($(voice_of "$name") s): $what$also"
  done
  echo
  echo "Details per run (simulator counters, the probe's books, send→write p50 per 5 s of media time):"
  echo
  echo '```'
  # In the order of the tables; then anything else the runs said (errors).
  "$bin" --list | cut -f1 | while read -r p; do
    awk -v p="$p [" 'index($0, p) == 1' "$work"/det.[0-9]*
  done
  cat "$work"/det.cg.* 2>/dev/null || true
  "$bin" --list | cut -f1 | awk '{ print $0 " [" }' > "$work/names"
  awk 'NR == FNR { names[NR] = $0; n = NR; next }
       { for (i = 1; i <= n; ++i) if (index($0, names[i]) == 1) next; print }' "$work/names" "$work"/det.[0-9]*
  echo '```'
} > "$out"
echo "=== written: $out (after ${elapsed} s) ==="
