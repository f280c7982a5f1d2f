#!/usr/bin/env bash
# Installs what Moonfetch needs, builds the program optimised and with debug information into
# build/run, and starts it from its build folder, where its manual and icons lie beside it. The
# pending list and the trace log are written into that folder (build/run/ui). Arguments are
# handed to the program. The tests build elsewhere (build/plain, Debug).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run -j "$(nproc)" --target moonfetch

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: Moonfetch runs without a visible window (stop it with Ctrl+C)." >&2
  echo "To see it on a virtual display: xvfb-run -a scripts/run.sh" >&2
  export QT_QPA_PLATFORM=offscreen
fi

# Without any window nobody could answer the first start's question (where cookies come from):
# an empty settings file, as that start leaves behind when nothing is chosen, skips it.
if [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
  config=${XDG_CONFIG_HOME:-}
  [ "${config:0:1}" = / ] || config=$HOME/.config
  settings=$config/Larkvale/Moonfetch.reg
  if [ ! -e "$settings" ]; then
    mkdir -p "$(dirname "$settings")"
    printf 'Windows Registry Editor Version 5.00\n\n' > "$settings"
    echo "Created $settings without settings, so no first-start question waits unseen." >&2
  fi
fi

cd build/run/ui
exec ./moonfetch "$@"
