#!/usr/bin/env bash
# Times kelvarodine against bench/numpy_peer.py on the reference data set (8 channels of
# 40000 samples, window 1024, shift 64, order 10), both pinned to core 0 with one thread,
# the two alternating run by run; then compares the two grids node by node.
#
#   bench/numpy_peer.sh BUILD_DIR [RUNS]
#
# BUILD_DIR as for run_reference.sh (the data set is made there once and shared with it).
# PYTHON (default /usr/bin/python3) runs the peer; the BLAS and LAPACK libraries NumPy
# loaded are printed, and the environment decides them (LD_LIBRARY_PATH may point at
# another libblas.so.3 and liblapack.so.3). Each program's median, minimum and maximum
# wall time are printed, whole runs from start to exit (reading the series and writing
# the grid included), and the ratio of the medians.
set -euo pipefail

[ $# -ge 1 ] && [ $# -le 2 ] || {
  echo "usage: $0 BUILD_DIR [RUNS]" >&2
  exit 2
}
build=$(cd "$1" && pwd)
runs=${2:-5}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || {
  echo "usage: $0 BUILD_DIR [RUNS]" >&2
  exit 2
}
python=${PYTHON:-/usr/bin/python3}
peer="$(cd "$(dirname "$0")" && pwd)/numpy_peer.py"
program="$build/console/kelvarodine"
example="$build/examples/kelvarodine-example"
peak="$build/bench/peak_rss"
for tool in "$program" "$example" "$peak"; do
  [ -x "$tool" ] || {
    echo "$0: missing $tool (configure with -DKELV_BENCH=ON)" >&2
    exit 1
  }
done
data="$build/bench-reference"
made="--channels 8 --samples 40000"
if [ "$(cat "$data/made-with" 2>/dev/null)" != "$made" ]; then
  rm -rf "$data"
  # shellcheck disable=SC2086
  "$example" "$data" $made
  echo "$made" >"$data/made-with"
fi

export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1
echo "NumPy's libraries:"
"$python" -c '
import numpy as np
np.linalg.inv(np.eye(2)); np.ones((64, 64)) @ np.ones((64, 64))
libs = {l.split()[-1] for l in open("/proc/self/maps") if "blas" in l or "lapack" in l}
print("\n".join("  " + l for l in sorted(libs)))'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
answers=$'0\n1024\n64\n10\n0 1\n'
for ((r = 1; r <= runs; ++r)); do
  (cd "$data" && printf '%s' "$answers" | taskset -c 0 "$peak" "$work/report" "$program" >/dev/null)
  cut -d' ' -f1 "$work/report" >>"$work/ours"
  (cd "$data" && taskset -c 0 "$peak" "$work/report" "$python" "$peer" 0 1024 64 10 \
    --out "$work/peer.grd" >/dev/null)
  cut -d' ' -f1 "$work/report" >>"$work/peer"
done

stats() {
  sort -g "$1" | awk '{ v[NR] = $1 } END {
    printf "%.3f %.3f %.3f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'
}
read -r ours lo hi < <(stats "$work/ours")
echo "kelvarodine, one core: median $ours s (min $lo, max $hi), $runs runs"
read -r theirs lo hi < <(stats "$work/peer")
echo "numpy_peer.py, one core: median $theirs s (min $lo, max $hi), $runs runs"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "ratio of medians peer / kelvarodine: %.1f\n", a / b }'
(cd "$data" && "$python" "$peer" 0 1024 64 10 --out "$work/peer.grd" --compare Kelvarodine.grd)
