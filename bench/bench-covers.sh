#!/bin/sh
# What album covers cost indexing: files per second of `tessel index` over
# a library whose albums have covers (half embedded in every song, half as
# cover.jpg beside the songs), beside the same library without covers, as
# a ratio (target >= 0.9).  Each run indexes into a fresh database and a
# fresh media-art cache; the two libraries take turns for ROUNDS rounds
# and the medians are compared.
#   bench/bench-covers.sh [BUILDDIR [ALBUMS [SONGS [ROUNDS]]]]
#   (defaults: build 30 10 5)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
albums=${2:-30}
songs=${3:-10}
rounds=${4:-5}
for f in tools/tessel bench/bench-cover-corpus; do
  [ -x "$build/$f" ] || { echo "bench-covers: build $build/$f first" >&2; exit 1; }
done
command -v gst-launch-1.0 >/dev/null \
  || { echo "bench-covers: gst-launch-1.0 missing (scripts/install-deps)" >&2; exit 1; }

work=$(mkdir -p "$build/bench-covers" && cd "$build/bench-covers" && pwd)
export GST_REGISTRY="$work/gst-registry.bin"
plugins="$(cd "$build" && pwd)/plugin"
export LD_LIBRARY_PATH="$plugins${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
conf="$PWD/data/metadata_lib.conf"

# A four-second song and a 600x600 cover of about 60 KB, as a shop's.
[ -s "$work/song.mp3" ] || gst-launch-1.0 -q audiotestsrc num-buffers=172 \
  ! audio/x-raw,rate=44100,channels=2 ! lamemp3enc ! xingmux \
  ! filesink location="$work/song.mp3"
[ -s "$work/cover.jpg" ] || gst-launch-1.0 -q videotestsrc pattern=smpte \
  num-buffers=1 ! video/x-raw,width=600,height=600 ! jpegenc quality=90 \
  ! filesink location="$work/cover.jpg"
for kind in plain covers; do
  dir="$work/$kind-$albums-$songs"
  [ -d "$dir" ] && continue
  mkdir -p "$dir.part"
  "$build/bench/bench-cover-corpus" "$work/song.mp3" "$work/cover.jpg" \
    "$dir.part" "$albums" "$songs" "$kind"
  mv "$dir.part" "$dir"
done

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# index_seconds KIND: seconds of one `tessel index` of that library into a
# fresh database and cache.  TESSEL_BENCH_DB places the database,
# TESSEL_BENCH_CACHE the cache folder (e.g. both on a tmpfs, to leave out
# the disk's cost of creating files).
cache=${TESSEL_BENCH_CACHE:-$work/cache}
index_seconds() {
  db=${TESSEL_BENCH_DB:-$work/meta_storage}
  rm -f "$db" "$db-wal" "$db-shm" "$db-journal"
  rm -rf "$cache"
  start=$(now)
  XDG_CACHE_HOME="$cache" "$build/tools/tessel" index --database "$db" \
    --config "$conf" "$work/$1-$albums-$songs" >/dev/null 2>&1
  end=$(now)
  calc "$end - $start"
}

# Warm the page cache and GStreamer's registry.
index_seconds plain >/dev/null
index_seconds covers >/dev/null
: >"$work/plain.times"
: >"$work/covers.times"
i=0
while [ "$i" -lt "$rounds" ]; do
  index_seconds plain >>"$work/plain.times"
  index_seconds covers >>"$work/covers.times"
  i=$((i + 1))
done
files=$((albums * songs))
plain=$(median <"$work/plain.times")
covers=$(median <"$work/covers.times")
made=$(ls "$cache/media-art" 2>/dev/null | wc -l)
printf 'library of %d albums x %d songs, median of %d rounds\n' \
  "$albums" "$songs" "$rounds"
printf '  without covers: %8.1f files/s\n' "$(calc "$files / $plain")"
printf '  with covers:    %8.1f files/s  (%d cache files)\n' \
  "$(calc "$files / $covers")" "$made"
printf '  ratio with / without: %5.2f  (target >= 0.9)\n' \
  "$(calc "$plain / $covers")"
