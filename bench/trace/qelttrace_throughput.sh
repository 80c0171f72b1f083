#!/usr/bin/env bash
# Throughput and peak memory of qelttrace on a dump of 1,000,000 records of
# the simulated bridge's generated workload (qeltbridge --records N --seed 1,
# fetched over loopback by the trace job: scripts/generated_dump.sh), in each
# of its modes, and its plain decoding from the same dump gzip-compressed,
# zstd-compressed (where the zstd command is) and in UTF-16LE.
#
#   bench/trace/qelttrace_throughput.sh [BUILD_DIR] [RECORDS]
#
# BUILD_DIR defaults to build/default. Goals: the plain decoding at least
# 1,000,000 records/s with a peak resident set under 4 MB; --stats=json,
# --transactions, --format csv or jsonl and the filters at least 1,000,000
# records/s under 16 MB; --stats, --transactions, --perfetto and --html
# together at least 1,000,000 records/s under 64 MB (memory grows with the
# transactions open, not with the dump). The dump and the outputs are on a
# RAM disk (/dev/shm) where there is one, so that the figures are
# qelttrace's own rather than the disk's: the Perfetto trace of a million
# records is about 260 MB.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
records="${2:-1000000}"
qelttrace="$build/bin/qelttrace"
[[ -x "$qelttrace" ]] || { echo "qelttrace_throughput.sh: no $qelttrace (build it first)" >&2; exit 2; }
for program in qeltbridge qelttelnet; do
  [[ -x "$build/bin/$program" ]] || { echo "qelttrace_throughput.sh: no $build/bin/$program" >&2; exit 2; }
done

. "$root/bench/trace/common.sh"
bench_work qelttrace-bench /dev/shm "${TMPDIR:-/tmp}"
trace="$work/trace.txt"
"$root/scripts/generated_dump.sh" "$build/bin" "$records" 1 "$trace"
size=$(wc -c < "$trace")

# Warm the page cache, then time each mode three times and keep the best.
cat "$trace" > /dev/null
fastest_of_three cat "$trace"
best_c=$best_real
echo "command: $0 $build $records"
echo "input: $records records of qeltbridge --records $records --seed 1, $size bytes, in $work"
echo "cat:       ${best_c} s elapsed"
figures_heading 22
run_mode() {
  local name="$1" goal="$2"
  shift 2
  figures_row 22 "$name" "$records" "$goal" "$qelttrace" "$@" "$trace"
}
run_mode "text (default)" ">= 1000000/s, < 4096 kB"
run_mode "--stats=json" ">= 1000000/s, < 16384 kB" --stats=json
run_mode "--format csv" ">= 1000000/s, < 16384 kB" --format csv
run_mode "--format jsonl" ">= 1000000/s, < 16384 kB" --format jsonl
run_mode "--errors --context 3" ">= 1000000/s, < 16384 kB" --errors --context 3
run_mode "--event 'DMA*'" ">= 1000000/s, < 16384 kB" --event 'DMA*' --
run_mode "--transactions" ">= 1000000/s, < 16384 kB" --transactions "$work/transactions.csv"
run_mode "--transactions .jsonl" ">= 1000000/s, < 16384 kB" --transactions "$work/transactions.jsonl"
run_mode "--perfetto" "<= 3 s, < 65536 kB" --perfetto "$work/trace.json"
run_mode "--html" "<= 3 s, < 65536 kB" --html "$work/report.html"
run_mode "all four outputs" ">= 1000000/s, < 65536 kB" --stats=json --transactions "$work/transactions.csv" --perfetto "$work/trace.json" --html "$work/report.html"
# The same dump as users archive and save it, decoded to the same output:
# what reading through the decompressor or the transcoder costs.
run_form() {
  figures_row 22 "$1" "$records" "$(wc -c < "$2") bytes" "$qelttrace" "$2"
}
gzip -c "$trace" > "$work/trace.txt.gz"
run_form "text, gzip input" "$work/trace.txt.gz"
if command -v zstd > /dev/null; then
  zstd -q -c "$trace" > "$work/trace.txt.zst"
  run_form "text, zstd input" "$work/trace.txt.zst"
fi
{ printf '\xff\xfe'; iconv -f LATIN1 -t UTF-16LE "$trace"; } > "$work/trace.utf16"
run_form "text, UTF-16LE input" "$work/trace.utf16"
echo "page:      $(wc -c < "$work/report.html") bytes for $records records (bound 5000000)"
echo "perfetto:  $(wc -c < "$work/trace.json") bytes"
echo "listing:   $(($(wc -l < "$work/transactions.csv") - 1)) transactions"
echo "peak RSS measured with $how"
echo "load:      $(load_average) (the machine is shared: elapsed times vary)"
