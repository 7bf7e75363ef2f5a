#!/bin/sh
# Installs the build into a temporary prefix and checks what lands there; then runs
# the installed programs from a directory outside the build and the sources on a
# small example data set.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
build_type=$(sed -n "s/^CMAKE_BUILD_TYPE:STRING=//p" "$build/CMakeCache.txt")
[ -n "$build_type" ] || build_type=noconfig
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
programs="kelvarodine kelvarodine-example"
[ -x "$build/map/kelvarodine-map" ] && programs="$programs kelvarodine-map"
[ -x "$build/mpi/kelvarodine-mpi" ] && programs="$programs kelvarodine-mpi"
for p in $programs; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not installed"
done
cmp -s "$source/doc/kelvarodine.1" "$prefix/share/man/man1/kelvarodine.1" ||
  fail "share/man/man1/kelvarodine.1 is not the manual page"
cmp -s "$source/README.md" "$prefix/share/doc/kelvarodine/README.md" ||
  fail "share/doc/kelvarodine/README.md is not the README"
# The programs, the page, the README and the library (archive, headers, CMake
# package); no tests, no internal headers.
found=$(cd "$prefix" && find . -type f | sed 's#^\./lib[^/]*/#./LIB/#' |
        sed 's#^\./LIB/python3\.[0-9]*/#./LIB/python3.X/#' | sort | tr '\n' ' ')
expected=$(for f in $programs; do echo "./bin/$f"; done
           echo ./share/doc/kelvarodine/README.md
           echo ./share/man/man1/kelvarodine.1
           echo ./LIB/libkelvarodine.a
           for f in KelvarodineConfig KelvarodineConfigVersion KelvarodineTargets \
                    KelvarodineTargets-$(echo "$build_type" | tr A-Z a-z); do
             echo "./LIB/cmake/Kelvarodine/$f.cmake"
           done
           for h in "$source"/include/kelvarodine/*.hpp; do
             echo "./include/kelvarodine/$(basename "$h")"
           done
           echo ./include/kelvarodine/version.hpp
           # The Python package, where the build has one, in the prefix's standard
           # directory for its interpreter (tests/python checks which).
           for f in "$build"/python/kelvarodine/__init__.py "$build"/python/kelvarodine/_kelvarodine*.so; do
             if [ -f "$f" ]; then echo "./LIB/python3.X/site-packages/kelvarodine/${f##*/}"; fi
           done)
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

# The README's C++ example, built against the installed package alone with
# find_package(Kelvarodine), gives the console's grid on the same series.
mkdir "$work/consumer"
sed -n '/^## Use from C++/,/^## /p' "$source/README.md" |
  sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >"$work/consumer/main.cpp"
[ -s "$work/consumer/main.cpp" ] || fail "no C++ example in the README"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(Consumer LANGUAGES CXX)
find_package(Kelvarodine 0.1 REQUIRED)
add_executable(consumer main.cpp)
target_compile_options(consumer PRIVATE -Wall -Wextra -Werror)
target_link_libraries(consumer PRIVATE Kelvarodine::kelvarodine)
CMAKE
# A sanitizer build's archive needs the sanitizers' runtime in the program too.
flags=""
grep -q '^KELV_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt" && flags="-fsanitize=address,undefined"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 ||
  fail "find_package(Kelvarodine) failed: $(tail -5 "$work/consumer.log")"
cmake --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 ||
  fail "the README's example does not build: $(grep -m5 error "$work/consumer.log")"
"$work/consumer/build/consumer" >/dev/null || fail "the README's example failed"
cmp -s mine.grd Kelvarodine.grd || fail "the README's example gives another grid than the console"
echo "install: $(echo "$programs" | wc -w) programs, the manual page, the README and the library; the example ran, the README's C++ example gave the console's grid"
