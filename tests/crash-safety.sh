#!/bin/sh
# The long form of the crash-safety tests: SIGKILL at random moments while
# rows are stored (alone, and against another process holding write
# transactions) and while `tessel index` runs, KILLS times each (default
# 200).  The test suite runs the same program with 20.
#   tests/crash-safety.sh [BUILDDIR [KILLS]]
# Prints the figures of each test and exits non-zero when a kill was not
# survived or a reported row was lost.
set -eu
cd "$(dirname "$0")/.."
builddir=$(cd "${1:-build}" && pwd)
kills=${2:-200}
program="$builddir/tests/test-crash-safety"
[ -x "$program" ] || { echo "crash-safety: build $program first" >&2; exit 2; }
log="$builddir/meson-logs/crash-safety-$kills.txt"
mkdir -p "$(dirname "$log")"
status=0
TESSEL_CRASH_KILLS=$kills \
G_TEST_BUILDDIR="$builddir/tests" G_TEST_SRCDIR="$PWD/tests" \
LD_LIBRARY_PATH="$builddir/plugin:$builddir/tests/plugins${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$program" --verbose >"$log" 2>&1 || status=$?
grep -E '^(ok|not ok|# kills|# lost|# broken)|^Bail out' "$log" || true
[ "$status" -eq 0 ] && echo "crash-safety: $kills kills per test, all survived" \
  || echo "crash-safety: FAILED (log: $log)"
exit "$status"
