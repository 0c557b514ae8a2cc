#!/usr/bin/env bash
# The manual pages: groff reads them without a single warning, man renders
# them (with its warnings on, as lintian runs it), and their header names
# the version the build makes; kelo(1) has every message of the program
# (scripts/check-messages.py). Usage: scripts/check-man.sh [page.1...]
set -euo pipefail
cd "$(dirname "$0")/.."

pages=("$@")
[ ${#pages[@]} -gt 0 ] || pages=(man/kelo.1 man/k940-sim.1)
version=$(sed -n 's/^project(kelo VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
status=0
for page in "${pages[@]}"; do
  failed=0
  warnings=$(groff -man -ww -z "$page" 2>&1) || failed=1
  if [ $failed -ne 0 ] || [ -n "$warnings" ]; then
    printf 'check-man: %s: groff warns:\n%s\n' "$page" "$warnings" >&2
    failed=1
  fi
  errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) ||
    errors="man -l ended with status $? ${errors}"
  if [ -n "$errors" ]; then
    printf 'check-man: %s: man -l:\n%s\n' "$page" "$errors" >&2
    failed=1
  fi
  if ! head -n1 "$page" | grep -q "\"kelo $version\""; then
    echo "check-man: $page: the .TH line does not name kelo $version" >&2
    failed=1
  fi
  if [ $failed -eq 0 ]; then echo "check-man: $page reads cleanly"; else status=1; fi
  # kelo(1) explains every message the program prints.
  if [ "$(basename "$page")" = kelo.1 ]; then
    python3 scripts/check-messages.py "$page" src || status=1
  fi
done
exit $status
