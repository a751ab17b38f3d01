#!/usr/bin/env bash
# The manual page renders without a single complaint from either formatter
# that man -l may use. mandoc's note that a referenced page (udev(7), ...) is
# not installed depends on the machine, not on the page, so it is let through.
# Usage: manpage_lint_test.sh <flasher.1>
set -u
page=$1
failures=0
if ! command -v mandoc >/dev/null; then echo "FAIL: mandoc is not installed"; exit 1; fi
if ! command -v groff >/dev/null; then echo "FAIL: groff is not installed"; exit 1; fi

lint=$(mandoc -T lint -W style "$page" 2>&1 | grep -v 'STYLE: referenced manual not found')
if [ -n "$lint" ]; then
  echo "FAIL: mandoc -T lint:"
  echo "$lint"
  failures=$((failures + 1))
fi
groff_out=$(groff -ww -mandoc -z "$page" 2>&1)
if [ $? -ne 0 ] || [ -n "$groff_out" ]; then
  echo "FAIL: groff -ww -mandoc -z:"
  echo "$groff_out"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "manual page: mandoc and groff clean"
exit $((failures > 0))
