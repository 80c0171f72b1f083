#!/usr/bin/env bash
# What qelttrace costs on the dumps of a failing device, against what the
# plain decoding of the same dump costs in the same run: its cost depends on
# the size of the input, never on its health. Two dumps of 300,000 records of
# the simulated bridge, fetched over loopback by the trace job
# (scripts/generated_dump.sh):
#   (a) 1,000 commands that never complete, then an error storm:
#       qeltbridge --records 300000 --seed 6 --scenario hang@190000+10000,storm@200000
#   (b) 20,000 commands that never complete among junk:
#       qeltbridge --records 300000 --seed 1 --error-rate 0.29 --scenario hang
# On each, `--stats=json --transactions FILE --perfetto FILE --html FILE` in
# one pass. Goals: at most 8 times the plain decoding's time, a peak resident
# set under 64 MB, a Perfetto trace at most 12 times the dump's size.
#
#   bench/trace/failure_traces.sh [BUILD_DIR] [QELTTRACE] [LIMIT_S]
#
# BUILD_DIR (default build/default) has the bridge and the tool that fetch the
# dumps; QELTTRACE is the qelttrace measured (default BUILD_DIR/bin/qelttrace,
# another build's to compare); a run that passes LIMIT_S seconds (default 600)
# is stopped and reported as such. Each time is the best of three runs (of one
# when it takes over a minute), the peak the largest. Exits 1 when a goal is
# missed. The dumps and the outputs are in $TMPDIR when it is set, else on a
# RAM disk (/dev/shm) where there is one (a quadratic trace of gigabytes is
# better written to a disk).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
qelttrace="${2:-$build/bin/qelttrace}"
limit="${3:-600}"
for program in qeltbridge qelttelnet; do
  [[ -x "$build/bin/$program" ]] || { echo "failure_traces.sh: no $build/bin/$program (build it first)" >&2; exit 2; }
done
[[ -x "$qelttrace" ]] || { echo "failure_traces.sh: no $qelttrace (build it first)" >&2; exit 2; }
/usr/bin/time -v true > /dev/null 2>&1 ||
  { echo "failure_traces.sh: no /usr/bin/time (Debian's package time)" >&2; exit 2; }

. "$root/bench/trace/common.sh"
bench_work qelttrace-failures "${TMPDIR:-/dev/shm}" /tmp

# A run that writes more than this is stopped (SIGXFSZ): a trace that grows
# with the errors times the transactions open passes it within seconds.
cap_bytes=$((4 << 30))

# One run under /usr/bin/time -v, `timeout` and the file size cap, standard
# output dropped: sets m_elapsed (s), m_peak (kB) and m_stopped ("" or why).
measure() {
  local report="$work/time.txt" status=0
  ( ulimit -f $((cap_bytes / 1024))
    exec /usr/bin/time -v -o "$report" timeout "$limit" "$@" > /dev/null 2> "$work/stderr.txt" ) ||
    status=$?
  m_peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$report")
  # "Elapsed (wall clock) time (h:mm:ss or m:ss): 0:01.23"
  m_elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
                for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }' "$report")
  m_stopped=""
  case $status in
    0) ;;
    124) m_stopped="stopped after $limit s" ;;
    # 128 + SIGXFSZ, from timeout or from time when the signal reached them.
    153) m_stopped="stopped when an output passed $cap_bytes bytes, after $m_elapsed s" ;;
    *) echo "failure_traces.sh: status $status from: $*" >&2; cat "$work/stderr.txt" >&2; exit 2 ;;
  esac
}

# The best time of three runs (one when it takes over a minute, or is
# stopped) and the largest peak: b_elapsed, b_peak, b_stopped.
best_of_three() {
  b_elapsed="" b_peak=0 b_stopped=""
  for _ in 1 2 3; do
    measure "$@"
    (( m_peak > b_peak )) && b_peak=$m_peak
    if [[ -n $m_stopped ]]; then b_stopped=$m_stopped; b_elapsed=$m_elapsed; return; fi
    if [[ -z "$b_elapsed" ]] || is_less "$m_elapsed" "$b_elapsed"; then
      b_elapsed=$m_elapsed
    fi
    awk -v a="$m_elapsed" 'BEGIN { exit !(a > 60) }' && return
  done
  return 0
}

verdict() {  # CONDITION (awk): sets $v to "ok" or "MISSED"
  if awk "BEGIN { exit !($1) }"; then v=ok; else v=MISSED; missed=1; fi
}

missed=0
echo "command: $0 $build $qelttrace $limit"
echo "machine load: $(load_average) (shared: elapsed times vary)"
dump() {  # NAME DESCRIPTION SEED QELTBRIDGE_OPTION...
  local name=$1 what=$2 seed=$3
  shift 3
  local trace="$work/$name.txt"
  "$root/scripts/generated_dump.sh" "$build/bin" 300000 "$seed" "$trace" "$@"
  local size
  size=$(wc -c < "$trace")
  echo
  echo "($name) $what: qeltbridge --records 300000 --seed $seed $*, $size bytes"
  cat "$trace" > /dev/null
  best_of_three "$qelttrace" "$trace"
  [[ -z $b_stopped ]] || { echo "failure_traces.sh: the plain decoding $b_stopped" >&2; exit 2; }
  local plain_s=$b_elapsed
  echo "  plain decoding:   $plain_s s, peak $b_peak kB   ($qelttrace $trace)"
  local outputs=(--stats=json --transactions "$work/$name.csv" --perfetto "$work/$name.json"
                 --html "$work/$name.html")
  best_of_three "$qelttrace" "${outputs[@]}" "$trace"
  echo "  all four outputs: $qelttrace ${outputs[*]} $trace"
  if [[ -n $b_stopped ]]; then
    missed=1
    echo "    time:     $b_stopped (goal: at most 8 x $plain_s s)  MISSED"
    echo "    peak RSS: $b_peak kB when stopped (goal: under 65536 kB)"
    return
  fi
  local ratio factor perfetto
  perfetto=$(wc -c < "$work/$name.json")
  ratio=$(awk -v a="$b_elapsed" -v b="$plain_s" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
  factor=$(awk -v a="$perfetto" -v b="$size" 'BEGIN { printf "%.2f", a / b }')
  verdict "$ratio <= 8"
  echo "    time:     $b_elapsed s, $ratio x the plain decoding (goal: at most 8 x)  $v"
  verdict "$b_peak < 65536"
  echo "    peak RSS: $b_peak kB (goal: under 65536 kB)  $v"
  verdict "$factor <= 12"
  echo "    perfetto: $perfetto bytes, $factor x the dump (goal: at most 12 x)  $v"
  echo "    page:     $(wc -c < "$work/$name.html") bytes;" \
       "listing: $(($(wc -l < "$work/$name.csv") - 1)) transactions"
}
dump a "1,000 commands that never complete, then an error storm" 6 \
  --scenario hang@190000+10000,storm@200000
dump b "20,000 commands that never complete among junk" 1 --error-rate 0.29 --scenario hang
echo
echo "peak RSS measured with /usr/bin/time -v (Maximum resident set size)"
exit "$missed"
