#!/bin/sh
# Writes a tree of N small cases into DIR (which must not exist), for the
# suite's tests and its bench. Case i (from 1) is of kind i mod 6:
#   0 exact:       two identical files, limit 0                    -> pass
#   1 loose:       files that differ, a limit above their total    -> pass
#   2 above:       files that differ, a limit below their total    -> fail
#   3 unreadable:  the compared file's header is cut short         -> error
#   4 missing:     the compared file does not exist (velmora would
#                  create it empty; the suite must not)            -> error
#   5 report:      files that differ, no limit                     -> report
# Every tenth case sits one folder deeper, and the tree holds a link back to
# its top (a loop the suite must not follow) and a folder without a case.
# Usage: make-tree.sh DIR N
set -eu
dir=$1
count=$2
mkdir "$dir"
mkdir "$dir/no-case-here"
echo "notes" > "$dir/no-case-here/README"
ln -s .. "$dir/no-case-here/loop"

# A plain-layout file: a title shorter than 12 characters selects twenty
# skipped records, then rows. $1 is the file, $2 the row count, $3 the
# value added to column 2 of row 2.
data() {
  {
    echo "Run $4"
    h=1
    while [ $h -le 20 ]; do echo "header line $h"; h=$((h + 1)); done
    r=1
    while [ $r -le "$2" ]; do
      if [ $r -eq 2 ]; then echo "$r 0.5$3 7"; else echo "$r 0.25 7"; fi
      r=$((r + 1))
    done
  } > "$1"
}

i=1
while [ $i -le "$count" ]; do
  name=$(printf 'case-%04d' $i)
  if [ $((i % 10)) -eq 0 ]; then name="deeper/$name"; fi
  case_dir="$dir/group-$((i % 7))/$name"
  mkdir -p "$case_dir"
  rows=$((3 + i % 5))
  kind=$((i % 6))
  data "$case_dir/ref.dat" $rows "" a
  printf 'ref.dat\nnew.dat\n' > "$case_dir/CompareThese.inp"
  case $kind in
    0) cp "$case_dir/ref.dat" "$case_dir/new.dat"; echo 0 > "$case_dir/velmora-limit" ;;
    1) data "$case_dir/new.dat" $rows "$i" b; echo 1e12 > "$case_dir/velmora-limit" ;;
    2) data "$case_dir/new.dat" $rows "$i" b; echo 0.5 > "$case_dir/velmora-limit" ;;
    3) data "$case_dir/new.dat" $rows "$i" b
       head -n 7 "$case_dir/new.dat" > "$case_dir/short" && mv "$case_dir/short" "$case_dir/new.dat"
       echo 1 > "$case_dir/velmora-limit" ;;
    4) printf 'ref.dat\nnot-there.dat\n' > "$case_dir/CompareThese.inp" ;;
    5) data "$case_dir/new.dat" $((rows + 1)) "$i" b ;;
  esac
  i=$((i + 1))
done
