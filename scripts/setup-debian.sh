#!/bin/sh
# Installs the Debian packages that building and testing Kelvarodine need, those that
# are missing only, and says which. Runs "apt-get update" only when something is to be
# installed; when nothing is missing it prints nothing and changes nothing.
#   sh scripts/setup-debian.sh         the programs, the map (cairo), miniSEED input
#                                      (libmseed), the Python module (pybind11, NumPy;
#                                      xarray for to_xarray), netCDF grids (libnetcdf),
#                                      kelvarodine-mpi (Open MPI) and the tests (GMT and
#                                      xarray read the netCDF grids)
#   sh scripts/setup-debian.sh --ci    also what .ci/run uses: clang, clang-format,
#                                      the sanitizer runtime, Google Benchmark, man
set -eu

packages="cmake g++ make pkg-config libgtest-dev libcairo2-dev libmseed-dev libnetcdf-dev"
packages="$packages python3-dev pybind11-dev python3-numpy python3-pytest python3-xarray"
packages="$packages python3-netcdf4 gmt"
packages="$packages libopenmpi-dev openmpi-bin"
case ${1-} in
  "") ;;
  --ci) packages="$packages git clang clang-format libclang-rt-14-dev libbenchmark-dev man-db" ;;
  *) echo "usage: sh scripts/setup-debian.sh [--ci]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  echo "setup-debian.sh: not a Debian system; install yourself: $packages" >&2
  exit 0
fi

missing=""
for p in $packages; do
  # A package removed with its configuration kept is known to dpkg but not installed.
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing="$missing $p"
done
[ -n "$missing" ] || exit 0

as_root=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null 2>&1 || {
    echo "setup-debian.sh: missing:$missing; run this script as root to install them" >&2
    exit 1
  }
  as_root=sudo
fi
echo "setup-debian.sh: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -qq
# shellcheck disable=SC2086 # one word per package
$as_root apt-get install -y -qq $missing >/dev/null
