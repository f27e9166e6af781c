#!/usr/bin/env bash
# Builds the Debian package and checks what a user installing it would get:
# the program, its desktop entry and its manual page at their places, and the
# packaged binary reading the bundled sample.
#
# Usage: .ci/package-check.sh [BUILD_DIR]   (default: build-package)
# Needs: cmake, a C++20 compiler, libplist-dev, dpkg-dev (dpkg-shlibdeps), gzip.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}
expected='[1, 2, 3, 4, 5, 6, 42, 42, 42, 42, 42, 42]'

failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLANEMARK_TESTS=OFF
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/lanemark_*.deb
(cd "$build" && cpack -G DEB)

shopt -s nullglob
debs=("$build"/lanemark_*.deb)
if [ "${#debs[@]}" -ne 1 ]; then
    echo "FAILED: expected one lanemark_*.deb in $build, found ${#debs[@]}" >&2
    exit 1
fi
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --info "$deb"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

check "package is named lanemark" test "$(dpkg-deb -f "$deb" Package)" = lanemark
check "maintainer is Lanemark developers" test "$(dpkg-deb -f "$deb" Maintainer)" = "Lanemark developers"
# The shared-library dependencies are computed: every library the binary
# needs must come from a package that Depends names.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
depended=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
owner() {  # the package that installed a library file, trying the merged /usr path too
    local found
    for path in "$1" "/usr$1" "${1#/usr}"; do
        found=$(dpkg -S "$path" 2>/dev/null | head -n1 | cut -d: -f1) && [ -n "$found" ] && break
    done
    echo "${found:-}"
}
needed=$(readelf -d "$build/lanemark" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
check "the binary needs shared libraries" test -n "$needed"
for library in $needed; do
    path=$(ldd "$build/lanemark" | awk -v lib="$library" '$1 == lib {print $3}')
    package=$(owner "$path")
    check "Depends covers $library (from ${package:-unknown})" \
        grep -qxF "${package:-unknown}" <<<"$depended"
done

check "usr/bin/lanemark is an executable" test -x "$unpacked/usr/bin/lanemark"
desktop=$unpacked/usr/share/applications/lanemark.desktop
check "usr/share/applications/lanemark.desktop exists" test -f "$desktop"
check "desktop entry starts the window without a file" grep -qx 'Exec=lanemark' "$desktop"
check "desktop entry is named Lanemark" grep -qx 'Name=Lanemark' "$desktop"
check "desktop entry categories" grep -qx 'Categories=AudioVideo;Audio;' "$desktop"
if command -v desktop-file-validate >/dev/null; then
    check "desktop entry validates" desktop-file-validate "$desktop"
fi

completion=$unpacked/usr/share/bash-completion/completions/lanemark
check "usr/share/bash-completion/completions/lanemark exists" test -f "$completion"
check "bash completion offers the verbs" bash -c 'source "$0" && COMP_WORDS=(lanemark --ap) COMP_CWORD=1 &&
    _lanemark && [ "${COMPREPLY[*]}" = "--apply-preset --apply-labels" ]' "$completion"

manual=
for candidate in "$unpacked/usr/share/man/man1/lanemark.1.gz" "$unpacked/usr/share/man/man1/lanemark.1"; do
    [ -f "$candidate" ] && manual=$candidate
done
check "usr/share/man/man1/lanemark.1(.gz) exists" test -n "$manual"
if [ -n "$manual" ]; then
    page=$(if [[ $manual == *.gz ]]; then gzip -dc "$manual"; else cat "$manual"; fi)
    for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' FILES RESTORING; do
        check "manual page has section $section" grep -q "^\.SH \"\?$section\"\?\$" <<<"$page"
    done
    check "manual page version was filled in" bash -c '! grep -q @PROJECT_VERSION@ <<<"$0"' "$page"
    if command -v groff >/dev/null; then
        check "manual page renders without warnings" \
            bash -c 'out=$(groff -t -man -ww -z 2>&1 <<<"$0") && [ -z "$out" ]' "$page"
    fi
fi

output=$("$unpacked/usr/bin/lanemark" --inspect "$root/examples/twelve-tracks.mov" 2>&1) || true
check "packaged binary inspects the sample (got: $output)" test "$output" = "$expected"

if [ "$failures" -ne 0 ]; then
    echo "package check: $failures failed" >&2
    exit 1
fi
echo "package check: all passed"
