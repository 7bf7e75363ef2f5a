#!/bin/sh
# scripts/setup-debian.sh against stand-ins for dpkg-query, apt-get and sudo that
# record every call: nothing missing means no apt-get at all (not even "update") and
# no output; a missing package means one update, then an install of that package
# only; a package removed with its configuration kept counts as missing.
#   setup_debian_test.sh SETUP_SCRIPT
set -eu
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
# The last argument is the package; $STUB_MISSING and $STUB_CONFIG_ONLY list the
# packages that are not installed.
for p; do :; done
case " $STUB_MISSING " in *" $p "*) echo "dpkg-query: no packages found matching $p" >&2; exit 1 ;; esac
case " $STUB_CONFIG_ONLY " in *" $p "*) printf 'config-files'; exit 0 ;; esac
printf installed
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUB_LOG"
STUB
cat >"$work/bin/sudo" <<'STUB'
#!/bin/sh
exec "$@"
STUB
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH" STUB_LOG="$work/log"

fail() { echo "FAIL: $*" >&2; exit 1; }
# run NAME EXPECTED_LOG EXPECTED_OUTPUT [ARG]: runs the script, compares.
run() {
  name=$1 expected_log=$2 expected_out=$3
  shift 3
  : >"$STUB_LOG"
  out=$(sh "$script" "$@") || fail "$name: exit status $?"
  [ "$out" = "$expected_out" ] || fail "$name: printed [$out], expected [$expected_out]"
  [ "$(cat "$STUB_LOG")" = "$expected_log" ] ||
    fail "$name: apt-get calls [$(cat "$STUB_LOG")], expected [$expected_log]"
}

STUB_MISSING="" STUB_CONFIG_ONLY="" run "all installed" "" ""
STUB_MISSING="" STUB_CONFIG_ONLY="" run "all installed, CI" "" "" --ci

export STUB_MISSING="libcairo2-dev" STUB_CONFIG_ONLY=""
run "cairo missing" "apt-get update -qq
apt-get install -y -qq libcairo2-dev" "setup-debian.sh: installing libcairo2-dev"

export STUB_MISSING="clang" STUB_CONFIG_ONLY="pkg-config"
run "pkg-config removed, clang missing but not asked for" "apt-get update -qq
apt-get install -y -qq pkg-config" "setup-debian.sh: installing pkg-config"
run "CI list" "apt-get update -qq
apt-get install -y -qq pkg-config clang" "setup-debian.sh: installing pkg-config clang" --ci

: >"$STUB_LOG"
if sh "$script" --bogus 2>/dev/null; then fail "an unknown argument was accepted"; fi
[ ! -s "$STUB_LOG" ] || fail "an unknown argument ran apt-get"
echo "setup-debian.sh: all cases passed"
