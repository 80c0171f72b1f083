#!/usr/bin/env bash
# The shipped Windows files as the loader reads them (objdump -p on the host,
# no Wine): relocatable anywhere with 64-bit address randomisation (ASLR and
# high-entropy ASLR), data never executable (DEP), relocations kept so that
# the randomisation can take place, and nothing imported but Windows' own DLLs
# (a MinGW runtime DLL, lib*.dll, is not on a plain Windows).
#   pe_hardening_test.sh OBJDUMP FILE...
set -euo pipefail

objdump=$1
shift
status=0
for f in "$@"; do
  headers=$("$objdump" -p "$f")
  name=${f##*/}
  dll_characteristics=$(sed -n '/^DllCharacteristics/,/^[A-Z]/p' <<<"$headers")
  for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    grep -qw "$flag" <<<"$dll_characteristics" || { echo "FAIL: $name is not $flag" >&2; status=1; }
  done
  if sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -q 'relocations stripped'; then
    echo "FAIL: $name has its relocations stripped: it cannot be moved" >&2
    status=1
  fi
  runtime=$(sed -n 's/^\s*DLL Name: \(lib.*\.dll\)$/\1/Ip' <<<"$headers")
  [[ -z "$runtime" ]] || { echo "FAIL: $name imports" "${runtime//$'\n'/ }" >&2; status=1; }
done
[[ "$status" -ne 0 ]] || echo "ok: $# files hardened"
exit "$status"
