#!/usr/bin/env bash
# Time per window of the window analysis against the channel count, the order and the
# window length, for the current tree and for an older revision of the library built
# beside it, the two run alternately, pinned to core 0, so that both see the same
# machine load; then the current tree's stage shares of the flop bound.
#
#   bench/window_table.sh BUILD_DIR BASE_REVISION [RUNS]
#
# BUILD_DIR must hold bench/window_shapes (configure with -DKELV_BENCH=ON).
# BASE_REVISION, a commit of this repository, is exported into BUILD_DIR/window-table,
# its library built there (Release) and bench/window_shapes.cpp of the current tree
# compiled against it; a second call with the same revision reuses them. Each shape
# runs RUNS times (default 3) in each program, alternating, and the table gives the
# medians: microseconds of processor time per window (preprocessing, fit and spectral
# stage), before and after, their ratio, and for the current tree the share of the
# flop bound each stage reaches (window_shapes --stages). The table is Markdown, as
# in bench/README.md.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR BASE_REVISION [RUNS]" >&2
  exit 2
}
[ $# -ge 2 ] && [ $# -le 3 ] || usage
build=$(cd "$1" && pwd) || usage
runs=${3:-3}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || usage
source=$(cd "$(dirname "$0")/.." && pwd)
revision=$(git -C "$source" rev-parse --verify "$2^{commit}") || usage
new="$build/bench/window_shapes"
if [ ! -x "$new" ]; then
  echo "$0: missing $new (build it in $build with -DKELV_BENCH=ON)" >&2
  exit 1
fi
pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi

base="$build/window-table"
old="$base/window_shapes"
if [ "$(cat "$base/revision" 2>/dev/null)" != "$revision" ] || [ ! -x "$old" ]; then
  echo "Building the library of $revision in $base" >&2
  rm -rf "$base"
  mkdir -p "$base/src"
  git -C "$source" archive "$revision" | tar -x -C "$base/src"
  cmake -S "$base/src" -B "$base/build" -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS=OFF \
    -DKELV_MAP=OFF >/dev/null
  cmake --build "$base/build" -j2 --target kelv_library >/dev/null
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
  "${compiler:-c++}" -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wno-psabi \
    -I"$base/src" -I"$base/src/include" -I"$base/build/include" \
    "$source/bench/window_shapes.cpp" "$base/build/libkelvarodine.a" -lpthread -o "$old"
  echo "$revision" >"$base/revision"
fi

# Around the reference run (8 channels, order 10, window 1024), one extent at a time.
shapes=(2:10:1024 4:10:1024 8:10:1024 16:10:1024 32:10:1024 64:10:1024
  8:2:1024 8:5:1024 8:20:1024 8:40:1024 8:80:1024
  8:10:256 8:10:4096 8:10:16384)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for ((r = 1; r <= runs; ++r)); do
  for shape in "${shapes[@]}"; do
    "${pin[@]}" "$old" -r 3 "$shape" >>"$work/old"
    "${pin[@]}" "$new" -r 3 "$shape" >>"$work/new"
  done
done
"${pin[@]}" "$new" -r 3 --stages "${shapes[@]}" >"$work/stages"

echo "Processor time per window in microseconds (preprocessing + fit + spectral stage),"
echo "medians of $runs alternating runs; before: $revision"
echo "$(head -1 "$work/stages"), the rate of independent vector products and sums"
echo
echo "| channels | order | window | before | after | before / after | lag covariances | recursion | spectral |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
awk '
  function median(key,   n, i, j, t, v) {
    n = split(times[key], v, " ")
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; --j) {
      t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
    }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  FILENAME ~ /stages$/ {
    if ($1 == "peak") next
    if (NF == 6) { shape = $1 ":" $2 ":" $3; next }
    share[shape, $1] = $4
    next
  }
  {
    key = FILENAME ~ /old$/ ? "old" : "new"
    shape = $1 ":" $2 ":" $3
    if (!(shape in seen)) { seen[shape] = 1; order[++count] = shape }
    times[key, shape] = times[key, shape] " " ($4 + $6)
  }
  END {
    for (i = 1; i <= count; ++i) {
      s = order[i]
      split(s, f, ":")
      b = median("old" SUBSEP s); a = median("new" SUBSEP s)
      printf "| %d | %d | %d | %.0f | %.0f | %.2f | %.0f %% | %.0f %% | %.0f %% |\n", f[1], f[2], f[3], b, a, b / a,
        100 * share[s, "lag"], 100 * share[s, "recursion"], 100 * share[s, "spectral"]
    }
  }' "$work/old" "$work/new" "$work/stages"
