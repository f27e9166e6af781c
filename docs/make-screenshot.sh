#!/usr/bin/env bash
# Draws docs/window.png: the editor window with examples/twelve-tracks.mov open,
# shown on a virtual X display (Xvfb) and captured from there.
#
# Usage: docs/make-screenshot.sh [BUILD_DIR]   (default: build, configured with the window)
# Needs: xvfb (for xvfb-run), Qt 6 Widgets, and the fonts the picture should show.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build"
cmake --build "$build" --target lanemark_screenshot

# A copy, so the picture never depends on (or risks) the bundled sample.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/examples/twelve-tracks.mov" "$work/twelve-tracks.mov"

xvfb-run --auto-servernum --server-args="-screen 0 1280x800x24" \
    env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb \
    "$build/lanemark_screenshot" "$work/twelve-tracks.mov" "$root/docs/window.png"
echo "wrote $root/docs/window.png"
