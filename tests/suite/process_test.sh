#!/bin/bash
# velmora-suite run as CI runs it, one row per way a run can go wrong: each
# row lays out a tree in a fresh folder, runs the suite, and checks the exit
# status, what standard output and standard error say, and that every file
# laid out is byte for byte as it was (above all where a report would have
# gone over it). Rows that need root to run as an unprivileged user are
# skipped without it.
# Usage: process_test.sh SUITE VELMORA SOURCE_DIR [sanitized|plain]
# A sanitized build cannot start under an address-space limit, so the row
# that sets one leaves that run out.
set -u
suite=$1
velmora=$2
source=$3
build=${4:-plain}
work=$(mktemp -d /tmp/suite-process.XXXXXX) || exit 1
chmod 755 "$work"
pids=""
mounts=""
cleanup() {
  for p in $pids; do kill -KILL "$p" 2>/dev/null; done
  for m in $mounts; do umount "$m" 2>/dev/null; done
  chmod -R u+rwX "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# The program where an unprivileged user can run it.
cp "$suite" "$work/velmora-suite"
suite=$work/velmora-suite
failures=0
rows=0
title=""
fail() {
  echo "FAIL [$title]: $*" >&2
  failures=$((failures + 1))
}

# ---- the helpers a row uses ---------------------------------------------------

# A case folder: a plain header of 20 records, then rows; b.dat differs from
# a.dat on row 2 by 0.125 (total 15625) unless the second argument is "same".
plain() { printf 'readings\n'; for _ in $(seq 20); do printf 'header\n'; done; }
mkcase() {  # FOLDER [same]
  mkdir -p "$1"
  { plain; printf '1 0.25 0\n2 0.5 0\n'; } > "$1/a.dat"
  if [ "${2:-}" = same ]; then cp "$1/a.dat" "$1/b.dat"; else { plain; printf '1 0.25 0\n2 0.625 0\n'; } > "$1/b.dat"; fi
  printf 'a.dat\nb.dat\n' > "$1/CompareThese.inp"
}

# Every file of the row's folder: kind, size, mode, link target and bytes.
# What the row's runs write (`makes NAME...`) is left out.
snapshot() {
  skip=()
  for name in $produced; do skip+=(-path "./$name" -prune -o); done
  find . "${skip[@]}" -printf '%p %y %s %m %l\n' 2>/dev/null | LC_ALL=C sort
  find . "${skip[@]}" -type f -readable -print0 2>/dev/null | LC_ALL=C sort -z | xargs -0 -r md5sum 2>/dev/null
}
makes() { produced="$produced $*"; }

row() {
  title=$1
  rows=$((rows + 1))
  dir=$work/row$rows
  mkdir "$dir" && cd "$dir" || exit 1
  taken=""
  produced=""
}

# Runs the suite with the arguments (standard output to ../out, standard
# error to ../err) and checks its exit status. The first run of a row takes
# the snapshot that `kept` compares with.
run() {  # STATUS ARGUMENT...
  want=$1
  shift
  [ -n "$taken" ] || { snapshot > ../before; taken=1; }
  got=0
  timeout 120 "$suite" "$@" > ../out 2> ../err || got=$?
  [ "$got" -eq "$want" ] || fail "velmora-suite $*: exit status $got, expected $want; stderr: $(head -c 600 ../err)"
}
# Likewise through a shell command line (for redirections and limits).
run_sh() {  # STATUS COMMAND
  [ -n "$taken" ] || { snapshot > ../before; taken=1; }
  got=0
  S=$suite timeout 120 bash -c "$2" > ../out 2> ../err || got=$?
  [ "$got" -eq "$1" ] || fail "$2: exit status $got, expected $1; stderr: $(head -c 600 ../err)"
}
has() {  # out|err TEXT
  grep -qF -- "$2" "../$1" || fail "$1 lacks '$2': $(head -c 800 "../$1")"
}
lacks() {  # out|err TEXT
  grep -qF -- "$2" "../$1" && fail "$1 holds '$2'"
}
lines() {  # out|err COUNT
  [ "$(wc -l < "../$1")" -eq "$2" ] || fail "$1 is not $2 lines: $(head -c 800 "../$1")"
}
kept() {
  snapshot > ../after
  cmp -s ../before ../after || fail "files changed: $(diff ../before ../after | head -n 10)"
}
# Every case line's result is the line velmora prints in a copy of the case.
agree() {  # DIR
  tab=$(printf '\t')
  grep -v "^$tab" ../out | grep "$tab" | while IFS="$tab" read -r path result _; do
    [ "$result" = "-" ] && continue
    rm -rf ../copy && cp -R "$1/$path" ../copy
    (cd ../copy && "$velmora") > ../v.out 2>/dev/null
    [ "$(cat ../v.out)" = "$result" ] || { echo "FAIL [$title]: $path: velmora prints '$(cat ../v.out)', the suite '$result'" >&2; exit 1; }
  done || failures=$((failures + 1))
}
as_nobody() { [ "$(id -u)" -eq 0 ] && command -v setpriv > /dev/null; }
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"

# ---- 1. no report over an input -------------------------------------------------

row "a JUnit file that is a link to a data file is refused before any case runs"
mkcase T/c
ln -s T/c/a.dat report.xml
run 2 --junit report.xml T
has err "velmora-suite: JUnit file 'report.xml'"
has err "error: it is 'c/a.dat', a file the case 'c' reads"
lines err 2
lines out 0
kept

row "a JUnit file that is a hard link to a data file is refused"
mkcase T/c
ln T/c/b.dat hard.xml
run 2 --junit hard.xml T
has err "error: it is 'c/b.dat', a file the case 'c' reads"
kept

row "a shared reference outside the case folders is an input too"
mkcase T/c
mkdir T/shared && mv T/c/a.dat T/shared/ref.dat
printf "'../shared/ref.dat'\nb.dat\n" > T/c/CompareThese.inp
run 2 --junit T/shared/ref.dat T
has err "error: it is 'c/../shared/ref.dat', a file the case 'c' reads"
kept

row "a limit file and a control file are inputs"
mkcase T/c same
echo 0 > T/c/velmora-limit
ln -s T/c/CompareThese.inp control.xml
run 2 --junit T/c/velmora-limit T
has err "error: it is 'c/velmora-limit', a file the case 'c' reads"
run 2 --junit control.xml T
has err "error: it is 'c/CompareThese.inp', a file the case 'c' reads"
kept

row "a JUnit file or an HTML report inside a case folder is refused"
mkcase T/c same
run 2 --junit T/c/out.xml T
has err "error: it would be written into the case folder 'c'"
run 2 --html T/c/report T
has err "error: it would be made in the case folder 'c'"
run 2 --html T/c T
has err "HTML report 'T/c'"
kept

row "standard output or standard error onto a file a case reads is refused"
mkcase T/c
run_sh 2 '"$S" T >> T/c/a.dat'
has err "velmora-suite: standard output"
has err "error: it goes to 'c/a.dat', a file the case 'c' reads"
# Standard error there too: the refusal is not written either.
run_sh 2 '"$S" T 2>> T/c/b.dat 1>&2'
kept

row "the JUnit file is not where standard output goes, nor inside the HTML report"
mkcase T/c same
run_sh 2 '"$S" --junit out.txt T >> out.txt'
has err "error: it is the file standard output goes to"
makes out.txt
run_sh 0 '"$S" --html H T > /dev/null'
snapshot > ../before
run_sh 2 '"$S" --html H T >> H/index.html'
has err "error: 'H/index.html' in it is the file standard output goes to"
run 2 --junit H/index.html --html H T
has err "error: it is inside the HTML report 'H', which is made anew"
kept

row "a FIFO nobody reads is refused at once, one with a reader takes the report"
mkcase T/c same
mkfifo pipe.xml
run 2 --junit pipe.xml T
has err "velmora-suite: JUnit file 'pipe.xml'"
has err "error: cannot open it: No such device or address"
( cat pipe.xml > ../read.xml ) &
reader=$!
sleep 0.2
run 0 --junit pipe.xml T
wait "$reader"
grep -q '<testcase classname="velmora-suite" name="c"' ../read.xml || fail "the reader of the FIFO got no report: $(head -c 300 ../read.xml)"
run 0 --junit /dev/null T
kept

row "a run killed midway leaves the previous JUnit file and HTML report whole"
mkcase T/c same
mkcase T/slow same
printf "a.dat\n'/dev/zero'\n" > T/slow/CompareThese.inp
run 2 --timeout 0.5 --junit j.xml --html H T
cp j.xml ../j.before
(cd H && md5sum ./*) > ../h.before
snapshot > ../before
for signal in TERM INT HUP; do
  "$suite" --timeout 0 --junit j.xml --html H T > /dev/null 2>&1 &
  p=$!
  pids="$pids $p"
  sleep 0.5
  children=$(pgrep -P "$p")
  [ -n "$children" ] || fail "SIG$signal: no child ran"
  kill -"$signal" "$p"
  status=0
  wait "$p" 2>/dev/null || status=$?
  case $signal in TERM) want=143 ;; INT) want=130 ;; HUP) want=129 ;; esac
  [ "$status" -eq "$want" ] || fail "SIG$signal: exit status $status, expected $want"
  sleep 0.2
  for c in $children; do kill -0 "$c" 2>/dev/null && fail "SIG$signal: child $c still runs"; done
done
cmp -s j.xml ../j.before || fail "the JUnit file changed"
(cd H && md5sum ./*) | cmp -s - ../h.before || fail "the HTML report changed"
kept
ls -a | grep -q '^\.[jH]' && fail "files left aside: $(ls -a)"

row "SIGTERM while the reports take their places ends the run by it, each report whole"
# strace sends the signal as the suite enters its first (then its second)
# rename; it ends as the suite ends, by the same signal.
mkcase T/c
makes j.xml H
snapshot > ../before
taken=1
if strace -o /dev/null true 2> /dev/null; then
  for when in 1 2; do
    rm -rf j.xml H
    status=0
    strace -o /dev/null -e trace=rename,renameat,renameat2 \
      -e inject=rename,renameat,renameat2:signal=TERM:when=$when \
      "$suite" --junit j.xml --html H T > /dev/null 2>&1 || status=$?
    [ "$status" -eq 143 ] || fail "SIGTERM at rename $when: exit status $status, expected 143"
    grep -q '<testcase classname="velmora-suite" name="c"' j.xml || fail "SIGTERM at rename $when: no whole JUnit file"
    grep -q 'case-0001.html' H/index.html || fail "SIGTERM at rename $when: no whole HTML report"
  done
  ls -a | grep -q '^\.[jH]' && fail "files left aside: $(ls -a)"
else
  echo "skipped: strace cannot trace here" >&2
fi
kept

row "a report onto a mount point or onto '.': refused before any case runs, or filled in place"
mkcase T/c
mkdir M E
makes M E j.xml
printf 'old\n' > j.xml
printf 'old\n' > ../mounted.xml
if mount -t tmpfs tmpfs M 2> /dev/null; then
  mounts="$dir/M $mounts"
  # An empty mounted artifacts folder takes the report, twice.
  run 1 --fail-above 1 --html M T
  grep -q 'case-0001.html' M/index.html || fail "no index in the mounted folder: $(ls -a M)"
  grep -q '>fail<' M/index.html || fail "the first report is not there"
  ls -A M | grep -qv '^case-\|^index.html$' && fail "left aside in the folder: $(ls -A M)"
  run 0 --fail-above 1e9 --html M T
  grep -q '>pass<' M/index.html || fail "the second report did not replace the first"
  ls -A M | grep -qv '^case-\|^index.html$' && fail "the mounted folder holds more than the report: $(ls -A M)"
  # A folder aside that a killed run left behind goes with the next run.
  mkdir M/.velmora-suite.AbC123
  run 0 --fail-above 1e9 --html M T
  [ -e M/.velmora-suite.AbC123 ] && fail "the folder left aside stays"
  # A bind-mounted JUnit file cannot be renamed over: refused before any case.
  if mount --bind ../mounted.xml j.xml 2> /dev/null; then
    mounts="$dir/j.xml $mounts"
    run 2 --junit j.xml T
    has err "velmora-suite: JUnit file 'j.xml'"
    has err "error: it is a mount point"
    lines err 2
    lines out 0
    grep -qx old j.xml || fail "the mounted JUnit file changed"
    umount j.xml
  else
    echo "skipped: bind mount not permitted" >&2
  fi
  umount M
else
  echo "skipped: mount not permitted" >&2
fi
# "." as the report: an empty folder is filled in place; one that holds
# anything else is refused before any case runs.
status=0
(cd E && "$suite" --fail-above 1 --html . ../T > /dev/null 2> ../../err) || status=$?
[ "$status" -eq 1 ] || fail "--html . in an empty folder: exit status $status: $(cat ../err)"
grep -q 'case-0001.html' E/index.html || fail "--html .: no index: $(ls -a E)"
run 2 --html . T
has err "velmora-suite: HTML report '.'"
has err "which is no page of a report"
lines out 0
run 2 --html new/. T
has err "it does not exist"
kept

row "pages of an earlier, larger run do not stay; a folder that is not a report is refused"
mkcase T/a same
mkcase T/b same
mkcase T/c same
makes H
run 0 --html H T
[ -f H/case-0003.html ] || fail "no third page"
rm -r T/b T/c
snapshot > ../before
run 0 --html H T
[ -f H/case-0002.html ] && fail "a page of the earlier run stayed"
[ -f H/index.html ] && [ -f H/case-0001.html ] || fail "the report is not whole"
mkdir mine && echo notes > mine/notes.txt
snapshot > ../before
run 2 --html mine T
has err "error: it holds 'notes.txt', which is no page of a report"
kept

row "the HTML report's missing parents are made"
mkcase T/c same
run 0 --html a/b/c T
[ -f a/b/c/index.html ] || fail "no a/b/c/index.html"

# ---- 2. no case dropped ---------------------------------------------------------

if as_nobody; then
  row "a folder that cannot be listed or searched is an error entry, the rest runs"
  mkcase T/a same
  mkcase T/locked/x same
  mkcase T/listonly/y same
  mkcase T/z same
  chmod -R a+rX T
  chmod 777 .
  makes j.xml
  chmod 711 T/locked
  chmod 744 T/listonly
  run_sh 2 "cd T && $nobody \"\$S\" --junit ../j.xml"
  has out "locked	-	-	error	"
  has out "	velmora-suite: folder 'locked'"
  has out "	error: cannot list it: Permission denied"
  has out "	velmora-suite: folder 'listonly'"
  has out "	error: cannot search it: Permission denied"
  has out "4 cases: 0 within their limit, 0 above it, 2 cannot be read, 2 without a limit"
  grep -q 'classname="velmora-suite" name="locked"' j.xml || fail "the JUnit file has no entry for the locked folder"
  grep -q '<error type="cannot-be-read" message="cannot list it: Permission denied">' j.xml ||
    fail "the JUnit file has no error for the locked folder"
  chmod 755 T/locked T/listonly
fi

row "a case 1,500 folders deep and one whose path is 4,095 bytes run"
/usr/bin/python3 - <<'EOF'
import os
data = b"readings\n" + b"header\n" * 20 + b"1 0.25 0\n2 0.5 0\n"
def lay(fd):
    for name, content in (("a.dat", data), ("b.dat", data.replace(b"0.5 0", b"0.625 0")),
                          ("CompareThese.inp", b"a.dat\nb.dat\n")):
        f = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(f, content)
        os.close(f)
def down(fd, name):
    os.mkdir(name, dir_fd=fd)
    child = os.open(name, os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    return child
os.mkdir("T")
fd = os.open("T", os.O_RDONLY)
deep = down(os.dup(fd), "deep")
for _ in range(1500):
    deep = down(deep, "d")
lay(deep)
os.close(deep)
# The case's path from the folder the suite runs in: 4,095 bytes.
long = down(fd, "long")
length = len("T/long")
while 4095 - length - 1 > 250:
    long = down(long, "x" * 200)
    length += 201
long = down(long, "y" * (4095 - length - 1))
lay(long)
os.close(long)
EOF
makes j.xml
run 0 --fail-above 20000 --junit j.xml T
has out "deep/d/d/d/"
has out "15625.000000000000"
has out "2 cases: 2 within their limit, 0 above it, 0 cannot be read, 0 without a limit"
[ "$(grep -c '<testcase' j.xml)" -eq 2 ] || fail "not two test cases"
kept

row "a limit file that cannot be read, a dangling link included, is an error entry"
mkcase T/dangling
ln -s nowhere T/dangling/velmora-limit
mkcase T/long
head -c 5000 /dev/zero | tr '\0' '#' > T/long/velmora-limit
mkcase T/ok
echo 1e9 > T/ok/velmora-limit
run 2 T
has out "	velmora-suite: limit file 'dangling/velmora-limit'"
has out "	error: cannot open it: it is a link that leads nowhere"
has out "	error: it is longer than 4096 bytes, too long for one number"
has out "ok	   15625.000000000000     	1e9	pass"
kept

# ---- 3. every case bounded --------------------------------------------------------

row "a data file that gives bytes forever is timed out, the others go on"
mkcase T/a same
mkcase T/zero
printf "a.dat\n'/dev/zero'\n" > T/zero/CompareThese.inp
mkcase T/full
printf "'/dev/full'\nb.dat\n" > T/full/CompareThese.inp
makes j.xml
run 2 --timeout 1 --junit j.xml T
has out "	velmora-suite: case 'zero'"
has out "	error: timed out after 1 s"
has out "	velmora-suite: case 'full'"
has out "a	   0.0000000000000000     	-	report"
grep -q 'message="timed out after 1 s"' j.xml || fail "no timeout in the JUnit file"
run 2 --timeout x T
has err "invalid number of seconds for --timeout: 'x'"
kept

row "a closed standard output stops the run early"
sh "$source/tests/suite/make-tree.sh" T 300
run_sh 0 '"$S" -j 2 T | head -n 1'
has out "group-0/case-0007"
run_sh 2 '"$S" -j 2 T | head -n 1 > /dev/null; exit ${PIPESTATUS[0]}'
has err "velmora-suite: standard output"
has err "error: cannot write: Broken pipe"
run_sh 2 '"$S" T > /dev/full'
has err "error: cannot write: No space left on device"
kept

row "-j above the file limit runs fewer jobs with one warning"
sh "$source/tests/suite/make-tree.sh" T 60
run_sh 2 'ulimit -n 64; "$S" -j 256 T'
has err "velmora-suite: warning: running "
has err " cases at once instead of 256: the limit of open files allows no more"
lines err 1
has out "60 cases: 20 within their limit, 10 above it, 20 cannot be read, 10 without a limit"
kept

if as_nobody; then
  row "-j above the process limit runs fewer jobs with one warning"
  sh "$source/tests/suite/make-tree.sh" T 60
  chmod -R a+rX T
  run_sh 2 "cd T && $nobody bash -c 'ulimit -u 12; exec \"\$0\" -j 64 .' \"\$S\""
  has err "velmora-suite: warning: running "
  has err "cases at once instead of 64: fork: Resource temporarily unavailable"
  lines err 1
  has out "60 cases: 20 within their limit, 10 above it, 20 cannot be read, 10 without a limit"
  kept
fi

row "a child that dies by a signal, or has too little memory, is an error entry"
mkcase T/a same
mkcase T/crash
printf "a.dat\n'/dev/zero'\n" > T/crash/CompareThese.inp
"$suite" --timeout 0 T > ../out 2> ../err &
p=$!
sleep 0.5
for c in $(pgrep -P "$p"); do kill -KILL "$c"; done
wait "$p"
has out "	velmora-suite: case 'crash'"
has out "	error: its comparison ended by signal 9 (Killed)"
has out "a	   0.0000000000000000     	-	report"
if [ "$build" != sanitized ]; then
  run_sh 2 'ulimit -v 60000; "$S" -j 1 T/a'
  has out "	error: out of memory"
  has out "1 case: 0 within their limit, 0 above it, 1 cannot be read, 0 without a limit"
fi

if command -v tmux > /dev/null; then
  row "a terminal shows the progress line while a long tree runs, and it is cleared at the end"
  sh "$source/tests/suite/make-tree.sh" T 30
  mkcase T/zz-slow same
  printf "a.dat\n'/dev/zero'\n" > T/zz-slow/CompareThese.inp
  session=suite-progress-$$
  tmux new-session -d -s "$session" -x 200 -y 50 \
    "'$suite' -j 2 --timeout 10 T > ../lines; echo status \$? > ../status; sleep 30"
  # The thirty quick cases end long before the slow one's ten seconds, however
  # busy the machine: look at the pane until the line is there.
  for _ in $(seq 45); do
    sleep 0.2
    tmux capture-pane -p -t "$session" > ../pane-running
    grep -q '^30 of 31 cases done' ../pane-running && break
  done
  for _ in $(seq 100); do [ -s ../status ] && break; sleep 0.2; done
  tmux capture-pane -p -t "$session" > ../pane-after
  tmux kill-session -t "$session"
  grep -q '^30 of 31 cases done, 15 failing$' ../pane-running || fail "no progress line: $(cat ../pane-running)"
  [ "$(cat ../status)" = "status 2" ] || fail "exit $(cat ../status)"
  grep -q 'cases done' ../pane-after && fail "the progress line stayed: $(cat ../pane-after)"
  grep -q 'timed out after 10 s' ../lines || fail "the slow case did not time out"
fi

# ---- 4. identity --------------------------------------------------------------------

row "the same tree from two places and two working directories gives the same reports"
mkdir one two
mkcase one/suite/pressure/tight
echo 1000 > one/suite/pressure/tight/velmora-limit
mkcase one/suite/levels/logger same
mkcase one/suite/top same
cp -R one/suite two/suite
normal() { sed -e 's/time="[^"]*"//g' -e 's/timestamp="[^"]*"//; s/hostname="[^"]*"//' -e 's/"seconds": [0-9.]*//g' "$1"; }
(cd one && "$suite" --junit ../j1.xml suite > ../l1; "$suite" --json suite > ../s1)
(cd two/suite/levels && "$suite" --junit ../../../j2.xml "$work/row$rows/two/suite" > ../../../l2;
 "$suite" --json ../../suite > ../../../s2)
cmp -s l1 l2 || fail "the lines differ: $(diff l1 l2)"
[ "$(normal s1)" = "$(normal s2)" ] || fail "the JSON differs"
[ "$(normal j1.xml)" = "$(normal j2.xml)" ] || fail "the JUnit differs: $(diff j1.xml j2.xml | head)"
grep -q '<testcase classname="pressure" name="tight"' j1.xml || fail "no classname pressure, name tight"
grep -q '<testcase classname="velmora-suite" name="top"' j1.xml || fail "no classname velmora-suite for a case in the DIR itself"
rm -f j1.xml j2.xml l1 l2 s1 s2
snapshot > ../before
taken=1
run 0 one/suite/levels/logger --junit ../j.xml
grep -q '<testcase classname="velmora-suite" name="logger"' ../j.xml || fail "the DIR as a case is not named by its folder"
kept

row "two DIRs holding the same path name two cases, each after its DIR as given"
mkcase one/p/c same
mkcase two/p/c
echo x > two/p/c/velmora-limit
makes j.xml j2.xml
run 2 --junit j.xml one two/
has out "one/p/c	   0.0000000000000000     	-	report"
has out "two/p/c	-	-	error"
has out "	velmora-suite: limit file 'two/p/c/velmora-limit'"
grep -q '<testcase classname="one/p" name="c"' j.xml || fail "no classname one/p: $(grep '<testcase' j.xml)"
grep -q '<testcase classname="two/p" name="c"' j.xml || fail "no classname two/p: $(grep '<testcase' j.xml)"
run 0 one
has out "p/c	   0.0000000000000000     	-	report"
lacks out "one/p/c"
# A DIR that is itself a case, beside another DIR: named by the DIR as given.
run 2 --junit j2.xml one/p/c two
has out "one/p/c	   0.0000000000000000     	-	report"
grep -q '<testcase classname="one/p" name="c"' j2.xml || fail "the DIR as a case: $(grep '<testcase' j2.xml)"
kept

row "a report where a case reads a file that does not exist yet is refused"
mkcase T/c
printf "a.dat\n'../../new.xml'\n" > T/c/CompareThese.inp
mkcase T/d
printf "a.dat\n'../../H/index.html'\n" > T/d/CompareThese.inp
mkcase T/e
ln -s made/later.xml link.dat
mkdir made
printf "a.dat\n'../../link.dat'\n" > T/e/CompareThese.inp
run 2 --junit new.xml T
has err "velmora-suite: JUnit file 'new.xml'"
has err "error: it is 'c/../../new.xml', a file the case 'c' reads (it does not exist yet)"
lines err 2
run 2 --junit ./made/../made/later.xml T
has err "error: it is 'e/../../link.dat', a file the case 'e' reads (it does not exist yet)"
run 2 --html H T
has err "velmora-suite: HTML report 'H'"
has err "error: it would hold 'd/../../H/index.html', a file the case 'd' reads (it does not exist yet)"
run 2 --html made T
has err "error: it would hold 'e/../../link.dat', a file the case 'e' reads (it does not exist yet)"
kept
makes other.xml
run 2 --junit other.xml T
grep -q '<testcase classname="velmora-suite" name="c"' other.xml || fail "another JUnit file was not written"

# ---- 5. shards ----------------------------------------------------------------------

row "three shards merged by junitparser make one run"
sh "$source/tests/suite/make-tree.sh" T 50
makes all.xml s1.xml s2.xml s3.xml
run 2 --junit all.xml T
for k in 1 2 3; do
  status=0
  "$suite" --shard $k/3 --junit s$k.xml T > ../shard$k 2>/dev/null || status=$?
  tail -n 1 ../shard$k | grep -q "in shard $k of 3: " || fail "shard $k's summary: $(tail -n 1 ../shard$k)"
  want=$(awk -F '\t' '$4 == "error" { e = 1 } $4 == "fail" { f = 1 } END { print e ? 2 : f ? 1 : 0 }' ../shard$k)
  [ "$status" -eq "$want" ] || fail "shard $k: exit status $status, its cases give $want"
done
cat ../shard1 ../shard2 ../shard3 | grep -v '^	' | grep '	' | cut -f1 | LC_ALL=C sort > ../union
grep -v '^	' ../out | grep '	' | cut -f1 | LC_ALL=C sort > ../whole
cmp -s ../union ../whole || fail "the shards' union is not the whole: $(diff ../union ../whole | head)"
[ "$(sort ../union | uniq -d | wc -l)" -eq 0 ] || fail "a case is in two shards"
/usr/bin/python3 - s1.xml s2.xml s3.xml all.xml <<'EOF' || fail "junitparser: the merged shards differ from one run"
import sys
from junitparser import JUnitXml
merged = JUnitXml()
for name in sys.argv[1:4]:
    merged += JUnitXml.fromfile(name)
merged.update_statistics()
whole = JUnitXml.fromfile(sys.argv[4])
whole.update_statistics()
def cases(xml):
    return sorted((c.classname, c.name, tuple(type(r).__name__ for r in c.result)) for s in xml for c in s)
if (merged.tests, merged.failures, merged.errors) != (whole.tests, whole.failures, whole.errors) or cases(merged) != cases(whole):
    print("merged", merged.tests, merged.failures, merged.errors, "whole", whole.tests, whole.failures, whole.errors)
    sys.exit(1)
EOF
run 2 --shard 4/3 T
has err "invalid shard: '4/3'"
run 2 --shard 0/3 T
run 2 --shard 2 T
kept

# ---- 6. the smaller faults ----------------------------------------------------------

row "escaped names are escaped once in the lines, JUnit and HTML"
mkcase T/c
printf 'a.dat\nb\001.dat\n' > T/c/CompareThese.inp
run 2 --junit j.xml --html H T
has out "	Velmora: statement 124, channel 13, file 'b\x01.dat'"
lacks out '\\x01'
grep -qF "file &#39;b\\x01.dat&#39;" j.xml || fail "JUnit: $(grep -F 'b\' j.xml | head -n 2)"
grep -qF '\\x01' j.xml && fail "JUnit escapes twice"
grep -qF "file &#39;b\\x01.dat&#39;" H/case-0001.html || fail "HTML: $(grep -F 'b\' H/case-0001.html | head -n 2)"
grep -qF '\\x01' H/case-0001.html && fail "HTML escapes twice"

row "one case is one case; --fail-above takes a decimal number and nothing else"
mkcase T/c
run 0 --fail-above 1e5 T
has out "1 case: 1 within their limit, 0 above it, 0 cannot be read, 0 without a limit"
# The total is 15625.
for limit in 15625 +2e4 .2e5 16000. 1.6E+4 inf INFINITY; do
  run 0 --fail-above "$limit" T
  has out "	$limit	pass"
done
for limit in 15624.9 -1 -inf 0; do
  run 1 --fail-above "$limit" T
done
for limit in 0x10 " 5" "5 " 1,5 ++1 +-1 1e 1e+ . nan -nan 1e400 1e-400 "" 1_0 "5#"; do
  run 2 --fail-above "$limit" T
  has err "velmora-suite: invalid number for --fail-above: '$limit'"
  has err "Try 'velmora-suite --help' for more information."
  lines err 2
done
kept

row "--suggest-limits prints a limit for each case without one and writes nothing"
mkcase T/a
mkcase T/b same
mkcase T/limited
printf '1\n' > T/limited/velmora-limit
mkdir T/broken && printf 'a.dat\nmissing.dat\n' > T/broken/CompareThese.inp && cp T/a/a.dat T/broken/
run 2 --suggest-limits T
lines out 5
has out "4 cases: 0 within their limit, 1 above it, 1 cannot be read, 2 without a limit"
has out "# each limit passes the case's present total with a margin"
# 15625 over 2 rows: twice, rounded up, and the RMS sqrt(15625 / 2).
has out "a	3.2e4	15625	2	88.38834764831844"
has out "b	0	0	2	0"
lacks out "limited"
lacks out "broken"
run 0 --suggest-limits T/a T/b
run 2 --suggest-limits --junit j.xml T
has err "--suggest-limits writes nothing"
kept

row "the verdict names where the limit came from; --junit-suite names the suite"
mkcase T/file
printf '1\n' > T/file/velmora-limit
mkcase T/option
mkcase F
makes j.xml
run 1 --fail-above 2 --junit j.xml --junit-suite nightly T
grep -qF 'message="total 15625 above the limit 1 (velmora-limit): ' j.xml || fail "JUnit message: $(grep -o 'message="[^"]*"' j.xml)"
grep -qF 'message="total 15625 above the limit 2 (--fail-above): ' j.xml || fail "JUnit message: $(grep -o 'message="[^"]*"' j.xml)"
grep -qF 'velmora-limit 1: the total 15625 is above the limit' j.xml || fail "no verdict naming velmora-limit"
grep -qF -- '--fail-above 2: the total 15625 is above the limit' j.xml || fail "no verdict naming --fail-above"
grep -q '<testsuite name="nightly"' j.xml || fail "the suite is not named"
run 2 --junit-suite "" T
has err "option '--junit-suite' needs a name"
run 1 --fail-above 2 --junit j.xml --junit-suite nightly F
grep -q '<testcase classname="nightly" name="F"' j.xml || fail "a flat tree's classname: $(grep '<testcase' j.xml)"
kept

# ---- 7. accepting new references ----------------------------------------------------

row "--accept-failed replaces each reference, mode kept, one line each; the next run passes"
mkcase T/a
mkcase T/b
mkcase T/c same
printf '1\n' > T/a/velmora-limit
printf '1\n' > T/b/velmora-limit
chmod 640 T/a/a.dat
makes j1.xml j2.xml T/a/a.dat T/b/a.dat
run 1 --junit j1.xml T
run 0 --accept a --dry-run T
has out "would replace 'a/a.dat' by 'a/b.dat'"
lines out 1
kept
run 0 --accept-failed T
has out "replaced 'a/a.dat' by 'a/b.dat'"
has out "replaced 'b/a.dat' by 'b/b.dat'"
lines out 2
cmp -s T/a/a.dat T/a/b.dat || fail "a/a.dat is not a/b.dat"
cmp -s T/b/a.dat T/b/b.dat || fail "b/a.dat is not b/b.dat"
[ "$(stat -c %a T/a/a.dat)" = 640 ] || fail "the mode of a/a.dat is $(stat -c %a T/a/a.dat)"
ls -A T/a T/b | grep -q '^\.' && fail "left aside: $(ls -A T/a T/b)"
kept
run 0 --junit j2.xml T
/usr/bin/python3 - j2.xml <<'PY' || fail "junitparser: the second run does not pass"
import sys
from junitparser import JUnitXml
xml = JUnitXml.fromfile(sys.argv[1])
xml.update_statistics()
cases = [c for s in xml for c in s]
sys.exit(0 if xml.tests == 3 and xml.failures == 0 and xml.errors == 0 and all(c.is_passed for c in cases) else 1)
PY
run 0 --accept-failed T
has out "no case above its limit: nothing to replace"

row "--accept refuses, before writing anything, what it must not replace"
mkcase T/a
mkcase T/s1
mkcase T/s2
mkcase T/h1
mkcase T/h2
mkcase T/bad
mkdir shared
cp T/a/a.dat shared/ref.dat
printf "'../../shared/ref.dat'\nb.dat\n" > T/s1/CompareThese.inp
printf "'../../shared/ref.dat'\nb.dat\n" > T/s2/CompareThese.inp
rm T/h1/a.dat && ln T/h2/a.dat T/h1/a.dat
printf 'a.dat\nmissing.dat\n' > T/bad/CompareThese.inp
run 2 --accept a --accept bad T
has err "velmora-suite: case 'bad'"
has err "error: it cannot be read: "
lines err 2
run 2 --accept s1 T
has err "error: its reference 's1/../../shared/ref.dat' lies outside the case folder: give --accept-shared to replace it"
run 2 --accept-shared --accept s1 T
has err "error: its reference 's1/../../shared/ref.dat' is also read by the case 's2', which is not being accepted"
run 2 --accept-shared --accept s1 --accept s2 T
has err "velmora-suite: case 's2'"
has err "is also the reference of the case 's1': accept one of them at a time"
run 2 --accept h1 T
has err "error: its reference 'h1/a.dat' is also read by the case 'h2', which is not being accepted"
run 2 --accept nothing T
has err "velmora-suite: case 'nothing'"
run 2 --accept a --json T
has err "--accept replaces references only"
run 2 --dry-run T
has err "--dry-run goes with --accept"
lines out 0
kept

row "a killed --accept leaves every reference whole, old or new"
# strace sends the signal as the suite makes its N-th copy durable (each
# copy is then whole, beside its reference) or renames its N-th copy over
# its reference.
rows_of() { awk -v n="$2" -v f="$3" 'BEGIN { print "t"; for (i = 0; i < 20; i++) print "h"; for (i = 1; i <= n; i++) printf "%d %.6f 0\n", i, i * f }' > "$1"; }
for i in $(seq 6); do
  mkdir -p T/c$i
  rows_of T/c$i/a.dat 20000 0.5
  rows_of T/c$i/b.dat 20000 0.51
  printf 'a.dat\nb.dat\n' > T/c$i/CompareThese.inp
  printf '1\n' > T/c$i/velmora-limit
done
cp T/c1/a.dat ../old.dat
cp T/c1/b.dat ../new.dat
whole() {  # WHAT FEWEST MOST: how many references may be new
  new=0
  for i in $(seq 6); do
    if cmp -s T/c$i/a.dat ../new.dat; then
      new=$((new + 1))
    elif ! cmp -s T/c$i/a.dat ../old.dat; then
      fail "$1: c$i/a.dat is neither old nor new"
    fi
  done
  [ "$new" -ge "$2" ] && [ "$new" -le "$3" ] || fail "$1: $new references replaced, expected $2 to $3"
  for i in $(seq 6); do cp ../old.dat T/c$i/a.dat; done
}
if strace -o /dev/null true 2> /dev/null; then
  for at in fsync:3:2 rename:3:2 rename:1:0 fsync:6:5 rename:6:5; do
    call=${at%%:*} when=${at#*:} want=${when#*:} when=${when%%:*}
    for signal in KILL TERM; do
      status=0
      strace -o /dev/null -e trace=fsync,rename,renameat,renameat2 -e inject=$call:signal=$signal:when=$when \
        "$suite" --accept-failed T > ../out 2>&1 || status=$?
      case $signal in KILL) code=137 ;; TERM) code=143 ;; esac
      [ "$status" -eq "$code" ] || fail "SIG$signal at $call $when: exit status $status"
      # A rename the signal comes at may be done (after SIGTERM it is: the
      # suite ends once that reference is in place).
      most=$want
      [ "$call" = rename ] && most=$((want + 1))
      fewest=$want
      [ "$signal$call" = TERMrename ] && fewest=$most
      whole "SIG$signal at $call $when" "$fewest" "$most"
      if [ "$signal" = TERM ]; then
        [ "$(grep -c '^replaced' ../out)" -eq "$fewest" ] || fail "SIGTERM at $call $when: $(cat ../out)"
      fi
      if [ "$signal" = TERM ]; then
        ls -A T/c* | grep -q '^\.' && fail "SIGTERM left files aside: $(ls -A T/c* | grep '^\.')"
      fi
      find T -name '.a.dat.*' -delete
    done
  done
else
  echo "skipped: strace cannot trace here" >&2
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures in $rows rows" >&2
  exit 1
fi
echo "$rows rows of velmora-suite runs checked"
