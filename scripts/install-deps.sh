#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers, the
# benchmarks and the package need (the icons are drawn with rsvg-convert; the
# desktop files, manuals and package are checked with their own tools). Idempotent: when everything is present it only checks.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdl2-dev
  libcairo2-dev libpango1.0-dev fonts-dejavu-core
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev
  libcurl4-openssl-dev libssl-dev
  libebur128-dev
  zenity xdg-utils libglib2.0-bin
  ffmpeg python3 openssl
  clang libclang-rt-14-dev
  rapidjson-dev
  xvfb
  libsecret-1-dev gnome-keyring dbus dbus-bin
  librsvg2-bin man-db groff-base gzip
  desktop-file-utils appstream shared-mime-info xdg-user-dirs
  dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
