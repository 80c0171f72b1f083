#!/usr/bin/env bash
# The live trace job: installs what building and running need (none of the
# test packages), builds the four programs in build/run (without the tests and
# benchmarks, whose libraries it does not install), starts the simulated bridge
# on a free loopback port, pages through its trace with qelttelnet (small
# pages, so the dump takes several requests), prints the decoded trace, stops
# the bridge, and exits with the tool's status.
#   scripts/run.sh [PAGE_SIZE]     (default 16)
set -euo pipefail
cd "$(dirname "$0")/.."

page_size=${1:-16}
scripts/setup.sh --run
cmake --preset run >/dev/null
cmake --build --preset run -j "$(nproc 2>/dev/null || echo 2)" \
  --target qelttelnet ProbeLinkServices qeltbridge qelttrace >/dev/null
bin=build/run/bin

source scripts/bridge.sh
start_bridge "$bin/qeltbridge" --page-size "$page_size" || {
  echo "run.sh: qeltbridge did not start" >&2
  exit 1
}

# The tool's own environment must not redirect it elsewhere.
unset BRIDGE_CURRENT_IP_ADDRESS QELT_BRIDGE_TOOLS
status=0
"$bin/qelttelnet" -satatrace "$address" || status=$?
exit "$status"
