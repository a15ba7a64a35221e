#!/bin/bash
# `cmake --install` into a scratch prefix: what lands where, and that the
# installed programs run from there.
. "$(dirname "$0")/lib.sh"

file_is_elf() {
    [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]
}

test_installs_what_belongs_and_nothing_else() {
    local p unexpected
    install_to_scratch
    assert_eq "$(tr ':' '\n' <<<"$VEXLINK_INSTALLED_PROGRAMS" | LC_ALL=C sort)" "$(ls "$PREFIX/bin" | LC_ALL=C sort)" \
        "programs in bin/"
    for p in "$PREFIX"/bin/*; do
        [ -x "$p" ] || fail "$p is not executable"
        # Nothing points into the build tree.
        if command -v readelf >/dev/null && file_is_elf "$p"; then
            readelf -d "$p" | grep -E 'RPATH|RUNPATH' && fail "$p has a run path"
        fi
    done
    for p in vexlink.1.gz vexlink-loopback.1.gz; do
        gzip -t "$PREFIX/share/man/man1/$p" || fail "share/man/man1/$p is missing or not valid gzip"
    done
    for p in vexlink vexlink-loopback; do
        [ -f "$PREFIX/share/bash-completion/completions/$p" ] ||
            fail "share/bash-completion/completions/$p is not installed"
    done
    cmp -s "$VEXLINK_SOURCE_DIR/README.md" "$PREFIX/share/doc/vexlink/README.md" ||
        fail "share/doc/vexlink/README.md is missing or differs from README.md"
    # No headers, static libraries or test programs.
    unexpected=$(cd "$PREFIX" && find . -type f | sed 's|^\./||' |
        grep -Ev '^(bin/[^/]+|share/man/man1/[^/]+\.1\.gz|share/bash-completion/completions/[^/]+|share/doc/vexlink/[^/]+)$')
    [ -z "$unexpected" ] || fail "unexpected files installed:
$unexpected"
}

test_installed_programs_run_from_prefix() {
    local v
    install_to_scratch
    # stdout only: without a sound card ALSA may complain on stderr while
    # vexlink looks for the loopback card. The version printed is the
    # protocol's client version, not the package's: the installed program
    # prints what the built one prints.
    for v in -v --version; do
        OUT=$("$PREFIX/bin/vexlink" $v 2>/dev/null)
        assert_eq 0 "$?" "status of vexlink $v"
        assert_eq "$("$VEXLINK_PROGRAM" -v 2>/dev/null)" "$OUT" "vexlink $v output"
        assert_contains "$OUT" "$VEXLINK_HOMEPAGE" "vexlink $v output"
    done
    run "$PREFIX/bin/vexlink-loopback" --help
    assert_eq 0 "$RC" "status of vexlink-loopback --help"
    assert_contains "$OUT" "Usage: vexlink-loopback" "vexlink-loopback --help"
}

run_case "$@"
