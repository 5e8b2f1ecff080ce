#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: packages that
# are already present are skipped, and the package index is refreshed once,
# only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-svg-dev
  qt6-webengine-dev qt6-webengine-dev-tools
  qt6-multimedia-dev
  libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev
  libopencore-amrnb-dev
  libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg xvfb xauth nginx-light curl openbox yt-dlp aria2
  x11-apps xdotool imagemagick qt6-gtk-platformtheme
  at-spi2-core python3-pyatspi dbus dbus-x11
  clang libclang-rt-dev
  fonts-dejavu-core
  desktop-file-utils appstream librsvg2-bin dpkg-dev python3-dbus python3-gi
  zlib1g-dev tinyproxy microsocks
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# nginx-light starts a system service on install; tests run their own instance.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
$SUDO service nginx stop >/dev/null 2>&1 || true
# tinyproxy (and microsocks) likewise: tests start private instances on loopback.
for service in tinyproxy microsocks; do
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now "$service" >/dev/null 2>&1 || true; fi
  $SUDO service "$service" stop >/dev/null 2>&1 || true
done
