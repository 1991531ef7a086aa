#!/usr/bin/env bash
# Checks what scripts/install-deps.sh prints, against a stand-in package manager on PATH: nothing
# when every package is there; a few lines when it installs, however much apt prints; apt's own
# error and a failure status when a step fails.
# usage: install_deps_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# dpkg-query: every package installed, or none (FAKE_MISSING=1).
cat > "$work/bin/dpkg-query" <<'SH'
#!/bin/sh
[ "${FAKE_MISSING:-0}" = 1 ] && exit 1
printf 'install ok installed'
SH
# apt-get: a page of progress; the install fails with apt's error when FAKE_FAIL=1.
cat > "$work/bin/apt-get" <<'SH'
#!/bin/sh
for i in $(seq 150); do echo "Unpacking package-$i (1.0) ..."; done
if [ "${FAKE_FAIL:-0}" = 1 ] && [ "$1" = install ]; then
  echo "E: Unable to locate package sip-tester" >&2
  exit 100
fi
exit 0
SH
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work/bin/"*

failed=0
# One case: name, environment, wanted exit status (0 or not), the most lines, a text the output holds.
check() {
  local name=$1 env=$2 want_ok=$3 max_lines=$4 want_text=$5 out rc
  # shellcheck disable=SC2086
  out=$(env PATH="$work/bin:$PATH" $env bash "$src/scripts/install-deps.sh" 2>&1)
  rc=$?
  if { [ "$want_ok" = yes ] && [ "$rc" -ne 0 ]; } || { [ "$want_ok" = no ] && [ "$rc" -eq 0 ]; }; then
    echo "FAIL: $name: exit $rc"; failed=$((failed + 1))
  fi
  local lines
  lines=$(printf '%s' "$out" | grep -c '' || true)
  if [ "$lines" -gt "$max_lines" ]; then
    echo "FAIL: $name: $lines lines, at most $max_lines wanted:"; printf '%s\n' "$out" | head -5
    failed=$((failed + 1))
  fi
  if [ -n "$want_text" ] && ! grep -qF -- "$want_text" <<<"$out"; then
    echo "FAIL: $name: no '$want_text' in: $(printf '%s' "$out" | tail -5)"; failed=$((failed + 1))
  fi
}
check "nothing missing" "FAKE_MISSING=0" yes 0 ""
check "installs quietly" "FAKE_MISSING=1" yes 3 "installing: "
check "a failed install shows apt's error" "FAKE_MISSING=1 FAKE_FAIL=1" no 45 "E: Unable to locate package sip-tester"
[ "$failed" -eq 0 ] && echo "install-deps output: all cases passed"
exit "$failed"
