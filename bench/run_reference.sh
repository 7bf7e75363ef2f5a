#!/usr/bin/env bash
# Times whole runs of kelvarodine on the reference data set: 8 channels of 40000
# samples, no differencing, window 1024, shift 64, order 10 (610 windows x 512
# frequencies).
#
#   bench/run_reference.sh [--no-one] [--no-all] BUILD_DIR [RUNS]
#
# BUILD_DIR must hold driver/kelvarodine, examples/kelvarodine-example and
# bench/peak_rss (configure with -DKELV_BENCH=ON). The data set is made once in
# BUILD_DIR/bench-reference and reused. The program runs RUNS times (default 5)
# pinned to core 0 and RUNS times free on all cores, the two modes alternating run
# by run; --no-one / --no-all skip a mode. With REF_BINARY=path in the environment
# that program runs too, alternating with the main one, so that all see the same
# machine load.
#
# For each program and mode the script prints the median, minimum and maximum wall
# time, the largest peak resident memory and the md5 sums of the grid files, and
# with both modes each program's ratio of one core to all cores.
set -euo pipefail

usage() {
  echo "usage: $0 [--no-one] [--no-all] BUILD_DIR [RUNS]" >&2
  exit 2
}

one=1
all=1
positional=()
for arg in "$@"; do
  case "$arg" in
    --no-one) one=0 ;;
    --no-all) all=0 ;;
    -*) usage ;;
    *) positional+=("$arg") ;;
  esac
done
if [ "${#positional[@]}" -lt 1 ] || [ "${#positional[@]}" -gt 2 ]; then usage; fi
build=$(cd "${positional[0]}" && pwd) || usage
runs=${positional[1]:-5}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || usage

program="$build/console/kelvarodine"
example="$build/examples/kelvarodine-example"
peak="$build/bench/peak_rss"
for tool in "$program" "$example" "$peak"; do
  if [ ! -x "$tool" ]; then
    echo "$0: missing $tool (build it in $build; peak_rss needs -DKELV_BENCH=ON)" >&2
    exit 1
  fi
done

programs=("$program")
if [ -n "${REF_BINARY:-}" ]; then
  if [ ! -x "$REF_BINARY" ]; then
    echo "$0: REF_BINARY $REF_BINARY is not an executable" >&2
    exit 1
  fi
  programs+=("$(cd "$(dirname "$REF_BINARY")" && pwd)/$(basename "$REF_BINARY")")
fi

if [ "$one" = 1 ] && ! command -v taskset >/dev/null; then
  echo "$0: taskset not found; the one-core runs are skipped" >&2
  one=0
fi
[ "$one" = 1 ] || [ "$all" = 1 ] || usage

data="$build/bench-reference"
made="--channels 8 --samples 40000"
if [ "$(cat "$data/made-with" 2>/dev/null)" != "$made" ]; then
  echo "Making the reference data in $data"
  rm -rf "$data"
  # shellcheck disable=SC2086
  "$example" "$data" $made
  echo "$made" >"$data/made-with"
fi

answers=$'0\n1024\n64\n10\n0 1\n'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
report="$work/peak_rss.report"

# One run of program $1 in the data directory, pinned to core 0 when $2 is "one".
# Appends "seconds kib md5" to the file $3.
run_once() {
  local prog=$1 mode=$2 out=$3 pin=()
  [ "$mode" = one ] && pin=(taskset -c 0)
  rm -f "$data/Kelvarodine.grd" "$report"
  if ! (cd "$data" && printf '%s' "$answers" | "${pin[@]}" "$peak" "$report" "$prog" >/dev/null); then
    echo "$0: $prog failed" >&2
    exit 1
  fi
  if [ ! -f "$data/Kelvarodine.grd" ]; then
    echo "$0: $prog wrote no Kelvarodine.grd" >&2
    exit 1
  fi
  local seconds kib sum
  read -r seconds kib _ <"$report"
  sum=$(md5sum <"$data/Kelvarodine.grd" | cut -d' ' -f1)
  echo "$seconds $kib $sum" >>"$out"
}

# Median, minimum and maximum of the first column of file $1.
time_stats() {
  cut -d' ' -f1 "$1" | sort -g | awk '
    { v[NR] = $1 }
    END {
      med = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.3f %.3f %.3f\n", med, v[1], v[NR]
    }'
}

modes=()
[ "$one" = 1 ] && modes+=(one)
[ "$all" = 1 ] && modes+=(all)
# Run by run every mode and every program in turn, so that all of them see the same
# changes of the machine's load and the ratios between them hold within one run.
for ((r = 1; r <= runs; ++r)); do
  for mode in "${modes[@]}"; do
    for i in "${!programs[@]}"; do run_once "${programs[$i]}" "$mode" "$work/$mode.$i"; done
  done
done

declare -A median
for mode in "${modes[@]}"; do
  if [ "$mode" = one ]; then
    echo "== pinned to one core (taskset -c 0), $runs runs each"
  else
    echo "== all cores ($(nproc) online), $runs runs each"
  fi
  for i in "${!programs[@]}"; do
    read -r med lo hi < <(time_stats "$work/$mode.$i")
    median[$mode.$i]=$med
    kib=$(cut -d' ' -f2 "$work/$mode.$i" | sort -n | tail -1)
    sums=$(cut -d' ' -f3 "$work/$mode.$i" | sort -u | tr '\n' ' ')
    printf '%s\n  median %s s (min %s, max %s)  peak RSS %s KiB  grid md5 %s\n' \
      "${programs[$i]}" "$med" "$lo" "$hi" "$kib" "$sums"
  done
  if [ "${#programs[@]}" = 2 ]; then
    awk -v a="${median[$mode.1]}" -v b="${median[$mode.0]}" \
      'BEGIN { printf "ratio of medians REF_BINARY / main: %.2f (above 1: main is faster)\n", a / b }'
  fi
done
if [ "${#modes[@]}" = 2 ]; then
  echo "== one core / all cores"
  for i in "${!programs[@]}"; do
    awk -v a="${median[one.$i]}" -v b="${median[all.$i]}" -v p="${programs[$i]}" \
      'BEGIN { printf "%s: %.2f\n", p, a / b }'
  done
fi
