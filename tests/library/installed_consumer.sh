#!/bin/sh
# Installs the build tree into a temporary prefix, builds examples/consumer
# against it (nothing of the source tree on its include path), and checks
# that it prints velmora's own line for each example, and stops as velmora
# does, its two lines, where the control file names a missing file.
# FLAGS: compiler and linker flags the consumer needs beside the library's
# (the sanitizers', where the library was built with them).
# Usage: installed_consumer.sh CMAKE BUILD_DIR EXAMPLES VELMORA [FLAGS]
set -u
cmake=$1
build=$2
examples=$3
velmora=$4
flags=${5:-}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$work/prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
[ -f "$work/prefix/include/velmora/velmora.h" ] || fail "the install holds no include/velmora/velmora.h"
for file in libvelmora.a VelmoraConfig.cmake; do
  [ -n "$(find "$work/prefix" -name "$file")" ] || fail "the install holds no $file"
done
cp -R "$examples/consumer" "$work/consumer"
"$cmake" -S "$work/consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; fail "configuring the consumer failed"; }
"$cmake" --build "$work/consumer-build" > "$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "building the consumer failed"; }
consumer=$work/consumer-build/velmora-consumer

for example in layout1 layout2 plain; do
  cp -R "$examples/$example" "$work/$example"
  expected=$(cd "$work/$example" && "$velmora") || fail "velmora failed on $example"
  # Started elsewhere: the folder's names are relative to the folder.
  # Each data file read too (its rows and columns through the library).
  files=$(cd "$work" && ls "$example"/* | grep -v CompareThese.inp)
  # shellcheck disable=SC2086
  got=$(cd "$work" && "$consumer" "$example" $files) || fail "the consumer failed on $example"
  got=$(printf '%s\n' "$got" | head -n 1)
  [ "$got" = "$expected" ] || fail "$example: the consumer printed '$got', velmora '$expected'"
done

# A control file naming a file that is not there: velmora creates it and
# stops at its title; the library stops there too, creating nothing.
mkdir "$work/missing" "$work/missing-velmora"
printf 'absent.dat\nabsent.dat\n' > "$work/missing/CompareThese.inp"
cp "$work/missing/CompareThese.inp" "$work/missing-velmora/"
(cd "$work/missing-velmora" && "$velmora" > /dev/null 2> "$work/velmora.err")
"$consumer" "$work/missing" > /dev/null 2> "$work/consumer.err"
status=$?
[ "$status" -eq 2 ] || fail "the consumer exited $status on a missing file, not 2"
cmp -s "$work/velmora.err" "$work/consumer.err" ||
  fail "the consumer said '$(cat "$work/consumer.err")', velmora '$(cat "$work/velmora.err")'"
[ -e "$work/missing/absent.dat" ] && fail "the library created absent.dat"

# A folder that is not there: two lines and status 2, not an abort.
"$consumer" "$work/no-such-folder" > /dev/null 2> "$work/consumer.err"
status=$?
[ "$status" -eq 2 ] || fail "the consumer exited $status on a missing folder, not 2"
[ "$(wc -l < "$work/consumer.err")" -eq 2 ] || fail "the consumer said '$(cat "$work/consumer.err")' on a missing folder"
echo "the consumer built against the installed library gives velmora's lines"
