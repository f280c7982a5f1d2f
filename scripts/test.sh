#!/usr/bin/env bash
# Installs every build and test dependency, then builds Moonfetch three times and runs the
# tests of each: a plain build, one under AddressSanitizer and UndefinedBehaviorSanitizer, and
# one under ThreadSanitizer for the concurrency tests; then builds the Windows program and runs
# its tests under Wine (scripts/test-windows.sh). Exits non-zero when anything fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh
# The extension's test drives the installed Chromium through puppeteer-core, which downloads no
# browser of its own.
[ -d build/node/node_modules/puppeteer-core ] ||
  npm install --prefix build/node --no-audit --no-fund --silent puppeteer-core@24.43.1

jobs=$(nproc)

# build NAME [cmake options...]: configures and builds build/NAME.
build() {
  local name=$1; shift
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
}

echo "== plain build"
build plain
ctest --test-dir build/plain --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build asan -DMOON_SANITIZE=address,undefined
# Leaks are findings too, except what the font and toolkit libraries keep for the whole process.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (concurrency tests)"
build tsan -DMOON_SANITIZE=thread -DMOON_WITH_UI=OFF
# ThreadSanitizer cannot map its shadow memory under the widest address randomisation.
norandom=()
setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  "${norandom[@]}" ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R Concurrent

echo "== Windows, under Wine"
scripts/test-windows.sh
