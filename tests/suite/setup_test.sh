#!/bin/sh
# The set-up script, run by a user who is not root on a machine that lacks
# the tools: it installs nothing, builds nothing, and says in one line on
# standard error which apt-get command to run; exit status 1. The tools are
# taken away by a PATH that holds only what the script itself uses.
# Usage: setup_test.sh SCRIPT
set -u
script=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
as_user=""
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null 2>&1 || { echo "setpriv not found: not checked"; exit 77; }
  as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
mkdir "$work/bin"
for tool in sh id ls; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
cp "$script" "$work/setup"
chmod -R a+rX "$work"
for profile in build test; do
  status=0
  (cd "$work" && $as_user env -i PATH="$work/bin" "$work/bin/sh" "$work/setup" "$profile" \
      > "$work/out" 2> "$work/err") || status=$?
  [ "$status" -eq 1 ] || fail "$profile: exit status $status, expected 1: $(cat "$work/err")"
  [ -s "$work/out" ] && fail "$profile: wrote to standard output: $(cat "$work/out")"
  [ "$(wc -l < "$work/err")" -eq 1 ] || fail "$profile: not one line: $(cat "$work/err")"
  case $profile in
    build) expected="missing packages; run: sudo apt-get install cmake make g++ gzip" ;;
    test) expected="missing packages; run: sudo apt-get install cmake make g++ gzip clang dpkg dpkg-dev groff-base man-db lintian" ;;
  esac
  case $(cat "$work/err") in
    "$expected"*) ;;
    *) fail "$profile: '$(cat "$work/err")' does not begin with '$expected'" ;;
  esac
done
echo "the set-up names the command to run, as a user who is not root"
