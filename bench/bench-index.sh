#!/bin/sh
# Indexing speed: files per second of `tessel index` with the installed
# mapping, beside gst-discoverer-1.0 and beside the bare header-reading
# rate (bench-taglib-read) over the same files, as ratios; then what files
# with damaged audio cost, with the installed mapping and with every
# extension mapped to libbrisel_gst; then MP3s without a Xing header
# (lamemp3enc without xingmux, variable and constant bitrates), beside the
# same indexing by an older build OLDBUILD (its tools/tessel and plugins
# built, e.g. from a `git worktree` of an older commit) when given.
#   bench/bench-index.sh [BUILDDIR [COUNT [OLDBUILD]]]  (defaults: build 300)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-300}
old=${3:-}
[ -x "$build/tools/tessel" ] || { echo "bench-index: build $build first" >&2; exit 1; }
[ -x "$build/bench/bench-taglib-read" ] \
  || { echo "bench-index: build $build/bench/bench-taglib-read first" >&2; exit 1; }
command -v gst-discoverer-1.0 >/dev/null \
  || { echo "bench-index: gst-discoverer-1.0 missing (scripts/install-deps)" >&2; exit 1; }

work=$(mkdir -p "$build/bench-index" && cd "$build/bench-index" && pwd)
export GST_REGISTRY="$work/gst-registry.bin"
export LD_LIBRARY_PATH="$PWD/$build/plugin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
scripts/make-sample-media "$work/sample" 2>/dev/null

# make_corpus NAME KIND: COUNT files copied under new names from the
# sample media: "all" of it but the playlist, "audio" only (the intact
# audio files), or "damaged": the audio files cut after their first 3 KB,
# their tags and headers with hardly any audio behind them.
make_corpus() {
  dir="$work/corpus-$1-$count"
  [ -d "$dir" ] && return 0
  mkdir -p "$dir.part"
  i=0
  while [ "$i" -lt "$count" ]; do
    for f in "$work"/sample/*; do
      [ "$i" -lt "$count" ] || break
      case $2:$f in
        *.m3u) continue ;;
        audio:*damaged.mp3|damaged:*damaged.mp3) continue ;;
        audio:*.mkv|audio:*.webm|damaged:*.mkv|damaged:*.webm) continue ;;
      esac
      out="$dir.part/$(printf '%04d' "$i")-$(basename "$f" | tr ' ' _)"
      if [ "$2" = damaged ]; then head -c 3072 "$f" >"$out"; else cp "$f" "$out"; fi
      i=$((i + 1))
    done
  done
  mv "$dir.part" "$dir"
}
# MP3s as lamemp3enc writes them when no xingmux follows: no Xing, Info
# or VBRI header.  Two of three at a variable bitrate.
noxing="$work/sample-noxing"
mkdir -p "$noxing"
for sample in "vbr-a:target=quality quality=2:30" "vbr-b:target=quality quality=4:45" \
            "cbr:target=bitrate cbr=true bitrate=128:40"; do
  name=${sample%%:*}; rest=${sample#*:}; opts=${rest%:*}; secs=${rest##*:}
  [ -s "$noxing/$name.mp3" ] && continue
  # shellcheck disable=SC2086
  gst-launch-1.0 -q audiotestsrc wave=pink-noise num-buffers=$((secs * 10)) \
    samplesperbuffer=4410 ! audio/x-raw,rate=44100,channels=2 ! audioconvert \
    ! lamemp3enc $opts ! taginject tags="title=$name,artist=Bench" ! id3v2mux \
    ! filesink location="$noxing/$name.mp3.part" >/dev/null 2>&1 \
    && mv "$noxing/$name.mp3.part" "$noxing/$name.mp3"
done
make_corpus all all
make_corpus audio audio
make_corpus damaged damaged
dir="$work/corpus-noxing-$count"
if [ ! -d "$dir" ]; then
  mkdir -p "$dir.part"
  i=0
  while [ "$i" -lt "$count" ]; do
    for f in "$noxing"/*.mp3; do
      [ "$i" -lt "$count" ] || break
      cp "$f" "$dir.part/$(printf '%04d' "$i")-$(basename "$f")"
      i=$((i + 1))
    done
  done
  mv "$dir.part" "$dir"
fi
sed 's/ libbrisel_tag$/ libbrisel_gst/' data/metadata_lib.conf >"$work/gst-only.conf"

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }

# index_rate CORPUS CONF: files per second of `tessel index` into a fresh
# database.  TESSEL_BENCH_DB places the database, e.g. on a tmpfs to leave
# out sync time.
index_rate() {
  index_rate_of "$build" "$@"
}

# index_rate_of BUILD CORPUS CONF: the same with BUILD's tessel and
# plug-ins.
index_rate_of() {
  db=${TESSEL_BENCH_DB:-$work/meta_storage}
  rm -f "$db" "$db-wal" "$db-shm" "$db-journal"
  start=$(now)
  LD_LIBRARY_PATH="$(cd "$1" && pwd)/plugin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$1/tools/tessel" index --database "$db" --config "$3" "$2" \
    2>/dev/null >"$work/index.out"
  end=$(now)
  indexed=$(sed -n 's/^[0-9]* seen, \([0-9]*\) indexed.*/\1/p' "$work/index.out")
  calc "$indexed / ($end - $start)"
}

