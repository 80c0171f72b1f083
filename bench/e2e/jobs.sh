#!/usr/bin/env bash
# End-to-end figures of the real qelttelnet against qeltbridge on loopback:
#  - a trace dump of 100,000 records with pages of 256 and of 4096 records,
#    best of 3 runs: wall time beside the pauses the dialog must take (50 ms
#    before each follow-up request: pauses_ms = (pages - 1) x 50), the tool's
#    CPU time a record and the bridge's CPU time for the dump (it is the peer
#    of every benchmark). Goals: pages of 4096, at most 150 ms over the pauses
#    and 0.6 us of the tool's CPU a record; pages of 256, at most 10% plus
#    100 ms over the pauses;
#  - qelttelnet's peak resident memory for 1,000 and 100,000 records (the
#    tool stores nothing per record: the two should be the same);
#  - the wall time of a status job (goal: under 100 ms);
#  - what the session log costs: the 100,000-record dump (pages of 4096) and
#    the status job with PROBELINK_LOG set and without (best of 3, median of
#    20), and the log's size.
#   bench/e2e/jobs.sh [BUILD_DIR]     (default build/default, built if missing)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build/default}
if [[ "$build" == build/default ]]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target qelttelnet ProbeLinkServices qeltbridge qelt_measure >/dev/null
bin=$build/bin
unset BRIDGE_CURRENT_IP_ADDRESS QELT_BRIDGE_TOOLS PROBELINK_LOG

source scripts/bridge.sh
start() { start_bridge "$bin/qeltbridge" "$@" || { echo "qeltbridge did not start" >&2; exit 1; }; }

field() { sed -n "s/\(^\|.* \)$1=\([0-9.]*\).*/\2/p" <<<"$2"; }

echo "# bench/e2e/jobs.sh $build   ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores)"
bridge_cpu_ms() {
  awk '{ printf "%.1f", ($14 + $15) * 1000 / ticks }' ticks="$(getconf CLK_TCK)" "/proc/$bridge_pid/stat"
}

echo "# qelttelnet -satatrace (output to /dev/null) against qeltbridge --records N --page-size P, best of 3"
printf '%-9s %-6s %-6s %-10s %-10s %-9s %-9s %-10s %-14s %-8s %s\n' records page pages pauses_ms \
  wall_ms over_ms cpu_ms cpu_us_rec bridge_cpu_ms rss_kb goal
for run in "100000 256" "100000 4096" "1000 4096"; do
  read -r records page <<<"$run"
  pages=$(( (records + page - 1) / page ))
  pauses=$(( (pages - 1) * 50 ))
  best=
  for _ in 1 2 3; do
    # A fresh bridge a run, so that its CPU time is that of one dump.
    start --records "$records" --page-size "$page"
    result=$("$bin/qelt_measure" "$bin/qelttelnet" -satatrace "$address")
    result="$result bridge_cpu_ms=$(bridge_cpu_ms)"
    stop_bridge
    [[ $(field status "$result") == 0 ]] || { echo "trace job failed: $result" >&2; exit 1; }
    if [[ -z "$best" ]] || awk -v a="$(field wall_ms "$result")" -v b="$(field wall_ms "$best")" \
        'BEGIN { exit !(a < b) }'; then
      best=$result
    fi
  done
  wall=$(field wall_ms "$best")
  cpu=$(field cpu_ms "$best")
  per=$(awk -v c="$cpu" -v r="$records" 'BEGIN { printf "%.3f", c * 1000 / r }')
  # The small dump is there for its memory, which must match the large one's.
  verdict=$(awk -v w="$wall" -v p="$pauses" -v u="$per" -v page="$page" -v n="$records" 'BEGIN {
    if (n < 100000) { print "-"; exit }
    ok = page == 256 ? w <= p * 1.1 + 100 : w <= p + 150 && u <= 0.6
    print ok ? "met" : "MISSED" }')
  over=$(awk -v w="$wall" -v p="$pauses" 'BEGIN { printf "%.1f", w - p }')
  printf '%-9s %-6s %-6s %-10s %-10s %-9s %-9s %-10s %-14s %-8s %s\n' "$records" "$page" "$pages" \
    "$pauses" "$wall" "$over" "$cpu" "$per" "$(field bridge_cpu_ms "$best")" \
    "$(field maxrss_kb "$best")" "$verdict"
done

echo "# qelttelnet status job (pwista, task_trace), 20 runs"
start
walls=()
for _ in $(seq 20); do
  result=$("$bin/qelt_measure" "$bin/qelttelnet" "$address")
  [[ $(field status "$result") == 0 ]] || { echo "status job failed: $result" >&2; exit 1; }
  walls+=("$(field wall_ms "$result")")
done
stop_bridge
printf '%s\n' "${walls[@]}" | sort -n | awk '
  { w[NR] = $1 }
  END { printf "status job wall_ms: min %.1f median %.1f max %.1f  goal <100: %s\n",
        w[1], w[int((NR + 1) / 2)], w[NR], (w[int((NR + 1) / 2)] < 100) ? "met" : "MISSED" }'

echo "# the session log (PROBELINK_LOG in the scripts' temporary directory): its cost"
logdir=$work
printf '%-28s %-10s %-10s %s\n' run wall_ms cpu_ms log_kb
for logged in no yes; do
  best=
  for _ in 1 2 3; do
    start --records 100000 --page-size 4096
    rm -f "$logdir/trace.log"
    if [[ $logged == yes ]]; then
      result=$(PROBELINK_LOG="$logdir/trace.log" "$bin/qelt_measure" "$bin/qelttelnet" -satatrace "$address")
    else
      result=$("$bin/qelt_measure" "$bin/qelttelnet" -satatrace "$address")
    fi
    stop_bridge
    [[ $(field status "$result") == 0 ]] || { echo "trace job failed: $result" >&2; exit 1; }
    if [[ -z "$best" ]] || awk -v a="$(field wall_ms "$result")" -v b="$(field wall_ms "$best")" \
        'BEGIN { exit !(a < b) }'; then
      best=$result
    fi
  done
  size=$([[ -f "$logdir/trace.log" ]] && du -k "$logdir/trace.log" | cut -f1 || echo -)
  printf '%-28s %-10s %-10s %s\n' "trace 100000/4096, log $logged" "$(field wall_ms "$best")" \
    "$(field cpu_ms "$best")" "$size"
done
start
for logged in no yes; do
  walls=()
  for _ in $(seq 20); do
    if [[ $logged == yes ]]; then
      result=$(PROBELINK_LOG="$logdir/status.log" "$bin/qelt_measure" "$bin/qelttelnet" "$address")
    else
      result=$("$bin/qelt_measure" "$bin/qelttelnet" "$address")
    fi
    [[ $(field status "$result") == 0 ]] || { echo "status job failed: $result" >&2; exit 1; }
    walls+=("$(field wall_ms "$result")")
  done
  printf '%s\n' "${walls[@]}" | sort -n | awk -v logged="$logged" '
    { w[NR] = $1 }
    END { printf "%-28s median %.1f (min %.1f, max %.1f)\n", "status job, log " logged,
          w[int((NR + 1) / 2)], w[1], w[NR] }'
done
stop_bridge
