#!/bin/sh
# check-plugin-symbols.sh GST_PLUGIN TAG_PLUGIN [LIBRARY...]: each plug-in
# exports its entry points (libbrisel_tag nothing but get_metadata) and
# takes libtessel's calls from the libtessel it links; neither they nor
# the libraries export a C++ name or a test hook.
set -eu
gst_plugin=$1
tag_plugin=$2
shift 2
status=0

# check_plugin PLUGIN EXPORTED...: the checks every plug-in passes.
check_plugin() {
  plugin=$1
  shift
  symbols=$(nm -D "$plugin")
  for s in "$@"; do
    if ! printf '%s\n' "$symbols" | grep -Eq "^[0-9a-f]+ T $s\$"; then
      echo "not exported from $plugin: $s"
      status=1
    fi
  done
  for s in meta_list_append_int meta_list_append_text meta_conf_get_max_file_sz; do
    if ! printf '%s\n' "$symbols" | grep -Eq "^ +U $s\$"; then
      echo "not left undefined in $plugin: $s"
      status=1
    fi
  done
  if ! readelf -d "$plugin" | grep NEEDED | grep -q 'libtessel\.so\.0'; then
    echo "$plugin does not link libtessel"
    status=1
  fi
}
check_plugin "$gst_plugin" get_metadata meta_get_basename
check_plugin "$tag_plugin" get_metadata
extra=$(nm -D --defined-only "$tag_plugin" \
          | awk '$2 ~ /^[TtDdBbRrVvWw]$/ && $3 != "get_metadata" { print $3 }' \
          | grep -Ev '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$extra" ]; then
  echo "exported from $tag_plugin besides get_metadata: $extra"
  status=1
fi

# Only C names cross the boundary, here and in libtessel.
for lib in "$gst_plugin" "$tag_plugin" "$@"; do
  mangled=$(nm -D --defined-only "$lib" | awk '$3 ~ /^_Z/ { print $3 }')
  if [ -n "$mangled" ]; then
    echo "C++ names exported from $lib: $mangled"
    status=1
  fi
  hooks=$(nm -D --defined-only "$lib" | awk '$3 ~ /_testing_/ { print $3 }')
  if [ -n "$hooks" ]; then
    echo "test hooks exported from $lib: $hooks"
    status=1
  fi
done
[ $status -eq 0 ] && echo "ok: $gst_plugin $tag_plugin"
exit $status
