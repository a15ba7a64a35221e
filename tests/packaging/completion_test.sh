#!/bin/bash
# Bash completion: the completion functions are called the way bash calls
# them on <TAB>, with COMP_WORDS and COMP_CWORD set.
. "$(dirname "$0")/lib.sh"

completions=$VEXLINK_SOURCE_DIR/packaging/completion

# complete_line <function> <words...>: the last word is the one being completed
# (empty string for "after a space"). Prints the candidates sorted, one a line.
complete_line() {
    local fn=$1
    shift
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
        "$fn"
        printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort
    )
}

sorted() { printf '%s\n' "$@" | LC_ALL=C sort; }

readonly all_options=(-t --transport -s --service-port -m --media-port -l --play-locally
                      -d --debug -v --version -h --help --jitter-buffer --conceal --output
                      --reconnect --no-status)

test_dash_lists_every_option() {
    assert_eq "$(sorted "${all_options[@]}")" "$(complete_line _vexlink vexlink -)" "vexlink -<TAB>"
    # Options may follow the address too.
    assert_eq "$(sorted "${all_options[@]}")" "$(complete_line _vexlink vexlink 192.168.1.2 -)" \
        "vexlink 192.168.1.2 -<TAB>"
}

test_double_dash_lists_long_options() {
    assert_eq "$(sorted --transport --service-port --media-port --play-locally --debug --version --help \
        --jitter-buffer --conceal --output --reconnect --no-status)" \
        "$(complete_line _vexlink vexlink --)" "vexlink --<TAB>"
    assert_eq "--play-locally" "$(complete_line _vexlink vexlink --pl)" "vexlink --pl<TAB>"
}

test_long_only_choices_offer_their_words() {
    assert_eq "$(sorted adaptive queue)" "$(complete_line _vexlink vexlink --jitter-buffer '')" "--jitter-buffer <TAB>"
    assert_eq "--conc=codec" "$(complete_line _vexlink vexlink --conc=C)" "--conc=C<TAB>"
    assert_eq "pipewire" "$(complete_line _vexlink vexlink --output p)" "--output p<TAB>"
}

test_transport_offers_wifi_and_bluetooth() {
    local both
    both=$(sorted WIFI Bluetooth)
    assert_eq "$both" "$(complete_line _vexlink vexlink -t '')" "vexlink -t <TAB>"
    assert_eq "$both" "$(complete_line _vexlink vexlink --transport '')" "vexlink --transport <TAB>"
    assert_eq "$both" "$(complete_line _vexlink vexlink -d -t '')" "vexlink -d -t <TAB>"
    # An abbreviated long option, as getopt_long accepts it.
    assert_eq "$both" "$(complete_line _vexlink vexlink --tr '')" "vexlink --tr <TAB>"
}

test_transport_words_match_without_regard_to_case() {
    assert_eq "Bluetooth" "$(complete_line _vexlink vexlink -t B)" "vexlink -t B<TAB>"
    assert_eq "Bluetooth" "$(complete_line _vexlink vexlink -t blue)" "vexlink -t blue<TAB>"
    assert_eq "WIFI" "$(complete_line _vexlink vexlink -t wi)" "vexlink -t wi<TAB>"
    assert_eq "" "$(complete_line _vexlink vexlink -t usb)" "vexlink -t usb<TAB>"
}

test_transport_after_equals_sign() {
    # bash splits "--transport=Bl" into three words when '=' is a word break
    # (the default) and leaves it whole otherwise; both must work.
    assert_eq "$(sorted WIFI Bluetooth)" "$(complete_line _vexlink vexlink --transport =)" \
        "vexlink --transport=<TAB> (split)"
    assert_eq "Bluetooth" "$(complete_line _vexlink vexlink --transport = Bl)" \
        "vexlink --transport=Bl<TAB> (split)"
    assert_eq "--transport=Bluetooth" "$(complete_line _vexlink vexlink --transport=Bl)" \
        "vexlink --transport=Bl<TAB> (whole)"
    assert_eq "-tBluetooth" "$(complete_line _vexlink vexlink -tBl)" "vexlink -tBl<TAB>"
}

test_ports_offer_their_defaults() {
    assert_eq "8125" "$(complete_line _vexlink vexlink -s '')" "vexlink -s <TAB>"
    assert_eq "8125" "$(complete_line _vexlink vexlink --service-port '')" "vexlink --service-port <TAB>"
    assert_eq "49152" "$(complete_line _vexlink vexlink -m '')" "vexlink -m <TAB>"
    assert_eq "49152" "$(complete_line _vexlink vexlink --media-port 4)" "vexlink --media-port 4<TAB>"
    # After an option's argument, the next word is not that option's argument.
    assert_eq "" "$(complete_line _vexlink vexlink -s 8125 '')" "vexlink -s 8125 <TAB>"
}

