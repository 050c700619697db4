#!/usr/bin/env bash
# Sets up a fresh Debian/Ubuntu machine and runs every test, twice: a normal build with the
# process-level, Valgrind and real-browser tests, then a clang build with AddressSanitizer,
# UndefinedBehaviorSanitizer and the fuzz targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

"$root/scripts/install-deps.sh" test

if [ -f tests/e2e/package.json ]; then
  (cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)
fi

echo "== Build and test =="
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs" --timeout 900

echo "== Build and test under AddressSanitizer + UndefinedBehaviorSanitizer =="
CC=clang CXX=clang++ cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug \
  -DP11BRIDGE_SANITIZE=ON -DP11BRIDGE_FUZZ=ON -DP11BRIDGE_BENCH=OFF >/dev/null
cmake --build build/sanitize -j"$jobs"
# The real-browser and Valgrind tests and the benchmarks gain nothing from sanitizers; the fuzz
# targets run here.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs" --timeout 900 -LE 'e2e|valgrind'

# Tests are a quarter to a third of the code, never more: say where the suite stands.
"$root/scripts/code-share.sh" --limit 33.3
