#!/bin/sh
# velmora-suite's HTML report in a real browser: headless Chromium opens the
# index and a case page from a generated tree and the DOM it renders must hold
# every case, with its verdict, and the filter to failures must hide exactly
# the cases within their limit or without one; a case page shows the
# findings, the top rows and the picture, and one that cannot be read shows
# velmora's two lines. Screenshots are left in SHOTS (if given) to look at.
# Usage: html_test.sh SUITE SOURCE_DIR N [SHOTS]
set -u
suite=$1
source=$2
count=$3
shots=${4:-}
if ! command -v chromium >/dev/null 2>&1; then
  echo "chromium not found: the HTML report is not checked in a browser"
  [ -n "${CI:-}" ] && exit 1  # CI installs it
  exit 77
fi
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

browse() {  # URL OUTPUT [--screenshot=FILE]
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
    --window-size=1280,1000 --virtual-time-budget=5000 ${3:+"$3"} --dump-dom "$1" > "$2" 2> "$work/browser.log" ||
    { cat "$work/browser.log" >&2; fail "chromium could not open $1"; }
}

sh "$source/tests/suite/make-tree.sh" "$work/tree" "$count" || fail "cannot make the tree"
cd "$work" || exit 1
"$suite" --html "$work/report" tree > "$work/lines" 2>/dev/null
[ -f "$work/report/index.html" ] || fail "no index.html"

browse "file://$work/report/index.html" "$work/index.dom" ${shots:+"--screenshot=$shots/index.png"}
# The script moves the rows about, so the browser writes them on one line.
split_rows() { sed 's/<tr /\n<tr /g' "$1"; }
rows=$(split_rows "$work/index.dom" | grep -c '^<tr class="[a-z]*" data-n=')
[ "$rows" -eq "$count" ] || fail "the index shows $rows rows for $count cases"
tab=$(printf '\t')
grep -v "^$tab" "$work/lines" | grep "$tab" | while IFS="$tab" read -r path result limit verdict finding; do
  split_rows "$work/index.dom" | grep -q "^<tr class=\"$verdict\" data-n=\"[0-9]*\" data-path=\"$path\" data-total=\"[^\"]*\" data-limit=\"[^\"]*\" data-verdict=\"$verdict\"" ||
    fail "the index has no row for $path ($verdict)"
done || exit 1

# The filter to failures, asked for in the address, hides the rest.
browse "file://$work/report/index.html#failures&sort=total-down" "$work/failures.dom" \
  ${shots:+"--screenshot=$shots/failures.png"}
failing=$(grep -c "${tab}\(fail\|error\)$tab" "$work/lines")
shown=$(split_rows "$work/failures.dom" | grep '^<tr class="[a-z]*" data-n=' | grep -vc ' hidden=')
[ "$shown" -eq "$failing" ] || fail "the failures filter shows $shown rows, $failing cases fail"
split_rows "$work/failures.dom" | grep '^<tr class="[a-z]*" data-n=' | grep -v ' hidden=' | grep -vq 'data-verdict="\(fail\|error\)"' &&
  fail "the failures filter shows a case that does not fail"
# Sorted by total, largest first: the totals shown go down.
split_rows "$work/failures.dom" | grep '^<tr class="[a-z]*" data-n=' | sed 's/.*data-total="\([^"]*\)".*/\1/' > "$work/totals"
sort -g -r "$work/totals" | cmp -s - "$work/totals" || fail "sorting by total does not put the largest first"

# A case above its limit: its findings, its rows and its picture.
above=$(grep -v "^$tab" "$work/lines" | awk -F "$tab" '$4 == "fail" { print NR; exit }')
page=$(printf 'case-%04d.html' "$above")
browse "file://$work/report/$page" "$work/case.dom" ${shots:+"--screenshot=$shots/case.png"}
grep -q 'id="verdict">fail<' "$work/case.dom" || fail "$page does not show the verdict"
grep -q '<table id="top">' "$work/case.dom" || fail "$page has no top rows"
grep -q '<img id="picture" src="case-[0-9]*\.svg"' "$work/case.dom" || fail "$page has no picture"
picture=$(sed -n 's/.*<img id="picture" src="\(case-[0-9]*\.svg\)".*/\1/p' "$work/case.dom")
[ -s "$work/report/$picture" ] || fail "$page names a picture that is not there"

# A case that cannot be read: velmora's two lines.
error=$(grep -v "^$tab" "$work/lines" | awk -F "$tab" '$4 == "error" { print NR; exit }')
page=$(printf 'case-%04d.html' "$error")
browse "file://$work/report/$page" "$work/error.dom"
grep -q '<pre id="stop">Velmora: statement [0-9]*, channel 1[13]' "$work/error.dom" ||
  fail "$page does not show where velmora stops"
# Nothing outside the report folder: no network, no framework.
grep -l 'https\?://' "$work"/report/*.html && fail "a page refers to the network"
echo "HTML report of $count cases checked in Chromium"
