#!/bin/sh
# The examples of velmora-suite's manual page are what the program prints:
# each block marked "example-suite STATUS DIRECTORY [ARGUMENT...]" is run in
# DIRECTORY of the source tree. Trailing blanks and tabs of each line aside,
# which a page cannot show. Usage: manpage_test.sh PAGE SUITE SOURCE_DIR
set -u
page=$1
suite=$2
source=$3
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir "$work/steps"
awk -v steps="$work/steps" -v marker="example-suite " -f "$source/tests/manpage_blocks.awk" "$page" ||
  fail "cannot take the examples from $page"
count=$(cat "$work/steps/count")
[ "$count" -gt 0 ] || fail "the page has no example"
i=1
while [ "$i" -le "$count" ]; do
  read -r want directory arguments < "$work/steps/$i.what"
  status=0
  # shellcheck disable=SC2086
  (cd "$source/$directory" && "$suite" $arguments > "$work/out" 2>/dev/null) || status=$?
  [ "$status" -eq "$want" ] || fail "example $i: exit status $status, expected $want"
  sed 's/[[:blank:]]*$//' "$work/out" > "$work/got"
  sed 's/[[:blank:]]*$//' "$work/steps/$i" > "$work/shown"
  cmp -s "$work/got" "$work/shown" || { diff "$work/shown" "$work/got" >&2; fail "example $i differs from the page"; }
  i=$((i + 1))
done
echo "$count examples of the manual page give what the page shows"
