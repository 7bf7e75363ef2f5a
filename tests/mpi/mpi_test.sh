#!/bin/sh
# kelvarodine-mpi end to end: with 1, 2 and 3 processes (more than this machine's
# cores) the files are kelvarodine's, byte for byte; a run that fails on any rank
# ends every process with a non-zero status and replaces no file.
#   mpi_test.sh CASE BUILD_DIR
set -eu
case=$1 build=$2
single=$build/console/kelvarodine
program=$build/mpi/kelvarodine-mpi
[ -x "$program" ] || { echo "skipped: kelvarodine-mpi was not built (MPI not found)"; exit 77; }
command -v mpirun >/dev/null 2>&1 || { echo "skipped: mpirun not found"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Root may run mpirun, more processes than cores may run, on this machine only.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_btl=self,vader
export OMPI_MCA_btl_vader_single_copy_mechanism=none
# In a sanitizer build, Open MPI's own allocations that it keeps until the end (in
# plug-ins unloaded by then, so that no suppression can name them) are not leaks of
# ours: leak detection is off for the MPI processes.
mpi() {
  n=$1
  shift
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    timeout 120 mpirun -n "$n" --bind-to none "$@"
}
fail() { echo "FAIL: $*" >&2; exit 1; }

# NCH coupled channels of N samples with a time column, a gap in channel 2 when GAP
# is set: a table with a header.
table() {
  awk -v n="$1" -v nch="$2" -v gap="${3-}" 'BEGIN {
    s = 12345
    printf "t"; for (j = 1; j <= nch; j++) printf ",c%d", j; printf "\n"
    for (t = 0; t < n; t++) {
      printf "%d", 1000 + 2 * t
      prev = 0
      for (j = 1; j <= nch; j++) {
        s = (s * 1103515245 + 12345) % 2147483648
        x[j] = 0.6 * x[j] + 0.5 * prev + s / 2147483648 - 0.5
        prev = x[j]
        if (gap != "" && j == 2 && t >= 900 && t < 903) printf ",NA"
        else printf ",%.6f", x[j]
      }
      printf "\n"
    }
  }'
}

