#!/usr/bin/env bash
# Throughput and peak memory of qelttrace --compare on two dumps of RECORDS
# records each of the simulated bridge's generated workload (qeltbridge
# --records N --seed 1, and --seed 2 with a deeper queue, fetched over
# loopback by the trace job: scripts/generated_dump.sh), in its three
# outputs, beside --stats=json on one of them.
#
#   bench/trace/compare_throughput.sh [BUILD_DIR] [RECORDS]
#
# BUILD_DIR defaults to build/default, RECORDS to 1000000. Goals: the two
# dumps together at least 1,000,000 records/s, each read in one pass; memory
# bounded as for one analysis (only the baseline's finished statistics are
# kept while the run is read): a peak resident set under 16 MB, within a few
# MB of --stats=json on one dump. The dumps are on a RAM disk (/dev/shm)
# where there is one, so that the figures are qelttrace's own.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
records="${2:-1000000}"
qelttrace="$build/bin/qelttrace"
for program in qelttrace qeltbridge qelttelnet; do
  [[ -x "$build/bin/$program" ]] || { echo "compare_throughput.sh: no $build/bin/$program (build it first)" >&2; exit 2; }
done

ram=/dev/shm
[[ -d "$ram" && -w "$ram" ]] || ram="${TMPDIR:-/tmp}"
work="$(mktemp -d "$ram/qelttrace-compare-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
baseline="$work/baseline.txt"
run="$work/run.txt"
"$root/scripts/generated_dump.sh" "$build/bin" "$records" 1 "$baseline"
"$root/scripts/generated_dump.sh" "$build/bin" "$records" 2 "$run" --queue-depth 16
total=$(( $(wc -l < "$baseline") + $(wc -l < "$run") ))

# Times a command: prints "REAL CPU" in seconds (CPU = user + system).
timed() {
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" > /dev/null; } 2>&1 )
  awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.3f %.3f\n", f[1], f[2] + f[3] }'
}

# Peak resident set size of a command, in kB.
if /usr/bin/time -v true > /dev/null 2>&1; then
  how="/usr/bin/time -v (Maximum resident set size)"
  peak_of() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'; }
else
  how="getrusage(RUSAGE_CHILDREN).ru_maxrss through a python3 wrapper"
  peak_of() {
    python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"
  }
fi

cat "$baseline" "$run" > /dev/null
echo "command: $0 $build $records"
echo "inputs: $baseline ($(wc -c < "$baseline") bytes) and $run ($(wc -c < "$run") bytes), $total lines together"
printf '%-26s %9s %9s %12s %12s %10s  %s\n' mode "real s" "CPU s" records/s records/CPU-s "peak kB" goal
# Best of three; the rate counts the records of both dumps (`n` of them).
run_mode() {
  local name="$1" goal="$2" n="$3"; shift 3
  local best="" cpu="" real c
  for _ in 1 2 3; do
    read -r real c < <(timed "$qelttrace" "$@")
    if [[ -z "$best" ]] || awk -v a="$real" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$real; cpu=$c
    fi
  done
  local rate cpu_rate peak
  rate=$(awk -v n="$n" -v t="$best" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
  cpu_rate=$(awk -v n="$n" -v t="$cpu" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
  peak=$(peak_of "$qelttrace" "$@")
  printf '%-26s %9s %9s %12s %12s %10s  %s\n' "$name" "$best" "$cpu" "$rate" "$cpu_rate" "$peak" "$goal"
}
run_mode "--stats=json, one dump" "(memory of one analysis)" "$(wc -l < "$run")" --stats=json "$run"
run_mode "--compare (text)" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" "$run"
run_mode "--compare --stats=json" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" --stats=json "$run"
run_mode "--compare --html" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" --html "$work/compare.html" "$run"
echo "$("$qelttrace" --compare "$baseline" "$run" | sed -n 2p)"
echo "page:      $(wc -c < "$work/compare.html") bytes"
echo "peak RSS measured with $how"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown) (the machine is shared: elapsed times vary)"
