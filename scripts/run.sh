#!/usr/bin/env bash
# Installs what Moonfetch needs, builds the program and starts it from its build folder, where
# its manual and icons lie beside it. The pending list and the trace log are written into that
# folder (build/plain/ui). Arguments are handed to the program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/plain --target moonfetch

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: Moonfetch runs without a visible window (stop it with Ctrl+C)." >&2
  echo "To see it on a virtual display: xvfb-run -a scripts/run.sh" >&2
fi

cd build/plain/ui
exec ./moonfetch "$@"
