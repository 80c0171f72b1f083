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

. "$root/bench/trace/common.sh"
bench_work qelttrace-compare-bench /dev/shm "${TMPDIR:-/tmp}"
baseline="$work/baseline.txt"
run="$work/run.txt"
"$root/scripts/generated_dump.sh" "$build/bin" "$records" 1 "$baseline"
"$root/scripts/generated_dump.sh" "$build/bin" "$records" 2 "$run" --queue-depth 16
total=$(( $(wc -l < "$baseline") + $(wc -l < "$run") ))

cat "$baseline" "$run" > /dev/null
echo "command: $0 $build $records"
echo "inputs: $baseline ($(wc -c < "$baseline") bytes) and $run ($(wc -c < "$run") bytes), $total lines together"
figures_heading 26
# Best of three; the rate counts the records of both dumps (`n` of them).
run_mode() {
  local name="$1" goal="$2" n="$3"
  shift 3
  figures_row 26 "$name" "$n" "$goal" "$qelttrace" "$@"
}
run_mode "--stats=json, one dump" "(memory of one analysis)" "$(wc -l < "$run")" --stats=json "$run"
run_mode "--compare (text)" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" "$run"
run_mode "--compare --stats=json" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" --stats=json "$run"
run_mode "--compare --html" ">= 1000000/s, < 16384 kB" "$total" --compare "$baseline" --html "$work/compare.html" "$run"
echo "$("$qelttrace" --compare "$baseline" "$run" | sed -n 2p)"
echo "page:      $(wc -c < "$work/compare.html") bytes"
echo "peak RSS measured with $how"
echo "load:      $(load_average) (the machine is shared: elapsed times vary)"
