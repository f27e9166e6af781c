#!/usr/bin/env bash
# Installs what Lanemark needs on Debian 12, running apt only when a package is
# missing; uses sudo when not root.
#
# Usage: scripts/deps.sh          what building and running need
#        scripts/deps.sh --test   that, and the tools the tests and the package check use
set -euo pipefail

packages=(
  build-essential cmake
  nlohmann-json3-dev libxxhash-dev libebur128-dev
  qt6-base-dev
)
if [ "${1:-}" = --test ]; then
  packages+=(
    ca-certificates pkg-config libplist-dev libplist-utils
    googletest libgtest-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    ffmpeg mediainfo python3 libimage-exiftool-perl
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    dpkg-dev file desktop-file-utils lintian mandoc
  )
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing Debian packages and no sudo to install them; as root, run: apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