discoverer_rate() {
  start=$(now)
  gst-discoverer-1.0 "$1" >"$work/discoverer.out" 2>&1 || true
  end=$(now)
  calc "$(grep -c '^Done discovering' "$work/discoverer.out" || true) / ($end - $start)"
}

taglib_rate() {
  "$build/bench/bench-taglib-read" "$1" | awk '{ print $1 / $4 }'
}

# Warm up: the registry and the page cache, for every side alike.
for c in all audio damaged noxing; do
  gst-discoverer-1.0 "$work/corpus-$c-$count" >/dev/null 2>&1 || true
  "$build/bench/bench-taglib-read" "$work/corpus-$c-$count" >/dev/null
done

conf="$PWD/data/metadata_lib.conf"
line() { printf '  %-34s %8.1f files/s\n' "$1" "$2"; }

echo "audio corpus: $count files (Ogg Vorbis, MP3, FLAC, WAV of the sample media)"
audio_index=$(index_rate "$work/corpus-audio-$count" "$conf")
audio_gst=$(index_rate "$work/corpus-audio-$count" "$work/gst-only.conf")
audio_disc=$(discoverer_rate "$work/corpus-audio-$count")
audio_taglib=$(taglib_rate "$work/corpus-audio-$count")
line "tessel index (installed mapping)" "$audio_index"
line "tessel index (all libbrisel_gst)" "$audio_gst"
line "gst-discoverer-1.0" "$audio_disc"
line "bare header reading" "$audio_taglib"
printf '  ratio tessel / discoverer:          %6.2f  (target >= 15)\n' \
  "$(calc "$audio_index / $audio_disc")"
printf '  ratio tessel / bare header reading: %6.2f  (target >= 0.5)\n' \
  "$(calc "$audio_index / $audio_taglib")"

echo "whole corpus: $count files (the audio, Matroska and WebM video, a damaged MP3)"
all_index=$(index_rate "$work/corpus-all-$count" "$conf")
all_disc=$(discoverer_rate "$work/corpus-all-$count")
line "tessel index (installed mapping)" "$all_index"
line "gst-discoverer-1.0" "$all_disc"
printf '  ratio tessel / discoverer:          %6.2f\n' "$(calc "$all_index / $all_disc")"

echo "damaged corpus: $count files (the audio cut after 3 KB: tags, little audio)"
damaged_index=$(index_rate "$work/corpus-damaged-$count" "$conf")
damaged_gst=$(index_rate "$work/corpus-damaged-$count" "$work/gst-only.conf")
line "tessel index (installed mapping)" "$damaged_index"
line "tessel index (all libbrisel_gst)" "$damaged_gst"
printf '  damaged / intact audio, installed mapping: %6.2f\n' \
  "$(calc "$damaged_index / $audio_index")"

echo "no-Xing corpus: $count MP3s without a Xing header (30-45 s; 2/3 variable bitrate)"
noxing_index=$(index_rate "$work/corpus-noxing-$count" "$conf")
noxing_taglib=$(taglib_rate "$work/corpus-noxing-$count")
line "tessel index (installed mapping)" "$noxing_index"
if [ -n "$old" ]; then
  noxing_old=$(index_rate_of "$old" "$work/corpus-noxing-$count" "$conf")
  line "tessel index, $old" "$noxing_old"
  printf '  this build / %s:%*s %6.2f\n' "$old" $((22 - ${#old})) '' \
    "$(calc "$noxing_index / $noxing_old")"
fi
line "bare header reading" "$noxing_taglib"
printf '  ratio tessel / bare header reading: %6.2f\n' \
  "$(calc "$noxing_index / $noxing_taglib")"
