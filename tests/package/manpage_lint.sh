#!/bin/sh
# The manual page must format without a single warning, both for print (groff's
# default device) and for a terminal. Usage: manpage_lint.sh PAGE
set -u
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "groff not found: not checked"
  [ -n "${CI:-}" ] && exit 1  # CI installs it
  exit 77
fi
[ -s "$page" ] || { echo "FAIL: no manual page at $page" >&2; exit 1; }

status=0
for device in default utf8; do
  if [ "$device" = default ]; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
  else
    warnings=$(groff -man -T"$device" -ww -z "$page" 2>&1)
  fi
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$warnings" ]; then
    echo "FAIL: groff -man -ww -z ($device device) exited $rc:" >&2
    printf '%s\n' "$warnings" >&2
    status=1
  fi
done
exit $status
