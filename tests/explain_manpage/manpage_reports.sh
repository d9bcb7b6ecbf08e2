#!/bin/sh
# The example reports of velmora-explain's manual page are run as written. A
# block marked in the page source with "example-report STATUS DIR [ARG...]"
# must be what velmora-explain writes to standard output when started with
# those arguments in a copy of DIR (relative to SOURCE), ending with exit
# status STATUS; the copy must hold the same files afterwards (the program
# creates nothing). The page cannot show trailing blanks, so each line is
# compared without them. Usage: manpage_reports.sh PAGE VELMORA_EXPLAIN SOURCE
set -u
page=$1
explain=$2
source=$3
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$work/steps"
# Each marked .nf/.fi block becomes steps/N (its text, with the roff escapes an
# example uses turned back into the characters the program writes) and
# steps/N.what (the marker's status, directory and arguments), by
# tests/manpage_blocks.awk.
awk -v steps="$work/steps" -v marker="example-report " -f "$(dirname "$0")/../manpage_blocks.awk" "$page" || fail "cannot take the examples from $page"

count=$(cat "$work/steps/count")
[ "$count" -gt 0 ] || fail "the page has no example report"
i=1
while [ "$i" -le "$count" ]; do
  block="$work/steps/$i"
  read -r expected dir args < "$block.what"
  rm -rf "$work/run" && cp -R "$source/$dir" "$work/run" || fail "example $i: no directory $dir"
  (cd "$work/run" && ls -lA --time-style=+%s . > "$work/before")
  status=0
  # The arguments are words without quotes or blanks in them.
  # shellcheck disable=SC2086
  (cd "$work/run" && "$explain" $args > "$work/stdout" 2> "$work/stderr") || status=$?
  [ "$status" -eq "$expected" ] ||
    { cat "$work/stderr" >&2; fail "example $i ($args): exit status $status, expected $expected"; }
  (cd "$work/run" && ls -lA --time-style=+%s . > "$work/after")
  cmp -s "$work/before" "$work/after" || fail "example $i ($args): files in $dir changed: $(diff "$work/before" "$work/after")"
  sed 's/ *$//' "$work/stdout" > "$work/shown"
  cmp -s "$work/shown" "$block" ||
    fail "example $i ($args): the page shows another report:
$(diff "$block" "$work/shown")"
  i=$((i + 1))
done
echo "$count example reports of the manual page give what the page shows"
