#!/usr/bin/env bash
# kelvarodine-mpi against kelvarodine on one data set: wall time of the whole run with
# 1, 2 and 4 processes of one thread each (and the single process on one thread),
# each process's peak resident memory, and the md5 sums of the grids (all equal).
#
#   bench/mpi_runs.sh BUILD_DIR [SAMPLES] [RUNS]
#
# The data: 8 channels of SAMPLES samples (default 160000), made once by
# kelvarodine-example in BUILD_DIR/bench-mpi-SAMPLES; window 1024, shift 64, order 10.
# Every configuration runs RUNS times (default 3), interleaved; the median is shown,
# with the ratio of the one-process run to it. The machine is shared: read ratios.
set -euo pipefail

[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: $0 BUILD_DIR [SAMPLES] [RUNS]" >&2; exit 2; }
build=$(cd "$1" && pwd)
samples=${2:-160000}
runs=${3:-3}
single=$build/console/kelvarodine
program=$build/mpi/kelvarodine-mpi
example=$build/examples/kelvarodine-example
for tool in "$single" "$program" "$example"; do
  [ -x "$tool" ] || { echo "$0: missing $tool" >&2; exit 1; }
done
command -v mpirun >/dev/null || { echo "$0: mpirun not found" >&2; exit 1; }
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_btl=self,vader
[ "$(id -u)" != 0 ] || export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

data=$build/bench-mpi-$samples
if [ ! -f "$data/list" ]; then
  rm -rf "$data"
  "$example" "$data" --channels 8 --samples "$samples" >/dev/null
fi
cd "$data"
options=(--window 1024 --shift 64 --order 10 --threads 1 --quiet)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run NAME COMMAND...: one timed run; appends its seconds to $work/NAME.times, the
# processes' peak memory (KiB, one line each) to $work/NAME.rss and keeps the grid's md5.
run() {
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  "$@" --output "$work/$name.grd" >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log" >&2
    exit 1
  }
  end=$(date +%s.%N)
  echo "$end - $start" | bc >>"$work/$name.times"
  grep -o 'rss [0-9]*' "$work/$name.log" | cut -d' ' -f2 | sort -n | tr '\n' ' ' >"$work/$name.rss"
  md5sum <"$work/$name.grd" | cut -c1-12 >"$work/$name.md5"
}
rss=(/usr/bin/time -f "rss %M")
for ((i = 0; i < runs; i++)); do
  run single "${rss[@]}" "$single" "${options[@]}" --list list
  for n in 1 2 4; do
    run "mpi-$n" mpirun -n "$n" --bind-to none "${rss[@]}" "$program" "${options[@]}" --list list
  done
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
base=$(median "$work/mpi-1.times")
printf '%-8s %9s %8s  %-22s %s\n' run median speed-up "peak RSS KiB" md5
for name in single mpi-1 mpi-2 mpi-4; do
  m=$(median "$work/$name.times")
  printf '%-8s %8.2fs %8.2f  %-22s %s\n' "$name" "$m" "$(echo "$base / $m" | bc -l)" \
    "$(cat "$work/$name.rss")" "$(cat "$work/$name.md5")"
done
