#!/bin/sh
# check-install-tree.sh BUILDDIR SRCDIR FAKE_PLUGIN: installs the build into
# a scratch root and checks what would ship there: no test hook exported,
# no path of the build or source tree in any file, the platform libraries
# private (no headers, no pkg-config files), and that the installed program
# and library, with nothing of the build on their paths, find a plug-in and
# the search helper in the private folder and the database in the home
# folder of whoever runs them.
set -eu
builddir=$(cd "$1" && pwd)
srcdir=$(cd "$2" && pwd)
fake=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
meson install -C "$builddir" --destdir "$root" --no-rebuild --quiet >/dev/null
status=0
fail() {
  echo "$*"
  status=1
}

find "$root" -type f >"$tmp/files"
while IFS= read -r f; do
  scanned=$f
  if readelf -h "$f" >/dev/null 2>&1; then
    hooks=$(nm -D --defined-only "$f" 2>/dev/null | awk '$3 ~ /_testing_/ { print $3 }')
    [ -z "$hooks" ] || fail "test hooks exported from ${f#$root}: $hooks"
    # Debug information names the compiler's folders; it is split off
    # into debug packages, so only the rest counts.
    objcopy --strip-debug "$f" "$tmp/stripped"
    scanned=$tmp/stripped
  fi
  if grep -qF -e "$builddir" -e "$srcdir" "$scanned"; then
    fail "build or source path in ${f#$root}"
  fi
done <"$tmp/files"

lib=$(grep '/libtessel\.so\.0$' "$tmp/files" || find "$root" -name libtessel.so.0)
libdir=$(dirname "$lib")
private=$libdir/tessel
for f in tessel-search-helper libgisds.so.0 libconic.so.0 \
         plugins/libbrisel_gst.so.0 plugins/libbrisel_tag.so.0; do
  [ -e "$private/$f" ] || fail "not in the private folder: $f"
done
for f in "$private"/plugins/*.so.0; do
  readelf -d "$f" | grep NEEDED | grep -q 'libtessel\.so\.0' \
    || fail "plug-in does not link libtessel: ${f#$root}"
done
if grep -Eq '/(gisds|conic)(\.h|/)|lib(gisds|conic)\.pc$' "$tmp/files"; then
  fail "platform headers or pkg-config files installed: $(grep -E '/(gisds|conic)(\.h|/)|lib(gisds|conic)\.pc$' "$tmp/files")"
fi
pc=$(grep '/libtessel\.pc$' "$tmp/files")
if grep -Eq 'gisds|conic' "$pc"; then
  fail "libtessel.pc names the platform libraries: $(grep -E 'gisds|conic' "$pc")"
fi
grep -q '^Requires: glib-2.0 .*gobject-2.0 .*gio-2.0' "$pc" \
  || fail "libtessel.pc lacks what its headers include: $(grep Requires "$pc")"
if ls "$libdir" | grep -q '^libbrisel'; then
  fail "plug-ins in the public library folder"
fi

# The installed program, with only the scratch root's library folders on
# the loader's path (the real prefix's are where the files would be).
tessel=$(grep '/bin/tessel$' "$tmp/files")
conf=$(grep '/metadata_lib\.conf$' "$tmp/files")
mkdir "$tmp/home" "$tmp/media"
run() {
  env -i PATH=/usr/bin:/bin HOME="$tmp/home" \
    LD_LIBRARY_PATH="$libdir:$private" \
    ${LSAN_OPTIONS+LSAN_OPTIONS="$LSAN_OPTIONS"} \
    ${ASAN_OPTIONS+ASAN_OPTIONS="$ASAN_OPTIONS"} \
    ${UBSAN_OPTIONS+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    "$tessel" "$@"
}

run init || fail "tessel init failed"
[ -f "$tmp/home/.meta_storage" ] || fail "no database in the user's home"

# A plug-in that exists nowhere but in the private folder.
cp "$fake" "$private/plugins/"
echo tune >"$tmp/media/a.ogg"
out=$(run extract --config "$conf" --plugin "$(basename "$fake" .so.0)" \
        "$tmp/media/a.ogg" 2>&1) || fail "plug-in in the private folder not loaded: $out"
case $out in
  *"Artist    text  $(basename "$fake" .so.0)"*) ;;
  *) fail "unexpected extraction: $out" ;;
esac
out=$(run extract --config "$conf" --plugin libbrisel_tag "$tmp/media/a.ogg" 2>&1 || true)
case $out in
  *"cannot load"*) fail "installed libbrisel_tag not loaded: $out" ;;
esac

# The installed search helper.
out=$(run search --async "SELECT count(*) AS n FROM Metadata" 2>&1) \
  || fail "asynchronous search failed: $out"
case $out in
  *0*) ;;
  *) fail "unexpected search answer: $out" ;;
esac

[ $status -eq 0 ] && echo "ok: installed tree"
exit $status
