#!/bin/sh
# Installs the build into a scratch root and builds a C application against
# it with nothing but pkg-config, as an application developer would.
set -eu
srcdir=$1
builddir=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

meson install -C "$builddir" --destdir "$tmp/root" --no-rebuild --quiet >/dev/null
# The installed files name their real prefix; point them at the scratch
# root (libtessel's own and those of the platform libraries it requires).
mkdir "$tmp/pc"
for pc in $(find "$tmp/root" -name '*.pc'); do
  prefix=$(sed -n 's/^prefix=//p' "$pc")
  sed "s|^prefix=.*|prefix=$tmp/root$prefix|" "$pc" >"$tmp/pc/$(basename "$pc")"
done
export PKG_CONFIG_PATH="$tmp/pc"
flags=$(pkg-config --cflags --libs libtessel)
# A sanitizer build of the library needs its runtime in the application.
lib=$(find "$tmp/root" -name 'libtessel.so.0' | head -n 1)
if ldd "$lib" | grep -q libasan; then
  flags="$flags -fsanitize=address,undefined"
fi
cc -std=c99 -Wall -Wextra -Werror -o "$tmp/consumer" "$srcdir/c-consumer.c" $flags

libdir=$(dirname "$(find "$tmp/root" -name 'libtessel.so.0' | head -n 1)")
mkdir "$tmp/work"
LD_LIBRARY_PATH="$libdir" "$tmp/consumer" "$tmp/work"

expected='CREATE TABLE Metadata ( Filename varchar(256) primary key, Album varchar(64), Title varchar(64), Year varchar(10), Publisher varchar(64), Artist varchar(64), Genre varchar(64), Track int(3), Bitrate int(12), Length int(12), MIME varchar(64), Resolution varchar(64), Fps int(12), Codec varchar(64), PixelAspectRatio decimal (5,10), Channels int(5), Frequency int(12), AccessTime int(15), Present int(1), UPnP int(1), UDN varchar(20), Filesize int(15), LastModification int(15), AddedTime int(15), isPlaylist int(1), isStream int(1))'
actual=$(sqlite3 "$tmp/work/meta_storage" "SELECT sql FROM sqlite_master WHERE name = 'Metadata'")
if [ "$actual" != "$expected" ]; then
  echo "table statement differs: $actual" >&2
  exit 1
fi
echo "ok: C application built with pkg-config and created the table"
