#!/bin/bash
# Bash completion: the completion functions are called the way bash calls
# them on <TAB>, with COMP_WORDS and COMP_CWORD set.
. "$(dirname "$0")/lib.sh"

completions=$VEXLINK_SOURCE_DIR/packaging/completion

# complete_line <words...>: the last word is the one being completed (empty
# string for "after a space"). Prints the candidates sorted, one a line.
complete_line() {
    (
        # shellcheck source=/dev/null
        . "$completions/vexlink"
        # shellcheck source=/dev/null
        . "$completions/vexlink-loopback"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        if [ "$1" = vexlink-loopback ]; then _vexlink_loopback; else _vexlink; fi
        printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort
    )
}

sorted() { printf '%s\n' "$@" | sed '/^$/d' | LC_ALL=C sort; }

readonly long_options=(--transport --service-port --media-port --play-locally --debug --version --help
                       --jitter-buffer --conceal --output --reconnect --no-status)

# The line typed (^: an empty word, the one after a space) | the candidates.
# A bluetoothctl that knows two paired devices is on the PATH throughout.
test_candidates() {
    mkdir -p "$SCRATCH/bin"
    printf '#!/bin/sh\n[ "$1 $2" = "devices Paired" ] || exit 1\necho "Device 04:02:1F:2A:95:78 Pixel"\necho "Device A0:B1:C2:D3:E4:F5 Other phone"\n' \
        >"$SCRATCH/bin/bluetoothctl"
    chmod +x "$SCRATCH/bin/bluetoothctl"
    local line expected words
    while IFS='|' read -r line expected; do
        read -ra words <<<"$line"
        words=("${words[@]/#^/}")
        # shellcheck disable=SC2086
        assert_eq "$(sorted $expected)" "$(PATH=$SCRATCH/bin:$PATH complete_line "${words[@]}")" "$line<TAB>"
    done <<EOF
vexlink -|-t -s -m -l -d -v -h ${long_options[*]}
vexlink 192.168.1.2 -|-t -s -m -l -d -v -h ${long_options[*]}
vexlink --|${long_options[*]}
vexlink --pl|--play-locally
vexlink --jitter-buffer ^|adaptive queue
vexlink --conc=C|--conc=codec
vexlink --output p|pipewire
vexlink -t ^|WIFI Bluetooth
vexlink --transport ^|WIFI Bluetooth
vexlink -d -t ^|WIFI Bluetooth
vexlink --tr ^|WIFI Bluetooth
vexlink -t B|Bluetooth
vexlink -t blue|Bluetooth
vexlink -t wi|WIFI
vexlink -t usb|
vexlink --transport =|WIFI Bluetooth
vexlink --transport = Bl|Bluetooth
vexlink --transport=Bl|--transport=Bluetooth
vexlink -tBl|-tBluetooth
vexlink -s ^|8125
vexlink --service-port ^|8125
vexlink -m ^|49152
vexlink --media-port 4|49152
vexlink -s 8125 ^|
vexlink -t Bluetooth ^|04:02:1F:2A:95:78 A0:B1:C2:D3:E4:F5
vexlink --transport=bluetooth 04|04:02:1F:2A:95:78
vexlink --transport = Bluetooth a0|A0:B1:C2:D3:E4:F5
vexlink -t WIFI ^|
vexlink ^|
vexlink-loopback ^|enable disable status
vexlink-loopback --source d|disable
vexlink-loopback -|--source --help
vexlink-loopback enable ^|
EOF
}

test_bluetooth_address_gives_up_on_a_hanging_bluetoothctl() {
    # Without a running bluetoothd, bluetoothctl waits forever; <TAB> must not.
    mkdir -p "$SCRATCH/bin"
    printf '#!/bin/sh\nexec sleep 600\n' >"$SCRATCH/bin/bluetoothctl"
    chmod +x "$SCRATCH/bin/bluetoothctl"
    local out
    out=$(PATH=$SCRATCH/bin:$PATH timeout 60 bash -c '
        . "$1/vexlink"
        COMP_WORDS=(vexlink -t Bluetooth ""); COMP_CWORD=3; COMPREPLY=()
        _vexlink
        echo "done ${#COMPREPLY[@]}"' _ "$completions")
    assert_eq "done 0" "$out" "vexlink -t Bluetooth <TAB> with a hanging bluetoothctl"
}

test_every_offered_option_is_accepted_by_vexlink() {
    : "${VEXLINK_PROGRAM:?run through ctest}"
    [ -x "$VEXLINK_PROGRAM" ] || fail "$VEXLINK_PROGRAM is not built"
    local opt args
    for opt in $(complete_line vexlink -); do
        case $opt in
            -h|--help) continue ;;   # ends with 255 by design
            -v|--version) args=("$opt"); expected=0 ;;
            -t|--transport) args=("$opt" WIFI); expected=1 ;;
            -s|--service-port|-m|--media-port) args=("$opt" 8125); expected=1 ;;
            --jitter-buffer|--conceal|--output)
                args=("$opt" "$(complete_line vexlink "$opt" '' | head -n 1)"); expected=1 ;;
            *) args=("$opt"); expected=1 ;;
        esac
        # Without a server address vexlink ends with status 1 (usage) after
        # accepting the options; an option it does not know gives 255.
        "$VEXLINK_PROGRAM" "${args[@]}" >/dev/null 2>&1
        assert_eq "$expected" "$?" "status of vexlink ${args[*]}"
    done
}

test_found_by_bash_completion_loader_in_installed_prefix() {
    local loader=/usr/share/bash-completion/bash_completion
    [ -r "$loader" ] || skip "bash-completion is not installed (bash scripts/install-deps.sh bash-completion)"
    local out
    install_to_scratch
    # bash-completion looks for completions/<command> under XDG_DATA_DIRS;
    # loading on demand proves the file is installed where it is looked for.
    out=$(XDG_DATA_DIRS=$PREFIX/share PATH=$PREFIX/bin:$PATH bash --norc --noprofile -c '
        . '"$loader"'
        __load_completion vexlink || exit 3
        __load_completion vexlink-loopback || exit 4
        complete -p vexlink vexlink-loopback
        COMP_WORDS=(vexlink -t ""); COMP_CWORD=2; COMPREPLY=()
        _vexlink
        printf "%s\n" "${COMPREPLY[@]}"' 2>&1)
    assert_contains "$out" "complete -F _vexlink vexlink" "loaded completion"
    assert_contains "$out" "complete -F _vexlink_loopback vexlink-loopback" "loaded completion"
    assert_contains "$out" "Bluetooth" "completion through the loader"
}

run_case "$@"
