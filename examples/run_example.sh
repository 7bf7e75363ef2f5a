#!/bin/sh
# Runs Kelvarodine on the bundled example in a scratch directory.
#   examples/run_example.sh [BUILD_DIR]    (default: build)
# Makes scratch/example under the repository afresh, writes the example series and
# "list" there, answers the five questions from examples/answers.txt and leaves
# "Kelvarodine.grd" in that directory; when kelvarodine-map was built, also its
# picture Kelvarodine.png, and otherwise says that the picture was skipped.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
for exe in "$build/examples/kelvarodine-example" "$build/console/kelvarodine"; do
  [ -x "$exe" ] || { echo "run_example.sh: $exe is missing; build first" >&2; exit 1; }
done
work=$repo/scratch/example
rm -rf "$work"
mkdir -p "$work"
"$build/examples/kelvarodine-example" "$work"
(cd "$work" && "$build/console/kelvarodine" < "$repo/examples/answers.txt")
echo
echo "Grid file: $work/Kelvarodine.grd"
if [ -x "$build/map/kelvarodine-map" ]; then
  "$build/map/kelvarodine-map" "$work/Kelvarodine.grd" "$work/Kelvarodine.png"
else
  echo "Picture skipped: kelvarodine-map was not built (it needs cairo; see the configure output)"
fi
