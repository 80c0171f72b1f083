#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs each fuzz
# target for a while on a copy of its seed corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS per target (default 30); TARGET is a name such as telnet_core or
# fuzz_telnet_core (default: every target). Exits non-zero when a target
# finds anything (crash, sanitizer report, broken invariant, leak, time-out);
# the input is saved under the build directory's fuzz-findings/TARGET/ and
# belongs in fuzz/regressions/TARGET/ once the fault is fixed, where the
# ordinary test run replays it.
# Environment: QELT_FUZZ_BUILD_DIR (default build/fuzz), QELT_FUZZ_CMAKE_ARGS
# (extra configure arguments), QELT_FUZZ_NO_BUILD=1 (use the existing build).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
if [[ $# -gt 0 && "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
all_targets=(decode format dialog telnet_core bridge_reader session_log qelttrace)
targets=()
for t in "$@"; do targets+=("${t#fuzz_}"); done
[[ ${#targets[@]} -gt 0 ]] || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $t "* ]] || { echo "fuzz.sh: unknown target $t" >&2; exit 2; }
done

build=${QELT_FUZZ_BUILD_DIR:-build/fuzz}
if [[ "${QELT_FUZZ_NO_BUILD:-0}" != 1 ]]; then
  scripts/setup.sh --fuzz
  # shellcheck disable=SC2086  # the extra arguments are meant to split
  cmake --preset fuzz -B "$build" ${QELT_FUZZ_CMAKE_ARGS:-} >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/#/fuzz_}"
fi

# The longest input worth trying per target: records are short, a telnet
# stream needs room for lines past the 4095-byte chunk limit.
declare -A max_len=([decode]=512 [format]=4096 [dialog]=4096 [telnet_core]=16384
                    [bridge_reader]=4096 [session_log]=8192 [qelttrace]=16384)
declare -A dict=([decode]=fuzz/trace.dict [format]=fuzz/trace.dict
                 [dialog]=fuzz/telnet.dict [telnet_core]=fuzz/telnet.dict
                 [bridge_reader]=fuzz/telnet.dict [session_log]=fuzz/session_log.dict
                 [qelttrace]=fuzz/qelttrace.dict)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work="$build/fuzz-work"
findings="$build/fuzz-findings"
status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$work/$t"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$findings/$t"
  cp fuzz/corpus/"$t"/* "$corpus"/
  if compgen -G "fuzz/regressions/$t/*" >/dev/null; then
    cp fuzz/regressions/"$t"/* "$corpus"/
  fi
  args=(-max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=10 -print_final_stats=1
        -artifact_prefix="$findings/$t/")
  [[ -n "${dict[$t]:-}" ]] && args+=(-dict="${dict[$t]}")
  log="$work/$t.log"
  echo "== fuzz_$t for ${seconds}s"
  if "$build/bin/fuzz_$t" "${args[@]}" "$corpus" >"$log" 2>&1; then
    result=ok
  else
    result=FINDING
    status=1
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -20 || true
    echo "   full log: $log"
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | grep -o '[0-9]*' || true)
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | grep -o '[0-9]*' || true)
  summary+=("$(printf '%-22s %-8s execs %-10s cov %-6s ft %s' "fuzz_$t" "$result" \
    "${execs:-?}" "${cov:-?}" "${ft:-?}")")
done

echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $status
