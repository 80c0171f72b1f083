# What the benchmarks of qelttrace share, sourced by each (bash, set -euo
# pipefail): a working folder that goes at the exit, the time and peak
# resident set of a command, the best of three runs, and a row of figures.

# bench_work PREFIX DIR...: makes $work, a new folder in the first DIR that
# is a writable folder (else the last), removed at the exit.
bench_work() {
  local prefix=$1 dir
  shift
  for dir in "$@"; do [[ -d "$dir" && -w "$dir" ]] && break; done
  work="$(mktemp -d "$dir/$prefix.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
}

# is_less A B: whether the number A is below B.
is_less() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# per_second N SECONDS: N / SECONDS to the unit, 0 for no time.
per_second() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.0f", (t > 0 ? n / t : 0) }'; }

# Times a command: prints "REAL CPU" in seconds (CPU = user + system).
timed() {
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" > /dev/null; } 2>&1 )
  awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.3f %.3f\n", f[1], f[2] + f[3] }'
}

# fastest_of_three COMMAND...: sets best_real and best_cpu, the times of the
# fastest of three runs.
fastest_of_three() {
  local real c
  best_real="" best_cpu=""
  for _ in 1 2 3; do
    read -r real c < <(timed "$@")
    if [[ -z "$best_real" ]] || is_less "$real" "$best_real"; then
      best_real=$real; best_cpu=$c
    fi
  done
}

# Peak resident set size of a command, in kB; $how says how it is measured.
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

# The heading of the rows of figures, its first column WIDTH wide.
figures_heading() {
  printf "%-${1}s %9s %9s %12s %12s %10s  %s\n" mode "real s" "CPU s" records/s records/CPU-s "peak kB" goal
}

# figures_row WIDTH NAME RECORDS NOTE COMMAND...: the command's best of three
# times, its records per second (of RECORDS) in each, its peak, and NOTE.
figures_row() {
  local width=$1 name=$2 records=$3 note=$4
  shift 4
  fastest_of_three "$@"
  local rate cpu_rate peak
  rate=$(per_second "$records" "$best_real")
  cpu_rate=$(per_second "$records" "$best_cpu")
  peak=$(peak_of "$@")
  printf "%-${width}s %9s %9s %12s %12s %10s  %s\n" "$name" "$best_real" "$best_cpu" "$rate" \
    "$cpu_rate" "$peak" "$note"
}

# The machine's load (it is shared: elapsed times vary).
load_average() { cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown; }
