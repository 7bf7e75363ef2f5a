#!/bin/sh
# Installs the build into a temporary prefix and checks what lands there; then runs
# the installed programs from a directory outside the build and the sources on a
# small example data set.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
programs="kelvarodine kelvarodine-example"
[ -x "$build/map/kelvarodine-map" ] && programs="$programs kelvarodine-map"
for p in $programs; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not installed"
done
cmp -s "$source/doc/kelvarodine.1" "$prefix/share/man/man1/kelvarodine.1" ||
  fail "share/man/man1/kelvarodine.1 is not the manual page"
cmp -s "$source/README.md" "$prefix/share/doc/kelvarodine/README.md" ||
  fail "share/doc/kelvarodine/README.md is not the README"
# Nothing but the programs, the page, the README and the library with its public
# headers and package configuration (no tests, no internal libraries).
# The targets file of the build type (release, debug, ...) is checked on its own.
ls "$prefix"/lib/cmake/Kelvarodine/KelvarodineTargets-*.cmake >/dev/null 2>&1 ||
  fail "no targets file of the build type"
found=$(cd "$prefix" && find . -type f | grep -v '/KelvarodineTargets-[a-z]*\.cmake$' | sort |
        tr '\n' ' ')
expected=$(for f in $programs; do echo "./bin/$f"; done
           for h in "$source"/include/kelvarodine/*.hpp; do
             echo "./include/kelvarodine/$(basename "$h")"
           done
           echo ./include/kelvarodine/version.hpp
           echo ./lib/libkelvarodine.a
           for c in Config ConfigVersion Targets; do
             echo "./lib/cmake/Kelvarodine/Kelvarodine$c.cmake"
           done
           echo ./share/doc/kelvarodine/README.md
           echo ./share/man/man1/kelvarodine.1)
expected=$(echo "$expected" | sort | tr '\n' ' ')
[ "$found" = "$expected" ] || fail "installed [$found], expected [$expected]"

mkdir "$work/run"
cd "$work/run"
[ "$("$prefix/bin/kelvarodine" --version)" = "$("$build/console/kelvarodine" --version)" ] ||
  fail "the installed kelvarodine has another version"
"$prefix/bin/kelvarodine-example" data --samples 600 --channels 3
cd data
printf '0\n256\n64\n3\n0 1\n' | "$prefix/bin/kelvarodine" >console.txt ||
  fail "the installed kelvarodine failed: $(tail -3 console.txt)"
head -1 Kelvarodine.grd | grep -q '^DSAA' || fail "no grid file"
if [ -x "$prefix/bin/kelvarodine-map" ]; then
  "$prefix/bin/kelvarodine-map" Kelvarodine.grd >/dev/null
  [ -s Kelvarodine.png ] || fail "no picture"
fi
echo "install: $(echo "$programs" | wc -w) programs, the manual page and the README; the example ran"
