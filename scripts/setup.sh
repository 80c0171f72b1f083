#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
#   scripts/setup.sh            build, test and benchmark packages
#   scripts/setup.sh --fuzz     also clang and its fuzzing runtime
#   scripts/setup.sh --windows  also the MinGW-w64 cross compiler and Wine
#   scripts/setup.sh --lint     clang-format, for scripts/lint.sh
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libtelnet-dev libcli11-dev valgrind)
# The Debian package and the manual pages: cpack -G DEB (dpkg-shlibdeps, file),
# lintian, and man to check the pages.
packages+=(dpkg-dev file lintian man-db groff-base)
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine64 googletest) ;;
    --lint) packages+=(clang-format) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "setup.sh: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
