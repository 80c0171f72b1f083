#!/usr/bin/env bash
# Gates that keep the tree as it is: every C++ file as .clang-format says, and
# none of the calls that write past buffers or read numbers without bounds.
# A line that really wants one of them says so with "lint: allow CALL".
#   scripts/lint.sh    (run by .ci/run before the tests)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --lint

mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')

echo "== clang-format (${#sources[@]} files) =="
clang-format --dry-run -Werror "${sources[@]}"

echo "== banned calls =="
# strcpy, strcat, sprintf, vsprintf: no bound; strtok: hidden state; gets: no
# bound at all; atoi: undefined on overflow (common/numbers.h has atoi32).
banned='\b(strcpy|strcat|sprintf|vsprintf|strtok|gets|atoi)[[:space:]]*\('
if hits=$(grep -nE "$banned" "${sources[@]}" | grep -vE 'lint: allow (strcpy|strcat|sprintf|vsprintf|strtok|gets|atoi)'); then
  echo "$hits"
  echo "lint: banned calls found (bounded alternatives: qelt_snprintf, memcpy with a checked length, atoi32, strtol)" >&2
  exit 1
fi
echo "none"
