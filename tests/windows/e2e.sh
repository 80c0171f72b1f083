#!/usr/bin/env bash
# End to end on Windows: qelttelnet.exe and ProbeLinkServices.dll under Wine
# against the Linux qeltbridge over loopback, and qelttrace.exe on saved
# dumps. Every Windows output must equal the Linux tool's output for the same
# run with each LF written as CR LF (standard output is in text mode on
# Windows, so a received CR LF line comes out as CR CR LF); exit statuses must
# match too. Then the library-loading failures with their Windows numbers.
#
#   tests/windows/e2e.sh LINUX_BIN WINDOWS_BIN WINDOWS_TEST_DIR
#
# LINUX_BIN holds qeltbridge, qelttelnet, libProbeLinkServices.so, qelttrace;
# WINDOWS_BIN holds qelttelnet.exe, ProbeLinkServices.dll, qelttrace.exe;
# WINDOWS_TEST_DIR is the windows build's tests/windows (the DLL without
# TelnetSession). WINE64 names Wine (default /usr/lib/wine/wine64).
set -euo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 LINUX_BIN WINDOWS_BIN WINDOWS_TEST_DIR" >&2
  exit 2
fi
lin=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
wintests=$(cd "$3" && pwd)
samples=$(cd "$(dirname "$0")/../../samples" && pwd)
wine=${WINE64:-/usr/lib/wine/wine64}
export WINEDEBUG=-all

