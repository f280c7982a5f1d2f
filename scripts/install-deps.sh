#!/usr/bin/env bash
# Installs the Debian packages that building and testing Moonfetch need (a no-op when all are
# present). Runs apt-get as root, through sudo when needed. The network tests start nginx and
# pyftpdlib themselves on loopback ports (nginx also over https, with the certificates in
# tests/support/tls), and a private D-Bus with scripted login1 and notification services (and a
# real gnome-keyring for the browsers' encrypted cookies); the benchmark compares against curl,
# wget and aria2 (one connection and sixteen). The install's test validates the menu entry and the
# software centres' description (desktop-file-utils, appstream); cpack's Debian package takes its
# dependencies from dpkg-shlibdeps (dpkg-dev).
# The browser extension's test drives Chromium. The Windows build is cross-compiled with
# mingw-w64 (posix threads) and its tests run under Wine, the program's on Xvfb; its installer is
# built with NSIS. The windowing asks xcb whether the display's connection broke; the tests of the
# end of the session show the program on an Xvfb of their own and look for its windows with
# xwininfo (x11-utils); on Wayland, on a headless weston, with Qt's Wayland plugin (qt6-wayland).
# The list's screen reader test shows the list on Xvfb to a reader on at-spi2-core's
# accessibility bus, which it reads through libatspi's Python bindings (gir1.2-atspi-2.0).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev
  qt6-base-dev fonts-dejavu-core xvfb xauth
  libxcb1-dev x11-utils qt6-wayland weston
  libgtest-dev libgmock-dev
  nginx python3-pyftpdlib curl wget aria2
  dbus-daemon python3-dbus python3-gi at-spi2-core gir1.2-atspi-2.0
  desktop-file-utils appstream dpkg-dev
  chromium
  libsqlite3-dev libssl-dev libsecret-1-dev gnome-keyring libsecret-tools
  g++-mingw-w64-x86-64-posix wine64 nsis
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# A machine may carry Node.js from elsewhere with its own npm, which Debian's npm conflicts with.
command -v npm >/dev/null || missing+=(nodejs npm)
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# The tests start their own servers; keep the packages from starting system services (nginx
# on port 80), which may not even be possible on a build machine.
blocker=/usr/sbin/policy-rc.d
if [ ! -e "$blocker" ]; then
  $sudo sh -c "printf '#!/bin/sh\nexit 101\n' > $blocker && chmod +x $blocker"
  trap '$sudo rm -f "$blocker"' EXIT
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
