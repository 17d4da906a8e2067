#!/usr/bin/env bash
# Renders a manual page (roff, plain or gzipped) as man would at 80 columns and
# fails on any warning: man --warnings makes groff report what it had to guess.
set -uo pipefail
page=$1
errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
status=$?
if [ $status -ne 0 ] || [ -n "$errors" ]; then
  echo "$page: man exited with $status"
  echo "$errors"
  exit 1
fi
