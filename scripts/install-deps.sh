#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; skips what is
# already there. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev
  libglib2.0-dev
  libgtk-3-dev libx11-dev
  xvfb xdotool x11-utils imagemagick
  libbenchmark-dev
  clang libclang-rt-dev
  desktop-file-utils shared-mime-info xdg-utils libglib2.0-bin hicolor-icon-theme
  adwaita-icon-theme python3-gi gir1.2-gtk-3.0 gir1.2-atspi-2.0 at-spi2-core dbus-daemon
  systemd man-db file gzip dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qE 'install ok (installed|triggers-pending|triggers-awaited)'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
