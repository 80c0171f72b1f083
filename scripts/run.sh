#!/usr/bin/env bash
# The live trace job: sets up, builds what is missing, starts the simulated
# bridge on a free loopback port, pages through its trace with qelttelnet
# (small pages, so the dump takes several requests), prints the decoded
# trace, stops the bridge, and exits with the tool's status.
#   scripts/run.sh [PAGE_SIZE]     (default 16)
set -euo pipefail
cd "$(dirname "$0")/.."

page_size=${1:-16}
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" \
  --target qelttelnet ProbeLinkServices qeltbridge qelttrace >/dev/null
bin=build/default/bin

work=$(mktemp -d)
bridge_pid=
cleanup() {
  if [[ -n "$bridge_pid" ]]; then
    kill "$bridge_pid" 2>/dev/null || true
    wait "$bridge_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/listening"
"$bin/qeltbridge" --listen 127.0.0.1:0 --page-size "$page_size" \
  >"$work/listening" 2>"$work/bridge.log" &
bridge_pid=$!
exec 3<"$work/listening"
if ! IFS= read -r -t 10 line <&3 || [[ "$line" != "listening on "* ]]; then
  echo "run.sh: qeltbridge did not start:" >&2
  cat "$work/bridge.log" >&2
  exit 1
fi
address=${line#listening on }

# The tool's own environment must not redirect it elsewhere.
unset BRIDGE_CURRENT_IP_ADDRESS QELT_BRIDGE_TOOLS
status=0
"$bin/qelttelnet" -satatrace "$address" || status=$?
exit "$status"
