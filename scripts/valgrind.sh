#!/usr/bin/env bash
# Runs the suite's programs under valgrind memcheck and fails on any memory
# error or any definite or indirect leak:
#   trace, dialog, probelink_core, probelink_session: the unit tests;
#   e2e: qeltbridge, and qelttelnet (status, trace, trace -raw) against it, and
#        qelttrace on the -raw capture, every process under memcheck.
#
#   scripts/valgrind.sh [BUILD_DIR] [PART...]    # default: build/default, every part
#
# BUILD_DIR must be a build without the sanitizers (they do not mix with
# valgrind) in which the tests are built. Each program's report is kept in
# BUILD_DIR/valgrind/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/default}
[ $# -gt 0 ] && shift
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(trace dialog probelink_core probelink_session e2e)

bin=$build/bin
logs=$build/valgrind
mkdir -p "$logs"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
if grep -qs '^QELT_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "$build is a sanitizer build; valgrind needs one without" >&2
  exit 2
fi

# GoogleTest prints a test parameter that has no printer as its raw bytes,
# struct padding included, when it names the parameterised tests: a read of
# uninitialised padding in the test framework, not in our programs.
supp=$logs/gtest.supp
cat >"$supp" <<'SUPP'
{
   gtest-prints-parameter-padding
   Memcheck:Cond
   ...
   fun:*PrintBytesInObjectTo*
}
{
   gtest-prints-parameter-padding-value
   Memcheck:Value8
   ...
   fun:*PrintBytesInObjectTo*
}
SUPP

failed=0
# memcheck NAME PROGRAM ARGS...: runs one program, keeps its report; its exit
# status is the program's own, or 1 for a memory error or leak.
memcheck() {
  local name=$1
  shift
  valgrind --quiet --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --suppressions="$supp" \
    --log-file="$logs/$name.log" "$@"
}
judge() {
  local name=$1 status=$2
  if [ "$status" -ne 0 ]; then
    echo "FAIL $name (status $status, report $logs/$name.log)"
    cat "$logs/$name.log" >&2 || true
    failed=1
  else
    echo "ok   $name"
  fi
}

unit() {
  local name=$1 exe=$bin/$2 status=0
  [ -x "$exe" ] || { echo "FAIL $name: $exe is not built"; failed=1; return; }
  memcheck "$name" "$exe" --gtest_brief=1 >"$logs/$name.out" 2>&1 || status=$?
  judge "$name" "$status"
}

e2e() {
  local tmp status port
  tmp=$(mktemp -d)
  # Started directly (not through a function) so that $! is valgrind itself.
  valgrind --quiet --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --log-file="$logs/qeltbridge.log" \
    "$bin/qeltbridge" --listen 127.0.0.1:0 --page-size 16 >"$tmp/bridge.out" 2>"$tmp/bridge.err" &
  local bridge=$!
  for _ in $(seq 1 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/bridge.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "FAIL qeltbridge did not start"
    kill "$bridge" 2>/dev/null || true
    failed=1
    return
  fi
  local address=127.0.0.1:$port
  # Runs the tool; unset the variables that would point it elsewhere.
  tool() {
    local name=$1
    shift
    status=0
    env -u QELT_BRIDGE_TOOLS -u PROBELINK_LOG -u BRIDGE_CURRENT_IP_ADDRESS \
      valgrind --quiet --error-exitcode=1 --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --log-file="$logs/$name.log" \
      "$bin/qelttelnet" "$@" >"$tmp/$name.out" || status=$?
    judge "$name" "$status"
  }
  tool qelttelnet-status "$address"
  tool qelttelnet-trace -satatrace "$address"
  tool qelttelnet-raw -satatrace -raw "$address"
  status=0
  memcheck qelttrace "$bin/qelttrace" "$tmp/qelttelnet-raw.out" >"$tmp/qelttrace.out" || status=$?
  judge qelttrace "$status"
  kill -TERM "$bridge"
  status=0
  wait "$bridge" || status=$?
  judge qeltbridge "$status"
  rm -rf "$tmp"
}

for part in "${parts[@]}"; do
  case $part in
    trace) unit trace trace_tests ;;
    dialog) unit dialog dialog_test ;;
    probelink_core) unit probelink_core probelink_core_tests ;;
    probelink_session) unit probelink_session probelink_session_tests ;;
    e2e) e2e ;;
    *) echo "unknown part: $part" >&2; exit 2 ;;
  esac
done
exit $failed
