#!/usr/bin/env bash
# Builds the Debian package and checks it the way a user would meet it:
# its control fields and dependencies, its contents, and the programs, manual
# pages and completions unpacked into a scratch root (this machine's own
# package database and /usr are never touched).
#
#   scripts/check-package.sh              configure and build in build/package
#   scripts/check-package.sh BUILD_DIR    package an existing (non-sanitizer) build
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh dpkg-dev file man-db groff-base bash-completion

build=${1:-build/package}
case $build in /*) ;; *) build=$root/$build ;; esac

step() { printf '=== package: %s\n' "$*"; }
die() { printf 'check-package: FAILED: %s\n' "$*" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
    step "configure $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVEXLINK_BUILD_TESTS=OFF -DVEXLINK_BUILD_BENCH=OFF >/dev/null
fi
# A package of a sanitizer build would depend on the sanitizer runtimes and
# run slowly; it is never what users should get.
sanitize=$(sed -n 's/^VEXLINK_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -z "$sanitize" ] || die "$build is a sanitizer build ($sanitize); package a plain one"

step "build"
cmake --build "$build" -j "${VEXLINK_JOBS:-2}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vexlink-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# make_deb <output dir> [env...]: runs cpack, prints the .deb's path.
make_deb() {
    local out=$1
    shift
    (cd "$build" && env "$@" cpack -G DEB -B "$out" >"$out.log" 2>&1) ||
        { cat "$out.log" >&2; die "cpack failed"; }
    local debs=("$out"/*.deb)
    [ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || die "cpack made no single .deb in $out"
    printf '%s' "${debs[0]}"
}

step "cpack"
mkdir -p "$scratch/deb"
deb=$(make_deb "$scratch/deb")
echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# --- control fields -----------------------------------------------------------
step "control fields"
field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ "$(field Package)" = vexlink ] || die "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || die "Version is '$(field Version)', the project's is $version"
[ "$(field Section)" = sound ] || die "Section is '$(field Section)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || die "Architecture is '$(field Architecture)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || die "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ -n "$(field Homepage)" ] || die "no Homepage"
description=$(field Description)
[ "$(printf '%s\n' "$description" | wc -l)" -ge 2 ] || die "Description has no long description"
long_line=$(printf '%s\n' "$description" | awk 'length($0) > 79' | head -n 1)
[ -z "$long_line" ] || die "Description line wider than 79 columns: $long_line"
dpkg-deb -f "$deb"

# check_depends <Depends value>: the four libraries vexlink links, each a
# package installed here (so the name is right for this release), and no
# development packages.
check_depends() {
    local depends=$1 lib name
    for lib in libasound2 libopus0 libbluetooth3 libpipewire-0.3-0; do
        [[ ", $depends" =~ ,\ ($lib[a-z0-9]*)(\ \(|,|$) ]] || die "Depends lacks $lib: $depends"
        name=${BASH_REMATCH[1]}
        dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" ||
            die "Depends names $name, which is not an installed package here"
    done
    [[ $depends != *-dev* ]] || die "Depends names a development package: $depends"
}
depends=$(field Depends)
check_depends "$depends"
echo "Depends: $depends"

# --- contents ---------------------------------------------------------------
step "contents"
dpkg-deb -c "$deb" >"$scratch/contents"
# Every file, and only those, with its mode and owner.
expect_file() {  # mode path
    grep -Eq "^$1 root/root +[0-9]+ [0-9-]+ [0-9:]+ \./$2\$" "$scratch/contents" ||
        die "the package lacks ./$2 ($1 root/root)"
}
for p in vexlink vexlink-phone-sim vexlink-loopback; do expect_file -rwxr-xr-x "usr/bin/$p"; done
for p in vexlink.1.gz vexlink-loopback.1.gz; do expect_file -rw-r--r-- "usr/share/man/man1/$p"; done
for p in vexlink vexlink-loopback; do expect_file -rw-r--r-- "usr/share/bash-completion/completions/$p"; done
expect_file -rw-r--r-- usr/share/doc/vexlink/README.md
unexpected=$(awk '$1 !~ /^d/ { print $6 }' "$scratch/contents" |
    grep -Ev '^\./usr/(bin/vexlink(-phone-sim|-loopback)?|share/man/man1/vexlink(-loopback)?\.1\.gz|share/bash-completion/completions/vexlink(-loopback)?|share/doc/vexlink/README\.md)$' || true)
[ -z "$unexpected" ] || die "unexpected files in the package:
$unexpected"
cat "$scratch/contents"

# --- unpacked into a scratch root -------------------------------------------
step "unpack into a scratch root"
sysroot=$scratch/root
dpkg -x "$deb" "$sysroot"
# dpkg itself, on a private database: proves the package is well-formed for
# installation (without resolving dependencies against that empty database).
mkdir -p "$scratch/admin/updates" "$scratch/admin/info" "$scratch/dpkgroot"
: >"$scratch/admin/status"
dpkg --root="$scratch/dpkgroot" --admindir="$scratch/admin" --force-depends --force-not-root \
     --log=/dev/null --no-triggers -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log" >&2; die "dpkg -i into a scratch root failed"; }
grep -q '^Status: install ok installed' "$scratch/admin/status" || die "dpkg did not record the package"
dpkg --root="$scratch/dpkgroot" --admindir="$scratch/admin" -L vexlink | grep -qx /usr/bin/vexlink ||
    die "dpkg -L does not list /usr/bin/vexlink"

for p in vexlink vexlink-phone-sim; do
    kind=$(file -b "$sysroot/usr/bin/$p")
    [[ $kind == ELF* && $kind == *", stripped"* ]] || die "usr/bin/$p is not a stripped ELF program: $kind"
    if readelf -d "$sysroot/usr/bin/$p" | grep -Eq 'R(UN)?PATH'; then die "usr/bin/$p carries an RPATH"; fi
    # Every library it needs resolves from the system, not from the build tree.
    libs=$(env -u LD_LIBRARY_PATH ldd "$sysroot/usr/bin/$p")
    if grep -q 'not found' <<<"$libs"; then die "usr/bin/$p needs a library that is not found:
$libs"; fi
    if grep -q "$root" <<<"$libs"; then die "usr/bin/$p loads a library from the source tree"; fi
done

step "run the unpacked vexlink -v"
set +e
out=$(env -u LD_LIBRARY_PATH "$sysroot/usr/bin/vexlink" -v 2>/dev/null)
rc=$?
set -e
expected="Vexmor Client
v${version%.*}
https://vexlink.example.org"
[ "$rc" -eq 0 ] || die "vexlink -v ended with status $rc"
[ "$out" = "$expected" ] || die "vexlink -v printed:
$out
instead of:
$expected"
printf '%s\n' "$out"

step "manual pages"
for p in vexlink vexlink-loopback; do
    warnings=$(MANWIDTH=80 man -l --warnings=all "$sysroot/usr/share/man/man1/$p.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || die "$p.1 renders with warnings:
$warnings"
    MANWIDTH=80 man -l "$sysroot/usr/share/man/man1/$p.1.gz" 2>/dev/null | grep -q "EXIT STATUS" ||
        die "$p.1 does not render"
done
echo "vexlink.1, vexlink-loopback.1: no warnings"

step "bash completion through bash-completion's loader"
got=$(XDG_DATA_DIRS=$sysroot/usr/share PATH=$sysroot/usr/bin:$PATH bash --norc --noprofile -c '
    . /usr/share/bash-completion/bash_completion
    __load_completion vexlink || exit 3
    COMP_WORDS=(vexlink -t ""); COMP_CWORD=2; COMPREPLY=(); _vexlink
    printf "%s " "${COMPREPLY[@]}"
    COMP_WORDS=(vexlink -); COMP_CWORD=1; COMPREPLY=(); _vexlink
    printf "%s " "${COMPREPLY[@]}"') || die "the completion was not found by bash-completion"
for w in WIFI Bluetooth --transport --service-port --media-port --play-locally --debug --version --help; do
    [[ " $got " == *" $w "* ]] || die "completion does not offer $w: $got"
done
echo "offers: $got"

step "vexlink-loopback from the package"
printf ' 0 [Dummy          ]: Dummy - Dummy\n' >"$scratch/cards"
set +e
out=$(VEXLINK_LOOPBACK_PROC_CARDS=$scratch/cards VEXLINK_LOOPBACK_MODPROBE=false \
      "$sysroot/usr/bin/vexlink-loopback" status 2>&1)
rc=$?
set -e
[ "$rc" -eq 1 ] && [[ $out == *"loopback card is missing"* ]] ||
    die "vexlink-loopback status without the card: status $rc, output: $out"
echo "status without the card: exit 1, says it is missing"

step "Depends without dpkg-shlibdeps"
mkdir -p "$scratch/deb-explicit"
deb2=$(make_deb "$scratch/deb-explicit" VEXLINK_PACKAGE_NO_SHLIBDEPS=1)
check_depends "$(dpkg-deb -f "$deb2" Depends)"
echo "Depends: $(dpkg-deb -f "$deb2" Depends)"

mkdir -p "$build/packages"
cp "$deb" "$build/packages/"
step "passed: $build/packages/$(basename "$deb")"
