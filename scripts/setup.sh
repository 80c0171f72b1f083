#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
#   scripts/setup.sh            build, test and benchmark packages
#   scripts/setup.sh --fuzz     also clang and its fuzzing runtime
#   scripts/setup.sh --windows  also the MinGW-w64 cross compiler and Wine
#   scripts/setup.sh --lint     clang-format and clang-tidy, for scripts/lint.sh and complexity.sh
# and, with npm, uPlot (embedded into qelttrace's HTML report) and
# playwright-core (its browser test drives Debian's chromium) into build/npm,
# never into the repository.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libtelnet-dev valgrind
  libcli11-dev chromium)
# The Debian package and the manual pages: cpack -G DEB (dpkg-shlibdeps, file),
# lintian, and man to check the pages.
packages+=(dpkg-dev file lintian man-db groff-base)
# npm is on the machines this project builds on; Debian's own where it is not.
command -v npm >/dev/null 2>&1 || packages+=(npm)
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine64 googletest) ;;
    --lint) packages+=(clang-format clang-tidy) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "setup.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# The npm packages, only when missing. Playwright is told never to fetch a
# browser of its own: the test uses /usr/bin/chromium.
npm_dir="$root/build/npm"
if [[ ! -f "$npm_dir/node_modules/uplot/dist/uPlot.iife.min.js" ||
      ! -f "$npm_dir/node_modules/playwright-core/package.json" ]]; then
  echo "setup.sh: installing uplot and playwright-core into $npm_dir" >&2
  mkdir -p "$npm_dir"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --prefix "$npm_dir" --no-save --no-audit \
    --no-fund --no-progress --loglevel=error "uplot@~1.6" "playwright-core@1" < /dev/null >&2
fi
