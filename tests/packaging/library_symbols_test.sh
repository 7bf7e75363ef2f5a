#!/bin/sh
# The library knows no console: none of its objects calls a function that writes to
# the standard streams, reads the environment, ends the process or installs a signal
# handler. Checked on the symbols the archive leaves undefined.
#   library_symbols_test.sh LIBRARY
set -eu
library=$1
undefined=$(nm -u "$library" | awk '{ print $NF }' | sort -u)
[ -n "$undefined" ] || { echo "FAIL: no undefined symbols in $library" >&2; exit 1; }
forbidden='^(getenv|secure_getenv|setenv|putenv|exit|_exit|_Exit|quick_exit|abort|signal|sigaction|raise|kill|printf|fprintf|vprintf|vfprintf|puts|fputs|putchar|fputc|fwrite|perror|stdout|stderr|stdin|isatty|system|popen)$|^_ZSt4(cout|cerr|clog|cin)$|^_ZNSt8ios_base4Init'
found=$(echo "$undefined" | grep -E "$forbidden" || true)
if [ -n "$found" ]; then
  echo "FAIL: the library calls" $found >&2
  exit 1
fi
echo "library: $(echo "$undefined" | wc -l) undefined symbols, none of them console, exit, environment or signal calls"
