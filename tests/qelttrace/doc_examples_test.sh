#!/usr/bin/env bash
# Every qelttrace example of the README and of qelttrace(1) runs as written
# against the sample: the examples are taken from those files, so changing
# one there changes what is run here. dump.txt is the sample, capture.txt the
# sample as `qelttelnet -satatrace -raw` prints it, trace.txt its decoded
# output, probelink.log the sample session log (a trace job recorded with
# PROBELINK_LOG), dump.txt.gz the sample compressed, powershell.txt the
# sample in UTF-16LE with its byte-order mark, baseline.txt a baseline of
# the sample for --compare (the sample without its errors). Each example
# runs in a directory of its own, through the shell; it must end with status
# 0, say nothing on standard error, and print or write something.
#   doc_examples_test.sh README MANPAGE BIN_DIR SAMPLE SAMPLE_LOG SAMPLE_BASELINE
set -euo pipefail
readme=$1
manpage=$2
bin=$(cd "$3" && pwd)
sample=$4
sample_log=$5
sample_baseline=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
inputs="$work/inputs"
mkdir "$inputs"
# The bridge's lines end in CR LF; -raw prints each with the line feed puts adds.
sed 's/$/\r/' "$sample" > "$inputs/dump.txt"
{
  printf 'qelttelnet.exe: About to collect stats from QELT at 10.0.0.5\n'
  printf 'SATA history dump\r\n\n'
  sed 's/$/\r\n/' "$sample"
  printf 'qelttelnet.exe: Telnet session ok, rv=0, state=10\n'
} > "$inputs/capture.txt"
"$bin/qelttrace" "$inputs/dump.txt" > "$inputs/trace.txt"
# The dump as users archive it, and as PowerShell 5 saves it.
gzip -c "$inputs/dump.txt" > "$inputs/dump.txt.gz"
{ printf '\xff\xfe'; iconv -f LATIN1 -t UTF-16LE "$inputs/dump.txt"; } > "$inputs/powershell.txt"
cp "$sample_log" "$inputs/probelink.log"
sed 's/$/\r/' "$sample_baseline" > "$inputs/baseline.txt"

# The command lines that run qelttrace: from the README's sh blocks (a
# directory before the name dropped, comments dropped) and from the manual
# page's literal displays (roff's escapes undone). Synopses, with their
# brackets, are no examples.
examples() {
  awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside' "$readme"
  awk '/^\.Bd -literal/ { inside = 1; next } /^\.Ed/ { inside = 0 }
       inside { print } /^\.Dl / { sub(/^\.Dl /, ""); print }' "$manpage" |
    sed -e 's/\\-/-/g' -e 's/\\&//g' -e 's/\\e/\\/g'
}
mapfile -t commands < <(examples | sed -e 's/[[:space:]]*#.*$//' -e 's/^\$bin\///' |
  grep -E '^qelttrace ' | grep -vF '[' || true)
[[ ${#commands[@]} -ge 10 ]] || { echo "FAIL: only ${#commands[@]} examples found" >&2; exit 1; }

failed=0
n=0
for command in "${commands[@]}"; do
  n=$((n + 1))
  dir="$work/example-$n"
  cp -r "$inputs" "$dir"
  before=$(ls "$dir")
  set +e
  (cd "$dir" && PATH="$bin:$PATH" sh -c "$command" > "$dir/.out" 2> "$dir/.err" < /dev/null)
  status=$?
  set -e
  after=$(ls "$dir")
  if [[ $status -ne 0 || -s "$dir/.err" ]]; then
    echo "FAIL: $command: status $status: $(cat "$dir/.err")" >&2
    failed=1
  elif [[ ! -s "$dir/.out" && "$before" == "$after" ]]; then
    echo "FAIL: $command: printed and wrote nothing" >&2
    failed=1
  else
    echo "ok: $command"
  fi
done
[[ $failed -eq 0 ]] || exit 1
echo "ok: ${#commands[@]} examples ran as written"
