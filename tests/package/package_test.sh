#!/usr/bin/env bash
# The programs as a user installs them, run from where they were installed:
#   package_test.sh install BUILD_DIR VERSION FORTIFY   cmake --install into a scratch prefix
#   package_test.sh deb BUILD_DIR VERSION FORTIFY       cpack -G DEB, its control fields
#                                                       and files, dpkg-deb -x, lintian
# FORTIFY is "fortified" for an optimised build without sanitizers, else
# "unfortified". Either way the installed tree is checked the same way: the
# files where they belong, the tool's run path, the hardening of the four
# binaries, the versions, and a status job of the installed
# tool against the installed bridge over loopback, from an unrelated current
# directory, which must load the installed library and nothing of the build
# tree. Exit status 77: a tool the test needs is missing (CTest: skipped).
set -euo pipefail

mode=$1
build=$(cd "$2" && pwd -P)
version=$3
fortify=$4
[[ "$fortify" == fortified || "$fortify" == unfortified ]] || { echo "FORTIFY is $fortify" >&2; exit 2; }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit 77
}
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
  done
}
need readelf

# $work, and the bridge started and stopped as the other scripts do it.
source "$(dirname "$0")/../../scripts/bridge.sh"

# The tool's run path: beside itself, then the private plug-in directory. An
# empty entry would be the current directory, and a build path would make the
# installed tool load the build tree's library.
expected_rpath='$ORIGIN:$ORIGIN/../lib/qelttelnet'

check_files() {
  local root=$1
  local f
  for f in bin/qelttelnet bin/qelttrace bin/qeltbridge; do
    [[ -f "$root/$f" && -x "$root/$f" ]] || fail "$f is missing or not executable"
  done
  [[ -f "$root/lib/qelttelnet/libProbeLinkServices.so" ]] || fail "the library is not in lib/qelttelnet"
  local copies
  copies=$(find "$root" -name 'libProbeLinkServices.so*' | wc -l)
  [[ "$copies" -eq 1 ]] || fail "$copies copies of the library installed: $(find "$root" -name 'libProbeLinkServices.so*')"
  for f in qelttelnet qelttrace qeltbridge; do
    local page=$root/share/man/man1/$f.1.gz
    [[ -f "$page" ]] || fail "no manual page $page"
    local text
    text=$(zcat "$page")
    grep -qx "\.Os qelttelnet $version" <<<"$text" || fail "$f.1 does not carry version $version"
  done
  [[ -f "$root/share/doc/qelttelnet/copyright" ]] || fail "no copyright file"
  if command -v man >/dev/null; then
    local found
    found=$(MANPATH="$root/share/man" man -w qelttelnet) || fail "man -w does not find the installed page"
    [[ "$found" == "$root/share/man/man1/qelttelnet.1.gz" ]] || fail "man -w finds $found"
  fi
}

check_run_paths() {
  local root=$1
  local dynamic
  dynamic=$(readelf -d "$root/bin/qelttelnet")
  grep -qF "(RPATH)              Library rpath: [$expected_rpath]" <<<"$dynamic" ||
    fail "qelttelnet's run path is not exactly $expected_rpath as DT_RPATH:"$'\n'"$(grep -i path <<<"$dynamic")"
  ! grep -q RUNPATH <<<"$dynamic" || fail "qelttelnet has a DT_RUNPATH, which dlopen from the sanitizers' interceptor ignores"
  local f
  for f in "$root/bin/qelttrace" "$root/bin/qeltbridge" "$root/lib/qelttelnet/libProbeLinkServices.so"; do
    dynamic=$(readelf -d "$f")
    ! grep -E 'RPATH|RUNPATH' <<<"$dynamic" || fail "${f#"$root"/} has a run path"
  done
}

