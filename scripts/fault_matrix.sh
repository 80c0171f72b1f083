#!/bin/sh
# The fault matrix on a whole trace session: qelttelnet against qeltbridge
# dropped (FIN and RST) after every byte offset of the session and stalled at
# twenty offsets, each run checked for a documented ending and for printing
# only whole lines that were sent. Prints the summary line
#   fault matrix: N runs, N ok, N failed-as-documented, N wrong (...)
# and exits non-zero when any run was wrong.
#
#   scripts/fault_matrix.sh [BUILD_DIR]       (default build/default)
#   QELT_FAULT_RECORDS=12 QELT_FAULT_PAGE_SIZE=4 QELT_FAULT_JOBS=16 (the defaults here)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
if [ ! -x "$build/bin/qelt_fault_tests" ]; then
    cmake --build "$build" --target qelt_fault_tests
fi
export QELT_FAULT_RECORDS="${QELT_FAULT_RECORDS:-12}"
export QELT_FAULT_PAGE_SIZE="${QELT_FAULT_PAGE_SIZE:-4}"
export QELT_FAULT_JOBS="${QELT_FAULT_JOBS:-16}"
exec "$build/bin/qelt_fault_tests" --gtest_filter='FaultMatrix.*' --gtest_brief=1
