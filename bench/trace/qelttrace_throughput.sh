#!/usr/bin/env bash
# Throughput and peak memory of qelttrace on a generated trace of 1,000,000
# records (the built-in sample's records, restamped with rising times).
#
#   bench/trace/qelttrace_throughput.sh [BUILD_DIR] [RECORDS]
#
# BUILD_DIR defaults to build/default. Goal: at least 1,000,000 records/s and a
# peak resident set under 4 MB.
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

# Warm the page cache, then time each reader three times and keep the best.
cat "$trace" > /dev/null
best_q=""; cpu_q=""; best_c=""
for _ in 1 2 3; do
  read -r real cpu < <(timed "$qelttrace" "$trace")
  if [[ -z "$best_q" ]] || awk -v a="$real" -v b="$best_q" 'BEGIN { exit !(a < b) }'; then
    best_q=$real; cpu_q=$cpu
  fi
  read -r real _ < <(timed cat "$trace")
  if [[ -z "$best_c" ]] || awk -v a="$real" -v b="$best_c" 'BEGIN { exit !(a < b) }'; then
    best_c=$real
  fi
done
rate=$(awk -v n="$records" -v t="$best_q" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')
cpu_rate=$(awk -v n="$records" -v t="$cpu_q" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }')

# Peak resident set size, in kB.
if /usr/bin/time -v true > /dev/null 2>&1; then
  how="/usr/bin/time -v (Maximum resident set size)"
  peak=$(/usr/bin/time -v "$qelttrace" "$trace" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }')
else
  how="getrusage(RUSAGE_CHILDREN).ru_maxrss through a python3 wrapper"
  peak=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$qelttrace" "$trace")
fi

echo "command: $0 $build $records"
echo "input: $records records, $size bytes"
echo "qelttrace: ${best_q} s elapsed, $rate records/s (goal >= 1000000); ${cpu_q} s CPU, $cpu_rate records/CPU-s"
echo "cat:       ${best_c} s elapsed"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown) (the machine is shared: elapsed times vary)"
echo "peak RSS:  $peak kB (goal < 4096), measured with $how"
