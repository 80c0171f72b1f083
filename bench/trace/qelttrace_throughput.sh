#!/usr/bin/env bash
# Throughput and peak memory of qelttrace on a generated trace of 1,000,000
# records (the built-in sample's records, restamped with rising times), in
# each of its modes.
#
#   bench/trace/qelttrace_throughput.sh [BUILD_DIR] [RECORDS]
#
# BUILD_DIR defaults to build/default. Goals: the plain decoding at least
# 1,000,000 records/s with a peak resident set under 4 MB; --stats=json,
# --format csv or jsonl and the filters at least 1,000,000 records/s under
# 16 MB; --perfetto and --html within 3 s under 64 MB.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
records="${2:-1000000}"
qelttrace="$build/bin/qelttrace"
[[ -x "$qelttrace" ]] || { echo "qelttrace_throughput.sh: no $qelttrace (build it first)" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
trace="$work/trace.txt"

# Record bodies of the sample, cycled; timestamps rise by 1 to 997 us.
awk -v n="$records" '
  { sub(/^ *[^ ]+ /, ""); body[m++] = $0 }
  END {
    sec = 1523; ns = 104233120
    print "SATA history dump\r"
    for (i = 0; i < n; i++) {
      ns += 1000 * (1 + (i * 7919) % 997)
      while (ns >= 1000000000) { ns -= 1000000000; sec++ }
      printf "%6d.%09d %s\r\n", sec, ns, body[i % m]
    }
  }' "$root/samples/trace.txt" > "$trace"
size=$(wc -c < "$trace")

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

# Warm the page cache, then time each mode three times and keep the best.
cat "$trace" > /dev/null
best_c=""
for _ in 1 2 3; do
  read -r real _ < <(timed cat "$trace")
  if [[ -z "$best_c" ]] || awk -v a="$real" -v b="$best_c" 'BEGIN { exit !(a < b) }'; then
    best_c=$real
  fi
done

echo "command: $0 $build $records"
echo "input: $records records, $size bytes"
echo "cat:       ${best_c} s elapsed"
printf '%-22s %9s %9s %12s %12s %10s  %s\n' mode "real s" "CPU s" records/s records/CPU-s "peak kB" goal
run_mode() {
  local name="$1" goal="$2"; shift 2
  local best="" cpu="" real c
  for _ in 1 2 3; do
    read -r real c < <(timed "$qelttrace" "$@" "$trace")
    if [[ -z "$best" ]] || awk -v a="$real" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$real; cpu=$c
    fi
  done
  local rate cpu_rate peak
  rate=$(awk -v n="$records" -v t="$best" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
  cpu_rate=$(awk -v n="$records" -v t="$cpu" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
  peak=$(peak_of "$qelttrace" "$@" "$trace")
  printf '%-22s %9s %9s %12s %12s %10s  %s\n' "$name" "$best" "$cpu" "$rate" "$cpu_rate" "$peak" "$goal"
}
run_mode "text (default)" ">= 1000000/s, < 4096 kB"
run_mode "--stats=json" ">= 1000000/s, < 16384 kB" --stats=json
run_mode "--format csv" ">= 1000000/s, < 16384 kB" --format csv
run_mode "--format jsonl" ">= 1000000/s, < 16384 kB" --format jsonl
run_mode "--errors --context 3" ">= 1000000/s, < 16384 kB" --errors --context 3
run_mode "--event 'DMA*'" ">= 1000000/s, < 16384 kB" --event 'DMA*' --
run_mode "--perfetto" "<= 3 s, < 65536 kB" --perfetto "$work/trace.json"
run_mode "--html" "<= 3 s, < 65536 kB" --html "$work/report.html"
run_mode "all three reports" "<= 3 s, < 65536 kB" --stats=json --perfetto "$work/trace.json" --html "$work/report.html"
echo "page:      $(wc -c < "$work/report.html") bytes for $records records (bound 5000000)"
echo "perfetto:  $(wc -c < "$work/trace.json") bytes"
echo "peak RSS measured with $how"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown) (the machine is shared: elapsed times vary)"
