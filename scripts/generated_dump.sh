#!/usr/bin/env bash
# A dump of the simulated bridge's generated workload, fetched as the trace
# job fetches it: qeltbridge --records N --seed S serves it on loopback,
# qelttelnet -satatrace -raw captures it (in one page), and the capture is
# saved as the bridge's dump (the tool's own lines and the line feeds -raw
# adds left out).
#   scripts/generated_dump.sh BIN_DIR RECORDS SEED OUTPUT [QELTBRIDGE OPTION...]
set -euo pipefail
bin=$(cd "$1" && pwd)
records=$2
seed=$3
output=$4
shift 4
source "$(dirname "$0")/bridge.sh"
start_bridge "$bin/qeltbridge" --records "$records" --seed "$seed" --page-size 1000000 "$@" ||
  { echo "generated_dump.sh: qeltbridge did not start" >&2; exit 1; }
"$bin/qelttelnet" -satatrace -raw "$address" > "$work/capture.txt"
stop_bridge
mkdir -p "$(dirname "$output")"
grep -v -e '^qelttelnet' -e '^$' "$work/capture.txt" > "$output.tmp"
mv "$output.tmp" "$output"
