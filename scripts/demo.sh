#!/usr/bin/env bash
# The one-command demonstration: installs what is missing, builds vexlink and
# the phone simulator, has the simulator speak a few seconds of voice over
# loopback, runs `vexlink -d` against it with the loopback card routed to a
# WAV file, ends it with Ctrl-C (SIGINT) and shows what happened.
#   scripts/demo.sh [output-folder]        (default: out/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=${1:-out/demo}
mkdir -p "$out"
out=$(cd "$out" && pwd)

bash scripts/install-deps.sh espeak-ng sox

echo "=== building vexlink and the phone simulator ==="
bin=$root/build/demo
cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXLINK_BUILD_TESTS=OFF -DVEXLINK_BUILD_BENCH=OFF >/dev/null
cmake --build "$bin" -j "$(nproc)" --target vexlink vexlink-phone-sim >/dev/null
vexlink=$bin/app/vexlink
sim=$bin/tools/phonesim/vexlink-phone-sim

# A PC without a phone or snd-aloop: route the ALSA devices vexlink opens
# into files. The loopback playback side becomes a raw S16_LE file.
file_pcm() {  # name, file, [card arguments]
  echo "pcm.$1 {"
  if [ "${3:-}" = args ]; then
    echo '  @args [ CARD DEV SUBDEV ]'
    echo '  @args.CARD { type string default "0" }'
    echo '  @args.DEV { type integer default 0 }'
    echo '  @args.SUBDEV { type integer default -1 }'
  fi
  printf '  type file\n  slave.pcm "null"\n  file "%s"\n  format "raw"\n}\n' "$2"
}
{
  echo 'pcm.null { type null }'
  file_pcm hw "$out/presence-check.raw" args
  file_pcm plughw "$out/loopback.raw" args
  file_pcm default "$out/local.raw"
} > "$out/asound.conf"
rm -f "$out"/*.raw "$out"/*.wav "$out"/*.log

echo "=== the phone's voice ==="
espeak-ng -s 150 -w "$out/speech-22k.wav" \
  "Hello from the phone. This is vexlink: my voice travels over the network, \
is decoded on the PC, and comes out of the loopback card like a microphone." 2>/dev/null
sox -q "$out/speech-22k.wav" -r 48000 -c 1 -b 16 "$out/phone-voice.wav" gain -n -3
rm -f "$out/speech-22k.wav"
seconds=$(soxi -D "$out/phone-voice.wav")
printf 'phone voice: %s (%.1f s)\n' "$out/phone-voice.wav" "$seconds"

# Pick free ports for this run so nothing else on the machine is disturbed.
media_port=$(( 40000 + RANDOM % 10000 ))

"$sim" --port 0 --signal "$out/phone-voice.wav" --quiet > "$out/simulator.log" 2>&1 &
sim_pid=$!
cleanup() { kill "$sim_pid" "${vex_pid:-}" 2>/dev/null || true; }
trap cleanup EXIT
for _ in $(seq 100); do
  grep -q '^listening on ' "$out/simulator.log" && break
  sleep 0.05
done
endpoint=$(sed -n 's/^listening on //p' "$out/simulator.log")
control_port=${endpoint##*:}
echo "simulator: listening on $endpoint"

echo "=== vexlink -d -s $control_port -m $media_port 127.0.0.1 ==="
ALSA_CONFIG_PATH="$out/asound.conf" "$vexlink" -d -s "$control_port" -m "$media_port" 127.0.0.1 \
  > "$out/vexlink.log" 2>&1 &
vex_pid=$!
# Let the whole utterance play (plus a little), then press "Ctrl-C".
sleep "$(awk -v s="$seconds" 'BEGIN { printf "%.1f", s + 1.5 }')"
kill -INT "$vex_pid"
status=0
wait "$vex_pid" || status=$?
wait "$sim_pid" 2>/dev/null || true
trap - EXIT

echo "--- console of vexlink (exit status $status) ---"
tr '\r' '\n' < "$out/vexlink.log" | sed '/^$/d'
echo "--- simulator ---"
grep '^summary' "$out/simulator.log" || true

sox -q -t raw -r 48000 -e signed -b 16 -c 1 "$out/loopback.raw" "$out/vexlink-voice.wav"
rm -f "$out/loopback.raw"
echo "--- result ---"
printf 'recorded from the loopback card: %s (%.1f s)\n' "$out/vexlink-voice.wav" "$(soxi -D "$out/vexlink-voice.wav")"
echo "listen with: aplay $out/vexlink-voice.wav"
exit "$status"
