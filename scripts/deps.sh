#!/usr/bin/env bash
# Installs what building, testing and packaging Lanemark need on Debian 12.
# Runs apt only when a package is missing; uses sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ca-certificates
  libplist-dev libplist-utils
  googletest libgtest-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  ffmpeg mediainfo python3
  dpkg-dev file desktop-file-utils
  qt6-base-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
