#!/bin/sh
# velmora-suite on a generated tree of N cases (make-tree.sh) and on the
# example suite: every case's result line is the line velmora prints in a copy
# of the case, byte for byte, and a case velmora cannot read shows velmora's
# two lines; nothing in the tree is created or changed; the output is the
# same whatever the number of jobs; the JUnit XML and the JSON agree with the
# lines (report_check); the exit statuses and usage errors are as documented.
# Usage: tree_test.sh SUITE VELMORA REPORT_CHECK SOURCE_DIR N
set -u
suite=$1
velmora=$2
check=$3
source=$4
count=$5
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Everything about a tree that a run could change: each entry's kind, size,
# permissions, modification time and link target, and each file's bytes.
snapshot() {
  (cd "$1" && find . -printf '%p %y %s %m %T@ %l\n' | LC_ALL=C sort &&
    find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum)
}

# Runs velmora in a copy of each case the lines name and compares.
agree_with_velmora() {  # LINES ROOT
  n=0
  tab=$(printf '\t')
  while IFS= read -r line; do
    case $line in
      "$tab"*) continue ;;
      *"$tab"*) ;;
      *) continue ;;  # the summary
    esac
    path=${line%%"$tab"*}
    rest=${line#*"$tab"}
    shown_line=${rest%%"$tab"*}
    rm -rf "$work/copy"
    cp -R "$2/$path" "$work/copy"
    status=0
    (cd "$work/copy" && "$velmora" > "$work/v.out" 2> "$work/v.err") || status=$?
    if [ "$shown_line" = "-" ]; then
      [ "$status" -eq 2 ] || fail "$path: the suite says it cannot be read, velmora exited $status"
      # velmora's two lines, each after a tab, follow the case's line.
      awk -v p="$path$tab" 'index($0, p) == 1 { on = 1; next } on && /^\t/ { print substr($0, 2); next } { on = 0 }' \
        "$1" > "$work/shown.err"
      cmp -s "$work/shown.err" "$work/v.err" ||
        fail "$path: the suite shows '$(cat "$work/shown.err")', velmora wrote '$(cat "$work/v.err")'"
    else
      [ "$status" -eq 0 ] || fail "$path: velmora exited $status: $(cat "$work/v.err")"
      printf '%s\n' "$shown_line" > "$work/shown.out"
      cmp -s "$work/shown.out" "$work/v.out" ||
        fail "$path: the suite shows '$shown_line', velmora printed '$(cat "$work/v.out")'"
    fi
    n=$((n + 1))
  done < "$1"
  echo "$n cases agree with velmora"
}

tree="$work/tree"
sh "$source/tests/suite/make-tree.sh" "$tree" "$count" || fail "cannot make the tree"
snapshot "$tree" > "$work/before" || fail "cannot take the snapshot"

cd "$work" || exit 1
status=0
"$suite" -j 1 --junit "$work/j1.xml" tree > "$work/lines1" 2> "$work/err1" || status=$?
[ "$status" -eq 2 ] || fail "a tree with unreadable cases gave exit status $status"
[ -s "$work/err1" ] && fail "standard error not empty (not a terminal): $(cat "$work/err1")"
"$suite" -j 3 --json tree > "$work/json3" 2> "$work/err3"
"$suite" --jobs=2 tree > "$work/lines2" 2>/dev/null
cmp -s "$work/lines1" "$work/lines2" || fail "-j 1 and -j 2 print different lines"
[ "$(grep -c '^group-' "$work/lines1")" -eq "$count" ] || fail "not $count case lines"
snapshot "$tree" > "$work/after"
cmp -s "$work/before" "$work/after" || { diff "$work/before" "$work/after" >&2; fail "the runs changed the tree"; }
"$check" "$work/lines1" "$work/j1.xml" "$work/json3" || fail "the reports disagree"
agree_with_velmora "$work/lines1" "$tree" || exit 1
# The loop back to the top is not followed: every case once.
[ "$(cut -f1 "$work/lines1" | grep -c loop)" -eq 0 ] || fail "a case was reached through the loop"

# Exit statuses: within limits 0, above a limit 1, a case that cannot be read 2.
# Cases are named relative to the DIR they were found under.
exact=tree/$(awk -F '\t' '$4 == "pass" && $2 ~ /^ *0\.0+ *$/ { print $1; exit }' "$work/lines1")
above=tree/$(awk -F '\t' '$4 == "fail" { print $1; exit }' "$work/lines1")
report=tree/$(awk -F '\t' '$4 == "report" { print $1; exit }' "$work/lines1")
expect_status() {  # STATUS ARGUMENT...
  want=$1
  shift
  got=0
  "$suite" "$@" > "$work/out" 2> "$work/err" || got=$?
  [ "$got" -eq "$want" ] || fail "velmora-suite $*: exit status $got, expected $want"
}
expect_status 0 "$exact" "$report"
expect_status 1 "$exact" "$above"
expect_status 1 --fail-above 1 "$report"
expect_status 0 --fail-above 1e300 "$report"
# A limit file wins over --fail-above.
expect_status 1 --fail-above 1e300 "$above"

# Usage errors and unusable input: two lines on standard error, status 2.
mkdir "$work/empty"
for arguments in "-j 0" "-j x" "--jobs" "--fail-above nan" "--fail-above" "--bogus" "-x" "--json=1" \
                 "$work/nowhere" "$tree/no-case-here/README" "$work/empty" "--junit $exact/out.xml $exact" \
                 "--html $exact/report $exact"; do
  # shellcheck disable=SC2086
  expect_status 2 $arguments
  [ -s "$work/out" ] && fail "velmora-suite $arguments wrote to standard output"
  [ "$(wc -l < "$work/err")" -eq 2 ] || fail "velmora-suite $arguments: not two lines: $(cat "$work/err")"
done

# A limit file that is not one number makes its case an error.
cp -R "$exact" "$work/badlimit"
printf '1 2\n' > "$work/badlimit/velmora-limit"
expect_status 2 "$work/badlimit"
grep -q "	velmora-suite: limit file '.*velmora-limit'" "$work/out" || fail "bad limit file: $(cat "$work/out")"
printf '# exact\n  0 \n' > "$work/badlimit/velmora-limit"
expect_status 0 "$work/badlimit"

# The example suite, and the same checks.
snapshot "$source/examples/suite" > "$work/before"
cd "$source/examples/suite" || exit 1
status=0
"$suite" --junit "$work/ej.xml" > "$work/elines" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "the example suite gave exit status $status"
"$suite" --json > "$work/ejson" 2>/dev/null
snapshot "$source/examples/suite" > "$work/after"
cmp -s "$work/before" "$work/after" || fail "the runs changed the example suite"
"$check" "$work/elines" "$work/ej.xml" "$work/ejson" || fail "the example's reports disagree"
agree_with_velmora "$work/elines" "$source/examples/suite" || exit 1
echo "velmora-suite: $count generated cases and the example suite checked"
