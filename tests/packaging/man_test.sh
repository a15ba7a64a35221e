#!/bin/bash
# The manual pages: they render cleanly and say what a user needs.
. "$(dirname "$0")/lib.sh"

: "${VEXLINK_PACKAGING_OUT:?run through ctest}"

# Drops overstrike formatting (bold and underline as backspace sequences).
plain() {
    sed 's/.\x08//g'
}

# Renders a page the way `man` shows it at 80 columns; formatter warnings go
# to $SCRATCH/warnings.
render() {
    if command -v man >/dev/null && command -v groff >/dev/null; then
        MANWIDTH=80 man -l --warnings=all "$1" 2>"$SCRATCH/warnings" | plain
    elif command -v groff >/dev/null; then
        case $1 in
            *.gz) gzip -dc "$1" ;;
            *) cat "$1" ;;
        esac | groff -ww -man -Tutf8 -rLL=80n 2>"$SCRATCH/warnings" | plain
    else
        skip "neither man nor groff is installed (bash scripts/install-deps.sh man-db)"
    fi
}

test_pages_render_cleanly_and_match_their_compressed_copies() {
    local p text
    for p in vexlink.1 vexlink.1.gz vexlink-loopback.1 vexlink-loopback.1.gz; do
        text=$(render "$VEXLINK_PACKAGING_OUT/$p")
        [ -s "$SCRATCH/warnings" ] && fail "$p has formatter warnings:
$(cat "$SCRATCH/warnings")"
        [ -n "$text" ] || fail "$p rendered to nothing"
        # Every request must be known: an unknown macro shows up as raw text or vanishes.
        assert_not_contains "$text" "@VEXLINK" "$p (an unfilled placeholder)"
    done
    for p in vexlink.1 vexlink-loopback.1; do
        gzip -dc "$VEXLINK_PACKAGING_OUT/$p.gz" | cmp -s - "$VEXLINK_PACKAGING_OUT/$p" ||
            fail "$p.gz is stale or corrupt"
    done
}

test_vexlink_page_documents_options_statuses_and_results() {
    local text part section status
    text=$(render "$VEXLINK_PACKAGING_OUT/vexlink.1")
    # Copy-paste safety: no hyphenation, no typographic dashes in commands.
    assert_not_contains "$text" "‐" "rendered page (a hyphenated word)"
    # The options, then the lines vexlink prints, exactly as it prints them.
    for part in "-t, --transport type" "-s, --service-port port" "-m, --media-port port" \
                "-l, --play-locally" "-d, --debug" "-v, --version" "-h, --help" \
                WIFI Bluetooth "Invalid transport type:" 8125 49152 "a server address of 256 bytes or more" \
                "Connecting..." "Connected" "Disconencting..." "Aborting..." "Aborted." \
                "Error: Fail to connect to server." "Error: Cannot start mic on Android phone." \
                "Please first load ALSA snd-aloop." "Failed to set up signal." \
                "No audio data is received. Please change your firewall setting to" \
                "arecord -D hw:Loopback,1,0 -f S16_LE -r 48000 -c 1" "vexlink -t WIFI 192.168.100.1" \
                "vexlink -t Bluetooth 04:02:1F:2A:95:78"; do
        assert_contains "$text" "$part" "vexlink page"
    done
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
        printf '%s\n' "$text" | grep -qx "$section" || fail "section $section is missing"
    done
    # The exit statuses, each as a tagged paragraph of its own.
    for status in 0 1 2 255; do
        printf '%s\n' "$text" | grep -Eq "^ +$status +[A-Za-z-]" || fail "exit status $status is not described"
    done
    # FILES and ENVIRONMENT: none.
    printf '%s\n' "$text" | sed -n '/^FILES$/,/^ENVIRONMENT$/p' | grep -q '^ *None\.' ||
        fail "FILES does not say None"
    printf '%s\n' "$text" | sed -n '/^ENVIRONMENT$/,/^EXAMPLES$/p' | grep -q '^ *None\.' ||
        fail "ENVIRONMENT does not say None"
}

test_loopback_helper_page_documents_commands() {
    local text word
    text=$(render "$VEXLINK_PACKAGING_OUT/vexlink-loopback.1")
    for word in enable disable status --source /etc/modules-load.d/vexlink-loopback.conf \
                hw:Loopback,1,0 plughw:Loopback,1,0 "Phone microphone" VEXLINK_LOOPBACK_MODPROBE; do
        assert_contains "$text" "$word" "vexlink-loopback page"
    done
}

run_case "$@"
