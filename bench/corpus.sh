# Sourced by the indexing benchmarks: make_corpus WORK COUNT generates the
# sample media under WORK/sample and copies it under new names until there
# are COUNT files, in WORK/corpus-COUNT; prints that folder.
make_corpus() {
  scripts/make-sample-media "$1/sample" 2>/dev/null >&2
  corpus="$1/corpus-$2"
  if [ ! -d "$corpus" ]; then
    mkdir -p "$corpus.part"
    i=0
    while [ "$i" -lt "$2" ]; do
      for f in "$1"/sample/*; do
        [ "$i" -lt "$2" ] || break
        case $f in *.m3u) continue ;; esac
        cp "$f" "$corpus.part/$(printf '%04d' "$i")-$(basename "$f" | tr ' ' _)"
        i=$((i + 1))
      done
    done
    mv "$corpus.part" "$corpus"
  fi
  echo "$corpus"
}