for f in "$lin/qeltbridge" "$lin/qelttelnet" "$lin/qelttrace" "$win/qelttelnet.exe" \
  "$win/ProbeLinkServices.dll" "$win/qelttrace.exe" "$wintests/no_entry/ProbeLinkServices.dll"; do
  [[ -e "$f" ]] || { echo "e2e: missing $f" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qelt-win-e2e.XXXXXX")
bridge_pid=
late_pid=
cleanup() {
  for pid in $bridge_pid $late_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [[ -n "${QELT_E2E_KEEP:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() {
  failed=$((failed + 1))
  echo "FAIL $1"
  shift
  for f in "$@"; do [[ -f "$f" ]] && { echo "--- $f"; head -c 2000 "$f" | cat -A; }; done
}

# The Windows form of a Linux path under Wine's default drive mapping.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# What a Windows console program writes for the same text in text mode.
crlf() { sed 's/$/\r/' "$1"; }

# Prints the port a starting bridge listens on, from its standard output file.
bridge_port() {
  local port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$1")
    [[ -n "$port" ]] && break
    sleep 0.1
  done
  [[ -n "$port" ]] || { echo "e2e: qeltbridge did not start" >&2; exit 1; }
  echo "$port"
}

"$lin/qeltbridge" --listen 127.0.0.1:0 --reboot-ms 300 >"$work/bridge.out" 2>"$work/bridge.err" &
bridge_pid=$!
port=$(bridge_port "$work/bridge.out")
address=127.0.0.1:$port

# Runs one job on both sides and compares outputs and statuses.
#   same NAME ARGS...   (the address is passed as the last argument)
same() {
  local name=$1
  shift
  local rw=0 rl=0
  "$wine" "$win/qelttelnet.exe" "$@" "$address" >"$work/$name.win" 2>"$work/$name.win.err" || rw=$?
  "$lin/qelttelnet" "$@" "$address" >"$work/$name.lin" 2>"$work/$name.lin.err" || rl=$?
  crlf "$work/$name.lin" >"$work/$name.expected"
  if [[ $rw -ne 0 || $rl -ne 0 ]]; then
    fail "$name: exit status Windows $rw, Linux $rl" "$work/$name.win" "$work/$name.lin"
  elif ! cmp -s "$work/$name.win" "$work/$name.expected"; then
    fail "$name: Windows output differs" "$work/$name.win" "$work/$name.expected"
  else
    pass "$name ($(wc -l <"$work/$name.lin") lines)"
  fi
}

same status
same trace -satatrace
same trace-raw -satatrace -raw
grep -q 'SATA history dump' "$work/trace.lin" || fail "trace: no dump banner" "$work/trace.lin"

# The address from the environment, as a Windows user sets it.
rw=0
BRIDGE_CURRENT_IP_ADDRESS=$address "$wine" "$win/qelttelnet.exe" >"$work/env.win" || rw=$?
if [[ $rw -eq 0 ]] && cmp -s "$work/env.win" "$work/status.win"; then
  pass "status with BRIDGE_CURRENT_IP_ADDRESS"
else
  fail "status with BRIDGE_CURRENT_IP_ADDRESS (exit $rw)" "$work/env.win"
fi

same reboot -reboot
grep -q 'Succeeded in rebooting QELT, attempts' "$work/reboot.win" ||
  fail "reboot: no success line" "$work/reboot.win"

# A bridge that is not listening yet: refused connections are noticed and
# retried until it listens (a refusal that went unseen would end in result 5).
"$lin/qeltbridge" --listen 127.0.0.1:0 >"$work/late1.out" 2>/dev/null &
late_pid=$!
late_port=$(bridge_port "$work/late1.out")
kill "$late_pid"
wait "$late_pid" 2>/dev/null || true
"$wine" "$win/qelttelnet.exe" "127.0.0.1:$late_port" >"$work/late.win" &
tool_pid=$!
sleep 2
"$lin/qeltbridge" --listen "127.0.0.1:$late_port" >"$work/late2.out" 2>/dev/null &
late_pid=$!
rw=0
wait "$tool_pid" || rw=$?
if [[ $rw -eq 0 ]] && grep -q '^qelttelnet.exe: Telnet session ok, rv=0, state=10' "$work/late.win"; then
  pass "connects once a late bridge listens"
else
  fail "connects once a late bridge listens (exit $rw)" "$work/late.win" "$work/late2.out"
fi

# The offline decoder on a saved dump and on a -raw capture.
decode_same() {
  local name=$1 input=$2 rw=0 rl=0
  "$wine" "$win/qelttrace.exe" "$(winpath "$input")" >"$work/$name.win" || rw=$?
  "$lin/qelttrace" "$input" >"$work/$name.lin" || rl=$?
  crlf "$work/$name.lin" >"$work/$name.expected"
  if [[ $rw -ne 0 || $rl -ne 0 ]] || ! cmp -s "$work/$name.win" "$work/$name.expected"; then
    fail "$name: exit Windows $rw, Linux $rl or output differs" "$work/$name.win" "$work/$name.expected"
  else
    pass "$name ($(wc -l <"$work/$name.lin") lines)"
  fi
}
decode_same qelttrace-sample "$samples/trace.txt"
decode_same qelttrace-raw-capture "$work/trace-raw.lin"
# Through standard input as well (read in binary mode).
rw=0
"$wine" "$win/qelttrace.exe" <"$work/trace-raw.lin" >"$work/stdin.win" || rw=$?
if [[ $rw -eq 0 ]] && cmp -s "$work/stdin.win" "$work/qelttrace-raw-capture.win"; then
  pass "qelttrace from standard input"
else
  fail "qelttrace from standard input (exit $rw)" "$work/stdin.win"
fi

# The sample as users archive and save it on Windows: gzip (zlib is linked
# into qelttrace.exe), UTF-16LE with its mark as PowerShell 5 writes it, and
# both at once, by name and on standard input. This build has no zstd: a zstd
# file is refused, saying so, before anything is written (an input that could
# not be read: status 1).
gzip -c "$samples/trace.txt" >"$work/trace.txt.gz"
{ printf '\xff\xfe'; iconv -f LATIN1 -t UTF-16LE "$samples/trace.txt"; } >"$work/powershell.txt"
gzip -c "$work/powershell.txt" >"$work/powershell.txt.gz"
for form in trace.txt.gz powershell.txt powershell.txt.gz; do
  rw=0
  "$wine" "$win/qelttrace.exe" "$(winpath "$work/$form")" >"$work/$form.win" || rw=$?
  "$wine" "$win/qelttrace.exe" <"$work/$form" >"$work/$form.stdin.win" || rw=$?
  if [[ $rw -eq 0 ]] && cmp -s "$work/$form.win" "$work/qelttrace-sample.win" &&
    cmp -s "$work/$form.stdin.win" "$work/qelttrace-sample.win"; then
    pass "qelttrace $form, named and on standard input"
  else
    fail "qelttrace $form (exit $rw)" "$work/$form.win" "$work/$form.stdin.win"
  fi
done
printf '\x28\xb5\x2f\xfd\x00\x50\x01\x00\x00' >"$work/trace.zst"
rw=0
"$wine" "$win/qelttrace.exe" "$(winpath "$work/trace.zst")" >"$work/zst.win" 2>"$work/zst.err" || rw=$?
if [[ $rw -eq 1 && ! -s "$work/zst.win" ]] && grep -q 'cannot read zstd; decompress it first' "$work/zst.err"; then
  pass "qelttrace refuses zstd"
else
  fail "qelttrace on zstd: exit $rw" "$work/zst.win" "$work/zst.err"
fi

# A -raw capture decodes to what the live trace job printed, less the tool's
# own lines (qelttrace prints the records and the span, nothing else).
grep -v '^qelttelnet.exe: ' "$work/trace.lin" >"$work/trace.records"
if cmp -s "$work/qelttrace-raw-capture.lin" "$work/trace.records"; then
  pass "raw capture decodes as the live job"
else
  fail "raw capture decodes differently" "$work/qelttrace-raw-capture.lin" "$work/trace.records"
fi

# Library loading. Exit statuses are the low byte of the negative result.
#   expect NAME STATUS LINE [QELT_BRIDGE_TOOLS]
expect() {
  local name=$1 status=$2 line=$3 rw=0
  if [[ $# -ge 4 ]]; then
    QELT_BRIDGE_TOOLS=$4 "$wine" "$win/qelttelnet.exe" "$address" >"$work/$name.win" || rw=$?
  else
    "$wine" "$win/qelttelnet.exe" "$address" >"$work/$name.win" || rw=$?
  fi
  if [[ $rw -eq $status ]] && grep -qxF -- "$line"$'\r' "$work/$name.win"; then
    pass "$name"
  else
    fail "$name: exit $rw, wanted $status and the line [$line]" "$work/$name.win"
  fi
}

# Directories whose Windows names are exactly 237 and 238 characters long.
base=$(winpath "$work")
n=$((237 - ${#base} - 1))
if [[ $n -lt 1 || $n -gt 250 ]]; then
  echo "e2e: temporary directory $work does not suit the length test" >&2
  exit 2
fi
dir237=$(printf 'd%.0s' $(seq "$n"))
mkdir "$work/$dir237" "$work/${dir237}e" "$work/empty"
cp "$win/ProbeLinkServices.dll" "$work/$dir237/"
cp "$win/ProbeLinkServices.dll" "$work/${dir237}e/"
tools237="$base\\$dir237"
tools238="$base\\${dir237}e"
[[ ${#tools237} -eq 237 && ${#tools238} -eq 238 ]] || { echo "e2e: length setup" >&2; exit 2; }

expect tools-237-accepted 0 "qelttelnet.exe: loading debug dll[$tools237\\ProbeLinkServices.dll]" "$tools237"
grep -q '^qelttelnet.exe: Telnet session ok, rv=0, state=10' "$work/tools-237-accepted.win" ||
  fail "tools-237-accepted: session did not run" "$work/tools-237-accepted.win"
expect tools-238-refused 251 "qelttelnet.exe: ERROR: QELT path too long" "$tools238"
expect no-dll 254 "qelttelnet.exe: ERROR 126 opening probelinkservices lib" "$(winpath "$work/empty")"
expect no-entry 253 "qelttelnet.exe: ERROR 127 trying to get address of TelnetSession API" \
  "$(winpath "$wintests/no_entry")"

# Bare-name loading finds the DLL beside the tool only: a copy of the tool
# alone in a directory cannot load it.
cp "$win/qelttelnet.exe" "$work/empty/"
rw=0
"$wine" "$work/empty/qelttelnet.exe" "$address" >"$work/alone.win" || rw=$?
if [[ $rw -eq 254 ]] && grep -qxF $'qelttelnet.exe: ERROR 126 opening probelinkservices lib\r' "$work/alone.win"; then
  pass "tool without DLL beside it"
else
  fail "tool without DLL beside it: exit $rw" "$work/alone.win"
fi

echo "windows-e2e: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