# Both programs with the same options: the same exit status, and every file of the
# single process's run there, byte for byte, under the MPI run's names. The grid is
# g.grd, or $out; the input ../data.csv, or $input.
compare() {
  n=$1
  shift
  rm -rf one many
  mkdir one many
  expected=0 status=0
  # shellcheck disable=SC2086
  (cd one && "$single" --quiet --output "${out:-g.grd}" "$@" ${input:-../data.csv}) >one.out 2>&1 ||
    expected=$?
  # shellcheck disable=SC2086
  (cd many && mpi "$n" "$program" --quiet --output "${out:-g.grd}" "$@" ${input:-../data.csv}) \
    >many.out 2>&1 || status=$?
  [ "$status" = "$expected" ] ||
    fail "$n processes ($*): status $status, expected $expected: $(cat many.out)"
  for f in one/*; do
    cmp -s "$f" "many/${f#one/}" || fail "$n processes ($*): many/${f#one/} differs from $f"
  done
  [ "$(ls many)" = "$(ls one)" ] || fail "$n processes ($*): files $(ls many), expected $(ls one)"
}

case $case in
  SameGridsForOneTwoThreeProcesses)
    # Blank columns (a gap), the channels' grids and the null level too; with the
    # time column as a channel, differencing makes it constant: every node blank,
    # status 3.
    table 3000 4 gap >data.csv
    for n in 1 2 3; do
      compare "$n" --window 128 --shift 16 --order 3 --time-column t --channels --null
      compare "$n" --window 100 --shift 7 --order 2 --diff --threads 1 --time-column t
      compare "$n" --window 100 --shift 50 --order 2 --diff
    done
    ;;
  ColumnsOutOfOrderAcrossSlotsAndNetcdf)
    # 2901 windows of 64 frequencies: rank 0 takes the ranks' blocks out of order into
    # two column slots of 2048 windows, for the channels' planes too, and hands them
    # to a netCDF file in order.
    table 3000 4 gap >data.csv
    nc=
    "$single" --quiet --window 100 --shift 50 --order 2 --time-column t --output probe.nc \
      data.csv >/dev/null 2>&1 && nc=g.nc
    for n in 1 2 3; do
      compare "$n" --window 100 --shift 1 --order 2 --time-column t --channels --null
      [ -z "$nc" ] || out=$nc compare "$n" --window 100 --shift 1 --order 2 --time-column t \
        --channels --null
    done
    [ -n "$nc" ] || echo "netCDF grids not compared: this build writes none"
    ;;
  ListInputReadAsTheWindowsNeedIt)
    # A list's series, which rank 0 reads again for the other ranks (in pieces of
    # 65536 samples, the last piece of a rank held with the next rank's first
    # samples) and for its own windows, collecting the null level's stretches on
    # both passes and after the last window (149,856 of 150,000 samples).
    table 150000 3 | awk -F, -v dir="$work" 'NR > 1 {
      for (j = 2; j <= NF; j++) print $j > (dir "/s" (j - 1) ".dat") }'
    printf '%s\n' "$work/s1.dat" "$work/s2.dat" "$work/s3.dat" >list
    for n in 1 2 3; do
      input="--list ../list" compare "$n" --window 256 --shift 200 --order 2 --channels --null
    done
    ;;
  NullLevelAndMiniSeedForOneTwoThreeProcesses)
    # Every rank reads its own windows' samples and hands rank 0 the null level's
    # stretches among them, the last rank those after the last window (22 samples
    # here): a text table with a gap, then the same columns as a miniSEED file.
    table 3000 4 gap >data.csv
    for n in 1 2 3; do
      compare "$n" --window 128 --shift 50 --order 3 --time-column t --null
    done
    to_mseed=$build/tests/mpi/mpi_table_to_mseed
    if [ -x "$to_mseed" ]; then
      table 3000 4 | awk -F, 'NR > 1 { $1 = ""; print }' >columns.txt
      "$to_mseed" columns.txt data.mseed
      for n in 1 2 3; do
        input=../data.mseed compare "$n" --window 128 --shift 50 --order 3 --channels --null
      done
    else
      echo "miniSEED not compared: this build reads none"
    fi
    ;;
  RankThatCannotReadItsPartEndsTheRun)
    # Rank 1 starts in another directory, where the relative input paths name no
    # file: it reports the file, the run ends with its status, no file replaced and
    # no temporary left. A run whose rank 0 sent every sample (or that left every
    # window to rank 0) would not notice.
    table 3000 4 >data.csv
    table 3000 3 | awk -F, 'NR > 1 {
      for (j = 2; j <= NF; j++) print $j > ("s" (j - 1) ".dat") }'
    printf '%s\n' s1.dat s2.dat s3.dat >list
    mkdir elsewhere
    cat >rank.sh <<'WRAP'
#!/bin/sh
[ "$OMPI_COMM_WORLD_RANK" = 1 ] && cd elsewhere
exec "$@"
WRAP
    for input in data.csv "--list list"; do
      printf 'earlier\n' >g.grd
      status=0
      # shellcheck disable=SC2086
      mpi 2 sh rank.sh "$program" --window 128 --shift 16 --order 3 --null --output g.grd \
        $input >out 2>err || status=$?
      [ "$status" = 29 ] || fail "$input: status $status, expected 29: $(cat err)"
      first=${input#--list }
      [ "$first" = list ] && first=s1.dat
      grep -qi "rank 1: $first: .*no such file" err || fail "$input: no report: $(cat err)"
      [ "$(cat g.grd)" = earlier ] || fail "$input: the earlier grid was replaced"
      [ "$(ls -A)" = "data.csv
elsewhere
err
g.grd
list
out
rank.sh
s1.dat
s2.dat
s3.dat" ] || fail "$input: files left: $(ls -A)"
    done
    # Where rank 1 starts, another copy of the table (one row less): its samples would
    # be other ones, so it refuses the file rather than read it.
    head -n 2900 data.csv >elsewhere/data.csv
    printf 'earlier\n' >g.grd
    status=0
    mpi 2 sh rank.sh "$program" --window 128 --shift 16 --order 3 --output g.grd data.csv \
      >out 2>err || status=$?
    [ "$status" = 39 ] || fail "another copy: status $status, expected 39: $(cat err)"
    grep -q "rank 1: data.csv: changed while it was read" err ||
      fail "another copy: no report: $(cat err)"
    [ "$(cat g.grd)" = earlier ] || fail "another copy: the earlier grid was replaced"
    ;;
  FullDiskOnRankZeroEndsTheRun)
    # Rank 0 may write 5 MiB a file (what Open MPI's own shared memory needs): the
    # DSAA grid's room (about 10 MB) cannot be reserved before the work, and a netCDF
    # grid's columns (the column file's third slot) cannot be written during it.
    # Either way the run ends with rank 0's report, non-zero, every rank gone, the
    # earlier grid kept and no temporary left.
    table 12000 4 >data.csv
    cat >rank.sh <<'WRAP'
#!/bin/sh
[ "$OMPI_COMM_WORLD_RANK" = 0 ] && ulimit -f 10240
exec "$@"
WRAP
    grids=g.grd
    "$single" --quiet --window 100 --shift 50 --order 2 --time-column t --output probe.nc \
      data.csv >/dev/null 2>&1 && grids="g.grd g.nc"
    rm -f probe.nc
    for grid in $grids; do
      printf 'earlier\n' >"$grid"
      status=0
      mpi 3 sh rank.sh "$program" --window 100 --shift 1 --order 2 --time-column t --channels \
        --output "$grid" data.csv >out 2>err || status=$?
      [ "$status" = 38 ] || fail "$grid: status $status on a full disk, expected 38: $(cat err)"
      grep -q "$grid" err || fail "$grid: no report: $(cat err)"
      [ "$(cat "$grid")" = earlier ] || fail "$grid: the earlier grid was replaced"
      [ "$(ls -A)" = "data.csv
err
$grid
out
rank.sh" ] || fail "$grid: files left: $(ls -A)"
      rm "$grid"
    done
    ;;
  PipeInputSentByRankZero)
    # A named pipe cannot be scanned and read again, nor read by the other ranks:
    # rank 0 holds the record and sends every rank its samples, the null level's
    # stretches collected on the way, with the same files as the single process.
    table 3000 4 gap >data.csv
    mkfifo pipe
    for n in 1 3; do
      rm -rf one many
      mkdir one many
      timeout 60 sh -c "cat data.csv >pipe" &
      (cd one && "$single" --quiet --window 128 --shift 50 --order 3 --time-column t --null \
        --output g.grd ../pipe) || fail "single process on a pipe: status $?"
      wait
      timeout 60 sh -c "cat data.csv >pipe" &
      (cd many && mpi "$n" "$program" --quiet --window 128 --shift 50 --order 3 --time-column t \
        --null --output g.grd ../pipe) || fail "$n processes on a pipe: status $?"
      wait
      for f in g.grd g.null.grd; do
        cmp -s "one/$f" "many/$f" || fail "$n processes on a pipe: $f differs"
      done
    done
    ;;
  MoreProcessesThanWindows)
    # Two windows for three processes: one rank has none.
    table 200 3 >data.csv
    compare 3 --window 128 --shift 64 --order 2 --null
    ;;
  InputErrorStopsEveryRank)
    # Rank 0 cannot read its input: every rank ends with its status, no grid replaced.
    printf 'earlier\n' >g.grd
    status=0
    mpi 3 "$program" --window 128 --shift 16 --order 3 --output g.grd missing.csv >out 2>err ||
      status=$?
    [ "$status" = 29 ] || fail "status $status, expected 29: $(cat err)"
    grep -q 'missing.csv: no such file' err || fail "no report: $(cat err)"
    [ "$(cat g.grd)" = earlier ] || fail "the earlier grid was replaced"
    [ "$(ls)" = "err
g.grd
out" ] || fail "files left: $(ls)"
    ;;
  KilledRankEndsTheRunAndKeepsTheGrid)
    # Rank 1 is killed once rank 0 has started the analysis (its first progress
    # report): the whole run ends, non-zero, with the earlier grid in place. The
    # windows are many (shift 2: seconds of work for each rank), so that the kill
    # finds rank 1 at work, not done with its range.
    table 40000 8 >data.csv
    printf 'earlier\n' >g.grd
    cat >rank.sh <<'WRAP'
#!/bin/sh
[ "$OMPI_COMM_WORLD_RANK" = 1 ] && echo $$ >rank1.pid
exec "$@"
WRAP
    status=0
    mpi 2 sh rank.sh "$program" --window 1024 --shift 2 --order 10 --threads 1 \
      --time-column t --output g.grd data.csv >out 2>err &
    run=$!
    i=0
    until [ -s rank1.pid ] && grep -q 'windows 0 of' out; do
      i=$((i + 1))
      [ $i -lt 1200 ] || { kill $run; fail "the run did not start: $(cat out err)"; }
      sleep 0.05
    done
    kill -KILL "$(cat rank1.pid)"
    wait $run || status=$?
    [ "$status" != 0 ] || fail "status 0 after a rank was killed"
    [ "$(cat g.grd)" = earlier ] || fail "the earlier grid was replaced"
    [ "$(ls)" = "data.csv
err
g.grd
out
rank.sh
rank1.pid" ] || fail "files left: $(ls)"
    ;;
  *) fail "unknown case $case" ;;
esac
