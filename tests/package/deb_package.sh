#!/bin/sh
# Builds the Debian package from the current build tree into a temporary
# directory, checks it with lintian and checks its fields and contents, and
# runs the packaged velmora and its manual page from the extracted files.
# With PYTHON (the system's python3; the build made the Python module), the
# package must hold the module, depend on numpy, and give velmora's line.
# Usage: deb_package.sh CPACK BUILD_DIR VERSION VELMORA EXAMPLE_DIR [PYTHON]
set -u
cpack=$1
build=$2
version=$3
velmora=$4
example=$5
python=${6:-}
# Where a tool is missing the test is skipped, except in CI, which installs
# them all (.ci/run) and must not pass on a package nobody checked.
for tool in dpkg-deb dpkg-parsechangelog man lintian; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool not found: the package is not checked"
    [ -n "${CI:-}" ] && exit 1
    exit 77
  fi
done
[ -d "$example" ] || { echo "FAIL: no example directory $example" >&2; exit 1; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
set -- "$work"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb in the output directory, found: $*"
deb=$1

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
arch=$(field Architecture)
[ "$(field Package)" = velmora ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project says $version"
[ "$(field Section)" = science ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
maintainer=$(field Maintainer)
printf '%s\n' "$maintainer" | grep -q '^Velmora developers <[^@ ]*@[^@ ]*\.[a-z]*>$' ||
  fail "Maintainer '$maintainer' is not the project's name and address"
[ -n "$arch" ] || fail "no Architecture"
[ "$(basename "$deb")" = "velmora_${version}_${arch}.deb" ] || fail "package file is named $(basename "$deb")"
depends=$(field Depends)
for library in libc6 libstdc++6; do
  printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$library\( \|$\)" ||
    fail "Depends '$depends' does not name $library"
done
[ -n "$(field Description)" ] || fail "no Description"
if [ -n "$python" ]; then
  printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *python3-numpy\( \|$\)" ||
    fail "Depends '$depends' does not name python3-numpy"
fi

# What a packager checks: no error and no warning from lintian. Its notes
# (I:) are shown but do not fail the test.
lintian --allow-root --display-info --fail-on error,warning "$deb" > "$work/lintian" 2>&1
lintian_status=$?
cat "$work/lintian"
[ "$lintian_status" -eq 0 ] && ! grep -q '^[EW]: ' "$work/lintian" ||
  fail "lintian reports errors or warnings (exit status $lintian_status)"

# Contents, as the package lists them.
dpkg-deb -c "$deb" > "$work/contents" || fail "dpkg-deb -c failed"
has_file() { awk -v path="$1" '$NF == path && $1 ~ /^-/ { found = 1 } END { exit !found }' "$work/contents"; }
for path in ./usr/bin/velmora ./usr/share/man/man1/velmora.1.gz \
            ./usr/bin/velmora-explain ./usr/share/man/man1/velmora-explain.1.gz \
            ./usr/bin/velmora-suite ./usr/share/man/man1/velmora-suite.1.gz \
            ./usr/share/doc/velmora/README.md ./usr/share/doc/velmora/copyright \
            ./usr/share/doc/velmora/changelog.gz; do
  has_file "$path" || fail "the package holds no file $path"
done
# Every program is executable and has its compressed manual page.
programs=$(awk '$NF ~ "^\\./usr/bin/" { sub("^\\./usr/bin/", "", $NF); if ($NF != "") print $NF }' "$work/contents")
for program in $programs; do
  awk -v path="./usr/bin/$program" '$NF == path && $1 ~ /^-rwxr-xr-x/ { ok = 1 } END { exit !ok }' \
    "$work/contents" || fail "usr/bin/$program is not installed executable"
  has_file "./usr/share/man/man1/$program.1.gz" || fail "usr/bin/$program has no manual page"
done

dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
doc="$work/root/usr/share/doc/velmora"
# The changelog's newest entry is this version, by the package's maintainer.
gzip -dc "$doc/changelog.gz" > "$work/changelog" || fail "the changelog is not gzip data"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's newest entry is not $version"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Maintainer)" = "$maintainer" ] ||
  fail "the changelog's newest entry is not signed by the Maintainer, $maintainer"
head -n 1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
  fail "the copyright file is not in Debian's machine-readable format"
gzip -dc "$work/root/usr/share/man/man1/velmora.1.gz" > "$work/velmora.1" ||
  fail "the manual page is not gzip data"
page="$work/velmora.1"
grep -q "^\.TH VELMORA 1 .*\"velmora $version\"" "$page" || fail "the manual page's .TH line does not show $version"

# The packaged program gives the same result line as the one built here.
cp -R "$example" "$work/packaged"
cp -R "$example" "$work/built"
status=0
(cd "$work/packaged" && "$work/root/usr/bin/velmora" > "$work/packaged.out" 2> "$work/packaged.err") || status=$?
[ "$status" -eq 0 ] || { cat "$work/packaged.err" >&2; fail "packaged velmora exited $status"; }
[ -s "$work/packaged.err" ] && { cat "$work/packaged.err" >&2; fail "packaged velmora wrote to standard error"; }
(cd "$work/built" && "$velmora" > "$work/built.out" 2> "$work/built.err") ||
  { cat "$work/built.err" >&2; fail "velmora of the build tree failed on the example"; }
[ "$(wc -l < "$work/packaged.out")" -eq 1 ] && awk 'length($0) != 26 { exit 1 }' "$work/packaged.out" ||
  fail "packaged velmora did not print one 26-character line: '$(cat "$work/packaged.out")'"
cmp -s "$work/packaged.out" "$work/built.out" ||
  fail "packaged velmora printed '$(cat "$work/packaged.out")', the build tree's '$(cat "$work/built.out")'"

# The packaged Python module, from where the system's python3 finds it once
# installed, gives the same line, run from outside the example's folder.
if [ -n "$python" ]; then
  site=$("$python" -c 'import sys; print(next(p for p in sys.path if p.endswith("/dist-packages") and p.startswith("/usr/lib/")))') ||
    fail "$python has no /usr/lib/.../dist-packages on its path"
  [ -f "$work/root$site/velmora/__init__.py" ] || fail "the package holds no Python module in $site/velmora"
  got=$(cd "$work" && PYTHONPATH="$work/root$site" "$python" -c 'import sys, velmora; print(velmora.run(sys.argv[1]).line)' packaged) ||
    fail "the packaged Python module failed on the example"
  [ "$got" = "$(cat "$work/built.out")" ] ||
    fail "the packaged Python module gave '$got', velmora '$(cat "$work/built.out")'"
fi

# The packaged velmora-suite runs on the example as a suite of one case and
# shows the same result line.
status=0
(cd "$work/packaged" && "$work/root/usr/bin/velmora-suite" > "$work/suite.out" 2> "$work/suite.err") || status=$?
[ "$status" -eq 0 ] || { cat "$work/suite.err" >&2; fail "packaged velmora-suite exited $status"; }
[ "$(head -n 1 "$work/suite.out" | cut -f 2)" = "$(cat "$work/built.out")" ] ||
  fail "packaged velmora-suite printed '$(cat "$work/suite.out")', velmora '$(cat "$work/built.out")'"

# The packaged manual page renders with man.
MANWIDTH=80 MANPAGER=cat LC_ALL=C man -l -P cat "$page" > "$work/man.out" 2> "$work/man.err" ||
  { cat "$work/man.err" >&2; fail "man -l failed on the packaged page"; }
[ -s "$work/man.err" ] && { cat "$work/man.err" >&2; fail "man -l complained"; }
for heading in NAME SYNOPSIS DESCRIPTION FILES OUTPUT DIAGNOSTICS "EXIT STATUS"; do
  grep -q "^$heading\$" "$work/man.out" || fail "the rendered page has no $heading section"
done
grep -q "velmora $version" "$work/man.out" || fail "the rendered page does not show version $version"

echo "$(basename "$deb"): fields, contents, program and manual page checked"
