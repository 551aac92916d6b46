#!/usr/bin/env bash
# The install, the manual page and the Debian package, end to end:
#   1. cmake --install into a temporary prefix: the program, its gzipped
#      manual page, README.md and the files it links, the copyright file and
#      the changelog land where they should, and bin/ holds kelvane alone;
#   2. the manual page renders without a warning from groff (and from mandoc
#      and man, where they are installed);
#   3. the help text that the manual quotes is the one the program writes;
#   4. cpack builds the .deb, whose control data and contents are checked, and
#      the program unpacked from it runs; lintian, when it is installed, finds
#      no error and no warning in it. Nothing is installed on the machine.
#
# Usage: package_test.sh KELVANE BUILD_DIR SOURCE_DIR
# Environment: KELVANE_VERSION, the project version; CMAKE and CPACK, the
# cmake and cpack to use (default: those on PATH). Exit status 77 (a skip)
# when a tool it needs is missing and cannot be installed; on CI (CI=true)
# that is a failure instead.
set -euo pipefail

kelvane=$1 build=$2 source=$3
version=${KELVANE_VERSION:?KELVANE_VERSION is not set}
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}
page_source=$source/docs/kelvane.1

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
step() { printf -- '--- %s\n' "$*"; }

# need COMMAND DEBIAN-PACKAGE: installs the package when the command is
# missing and this runs as root with apt-get; skips when that cannot be done.
need() {
    command -v "$1" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        printf 'Installing %s for %s\n' "$2" "$1"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$2" \
            >"$work/apt.log" 2>&1 || cat "$work/apt.log"
        command -v "$1" >/dev/null 2>&1 && return 0
    fi
    [ "${CI:-}" != true ] || fail "$1 is missing (Debian package $2)"
    printf 'SKIP: %s is missing (Debian package %s) and could not be installed\n' "$1" "$2"
    exit 77
}

# The seconds left of the test's 150, for `timeout`, which says 124 when they run out.
left() { echo $((SECONDS < 149 ? 150 - SECONDS : 1)); }

# run LOG COMMAND...: runs quietly, shows the log when the command fails.
run() {
    local log=$1
    shift
    local status=0
    timeout "$(left)" "$@" >"$log" 2>&1 || status=$?
    [ "$status" -ne 124 ] || fail "$* ran past the test's 150 s"
    [ "$status" -eq 0 ] || { cat "$log" >&2; fail "$* (status $status)"; }
}

need "$cmake" cmake
need "$cpack" cmake
need groff groff-base
need dpkg-deb dpkg

# The banner that every run writes first, and the help text after it.
# (Read back through $(...), which drops the empty line at its end.)
banner=$'\n'"kelvane $version - GEOS print jobs from DOSEMU to PDF"$'\n---------------------------------'

# check_help KELVANE: runs it without an argument; the banner carries the
# project version, the help text is the one the manual quotes, status 0.
check_help() {
    local status=0
    timeout 20 "$1" >"$work/out" 2>"$work/err" || status=$?
    [ "$status" -eq 0 ] || fail "$1 without an argument: status $status"
    [ ! -s "$work/err" ] || fail "$1 wrote to standard error: $(cat "$work/err")"
    [ "$(head -n 4 "$work/out")" = "$banner" ] || fail "$1: banner is not for version $version: $(head -n 4 "$work/out")"
    tail -n +5 "$work/out" >"$work/help"
    diff -u "$work/help-in-manual" "$work/help" >&2 \
        || fail "$1: the help text differs from the one in docs/kelvane.1 (- manual, + program)"
}

step "help text quoted in the manual"
# The lines between the two marker comments, less the macros that place
# them, set by groff as a reader sees them; troff pads its page with empty
# lines, which are dropped.
sed -n '/^\.\\" help text begins/,/^\.\\" help text ends/p' "$page_source" >"$work/help.roff"
[ -s "$work/help.roff" ] || fail "no help text between the marker comments in $page_source"
{
    echo .nf
    grep -v -e '^\.\\"' -e '^\.RS' -e '^\.RE' -e '^\.EX' -e '^\.EE' "$work/help.roff"
} | groff -ww -Tascii -P-cbou >"$work/help-set"
sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$work/help-set" >"$work/help-in-manual"
[ "$(wc -l <"$work/help-in-manual")" -ge 5 ] || fail "the help text in the manual is too short: $(cat "$work/help-in-manual")"
check_help "$kelvane"

