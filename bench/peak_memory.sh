#!/usr/bin/env bash
# Peak resident memory of kelvarodine --output (plain, with --channels --null, and to
# a netCDF grid where the build writes one) and of kelvarodine-mpi's ranks 0 and 1 of
# 2 (where built; every rank reads its own windows' samples block by block, and rank
# 0 keeps the grid's columns in a temporary file) for 8 channels of a short and a ten
# times longer record, to see how the memory of a run grows with the record.
#
#   bench/peak_memory.sh BUILD_DIR [SHORT_SAMPLES]
#
# The records (default 200000 and 2000000 samples, list input made by
# kelvarodine-example in BUILD_DIR/bench-memory-SAMPLES, the same samples as one text
# table of 8 columns and, where BUILD_DIR/bench/table_to_mseed was built, as a
# miniSEED file) are analysed with window 1024, shift 256, order 10; /usr/bin/time
# gives each process's maximum RSS.
set -euo pipefail

[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [SHORT_SAMPLES]" >&2; exit 2; }
build=$(cd "$1" && pwd)
short=${2:-200000}
single=$build/console/kelvarodine
program=$build/mpi/kelvarodine-mpi
example=$build/examples/kelvarodine-example
for tool in "$single" "$example" /usr/bin/time; do
  [ -x "$tool" ] || { echo "$0: missing $tool" >&2; exit 1; }
done
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_btl=self,vader
[ "$(id -u)" != 0 ] || export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
options=(--window 1024 --shift 256 --order 10 --quiet --list list)
to_mseed=$build/bench/table_to_mseed

printf '%-10s %-26s %s\n' samples run "peak RSS KiB (mpi: rank 0, rank 1)"
for samples in "$short" $((10 * short)); do
  data=$build/bench-memory-$samples
  [ -f "$data/list" ] || { rm -rf "$data"; "$example" "$data" --channels 8 --samples "$samples" >/dev/null; }
  cd "$data"
  for run in " g.grd" "--channels --null g.grd" "--channels --null g.nc"; do
    # shellcheck disable=SC2086
    /usr/bin/time -f "rss %M" -o "$work/single" "$single" "${options[@]}" ${run% *} \
      --output "$work/${run##* }" >/dev/null 2>&1 || continue
    printf '%-10s %-26s %s\n' "$samples" "kelvarodine $run" \
      "$(grep -o 'rss [0-9]*' "$work/single" | cut -d' ' -f2)"
  done
  [ -f table.txt ] || paste -d' ' $(cat list) > table.txt
  [ -f record.mseed ] || [ ! -x "$to_mseed" ] || "$to_mseed" table.txt record.mseed
  for input in table.txt record.mseed; do
    [ -f "$input" ] || continue
    /usr/bin/time -f "rss %M" -o "$work/single" "$single" "${options[@]:0:7}" \
      --output "$work/g.grd" "$input"
    printf '%-10s %-26s %s\n' "$samples" "kelvarodine $input" "$(cut -d' ' -f2 "$work/single")"
  done
  if [ -x "$program" ] && command -v mpirun >/dev/null; then
    # Each rank's own peak, in $work/mpi.RANK (the rank expanded by the rank's shell).
    # shellcheck disable=SC2016
    ranks() {
      rm -f "$work"/mpi.*
      mpirun -n 2 --bind-to none sh -c \
        '/usr/bin/time -f "rss %M" -o "$0.$OMPI_COMM_WORLD_RANK" "$@"' "$work/mpi" \
        "$program" "$@" >/dev/null 2>&1 || true
      echo "$(cut -d' ' -f2 "$work/mpi.0") $(cut -d' ' -f2 "$work/mpi.1")"
    }
    printf '%-10s %-26s %s\n' "$samples" "mpi, 2 ranks, list" \
      "$(ranks "${options[@]}" --output "$work/m.grd")"
    for input in table.txt record.mseed; do
      [ -f "$input" ] || continue
      printf '%-10s %-26s %s\n' "$samples" "mpi, 2 ranks, $input" \
        "$(ranks "${options[@]:0:7}" --output "$work/m.grd" "$input")"
    done
    printf '%-10s %-26s %s\n' "$samples" "mpi, 2 ranks, list, --channels --null .nc" \
      "$(ranks "${options[@]}" --channels --null --output "$work/m.nc")"
  fi
done