# A bluetoothctl that knows two paired devices.
fake_bluetoothctl() {
    mkdir -p "$SCRATCH/bin"
    cat >"$SCRATCH/bin/bluetoothctl" <<'EOF'
#!/bin/sh
[ "$1 $2" = "devices Paired" ] || exit 1
echo "Device 04:02:1F:2A:95:78 Pixel"
echo "Device A0:B1:C2:D3:E4:F5 Other phone"
EOF
    chmod +x "$SCRATCH/bin/bluetoothctl"
}

test_bluetooth_address_offers_paired_devices() {
    fake_bluetoothctl
    local out
    out=$(PATH=$SCRATCH/bin:$PATH complete_line _vexlink vexlink -t Bluetooth '')
    assert_eq "$(sorted 04:02:1F:2A:95:78 A0:B1:C2:D3:E4:F5)" "$out" "vexlink -t Bluetooth <TAB>"
    out=$(PATH=$SCRATCH/bin:$PATH complete_line _vexlink vexlink --transport=bluetooth 04)
    assert_eq "04:02:1F:2A:95:78" "$out" "vexlink --transport=bluetooth 04<TAB>"
    out=$(PATH=$SCRATCH/bin:$PATH complete_line _vexlink vexlink --transport = Bluetooth a0)
    assert_eq "A0:B1:C2:D3:E4:F5" "$out" "vexlink --transport=Bluetooth a0<TAB> (split)"
    # WiFi addresses are not Bluetooth devices.
    out=$(PATH=$SCRATCH/bin:$PATH complete_line _vexlink vexlink -t WIFI '')
    assert_eq "" "$out" "vexlink -t WIFI <TAB>"
    out=$(PATH=$SCRATCH/bin:$PATH complete_line _vexlink vexlink '')
    assert_eq "" "$out" "vexlink <TAB> (WiFi by default)"
}

test_bluetooth_address_gives_up_on_a_hanging_bluetoothctl() {
    # Without a running bluetoothd, bluetoothctl waits forever; <TAB> must not.
    mkdir -p "$SCRATCH/bin"
    printf '#!/bin/sh\nexec sleep 600\n' >"$SCRATCH/bin/bluetoothctl"
    chmod +x "$SCRATCH/bin/bluetoothctl"
    command -v timeout >/dev/null || skip "timeout is not installed"
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
    local opt args status
    for opt in $(complete_line _vexlink vexlink -); do
        case $opt in
            -h|--help) continue ;;   # ends with 255 by design
            -v|--version) args=("$opt"); expected=0 ;;
            -t|--transport) args=("$opt" WIFI); expected=1 ;;
            -s|--service-port|-m|--media-port) args=("$opt" 8125); expected=1 ;;
            --jitter-buffer|--conceal|--output)
                args=("$opt" "$(complete_line _vexlink vexlink "$opt" '' | head -n 1)"); expected=1 ;;
            *) args=("$opt"); expected=1 ;;
        esac
        # Without a server address vexlink ends with status 1 (usage) after
        # accepting the options; an option it does not know gives 255.
        "$VEXLINK_PROGRAM" "${args[@]}" >/dev/null 2>&1
        status=$?
        assert_eq "$expected" "$status" "status of vexlink ${args[*]}"
    done
}

test_loopback_helper_completes_commands_and_options() {
    assert_eq "$(sorted enable disable status)" "$(complete_line _vexlink_loopback vexlink-loopback '')" \
        "vexlink-loopback <TAB>"
    assert_eq "disable" "$(complete_line _vexlink_loopback vexlink-loopback --source d)" \
        "vexlink-loopback --source d<TAB>"
    assert_eq "$(sorted --source --help)" "$(complete_line _vexlink_loopback vexlink-loopback -)" \
        "vexlink-loopback -<TAB>"
    assert_eq "" "$(complete_line _vexlink_loopback vexlink-loopback enable '')" \
        "vexlink-loopback enable <TAB>"
}

test_found_by_bash_completion_loader_in_installed_prefix() {
    local loader=/usr/share/bash-completion/bash_completion
    [ -r "$loader" ] || skip "bash-completion is not installed (bash scripts/install-deps.sh bash-completion)"
    local prefix out
    install_to_scratch
    prefix=$PREFIX
    # bash-completion looks for completions/<command> under XDG_DATA_DIRS;
    # loading on demand proves the file is installed where it is looked for.
    out=$(XDG_DATA_DIRS=$prefix/share PATH=$prefix/bin:$PATH bash --norc --noprofile -c '
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
