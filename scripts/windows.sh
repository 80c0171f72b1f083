#!/usr/bin/env bash
# The Windows programs: cross-builds qelttelnet.exe, ProbeLinkServices.dll and
# qelttrace.exe with MinGW-w64, runs their tests under Wine, runs the Windows
# tool under Wine against the Linux qeltbridge (tests/windows/e2e.sh), and
# packs the three files into build/windows/qelttelnet-VERSION-win64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --windows
jobs=$(nproc 2>/dev/null || echo 2)
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64

# The first Wine start creates its prefix (~/.wine), which takes a while:
# done once here rather than inside a test's time limit.
echo "== wine prefix =="
"$wine" wineboot --init >/dev/null 2>&1 || true

echo "== windows build =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"

# The bridge and the Linux tool to compare with come from the default build.
echo "== linux programs for the comparison =="
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target qeltbridge qelttelnet ProbeLinkServices qelttrace

echo "== windows end to end =="
tests/windows/e2e.sh build/default/bin build/windows/bin build/windows/tests/windows

echo "== windows zip =="
(cd build/windows && cpack)
