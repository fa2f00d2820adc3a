#!/bin/sh
# Runs every libFuzzer target of a build made with -Dfuzzing=true for the
# given number of seconds each, starting from the committed seed corpora
# (new inputs collect in BUILDDIR/fuzz-corpus/NAME).  One line per target:
#   NAME: N runs in S s, 0 crashes
# and a last line "fuzz targets: N run, M failed".  Exits 1 when a target
# found a crash (its input is left in BUILDDIR/fuzz-crashes) or did not
# finish its run.
#   fuzz/run-fuzzers.sh BUILDDIR [SECONDS [TARGET...]]
set -u
cd "$(dirname "$0")/.."
builddir=${1:?usage: fuzz/run-fuzzers.sh BUILDDIR [SECONDS [TARGET...]]}
seconds=${2:-30}
[ $# -gt 2 ] && shift 2 || set --
targets=${*:-"fuzz-conf fuzz-array fuzz-search-lines fuzz-gisds fuzz-gst fuzz-tag fuzz-id3 fuzz-headers"}

status=0
ran=0
failed=0
mkdir -p "$builddir/fuzz-crashes"
for t in $targets; do
  exe="$builddir/fuzz/$t"
  [ -x "$exe" ] || { echo "$t: not built"; continue; }
  seeds="fuzz/corpus-${t#fuzz-}"
  corpus="$builddir/fuzz-corpus/$t"
  mkdir -p "$corpus"
  extra=""
  asan_options=${ASAN_OPTIONS:-}
  case $t in
    # GStreamer, its decoders and GLib keep allocations of their own that
    # leak detection (in the loop and at exit) would stop at; memory errors
    # are still caught.  A run may wait for the pre-roll timeout.
    fuzz-gst|fuzz-tag) extra="-detect_leaks=0 -timeout=30"
              asan_options="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
              GST_REGISTRY="$builddir/fuzz-gst-registry.bin"
              export GST_REGISTRY ;;
    fuzz-search-lines) extra="-max_len=4096" ;;
    *) extra="-max_len=4096" ;;
  esac
  log="$builddir/fuzz-$t.log"
  # shellcheck disable=SC2086
  ASAN_OPTIONS=$asan_options timeout -s KILL $((seconds + 120)) "$exe" -max_total_time="$seconds" \
    -artifact_prefix="$builddir/fuzz-crashes/$t-" $extra \
    "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) >"$log" 2>&1
  rc=$?
  ran=$((ran + 1))
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -n 1)
  crashes=$(ls "$builddir/fuzz-crashes" | grep -c "^$t-" || true)
  echo "$t: ${runs:-no summary (exit $rc)}, $crashes crashes"
  if [ "$rc" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    status=1
    failed=$((failed + 1))
    tail -n 30 "$log"
  fi
done
echo "fuzz targets: $ran run, $failed failed"
exit $status
