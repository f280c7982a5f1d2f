#!/usr/bin/env bash
# Builds Moonfetch for Windows with mingw-w64 (build/windows) and runs everything Windows under
# Wine, in a Wine prefix of its own that is removed afterwards: the platform, web, settings and
# core suites against nginx and an FTP server that the Linux side serves on loopback
# (moon_wine_servers, from build/plain); the installer's install and uninstall; and, on a virtual
# display, the windowing's suite and moonfetch.exe itself. Every suite has a time limit, so
# a hung one fails with its last case named instead of holding the run up. scripts/test.sh runs
# it after the Linux tests; it also runs alone. A failed build or suite does not stop the others;
# the end shows every one's result, and the script exits non-zero when any failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

# A suite's time limit in seconds; the Wine run of all of them takes a few minutes.
limit=600
# The virtual display the windows open on.
display=:73
jobs=$(nproc)
results=()
failed=0
# record NAME STATUS: keeps a build's or a suite's result for the summary at the end.
record() {
  if [ "$2" -eq 0 ]; then
    results+=("passed  $1")
  else
    results+=("FAILED  $1 (exit $2)")
    failed=1
  fi
}

status=0
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" >/dev/null &&
  cmake --build build/windows -j "$jobs" || status=$?
record "Windows build" "$status"
status=0
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null &&
  cmake --build build/plain -j "$jobs" --target moon_wine_servers || status=$?
record "moon_wine_servers build" "$status"

scratch=$(mktemp -d)
xvfb=""
cleanup() {
  WINEPREFIX="$scratch/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
# Headless unless a suite asks for the display: Wine's first start must not ask for anything.
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
export MOON_TEST_PRIVATE_REGISTRY=1
# Making the prefix has a time limit of its own: it waits for every process Wine started to end.
started=$SECONDS
# No window manager runs on the virtual display: unmanaged, Wine does not wait 2 s for one at each
# window it hides.
timeout --kill-after=10 "$limit" sh -c '/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 &&
  /usr/lib/wine/wine64 reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1 &&
  /usr/lib/wine/wineserver -w'
echo "== Wine prefix made in $((SECONDS - started)) s"

# run NAME COMMAND...: runs one suite under its time limit; a hung suite's Wine processes go
# with it, so that the next suite starts on a fresh Wine server.
run() {
  local name=$1; shift
  echo "== $name under Wine"
  local started=$SECONDS status=0
  timeout --kill-after=10 "$limit" "$@" || status=$?
  [ "$status" -eq 0 ] || echo "== $name FAILED (exit $status)"
  record "$name" "$status"
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  timeout 60 /usr/lib/wine/wineserver -w || true
  echo "== $name took $((SECONDS - started)) s"
}

for suite in platform web settings core; do
  run "moon_${suite}_tests" build/plain/tests/moon_wine_servers "$scratch/servers-$suite" \
    /usr/lib/wine/wine64 "build/windows/tests/windows/moon_${suite}_tests.exe"
done

run moon_installer_tests /usr/lib/wine/wine64 build/windows/tests/windows/moon_installer_tests.exe

Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done
DISPLAY=$display run moon_window_tests /usr/lib/wine/wine64 build/windows/tests/windows/moon_window_tests.exe
DISPLAY=$display run moon_program_tests build/plain/tests/moon_wine_servers "$scratch/servers-program" \
  /usr/lib/wine/wine64 build/windows/tests/windows/moon_program_tests.exe

echo "== results under Wine"
printf '%s\n' "${results[@]}"
exit "$failed"
