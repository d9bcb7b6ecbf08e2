#!/bin/sh
# The examples of the manual page are run as written. Blocks marked in the page
# source with "example-file NAME" are written into one directory, in page order;
# at each "example-output" block velmora runs there and must succeed with that
# output, at each "example-error" block it must fail (status 2) with exactly
# that diagnostic. Usage: manpage_examples.sh PAGE VELMORA
set -u
page=$1
velmora=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$work/steps" "$work/run"
# Each marked .nf/.fi block becomes steps/N (its text, with the few roff escapes
# an example may use turned back into the characters a user types) and
# steps/N.what ("file NAME", "output" or "error"), by tests/manpage_blocks.awk.
awk -v steps="$work/steps" -v marker="example-" -f "$(dirname "$0")/../manpage_blocks.awk" "$page" || fail "cannot take the examples from $page"

count=$(cat "$work/steps/count")
runs=0
i=1
while [ "$i" -le "$count" ]; do
  block="$work/steps/$i"
  read -r kind name < "$block.what"
  case $kind in
    file)
      [ -n "$name" ] || fail "example block $i names no file"
      cp "$block" "$work/run/$name" ;;
    output|error)
      runs=$((runs + 1))
      status=0
      (cd "$work/run" && "$velmora" > "$work/stdout" 2> "$work/stderr") || status=$?
      if [ "$kind" = output ]; then
        [ "$status" -eq 0 ] || { cat "$work/stderr" >&2; fail "example $i: exit status $status, expected 0"; }
        [ -s "$work/stderr" ] && { cat "$work/stderr" >&2; fail "example $i: output on standard error"; }
        # The page cannot show the result line's trailing blanks, so the line
        # is checked for its full width and then compared without them.
        awk 'length($0) != 26 { exit 1 }' "$work/stdout" ||
          fail "example $i: result line is not 26 characters: '$(cat "$work/stdout")'"
        sed 's/ *$//' "$work/stdout" > "$work/shown"
        cmp -s "$work/shown" "$block" ||
          fail "example $i: velmora printed '$(cat "$work/stdout")', the page shows '$(cat "$block")'"
      else
        [ "$status" -eq 2 ] || fail "example $i: exit status $status, expected 2"
        [ -s "$work/stdout" ] && fail "example $i: output on standard output"
        cmp -s "$work/stderr" "$block" ||
          fail "example $i: velmora wrote '$(cat "$work/stderr")', the page shows '$(cat "$block")'"
      fi ;;
    *) fail "example block $i has an unknown kind '$kind'" ;;
  esac
  i=$((i + 1))
done
[ "$runs" -gt 0 ] || fail "the page has no example that runs velmora"
echo "$runs examples of the manual page give what the page shows"
