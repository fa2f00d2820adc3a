#!/bin/sh
# tessel watch: latency from a file's last write to its row, the rate of a
# burst of new files beside `tessel index` over the same files, and the CPU
# time of an idle watcher over a large library.
#   bench/bench-watch.sh [BUILDDIR [BURST [LIBRARY [IDLE_SECONDS]]]]
#   (defaults: build 5000 20000 30)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
burst=${2:-5000}
library=${3:-20000}
idle=${4:-30}
[ -x "$build/tools/tessel" ] || { echo "bench-watch: build $build first" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "bench-watch: sqlite3 missing" >&2; exit 1; }

tessel="$PWD/$build/tools/tessel"
work=$(mkdir -p "$build/bench-watch" && cd "$build/bench-watch" && pwd)
export GST_REGISTRY="$work/gst-registry.bin"
export LD_LIBRARY_PATH="$PWD/$build/plugin:$PWD/$build/tests/plugins${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
conf="$PWD/data/metadata_lib.conf"
# TESSEL_BENCH_DB_DIR places the databases, e.g. on a tmpfs (/dev/shm) to
# leave out the disk's sync time, which the dirty pages of a copy inflate.
dbdir=${TESSEL_BENCH_DB_DIR:-$work}

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
rows() { sqlite3 "$1" "SELECT count(*) FROM Metadata WHERE Present = 1" 2>/dev/null || echo 0; }
watcher=
stop_watcher() {
  if [ -n "$watcher" ]; then
    kill -TERM "$watcher" 2>/dev/null || true
    wait "$watcher" 2>/dev/null || true
    watcher=
  fi
}
trap stop_watcher EXIT
# Starts tessel watch (extra arguments first) and waits for its first pass.
start_watcher() {
  log=$1; shift
  "$tessel" watch "$@" 2>"$log" &
  watcher=$!
  i=0
  until grep -q ' seen, ' "$log"; do
    i=$((i + 1)); [ "$i" -lt 24000 ] || { echo "bench-watch: no start" >&2; exit 1; }
    sleep 0.05
  done
}

scripts/make-sample-media "$work/sample" 2>/dev/null
sample=$(ls "$work"/sample/*.ogg | head -n 1)

# 1. Latency, default settle time, real plug-in: the time from the end of
# the write to the row's appearance, polled every 10 ms; median of 5.
rm -rf "$work/latency" && mkdir -p "$work/latency/lib"
db="$work/latency/meta_storage"
start_watcher "$work/latency/log" --database "$db" --config "$conf" "$work/latency/lib"
lat=""
for n in 1 2 3 4 5; do
  cp "$sample" "$work/latency/lib/song-$n.ogg"
  written=$(now)
  f="$work/latency/lib/song-$n.ogg"
  until [ "$(sqlite3 "$db" "SELECT count(*) FROM Metadata WHERE Filename = '$f'" 2>/dev/null || echo 0)" = 1 ]; do
    sleep 0.01
  done
  lat="$lat $(calc "$(now) - $written")"
done
stop_watcher
median=$(echo "$lat" | tr ' ' '\n' | grep . | sort -n | sed -n 3p)
printf 'latency (settle 1 s): median %.2f s of 5 (%s )\n' "$median" "$lat"

# 2. A burst of BURST new files, real plug-in: tessel index over the
# corpus, then the same files copied in one go into a watched folder,
# timed from the start of the copy to the last row.
corpus="$work/corpus-$burst"
if [ ! -d "$corpus" ]; then
  mkdir -p "$corpus.part"
  i=0
  while [ "$i" -lt "$burst" ]; do
    for f in "$work"/sample/*; do
      [ "$i" -lt "$burst" ] || break
      case $f in *.m3u) continue ;; esac
      cp "$f" "$corpus.part/$(printf '%05d' "$i")-$(basename "$f" | tr ' ' _)"
      i=$((i + 1))
    done
  done
  mv "$corpus.part" "$corpus"
fi
cat "$corpus"/* >/dev/null # page cache warm for both sides
rm -f "$dbdir/bench-watch-index.db"
start=$(now)
"$tessel" index --database "$dbdir/bench-watch-index.db" --config "$conf" "$corpus" >/dev/null 2>&1 || true
index_s=$(calc "$(now) - $start")
index_n=$(rows "$dbdir/bench-watch-index.db")

rm -rf "$work/burst" && mkdir -p "$work/burst/lib"
db="$dbdir/bench-watch-burst.db"
rm -f "$db"
start_watcher "$work/burst/log" --database "$db" --config "$conf" "$work/burst/lib"
start=$(now)
cp "$corpus"/* "$work/burst/lib/"
until [ "$(rows "$db")" -ge "$index_n" ]; do sleep 0.1; done
watch_s=$(calc "$(now) - $start")
stop_watcher
index_rate=$(calc "$index_n / $index_s")
watch_rate=$(calc "$index_n / $watch_s")
printf 'tessel index: %5d files in %7.2f s  %7.1f files/s\n' "$index_n" "$index_s" "$index_rate"
printf 'tessel watch: %5d files in %7.2f s  %7.1f files/s (copy and settle included)\n' \
  "$index_n" "$watch_s" "$watch_rate"
printf 'burst ratio (watch / index): %.2f\n' "$(calc "$watch_rate / $index_rate")"

# 3. Idle CPU over a library of LIBRARY files in folders of 100, with the
# stand-in plug-in libfakeok so that building the library stays quick
# (extraction plays no part once the watcher is idle).
lib="$work/idle-$library"
if [ ! -d "$lib" ]; then
  mkdir -p "$lib.part"
  i=0
  while [ "$i" -lt "$library" ]; do
    d="$lib.part/$(printf '%03d' $((i / 100)))"
    [ -d "$d" ] || mkdir "$d"
    echo "$i" >"$d/$(printf '%05d' "$i").mp3"
    i=$((i + 1))
  done
  mv "$lib.part" "$lib"
fi
echo "mp3 libfakeok" >"$work/fake.conf"
rm -f "$dbdir/bench-watch-idle.db"
start_watcher "$work/idle.log" --database "$dbdir/bench-watch-idle.db" --config "$work/fake.conf" "$lib"
ticks() { awk '{ print $14 + $15 }' "/proc/$watcher/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$idle"
after=$(ticks)
stop_watcher
printf 'idle watcher over %d files (%d folders): %.0f ms CPU in %d s\n' \
  "$library" $(((library + 99) / 100 + 1)) "$(calc "($after - $before) * 1000 / $hz")" "$idle"
