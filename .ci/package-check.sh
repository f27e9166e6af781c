#!/usr/bin/env bash
# Builds the Debian package and checks what a user installing it would get:
# the program and its window module, its desktop entry and icon, its manual
# page at their places, the packaged binary reading the bundled sample, and
# lintian and mandoc finding nothing to warn about.
#
# Usage: .ci/package-check.sh [BUILD_DIR]   (default: build-package)
# Needs: cmake, a C++20 compiler, libssl-dev, Qt 6, dpkg-dev (dpkg-shlibdeps),
# gzip, lintian, mandoc.
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
check "maintainer is Lanemark developers with an address" \
    grep -qE '^Lanemark developers <[^ @]+@[^ @]+>$' <<<"$(dpkg-deb -f "$deb" Maintainer)"
# Errors and warnings fail; the rest is shown for the record.
check "lintian reports no error or warning" lintian --fail-on error,warning --display-level '>=info' "$deb"
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
for binary in "$build/lanemark" "$build/lanemark-window.so"; do
    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    check "$(basename "$binary") needs shared libraries" test -n "$needed"
    for library in $needed; do
        # The dynamic loader is listed by its path alone, without "=>".
        path=$(ldd "$binary" | awk -v lib="$library" '$1 == lib {print $3}
            $1 ~ /^\// && substr($1, length($1) - length(lib)) == "/" lib {print $1}')
        package=$(owner "$path")
        check "Depends covers $library (from ${package:-unknown})" \
            grep -qxF "${package:-unknown}" <<<"$depended"
    done
    # lintian cannot tell fortified code that needs no checked copies from unfortified code.
    check "$(basename "$binary") calls the checked C library" grep -qE ' U __[a-z0-9_]+_(chk|2)@' \
        <<<"$(nm -D "$binary")"
    check "$(basename "$binary") binds all symbols at load" grep -q BIND_NOW <<<"$(readelf -d "$binary")"
done

check "usr/bin/lanemark is an executable" test -x "$unpacked/usr/bin/lanemark"
modules=("$unpacked"/usr/lib/*/lanemark/lanemark-window.so)
check "usr/lib/ARCH/lanemark/lanemark-window.so exists" test -f "${modules[0]:-}"
# The packaged program finds its window module where it was installed: with no
# display, it is the module that says so.
output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/lanemark" 2>&1) || true
check "packaged binary loads its window module (got: $output)" grep -q '^No display is available' <<<"$output"
desktop=$unpacked/usr/share/applications/lanemark.desktop
check "usr/share/applications/lanemark.desktop exists" test -f "$desktop"
check "desktop entry opens the file it is given" grep -qx 'Exec=lanemark %f' "$desktop"
check "desktop entry offers to open QuickTime movies" grep -qx 'MimeType=video/quicktime;' "$desktop"
check "desktop entry names the icon" grep -qx 'Icon=lanemark' "$desktop"
check "the icon is in the hicolor theme" test -f "$unpacked/usr/share/icons/hicolor/scalable/apps/lanemark.svg"
check "copyright file is machine-readable" grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$unpacked/usr/share/doc/lanemark/copyright"
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
    # The release's date: the last commit's in a clone, else at least a date.
    released=$(TZ=UTC0 git -C "$root" log -1 --format=%cd --date=format-local:%Y-%m-%d 2>/dev/null || echo '[0-9-]*')
    check "manual page carries the release date" grep -q "^\.TH LANEMARK 1 \"$released\"" <<<"$page"
    check "mandoc finds nothing to warn about" bash -c 'out=$(mandoc -Tlint -Wwarning 2>&1 <<<"$0"); [ -z "$out" ]' "$page"
    overstrike=$'s/.\b//g'
    check "manual page fits 80 columns (mandoc)" bash -c '! mandoc -Tascii -Owidth=80 <<<"$0" | sed "$1" | grep -q ".\{81\}"' \
        "$page" "$overstrike"
    if command -v groff >/dev/null; then
        check "manual page renders without warnings" \
            bash -c 'out=$(groff -t -man -ww -z 2>&1 <<<"$0") && [ -z "$out" ]' "$page"
        check "manual page fits 80 columns (groff)" \
            bash -c '! groff -t -man -Tascii -rLL=80n <<<"$0" 2>/dev/null | sed "$1" | grep -q ".\{81\}"' "$page" "$overstrike"
        check "manual page hyphenates nothing" bash -c '! groff -t -man -Tutf8 -rLL=80n <<<"$0" 2>/dev/null | grep -q "‐"' "$page"
    fi
fi

output=$("$unpacked/usr/bin/lanemark" --inspect "$root/examples/twelve-tracks.mov" 2>&1) || true
check "packaged binary inspects the sample (got: $output)" test "$output" = "$expected"

if [ "$failures" -ne 0 ]; then
    echo "package check: $failures failed" >&2
    exit 1
fi
echo "package check: all passed"
