#!/bin/sh
# Takes every C example out of README.md, as it stands, and builds and runs
# each one against the build tree the way the README tells a reader to:
# inside `meson devenv`, with nothing but pkg-config.  Each runs in a
# folder of its own and must exit 0.
set -eu
srcdir=$1
builddir=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Blocks fenced with ```c, one file each: example-1.c, example-2.c, ...
awk -v dir="$tmp" '
  /^```c$/ { n++; file = sprintf ("%s/example-%d.c", dir, n); inside = 1; next }
  /^```$/ && inside { inside = 0; close (file); next }
  inside { print > file }
' "$srcdir/README.md"
count=$(ls "$tmp"/example-*.c 2>/dev/null | wc -l)
if [ "$count" -lt 5 ]; then
  echo "only $count C examples found in README.md" >&2
  exit 1
fi

# A sanitizer build of the library needs its runtime in the program.
extra=
if ldd "$builddir/libtessel.so.0" | grep -q libasan; then
  extra="-fsanitize=address,undefined"
fi

failed=0
for example in "$tmp"/example-*.c; do
  name=$(basename "$example" .c)
  mkdir "$tmp/$name"
  if meson devenv -C "$builddir" -w "$tmp/$name" sh -c \
       "cc -std=gnu11 -Wall -Wextra -Werror $extra -o prog '$example' \$(pkg-config --cflags --libs libtessel) && ./prog" \
       >"$tmp/$name.log" 2>&1; then
    echo "ok: $name ($(head -n 1 "$example"))"
  else
    echo "FAILED: $name ($(head -n 1 "$example")):" >&2
    cat "$tmp/$name.log" >&2
    failed=1
  fi
done
exit $failed
