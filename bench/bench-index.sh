#!/bin/sh
# Indexing speed: files per second of `tessel index` over a generated
# corpus, beside gst-discoverer-1.0 over the same files, as a ratio.
#   bench/bench-index.sh [BUILDDIR [COUNT]]     (defaults: build 300)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-300}
[ -x "$build/tools/tessel" ] || { echo "bench-index: build $build first" >&2; exit 1; }
command -v gst-discoverer-1.0 >/dev/null \
  || { echo "bench-index: gst-discoverer-1.0 missing (scripts/install-deps)" >&2; exit 1; }

work=$(mkdir -p "$build/bench-index" && cd "$build/bench-index" && pwd)
export GST_REGISTRY="$work/gst-registry.bin"
export LD_LIBRARY_PATH="$PWD/$build/plugin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# The corpus: the sample media, each copied under new names until there
# are COUNT files.  Both sides read the same files.
. bench/corpus.sh
corpus=$(make_corpus "$work" "$count")

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
# Warm up: the registry and the page cache, for both sides alike.
gst-discoverer-1.0 "$corpus" >/dev/null 2>&1 || true

# TESSEL_BENCH_DB places the database, e.g. on a tmpfs to leave out sync time.
db=${TESSEL_BENCH_DB:-$work/meta_storage}
rm -f "$db"
start=$(now)
"$build/tools/tessel" index --database "$db" \
  --config "$PWD/data/metadata_lib.conf" "$corpus" 2>/dev/null >"$work/index.out"
end=$(now)
tessel_s=$(calc "$end - $start")
indexed=$(sed -n 's/^[0-9]* seen, \([0-9]*\) indexed.*/\1/p' "$work/index.out")

start=$(now)
gst-discoverer-1.0 "$corpus" >"$work/discoverer.out" 2>&1 || true
end=$(now)
disc_s=$(calc "$end - $start")
discovered=$(grep -c '^Done discovering' "$work/discoverer.out" || true)

tessel_rate=$(calc "$indexed / $tessel_s")
disc_rate=$(calc "$discovered / $disc_s")
printf 'tessel index:        %4d files in %6.2f s  %7.1f files/s\n' \
  "$indexed" "$tessel_s" "$tessel_rate"
printf 'gst-discoverer-1.0:  %4d files in %6.2f s  %7.1f files/s\n' \
  "$discovered" "$disc_s" "$disc_rate"
printf 'ratio (tessel / discoverer): %.2f\n' "$(calc "$tessel_rate / $disc_rate")"
