#!/bin/bash
# vexlink-loopback against a scratch /etc/modules-load.d, scratch
# /proc/asound/cards and /proc/modules, and fake modprobe and pactl, so that
# enable and disable run for real without touching this machine.
. "$(dirname "$0")/lib.sh"

helper=$VEXLINK_SOURCE_DIR/packaging/vexlink-loopback
fake=$SCRATCH/fake
mkdir -p "$fake/bin"

export VEXLINK_LOOPBACK_MODULES_DIR=$fake/modules-load.d
export VEXLINK_LOOPBACK_PROC_CARDS=$fake/cards
export VEXLINK_LOOPBACK_PROC_MODULES=$fake/modules
export VEXLINK_LOOPBACK_MODPROBE=$fake/bin/modprobe
export VEXLINK_LOOPBACK_PACTL=$fake/bin/pactl
export VEXLINK_LOOPBACK_APLAY=$fake/bin/aplay-never-called
export VEXLINK_LOOPBACK_UID=0
export FAKE=$fake
conf=$VEXLINK_LOOPBACK_MODULES_DIR/vexlink-loopback.conf

# A machine with one ordinary card (and, with CARD=<id>, a second card of
# that id; CARD=none: no /proc/asound at all) and no loopback module loaded.
reset_fake() {
    rm -rf "$VEXLINK_LOOPBACK_MODULES_DIR" "$fake"/pa-* "$fake"/*.log
    printf ' 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n                      HDA Intel PCH at 0xf7f10000 irq 32\n' >"$fake/cards"
    case ${1:-} in
        none) rm "$fake/cards" ;;
        ?*) printf ' 1 [%-15s]: Loopback - Loopback\n                      Loopback 1\n' "$1" >>"$fake/cards" ;;
    esac
    printf 'snd_hda_intel 57344 3 - Live 0x0000000000000000\n' >"$fake/modules"
    : >"$fake/modprobe.log"
}
reset_fake

# modprobe: FAKE_MODPROBE=ok (default) loads the card, "missing" fails as
# modprobe does on a kernel without the module, "nocard" succeeds without a
# card appearing. Every call is logged.
cat >"$fake/bin/modprobe" <<'EOF'
#!/bin/bash
echo "$*" >>"$FAKE/modprobe.log"
mode=${FAKE_MODPROBE:-ok}
missing() { echo "modprobe: FATAL: Module snd-aloop not found in directory /lib/modules/6.1.0-test" >&2; exit 1; }
case "$*" in
    "-n snd-aloop") [ "$mode" = missing ] && missing; exit 0 ;;
    "snd-aloop")
        [ "$mode" = missing ] && missing
        grep -q '^snd_aloop ' "$FAKE/modules" || echo "snd_aloop 40960 ${FAKE_USERS:-0} - Live 0x0" >>"$FAKE/modules"
        if [ "$mode" = ok ] && ! grep -q '\[Loopback' "$FAKE/cards"; then
            printf ' 1 [Loopback       ]: Loopback - Loopback\n                      Loopback 1\n' >>"$FAKE/cards"
        fi
        exit 0 ;;
    "-r snd-aloop")
        sed -i '/^snd_aloop /d' "$FAKE/modules"
        sed -i '/\[Loopback/,+1d' "$FAKE/cards"
        exit 0 ;;
esac
echo "fake modprobe: unexpected arguments: $*" >&2
exit 2
EOF

# pactl keeping loaded modules and sources in files. FAKE_PACTL_DOWN=1 acts
# as if no sound server runs.
cat >"$fake/bin/pactl" <<'EOF'
#!/bin/bash
echo "$*" >>"$FAKE/pactl.log"
[ "${FAKE_PACTL_DOWN:-0}" = 1 ] && { echo "Connection failure: Connection refused" >&2; exit 1; }
touch "$FAKE/pa-modules" "$FAKE/pa-sources"
case "$1 ${2:-} ${3:-}" in
    "info  ") echo "Server Name: fake"; exit 0 ;;
    "list short sources") cat "$FAKE/pa-sources"; exit 0 ;;
    "list short modules") cat "$FAKE/pa-modules"; exit 0 ;;
    "list sources ") cat "$FAKE/pa-sources-long" 2>/dev/null; exit 0 ;;
esac
case $1 in
    load-module)
        shift
        name=$1; shift
        idx=$((536870912 + $(wc -l <"$FAKE/pa-modules")))
        printf '%s\t%s\t%s\t\n' "$idx" "$name" "$*" >>"$FAKE/pa-modules"
        for a in "$@"; do
            case $a in source_name=*) printf '%s\t%s\t%s\ts16le 1ch 48000Hz\tSUSPENDED\n' "$idx" "${a#source_name=}" "$name" >>"$FAKE/pa-sources" ;; esac
        done
        echo "$idx"; exit 0 ;;
    unload-module)
        grep -q "^$2	" "$FAKE/pa-modules" || { echo "Failure: No such entity" >&2; exit 1; }
        sed -i "/^$2	/d" "$FAKE/pa-modules" "$FAKE/pa-sources"
        exit 0 ;;
esac
echo "fake pactl: unexpected arguments: $*" >&2
exit 2
EOF
chmod +x "$fake/bin/modprobe" "$fake/bin/pactl"

# A card found through `aplay -l` only; a file where modules-load.d should
# be: no one, not even root, can write below it.
printf '#!/bin/sh\n[ "$1" = -l ] || exit 1\necho "card 2: Loopback [Loopback], device 0: Loopback PCM [Loopback PCM]"\n' >"$fake/bin/aplay"
chmod +x "$fake/bin/aplay"
mkdir -p "$fake/etc"
: >"$fake/etc/modules-load.d"

modprobe_calls() { grep -c "^$1\$" "$fake/modprobe.log"; }

# One command on a fresh machine: card|environment|arguments|status|set up|
# output parts (;-separated). "set up" 1: the card is loaded and persisted;
# 0: nothing is loaded or written. Usage errors and refusals call no modprobe.
test_single_commands() {
    local card vars args rc setup needles needle
    while IFS='|' read -r card vars args rc setup needles; do
        reset_fake "$card"
        run env $vars bash "$helper" $args
        assert_eq "$rc" "$RC" "[$card $vars] $args: $OUT"
        IFS=';' read -ra needles <<<"$needles"
        for needle in "${needles[@]}"; do assert_contains "$OUT" "$needle" "[$card $vars] $args"; done
        assert_eq "$setup" "$(grep -c '^snd_aloop ' "$fake/modules")" "[$card $vars] $args: snd_aloop loaded"
        assert_eq "$setup" "$(ls -A "$VEXLINK_LOOPBACK_MODULES_DIR" 2>/dev/null | wc -l)" "[$card $vars] $args: conf"
        [ "$rc" -lt 2 ] || assert_eq "" "$(cat "$fake/modprobe.log")" "[$card $vars] $args: modprobe calls"
    done <<EOF
||status|1|0|The ALSA loopback card is missing;sudo vexlink-loopback enable
|FAKE_MODPROBE=missing|status|1|0|has no snd-aloop module, so the card cannot be loaded here
Loopback||status|0|0|The ALSA loopback card is there (card 1);hw:Loopback,1,0;plughw:Loopback,1,0;arecord -D hw:Loopback,1,0 -f S16_LE -r 48000 -c 1;loaded at boot:         no
Loopback_1||status|1|0|The ALSA loopback card is missing
none|VEXLINK_LOOPBACK_APLAY=$fake/bin/aplay|status|0|0|(card 2)
|FAKE_MODPROBE=missing|enable|1|0|could not load the snd-aloop kernel module;Module snd-aloop not found;does not ship snd-aloop;Nothing was changed
|FAKE_MODPROBE=nocard|enable|1|0|no "Loopback" card appeared
|VEXLINK_LOOPBACK_MODULES_DIR=$fake/etc/modules-load.d|enable|1|0|could not write;snd-aloop was unloaded again
|VEXLINK_LOOPBACK_UID=1000|enable|4|0|needs root;sudo vexlink-loopback enable
|VEXLINK_LOOPBACK_UID=1000|disable|4|0|needs root;sudo vexlink-loopback disable
|VEXLINK_LOOPBACK_UID=1000|status|1|0|
|||2|0|Usage: vexlink-loopback
||start|2|0|unknown argument 'start'
||enable disable|2|0|
||--help|0|0|Usage: vexlink-loopback
|FAKE_PACTL_DOWN=1|--source enable|1|1|no PipeWire or PulseAudio server answered
|VEXLINK_LOOPBACK_PACTL=$fake/bin/no-such-pactl|--source enable|1|1|pactl was not found
EOF
}

test_status_on_this_machine() {
    # The real /proc and modprobe, read only. Here there is no snd-aloop;
    # elsewhere the card may well be loaded.
    run env -u VEXLINK_LOOPBACK_PROC_CARDS -u VEXLINK_LOOPBACK_PROC_MODULES \
        -u VEXLINK_LOOPBACK_MODPROBE -u VEXLINK_LOOPBACK_APLAY -u VEXLINK_LOOPBACK_PACTL \
        bash "$helper" status
    if grep -qs '^ *[0-9]* \[Loopback *\]' /proc/asound/cards; then
        assert_eq 0 "$RC" "status on this machine"
        assert_contains "$OUT" "hw:Loopback,1,0" "status on this machine"
    else
        assert_eq 1 "$RC" "status on this machine"
        assert_contains "$OUT" "The ALSA loopback card is missing" "status on this machine"
    fi
}

test_enable_with_real_modprobe_on_kernel_without_module() {
    # The real modprobe, only where its dry run shows the module is missing,
    # so that nothing can be loaded into this kernel.
    command -v modprobe >/dev/null || PATH=$PATH:/usr/sbin:/sbin
    command -v modprobe >/dev/null || skip "modprobe is not installed"
    modprobe -n snd-aloop >/dev/null 2>&1 && skip "this kernel has snd-aloop; not loading it in a test"
    VEXLINK_LOOPBACK_MODPROBE=modprobe run bash "$helper" enable
    assert_eq 1 "$RC" "enable with the real modprobe"
    assert_contains "$OUT" "could not load the snd-aloop kernel module" "enable output"
    [ ! -e "$conf" ] || fail "$conf was written although modprobe failed"
}

test_enable_and_disable_twice_each_act_once_and_a_busy_module_stays() {
    run bash "$helper" enable
    assert_eq 0 "$RC" "enable: $OUT"
    assert_contains "$OUT" "Loaded snd-aloop: the loopback card is card 1" "enable output"
    assert_contains "$OUT" "Wrote $conf" "enable output"
    assert_contains "$OUT" "hw:Loopback,1,0" "enable output (capture device)"
    assert_eq "snd-aloop" "$(grep -x 'snd-aloop' "$conf")" "$conf"
    assert_eq "644" "$(stat -c %a "$conf")" "mode of $conf"
    local first
    first=$(cat "$conf")
    run bash "$helper" enable
    assert_eq 0 "$RC" "second enable: $OUT"
    assert_contains "$OUT" "already there" "second enable output"
    assert_contains "$OUT" "already loads snd-aloop at every boot" "second enable output"
    assert_eq "$first" "$(cat "$conf")" "$conf after the second enable"
    assert_eq 1 "$(modprobe_calls snd-aloop)" "modprobe calls after two enables"
    assert_eq 1 "$(grep -c '\[Loopback' "$fake/cards")" "Loopback cards after two enables"
    assert_eq "vexlink-loopback.conf" "$(ls -A "$VEXLINK_LOOPBACK_MODULES_DIR")" "files in modules-load.d"
    run bash "$helper" disable
    assert_eq 0 "$RC" "first disable: $OUT"
    assert_contains "$OUT" "Removed $conf" "first disable output"
    assert_contains "$OUT" "Unloaded snd-aloop" "first disable output"
    [ ! -e "$conf" ] || fail "$conf is still there"
    grep -q '\[Loopback' "$fake/cards" && fail "the card is still there"
    run bash "$helper" disable
    assert_eq 0 "$RC" "second disable: $OUT"
    assert_contains "$OUT" "was not set to load at boot" "second disable output"
    assert_contains "$OUT" "snd-aloop was not loaded" "second disable output"
    assert_eq 1 "$(modprobe_calls '-r snd-aloop')" "modprobe -r calls after two disables"
    # A module in use stays loaded; only the file goes.
    FAKE_USERS=2 run bash "$helper" enable
    run bash "$helper" disable
    assert_eq 0 "$RC" "disable of a busy module: $OUT"
    assert_contains "$OUT" "snd-aloop stays loaded for now: 2 open file(s)" "disable output"
    assert_eq 1 "$(modprobe_calls '-r snd-aloop')" "modprobe -r calls after disabling a busy module"
    [ ! -e "$conf" ] || fail "$conf is still there"
}

# --- the "Phone microphone" ---------------------------------------------------

test_source_enable_creates_phone_microphone_once_and_disable_removes_it() {
    run bash "$helper" --source enable
    assert_eq 0 "$RC" "--source enable: $OUT"
    assert_contains "$OUT" "Created the \"Phone microphone\" input" "--source enable output"
    local remap
    remap=$(grep '^load-module module-remap-source ' "$fake/pactl.log")
    assert_contains "$remap" "source_name=vexlink_phone_mic" "remap-source arguments"
    assert_contains "$remap" "source_properties=\"device.description='Phone microphone'\"" "remap-source arguments"
    # The server showed no source for capture device 1, so the helper opened it.
    assert_contains "$(grep '^load-module module-alsa-source ' "$fake/pactl.log")" "device=hw:Loopback,1,0" \
        "alsa-source arguments"
    assert_contains "$remap" "master=vexlink_loopback_capture" "remap-source arguments"

    run bash "$helper" --source enable
    assert_eq 0 "$RC" "second --source enable: $OUT"
    assert_contains "$OUT" "already exists" "second --source enable output"
    assert_eq 1 "$(grep -c '^load-module module-remap-source ' "$fake/pactl.log")" "remap-source loads"
    assert_eq 2 "$(wc -l <"$fake/pa-modules")" "modules loaded in the sound server"

    run bash "$helper" disable
    assert_eq 0 "$RC" "disable: $OUT"
    assert_contains "$OUT" "Removed the \"Phone microphone\" input" "disable output"
    assert_eq 0 "$(wc -l <"$fake/pa-modules")" "modules left in the sound server"
    run bash "$helper" --source disable
    assert_eq 0 "$RC" "second disable: $OUT"
    assert_contains "$OUT" "There was no \"Phone microphone\" input to remove" "second disable output"
}

test_source_enable_uses_servers_own_capture_source() {
    # The capture device's monitor, playback device 0's input, and the input
    # on capture device 1.
    printf 'Source #%s\n\tName: %s\n\tProperties:\n\t\talsa.card_name = "Loopback"\n\t\talsa.device = "%s"\n' \
        3 alsa_output.platform-snd_aloop.0.analog-stereo.monitor 1 \
        4 alsa_input.platform-snd_aloop.0.analog-stereo 0 \
        5 alsa_input.platform-snd_aloop.1.pro-input-1 1 >"$fake/pa-sources-long"
    run bash "$helper" --source enable
    assert_eq 0 "$RC" "--source enable: $OUT"
    assert_contains "$(cat "$fake/pactl.log")" "master=alsa_input.platform-snd_aloop.1.pro-input-1" "remap master"
    assert_not_contains "$(cat "$fake/pactl.log")" "load-module module-alsa-source" "pactl calls"
}

test_source_enable_never_makes_a_second_phone_microphone() {
    # pactl lists vexlink's own PipeWire source, then another program's
    # source of the same description (in pactl's own layout).
    local row name
    for row in "vexlink|vexlink's own \"Phone microphone\" input is there" \
               "alsa_input.usb-phone|A \"Phone microphone\" input already exists (source alsa_input.usb-phone)"; do
        name=${row%%|*}
        printf 'Source #51\n\tState: SUSPENDED\n\tName: %s\n\tDescription: Phone microphone\n\tDriver: PipeWire\n' \
            "$name" >"$fake/pa-sources-long"
        : >"$fake/pactl.log"
        run bash "$helper" --source enable
        assert_eq 0 "$RC" "--source enable beside $name: $OUT"
        assert_contains "$OUT" "${row#*|}" "--source enable beside $name"
        assert_not_contains "$(cat "$fake/pactl.log")" "load-module" "pactl calls beside $name"
        run bash "$helper" status
        assert_contains "$OUT" "\"Phone microphone\":     yes (source $name)" "status beside $name"
    done
}

run_case "$@"
