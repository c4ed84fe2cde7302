#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kel need; the one
# place that names them. Idempotent: packages dpkg already reports installed
# are skipped, and apt-get runs only when something is missing.
#   tools/install-deps.sh          build and test packages
#   tools/install-deps.sh --fuzz   also the clang toolchain for `make fuzz`
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev
  libssl-dev
  libcurl4-openssl-dev curl
  libedit-dev
  tzdata
  python3
  gzip
  xdg-utils
  valgrind
  imagemagick
  libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev
  python3-pil
  lua5.4
  git
  libgtk-3-dev libpixman-1-dev
  xvfb xauth openbox xdotool x11-utils x11-xserver-utils xclip librsvg2-bin
  python3-xlib python3-cairo python3-gi python3-gi-cairo gir1.2-pango-1.0
  gir1.2-gtk-3.0 python3-tk
  fonts-dejavu-core fonts-dejavu-extra
)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
