#!/usr/bin/env bash
# Validates a desktop entry; fails on errors, warnings and hints alike.
set -uo pipefail
report=$(desktop-file-validate "$1" 2>&1)
status=$?
if [ $status -ne 0 ] || [ -n "$report" ]; then
  echo "$1: desktop-file-validate exited with $status"
  echo "$report"
  exit 1
fi
