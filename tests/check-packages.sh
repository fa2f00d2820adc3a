#!/bin/sh
# check-packages.sh SRCDIR: builds the Debian packages with
# scripts/build-packages (which fails on any lintian error or warning) and
# checks where the packages put what users and developers look for.
set -eu
srcdir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The package build runs the suite, whose read-only tests drop to nobody
# and run the built tessel from there: the tree must be reachable.
chmod 755 "$tmp"
"$srcdir/scripts/build-packages" "$tmp" >"$tmp/build.log" 2>&1 || {
  # A failed test's own lines, then where the build stopped.
  grep -E 'Bail out!|ERROR:|^not ok|^[EW]: ' "$tmp/build.log" | head -n 30
  tail -n 40 "$tmp/build.log"
  exit 1
}
status=0
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# expect PACKAGE PATH...: each path is in the package.
expect() {
  package=$1
  shift
  deb=$(ls "$tmp/${package}_"*.deb)
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/list"
  for path in "$@"; do
    grep -qx "$path" "$tmp/list" || {
      echo "$package lacks $path"
      status=1
    }
  done
}
lib=/usr/lib/$multiarch
expect libtessel0 "$lib/libtessel.so.0" "$lib/tessel/tessel-search-helper" \
  "$lib/tessel/plugins/libbrisel_gst.so.0" \
  "$lib/tessel/plugins/libbrisel_tag.so.0" \
  /usr/share/libtessel/metadata_lib.conf
expect libtessel-dev "$lib/libtessel.so" "$lib/pkgconfig/libtessel.pc" \
  /usr/include/tessel/metadata.h /usr/share/gir-1.0/Tessel-0.gir
expect gir1.2-tessel-0 "$lib/girepository-1.0/Tessel-0.typelib"
expect tessel /usr/bin/tessel /usr/share/man/man1/tessel.1.gz \
  /usr/share/bash-completion/completions/tessel \
  /usr/lib/systemd/user/tessel-watch.service
# Where /usr/bin/python3's introspection looks for typelibs.
if ! /usr/bin/python3 -c "
import gi
gi.require_version('GIRepository', '2.0')
from gi.repository import GIRepository
import sys
sys.exit(0 if '$lib/girepository-1.0' in GIRepository.Repository.get_search_path() else 1)"; then
  echo "$lib/girepository-1.0 is not on Python's typelib path"
  status=1
fi
[ $status -eq 0 ] && echo "ok: packages built, lintian clean"
exit $status