# What a Debian package's binaries carry, read back from the files so that a
# changed flag cannot drop it unseen: PIE programs, full RELRO (a GNU_RELRO
# segment and binding at load), the stack protector, and in an optimised build
# the checked forms of libc calls wherever the binary makes a call that has
# one (a call proven safe stays plain; a binary without a single checked form
# was not fortified).
fortifiable='memcpy|memmove|mempcpy|memset|stpcpy|stpncpy|strcpy|strncpy|strcat|strncat'
fortifiable+='|sprintf|snprintf|vsprintf|vsnprintf|printf|fprintf|vprintf|vfprintf|dprintf|vdprintf'
fortifiable+='|fgets|fread|read|pread|pread64|recv|recvfrom|readlink|realpath|getcwd|poll|ppoll'
check_hardening() {
  local root=$1
  local f dynamic imports fortified plain
  for f in bin/qelttelnet bin/qelttrace bin/qeltbridge lib/qelttelnet/libProbeLinkServices.so; do
    readelf -lW "$root/$f" | grep -q '^ *GNU_RELRO ' || fail "$f has no GNU_RELRO segment"
    dynamic=$(readelf -dW "$root/$f")
    grep -qE '\(BIND_NOW\)|\(FLAGS\) .*BIND_NOW|\(FLAGS_1\) .*\<NOW\>' <<<"$dynamic" ||
      fail "$f is not bound at load (no BIND_NOW): only part of its RELRO is read-only"
    if [[ "$f" == bin/* ]]; then
      grep -qE '\(FLAGS_1\) .*\<PIE\>' <<<"$dynamic" || fail "$f is not a position-independent executable"
    fi
    imports=$(readelf --dyn-syms -W "$root/$f" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
    grep -qx '__stack_chk_fail' <<<"$imports" || fail "$f has no stack protector (__stack_chk_fail)"
    if [[ "$fortify" == fortified ]]; then
      fortified=$(grep -E '^__.+_chk$' <<<"$imports" | grep -v '^__stack_chk_fail$' || true)
      plain=$(grep -xE "$fortifiable" <<<"$imports" || true)
      [[ -n "$fortified" || -z "$plain" ]] ||
        fail "$f calls libc unfortified (no __*_chk beside $(tr '\n' ' ' <<<"$plain"))"
    fi
  done
}

check_versions() {
  local root=$1
  local f out
  for f in qelttrace qeltbridge; do
    out=$("$root/bin/$f" --version) || fail "$f --version failed"
    [[ "$out" == "$f $version" ]] || fail "$f --version printed \"$out\""
  done
}

# The status job: the installed tool against the installed bridge on a free
# loopback port, from an empty directory, with the loader's trace and the
# library's session log written aside.
check_status_job() {
  local root=$1
  start_bridge "$root/bin/qeltbridge" || fail "the installed qeltbridge did not start"
  mkdir "$work/elsewhere"
  local status=0
  (cd "$work/elsewhere" &&
    env -u BRIDGE_CURRENT_IP_ADDRESS -u QELT_BRIDGE_TOOLS -u LD_LIBRARY_PATH \
      PROBELINK_LOG="$work/session.log" LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/loader" \
      "$root/bin/qelttelnet" "$address" >"$work/tool.out" 2>"$work/tool.err") || status=$?
  if [[ "$status" -ne 0 ]] || ! grep -qx 'qelttelnet.exe: Telnet session ok, rv=0, state=10' "$work/tool.out"; then
    cat "$work/tool.out" "$work/tool.err" >&2
    fail "the installed status job ended with status $status"
  fi
  grep -q "\[HTTP\]: state = RUN" "$work/tool.out" || fail "the status job printed no pwista line"
  local loader
  loader=$(cat "$work"/loader.*)
  grep -qF "calling init: $root/bin/../lib/qelttelnet/libProbeLinkServices.so" <<<"$loader" ||
    fail "the installed tool did not load the installed library:"$'\n'"$(grep -F ProbeLink <<<"$loader")"
  ! grep -F "$build" <<<"$loader" || fail "the installed tool looked into the build tree"
  local first
  first=$(head -n 1 "$work/session.log")
  [[ "$first" == *" start ProbeLinkServices $version" ]] ||
    fail "the session log does not open with the library's version: $first"
}

case "$mode" in
  install)
    need cmake
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
      fail "cmake --install failed: $(cat "$work/install.log")"
    root=$work/prefix
    ;;
  deb)
    need cpack dpkg dpkg-deb dpkg-shlibdeps lintian
    if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
      cat "$work/cpack.log" >&2
      fail "cpack -G DEB failed"
    fi
    arch=$(dpkg --print-architecture)
    deb=$work/out/qelttelnet_${version}_$arch.deb
    [[ -f "$deb" ]] || fail "no $deb; cpack made: $(ls "$work/out")"

    field() { dpkg-deb -f "$deb" "$1"; }
    [[ "$(field Package)" == qelttelnet ]] || fail "Package: $(field Package)"
    [[ "$(field Version)" == "$version" ]] || fail "Version: $(field Version)"
    [[ "$(field Architecture)" == "$arch" ]] || fail "Architecture: $(field Architecture)"
    [[ "$(field Section)" == net ]] || fail "Section: $(field Section)"
    [[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
    # Computed from the binaries: the C and C++ runtimes, libtelnet for the
    # bridge, zlib and libzstd for qelttrace's compressed inputs, which the
    # package does not carry.
    depends=$(field Depends)
    names=$(sed 's/ *([^)]*)//g; s/ *, */\n/g' <<<"$depends")
    for dependency in libc6 libstdc++6 libtelnet2 zlib1g libzstd1; do
      grep -qxF "$dependency" <<<"$names" || fail "Depends lacks $dependency: $depends"
    done

    # Every file with its mode, owned by root: nothing more, nothing less.
    listing=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | sort -k3)
    expected=$(sort -k3 <<'EOF'
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/qeltbridge
-rwxr-xr-x root/root ./usr/bin/qelttelnet
-rwxr-xr-x root/root ./usr/bin/qelttrace
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/qelttelnet/
-rw-r--r-- root/root ./usr/lib/qelttelnet/libProbeLinkServices.so
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/qelttelnet/
-rw-r--r-- root/root ./usr/share/doc/qelttelnet/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/qelttelnet/copyright
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/qelttelnet
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/qeltbridge.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/qelttelnet.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/qelttrace.1.gz
EOF
    )
    [[ "$listing" == "$expected" ]] ||
      fail "the package's files differ from the expected ones:"$'\n'"$(diff <(echo "$expected") <(echo "$listing") || true)"

    dpkg-deb -x "$deb" "$work/root"
    root=$work/root/usr
    for f in bin/qelttelnet bin/qelttrace bin/qeltbridge lib/qelttelnet/libProbeLinkServices.so; do
      sections=$(readelf -SW "$root/$f")
      ! grep -qE '\] \.(debug_[a-z_]+|comment) ' <<<"$sections" ||
        fail "$f is not stripped:"$'\n'"$(grep -E '\.(debug_|comment)' <<<"$sections")"
    done

    # Errors and warnings both fail; the information tags are printed.
    lintian_status=0
    lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
    cat "$work/lintian.log"
    [[ "$lintian_status" -eq 0 ]] || fail "lintian reports errors or warnings (status $lintian_status)"
    # Information tags that matter all the same: what lintian finds unhardened
    # or left in a stripped binary.
    ! grep -E '^[A-Z]: [^ ]+: (hardening-[a-z-]+|binary-has-unneeded-section) ' "$work/lintian.log" >/dev/null ||
      fail "lintian finds the binaries unhardened or not fully stripped (above)"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac

check_files "$root"
check_run_paths "$root"
check_hardening "$root"
check_versions "$root"
check_status_job "$root"
echo "ok: $mode tree $root"
