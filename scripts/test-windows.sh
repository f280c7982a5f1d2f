#!/usr/bin/env bash
# Builds the platform, web, settings, core and window libraries and their tests for Windows with
# mingw-w64 (build/windows) and runs the suites under Wine, in a Wine prefix of their own that is
# removed afterwards, against nginx and an FTP server that the Linux side serves on loopback
# (moon_wine_servers, from build/plain); the window suite shows its windows on an Xvfb display of
# its own (:71). Exits non-zero when anything fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh
packages=(g++-mingw-w64-x86-64-posix wine64 xvfb)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" >/dev/null
cmake --build build/windows -j "$jobs"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/plain -j "$jobs" --target moon_wine_servers

scratch=$(mktemp -d)
display=:71
xvfb=""
cleanup() {
  WINEPREFIX="$scratch/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
# Headless: the suites open no window, and Wine's first start must not ask for anything.
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
export MOON_TEST_PRIVATE_REGISTRY=1
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
# No window manager runs on the Xvfb: Wine would wait 2 s for one at each window it hides.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
/usr/lib/wine/wineserver -w

failed=0
for suite in platform web settings core; do
  echo "== moon_${suite}_tests under Wine"
  build/plain/tests/moon_wine_servers "$scratch/servers-$suite" \
    /usr/lib/wine/wine64 "build/windows/tests/windows/moon_${suite}_tests.exe" || failed=1
done

echo "== moon_window_tests under Wine on Xvfb $display"
# The desktop that the headless suites started has no display: a new one is made for this suite.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done
DISPLAY=$display /usr/lib/wine/wine64 build/windows/tests/windows/moon_window_tests.exe || failed=1
exit $failed
