#!/usr/bin/env bash
# Installs every build and test dependency, then builds Moonfetch three times and runs the
# tests of each: a plain build, one under AddressSanitizer and UndefinedBehaviorSanitizer, and
# one under ThreadSanitizer for the concurrency tests; then builds the Windows program and runs
# its tests under Wine (scripts/test-windows.sh). Each of these stages runs even when an earlier
# one failed; the end shows every stage's result, and the script exits non-zero when any failed.
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
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null &&
    cmake --build "build/$name" -j "$jobs"
}

plain() {
  build plain && ctest --test-dir build/plain --output-on-failure -j "$jobs"
}

# Leaks are findings too, except what the font and toolkit libraries keep for the whole process.
sanitized() {
  build asan -DMOON_SANITIZE=address,undefined &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
}

# ThreadSanitizer cannot map its shadow memory under the widest address randomisation.
concurrency() {
  local norandom=()
  setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
  build tsan -DMOON_SANITIZE=thread -DMOON_WITH_UI=OFF &&
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${norandom[@]}" ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R Concurrent
}

# stage NAME COMMAND...: runs one stage; a failure is kept for the summary and the next stage
# runs all the same, so that one failure does not hide the results of the others.
results=()
failed=0
stage() {
  local name=$1; shift
  echo "== $name"
  local status=0
  "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    results+=("passed  $name")
  else
    results+=("FAILED  $name (exit $status)")
    failed=1
  fi
}

stage "plain build" plain
stage "AddressSanitizer + UndefinedBehaviorSanitizer" sanitized
stage "ThreadSanitizer (concurrency tests)" concurrency
stage "Windows, under Wine" scripts/test-windows.sh

echo "== results"
printf '%s\n' "${results[@]}"
exit "$failed"
