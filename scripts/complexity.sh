#!/usr/bin/env bash
# Keeps every function in src/ at a cognitive complexity of 30 or less
# (clang-tidy's readability-function-cognitive-complexity), the point past
# which the next engineer stumbles. Needs a build's compile_commands.json.
#   scripts/complexity.sh [BUILD_DIR]    (default build/default; run by scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
limit=30

scripts/setup.sh --lint
[[ -f "$build/compile_commands.json" ]] || { echo "complexity.sh: configure $build first" >&2; exit 2; }
# The Windows side of the platform layer is not in a Linux build's commands.
mapfile -t sources < <(git ls-files 'src/*.cpp' | grep -v '_win32\.cpp$')
echo "== cognitive complexity (${#sources[@]} files, at most $limit) =="
config="{CheckOptions: [{key: readability-function-cognitive-complexity.Threshold, value: $limit}]}"
report=$(clang-tidy -p "$build" --quiet --checks='-*,readability-function-cognitive-complexity' \
  --config="$config" "${sources[@]}" 2>/dev/null | grep 'warning:' || true)
if [[ -n "$report" ]]; then
  echo "$report"
  exit 1
fi
echo "none above $limit"
