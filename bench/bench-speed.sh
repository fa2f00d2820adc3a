#!/bin/sh
# Indexing, a player's writes during a first scan, and listings at
# 100,000 rows, for this build beside an older one, in one run, taking
# turns (ROUNDS rounds, default 3; medians):
#   bench/bench-speed.sh OLDBUILD [BUILDDIR [COUNT]]   (defaults: build 3000)
# OLDBUILD is the build directory of an older commit (e.g. a `git worktree`
# of it) with its tools/tessel and plug-ins built; both use this tree's
# configuration.  Prints:
# - files/s of `tessel index` over a mixed corpus of COUNT distinct tagged
#   files (bench-corpus: MP3 with an Info header, Ogg Vorbis, FLAC, M4A,
#   Opus, kept in BUILDDIR/bench-index), beside the bare single-threaded
#   header read of the same files (bench-taglib-read), as ratios;
# - a player's writes (one every 20 ms, bench-storage's writer, the same
#   program for both) while each build indexes the corpus into a library
#   of 2,000 rows: writes, slowest and p99 in ms, failures;
# - `tessel ls`, `tessel ls --json` and `tessel songs` at 100,000
#   generated rows beside the sqlite3 shell printing the same columns.
set -eu
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: bench/bench-speed.sh OLDBUILD [BUILDDIR [COUNT]]" >&2; exit 2; }
old=$(cd "$1" && pwd)
build=$(cd "${2:-build}" && pwd)
count=${3:-3000}
rounds=${ROUNDS:-3}
conf="$PWD/data/metadata_lib.conf"
for b in "$old" "$build"; do
  [ -x "$b/tools/tessel" ] || { echo "bench-speed: build $b first" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "bench-speed: sqlite3 shell missing" >&2; exit 1; }

work="$build/bench-index"
mkdir -p "$work"
corpus=$("$build/bench/bench-corpus" "$work" "$count")
db="$work/speed.db"
fresh() { rm -f "$1" "$1-journal" "$1-wal" "$1-shm"; }
# run BUILD ARGS...: the build's tessel with its own library and plug-ins.
run() {
  b=$1; shift
  LD_LIBRARY_PATH="$b:$b/plugin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$b/tools/tessel" "$@" --config "$conf"
}
# seconds CMD...: wall time of a command, its output dropped.
seconds() {
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  awk "BEGIN { print $end - $start }"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "indexing $count files, $rounds rounds (median seconds, files/s):"
: >"$work/t.taglib"; : >"$work/t.old"; : >"$work/t.new"
i=0
while [ "$i" -lt "$rounds" ]; do
  "$build/bench/bench-taglib-read" "$corpus" | awk '{ print $4 }' >>"$work/t.taglib"
  for which in old new; do
    b=$old; [ $which = new ] && b=$build
    fresh "$db"
    seconds run "$b" index --database "$db" "$corpus" >>"$work/t.$which"
  done
  i=$((i + 1))
done
taglib=$(median <"$work/t.taglib")
t_old=$(median <"$work/t.old")
t_new=$(median <"$work/t.new")
awk -v n="$count" -v tl="$taglib" -v o="$t_old" -v w="$t_new" 'BEGIN {
  printf "  bare header read  %6.2f s %8.0f files/s\n", tl, n / tl
  printf "  old tessel index  %6.2f s %8.0f files/s  ratio to header read %.2f\n", o, n / o, tl / o
  printf "  new tessel index  %6.2f s %8.0f files/s  ratio to header read %.2f\n", w, n / w, tl / w
  printf "  new / old speed   %.2f\n", o / w }'

echo "a player writing every 20 ms while the corpus is indexed (ms):"
printf "  %-10s %6s %9s %8s %9s\n" build writes slowest p99 failures
for which in old new; do
  b=$old; [ $which = new ] && b=$build
  fresh "$db"
  LD_LIBRARY_PATH="$build" "$build/bench/bench-storage" --fill "$db" 2000
  line=$(LD_LIBRARY_PATH="$build" "$build/bench/bench-storage" --writer-during "$db" \
    env LD_LIBRARY_PATH="$b:$b/plugin" "$b/tools/tessel" index --database "$db" \
    --config "$conf" "$corpus")
  # shellcheck disable=SC2086
  printf "  %-10s %6s %9s %8s %9s\n" $which $line
done

rows=100000
lib="$build/bench-list/lib-$rows.db"
if [ ! -f "$lib" ]; then
  mkdir -p "$build/bench-list"
  LD_LIBRARY_PATH="$build" "$build/bench/bench-storage" --fill "$lib.part" "$rows"
  mv "$lib.part" "$lib"
fi
echo "listings at $rows rows, $rounds rounds (median seconds, ratio to sqlite3):"
for what in ls ls-json songs; do
  : >"$work/l.sql"; : >"$work/l.old"; : >"$work/l.new"
  case $what in
    ls) args="ls"; sql="SELECT Filename, Title, Artist, Album, Length FROM Metadata WHERE Present = 1 ORDER BY Filename COLLATE NOCASE, Filename" ;;
    ls-json) args="ls --json"; sql="SELECT Filename, Title, Artist, Album, Length, Present FROM Metadata WHERE Present = 1 ORDER BY Filename COLLATE NOCASE, Filename" ;;
    songs) args="songs"; sql="SELECT Title, Artist, Album, Length, Filename FROM Metadata WHERE MIME LIKE 'audio/%' ORDER BY Title" ;;
  esac
  i=0
  while [ "$i" -lt "$rounds" ]; do
    seconds sqlite3 "$lib" "$sql" >>"$work/l.sql"
    # shellcheck disable=SC2086
    seconds run "$old" $args --database "$lib" >>"$work/l.old"
    # shellcheck disable=SC2086
    seconds run "$build" $args --database "$lib" >>"$work/l.new"
    i=$((i + 1))
  done
  awk -v w="$what" -v s="$(median <"$work/l.sql")" -v o="$(median <"$work/l.old")" \
      -v n="$(median <"$work/l.new")" 'BEGIN {
    printf "  %-8s sqlite3 %5.2f s  old %5.2f s (%4.1fx)  new %5.2f s (%4.1fx)\n",
           w, s, o, o / s, n, n / s }'
done
fresh "$db"
