#!/usr/bin/env bash
# The manual pages render without a single warning, and keep up with the
# programs: every option a program's --help names is in its page, the exit
# statuses its --help lists (common/exit_status.h) are those of its page's
# EXIT STATUS, and the tool's page quotes its usage line exactly.
#   manpages_test.sh DOC_DIR BIN_DIR
# Exit status 77: man is not installed (CTest: skipped).
set -euo pipefail
doc=$1
bin=$2

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
command -v man >/dev/null || {
  echo "SKIP: man is not installed (scripts/setup.sh installs man-db)"
  exit 77
}

failed=0
for page in qelttelnet qelttrace qeltbridge; do
  # At the width of a terminal and of lintian's check, in either encoding.
  for locale in C C.UTF-8; do
    for width in 80 64; do
      warnings=$(LC_ALL=$locale MANWIDTH=$width man --warnings -l "$doc/$page.1" 2>&1 >/dev/null)
      if [[ -n "$warnings" ]]; then
        echo "FAIL: $page.1 at $width columns, $locale:"$'\n'"$warnings" >&2
        failed=1
      fi
    done
  done
done

# The rendered text, in ASCII and without line breaks inside a paragraph, so
# that an option reads as the program prints it.
rendered() {
  LC_ALL=C MANWIDTH=400 man -l "$doc/$1.1" 2>/dev/null | col -b
}

for program in qelttrace qeltbridge; do
  help=$("$bin/$program" --help) || fail "$program --help failed"
  text=$(rendered "$program")
  options=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u || true)
  for option in $options; do
    if ! grep -qF -- "$option" <<<"$text"; then
      echo "FAIL: $program --help names $option, its manual page does not" >&2
      failed=1
    fi
  done
  listed=$(sed -n '/^Exit status:/,$p' <<<"$help" | grep -oE '^  [0-9]+ ' | tr -d ' ' | sort || true)
  paged=$(sed -n '/^\.Sh EXIT STATUS/,/^\.Sh /p' "$doc/$program.1" |
    sed -n 's/^\.It \([0-9][0-9]*\)$/\1/p' | sort || true)
  if [[ -z "$listed" || "$listed" != "$paged" ]]; then
    echo "FAIL: $program --help lists the exit statuses" $listed "and its page" $paged >&2
    failed=1
  fi
done

usage=$("$bin/qelttelnet" -h | head -n 1) || true
[[ "$usage" == "usage: qelttelnet "* ]] || fail "qelttelnet -h printed \"$usage\""
grep -qF -- "$usage" <<<"$(rendered qelttelnet)" || {
  echo "FAIL: the qelttelnet page does not quote \"$usage\"" >&2
  failed=1
}

[[ "$failed" -eq 0 ]] || exit 1
echo "ok: three pages render cleanly and name every option and exit status"
