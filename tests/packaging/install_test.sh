#!/bin/bash
# `cmake --install` into a scratch prefix: what lands where, and that the
# installed programs run from there.
. "$(dirname "$0")/lib.sh"

expected_programs() {
    printf '%s\n' "${VEXLINK_INSTALLED_PROGRAMS//:/$'\n'}"
}

test_installs_programs_pages_completion_and_readme() {
    local prefix p
    install_to_scratch
    prefix=$PREFIX
    while read -r p; do
        [ -f "$prefix/bin/$p" ] || fail "bin/$p is not installed"
        [ -x "$prefix/bin/$p" ] || fail "bin/$p is not executable"
    done < <(expected_programs)
    for p in vexlink.1.gz vexlink-loopback.1.gz; do
        [ -f "$prefix/share/man/man1/$p" ] || fail "share/man/man1/$p is not installed"
        gzip -t "$prefix/share/man/man1/$p" || fail "share/man/man1/$p is not valid gzip"
    done
    for p in vexlink vexlink-loopback; do
        [ -f "$prefix/share/bash-completion/completions/$p" ] ||
            fail "share/bash-completion/completions/$p is not installed"
    done
    cmp -s "$VEXLINK_SOURCE_DIR/README.md" "$prefix/share/doc/vexlink/README.md" ||
        fail "share/doc/vexlink/README.md is missing or differs from README.md"
}

test_installs_nothing_unexpected() {
    local prefix unexpected
    install_to_scratch
    prefix=$PREFIX
    # Everything installed must be a program, a manual page, a completion or
    # documentation; headers, static libraries or test programs do not belong
    # in an installation.
    unexpected=$(cd "$prefix" && find . -type f | sed 's|^\./||' |
        grep -Ev '^(bin/[^/]+|share/man/man1/[^/]+\.1\.gz|share/bash-completion/completions/[^/]+|share/doc/vexlink/[^/]+)$')
    [ -z "$unexpected" ] || fail "unexpected files installed:
$unexpected"
    local p
    for p in "$prefix"/bin/*; do
        case :$VEXLINK_INSTALLED_PROGRAMS: in
            *:"$(basename "$p")":*) ;;
            *) fail "unexpected program installed: bin/$(basename "$p")" ;;
        esac
    done
}

test_installed_vexlink_prints_version() {
    local prefix out rc
    install_to_scratch
    prefix=$PREFIX
    # stdout only: without a sound card ALSA may complain on stderr while
    # vexlink looks for the loopback card.
    # The version printed is the protocol's client version, not the
    # package's: the installed program prints what the built one prints.
    out=$("$prefix/bin/vexlink" -v 2>/dev/null)
    rc=$?
    assert_eq 0 "$rc" "status of vexlink -v"
    assert_eq "$("$VEXLINK_PROGRAM" -v 2>/dev/null)" "$out" "vexlink -v output"
    assert_contains "$out" "$VEXLINK_HOMEPAGE" "vexlink -v output"
    out=$("$prefix/bin/vexlink" --version 2>/dev/null)
    rc=$?
    assert_eq 0 "$rc" "status of vexlink --version"
    assert_contains "$out" "$VEXLINK_HOMEPAGE" "vexlink --version output"
}

test_installed_programs_do_not_point_into_the_build_tree() {
    command -v readelf >/dev/null || skip "readelf is not installed"
    local prefix p dyn
    install_to_scratch
    prefix=$PREFIX
    while read -r p; do
        file_is_elf "$prefix/bin/$p" || continue
        dyn=$(readelf -d "$prefix/bin/$p")
        assert_not_contains "$dyn" "RPATH" "bin/$p dynamic section"
        assert_not_contains "$dyn" "RUNPATH" "bin/$p dynamic section"
    done < <(expected_programs)
}

file_is_elf() {
    [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]
}

test_installed_loopback_helper_runs_from_prefix() {
    local prefix
    install_to_scratch
    prefix=$PREFIX
    printf ' 0 [Dummy          ]: Dummy - Dummy\n' >"$SCRATCH/cards"
    OUT=$(VEXLINK_LOOPBACK_PROC_CARDS=$SCRATCH/cards VEXLINK_LOOPBACK_MODPROBE=false \
        "$prefix/bin/vexlink-loopback" status 2>&1)
    RC=$?
    assert_eq 1 "$RC" "status of vexlink-loopback status without the card"
    assert_contains "$OUT" "The ALSA loopback card is missing" "vexlink-loopback status output"
    run "$prefix/bin/vexlink-loopback" --help
    assert_eq 0 "$RC" "status of vexlink-loopback --help"
    assert_contains "$OUT" "Usage: vexlink-loopback" "vexlink-loopback --help"
}

run_case "$@"
