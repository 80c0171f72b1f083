#!/usr/bin/env bash
# Installs what scripts/run.sh leaves out (the packages of the tests, the
# Debian package, the benchmarks, the fuzz and Windows builds and the lint:
# scripts/setup.sh with every option), builds and runs every test:
#   1. the optimised build and its suite (unit, process and end-to-end tests,
#      the manual pages, an installed tree and the Debian package with lintian),
#      and no function in src/ above a cognitive complexity of 30;
#   2. the same suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. every fuzz target for a short time (clang, libFuzzer), failing on any finding;
#   4. the Windows programs, cross-built, tested under Wine and end to end.
# QELT_FUZZ_SECONDS sets the time per fuzz target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --fuzz --windows --lint
jobs=$(nproc 2>/dev/null || echo 2)
for preset in default asan; do
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  if [[ $preset == default ]]; then scripts/complexity.sh build/default; fi
done

echo "== fuzz =="
scripts/fuzz.sh "${QELT_FUZZ_SECONDS:-30}"

echo "== windows =="
scripts/windows.sh
