#!/usr/bin/env bash
# Installs the Debian and npm packages the project needs, only those missing.
#   scripts/setup.sh --run      what building the four programs and running the
#                               trace job need (scripts/run.sh), nothing more
#   scripts/setup.sh            that, and what the tests, the Debian package and
#                               the benchmarks need
#   scripts/setup.sh --fuzz     also clang and its fuzzing runtime
#   scripts/setup.sh --windows  also the MinGW-w64 cross compiler, its zlib, Wine
#                               and the GoogleTest sources
#   scripts/setup.sh --lint     also clang-format and clang-tidy, for
#                               scripts/lint.sh and complexity.sh
# The npm packages go into build/npm, never into the repository: uPlot
# (embedded into qelttrace's HTML report); for the tests playwright-core (the
# report's browser test drives Debian's chromium) and @duckdb/node-api (the
# exports loaded into DuckDB).
# QELT_SETUP_DRY_RUN=1 prints what would be installed and installs nothing.
# One line says what is being installed; the package managers' own output
# goes to build/setup.log, whose end is shown if they fail.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

run_only=0
extras=()
for arg in "$@"; do
  case "$arg" in
    --run) run_only=1 ;;
    --fuzz) extras+=(clang libclang-rt-14-dev) ;;
    --windows) extras+=(g++-mingw-w64-x86-64-posix wine64 googletest libz-mingw-w64-dev) ;;
    --lint) extras+=(clang-format clang-tidy) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

# Building the programs: qeltbridge needs libtelnet (through pkg-config); the
# trace job needs nothing else.
packages=(cmake g++ make pkg-config libtelnet-dev)
npm_wanted=(uplot)
# qelttrace reads gzip- and zstd-compressed inputs (zlib, libzstd).
packages+=(zlib1g-dev libzstd-dev)
if [[ $run_only -eq 0 ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev valgrind chromium)
  # The Debian package and the manual pages: cpack -G DEB (dpkg-shlibdeps,
  # file), lintian, and man to check the pages.
  packages+=(dpkg-dev file lintian man-db groff-base)
  npm_wanted+=(playwright-core @duckdb/node-api)
fi
packages+=("${extras[@]}")
# npm is on the machines this project builds on; Debian's own where it is not.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

# Every npm package the project uses, with its version, and the file that
# shows it installed (of uPlot, the files the build embeds).
npm_dir="$root/build/npm"
npm_known=(uplot playwright-core @duckdb/node-api)
npm_spec() {
  case "$1" in
    uplot) echo "uplot@~1.6" ;;
    playwright-core) echo "playwright-core@1" ;;
    @duckdb/node-api) echo "@duckdb/node-api@1.5.6-r.1" ;;
  esac
}
npm_present() {
  local marker=package.json
  [[ "$1" == uplot ]] && marker=dist/uPlot.iife.min.js
  [[ -f "$npm_dir/node_modules/$1/$marker" ]]
}
npm_missing=()
for name in "${npm_wanted[@]}"; do
  npm_present "$name" || npm_missing+=("$name")
done
# npm removes from build/npm what an install does not name: an install names
# the packages already there as well.
npm_install=()
for name in "${npm_known[@]}"; do
  if [[ " ${npm_missing[*]} " == *" $name "* ]] || npm_present "$name"; then
    npm_install+=("$(npm_spec "$name")")
  fi
done

if [[ "${QELT_SETUP_DRY_RUN:-0}" == 1 ]]; then
  echo "apt: ${missing[*]:-(nothing)}"
  echo "npm: ${npm_missing[*]:-(nothing)}"
  exit 0
fi

log="$root/build/setup.log"
mkdir -p "$root/build"
[[ ${#missing[@]} -eq 0 && ${#npm_missing[@]} -eq 0 ]] || : >"$log"
# Runs a command with its output in the log; on failure shows the log's end.
quietly() {
  echo "+ $*" >>"$log"
  if ! "$@" >>"$log" 2>&1 </dev/null; then
    echo "setup.sh: failed: $*" >&2
    echo "setup.sh: the end of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
  fi
}

if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "setup.sh: installing ${missing[*]} (log: build/setup.log)" >&2
  quietly "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  quietly "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Playwright is told never to fetch a browser of its own: the test uses
# /usr/bin/chromium.
if [[ ${#npm_missing[@]} -gt 0 ]]; then
  echo "setup.sh: installing ${npm_missing[*]} into build/npm (log: build/setup.log)" >&2
  mkdir -p "$npm_dir"
  quietly env PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --prefix "$npm_dir" --no-save \
    --no-audit --no-fund --no-progress --loglevel=error "${npm_install[@]}"
fi