# check_docs PREFIX: the manual page is docs/kelvane.1 gzipped, the newest
# changelog entry is for this version, and every relative link in the
# installed Markdown files names a file installed beside it.
check_docs() {
    local doc=$1/share/doc/kelvane page target
    gzip -dc "$1/share/man/man1/kelvane.1.gz" | cmp - "$page_source" \
        || fail "share/man/man1/kelvane.1.gz is not docs/kelvane.1 gzipped"
    cmp "$doc/README.md" "$source/README.md" || fail "share/doc/kelvane/README.md is not README.md"
    [ -s "$doc/copyright" ] || fail "share/doc/kelvane/copyright is not installed"
    # Read whole, not piped into grep -q or head: under pipefail, a writer cut
    # short by their early exit would fail the check now and then.
    [[ "$(gzip -dc "$doc/changelog.gz")" == "kelvane ($version) "* ]] \
        || fail "the newest entry in docs/changelog is not for version $version"
    for page in $(cd "$doc" && find . -name '*.md'); do
        grep -o '](\([^)]*\))' "$doc/$page" | sed 's/^](//; s/)$//' >"$work/links" || true
        while read -r target; do
            case $target in *:*|'#'*) continue ;; esac
            [ -e "$(dirname "$doc/$page")/${target%%#*}" ] || fail "$page links $target, which is not installed"
        done <"$work/links"
    done
}

step "cmake --install"
prefix=$work/prefix
run "$work/install.log" "$cmake" --install "$build" --prefix "$prefix"
[ -x "$prefix/bin/kelvane" ] || fail "bin/kelvane is not installed"
check_docs "$prefix"
# The stand-ins for the emulator and the viewer must never shadow the real ones.
installed=$(shopt -s dotglob nullglob && cd "$prefix/bin" && echo *)
[ "$installed" = kelvane ] || fail "bin/ holds more than kelvane: $installed"
check_help "$prefix/bin/kelvane"

step "manual page lint"
groff -man -ww -z "$page_source" >"$work/lint" 2>&1 || true
[ ! -s "$work/lint" ] || fail "groff -man -ww -z: $(cat "$work/lint")"
if command -v mandoc >/dev/null 2>&1; then
    mandoc -T lint "$page_source" >"$work/lint" 2>&1 || true
    [ ! -s "$work/lint" ] || fail "mandoc -T lint: $(cat "$work/lint")"
fi
if command -v man >/dev/null 2>&1; then
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -P cat -l "$page_source" 2>"$work/lint" >"$work/page.txt" || fail "man -l failed: $(cat "$work/lint")"
    [ ! -s "$work/lint" ] || fail "man --warnings -l: $(cat "$work/lint")"
    grep -q '^NAME' "$work/page.txt" || fail "man -l rendered no NAME section"
fi

step "cpack -G DEB"
# Built under the temporary directory, so the build tree gets no package.
(cd "$work" && run "$work/cpack.log" "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package")
arch=$(dpkg --print-architecture)
deb=$work/package/kelvane_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb"), but: $(cd "$work/package" && echo *.deb)"

dpkg-deb -I "$deb" >"$work/info" || fail "dpkg-deb -I"
cat "$work/info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kelvane ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[[ "$(field Description)" == *xreader* ]] || fail "the description does not name the viewer xreader"
[ "$(field Suggests)" = "qpdfview | mupdf, dosbox" ] || fail "Suggests: $(field Suggests)"
# The package names in Depends, without their versions.
field Depends | tr ',' '\n' | sed 's/(.*//; s/^ *//; s/ *$//' | sort >"$work/depends"
for package in psutils ghostscript libc6; do
    grep -qx "$package" "$work/depends" || fail "Depends lacks $package: $(field Depends)"
done

dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
cat "$work/contents"
for path in ./usr/bin/kelvane ./usr/share/man/man1/kelvane.1.gz ./usr/share/doc/kelvane/README.md \
            ./usr/share/doc/kelvane/copyright ./usr/share/doc/kelvane/changelog.gz \
            ./usr/share/doc/kelvane/examples/dosemu ./usr/share/doc/kelvane/examples/xreader; do
    grep -q " $path\$" "$work/contents" || fail "the package lacks $path"
done
# Nothing in /usr/bin but kelvane, and every file owned by root.
if grep -E ' \./usr/bin/.' "$work/contents" | grep -v ' \./usr/bin/kelvane$'; then
    fail "the package puts more than kelvane into /usr/bin"
fi
if awk '$2 != "root/root"' "$work/contents" | grep .; then
    fail "files in the package not owned by root"
fi

step "the packaged program"
dpkg-deb -x "$deb" "$work/unpacked" || fail "dpkg-deb -x"
check_docs "$work/unpacked/usr"
check_help "$work/unpacked/usr/bin/kelvane"

step "lintian"
if command -v lintian >/dev/null 2>&1; then
    status=0
    timeout "$(left)" lintian --fail-on error,warning --display-info "$deb" >"$work/lintian" 2>&1 || status=$?
    cat "$work/lintian"
    [ "$status" -ne 124 ] || fail "lintian ran past the test's 150 s"
    [ "$status" -eq 0 ] || fail "lintian found errors or warnings in the package (status $status)"
else
    echo "lintian is not installed: not run"
fi

echo "package test passed: $(basename "$deb")"
