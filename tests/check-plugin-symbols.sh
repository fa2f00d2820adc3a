#!/bin/sh
# check-plugin-symbols.sh PLUGIN [LIBRARY...]: the plug-in exports its
# entry points and leaves libtessel's calls to be resolved when it is
# loaded, without linking libtessel itself; neither it nor the libraries
# export a C++ name.
set -eu
plugin=$1
shift
symbols=$(nm -D "$plugin")
status=0
for s in get_metadata meta_get_basename; do
  if ! printf '%s\n' "$symbols" | grep -Eq "^[0-9a-f]+ T $s\$"; then
    echo "not exported: $s"
    status=1
  fi
done
for s in meta_list_append_int meta_list_append_text meta_conf_get_max_file_sz; do
  if ! printf '%s\n' "$symbols" | grep -Eq "^ +U $s\$"; then
    echo "not left undefined: $s"
    status=1
  fi
done
if readelf -d "$plugin" | grep NEEDED | grep -q libtessel; then
  echo "links libtessel"
  status=1
fi
# Only C names cross the boundary, here and in libtessel.
for lib in "$plugin" "$@"; do
  mangled=$(nm -D --defined-only "$lib" | awk '$3 ~ /^_Z/ { print $3 }')
  if [ -n "$mangled" ]; then
    echo "C++ names exported from $lib: $mangled"
    status=1
  fi
done
[ $status -eq 0 ] && echo "ok: $plugin"
exit $status
