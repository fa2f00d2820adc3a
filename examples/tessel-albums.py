#!/usr/bin/python3
"""Prints the albums of a Tessel database: album, artist, songs and length.

    tessel-albums.py DATABASE [CONFIG]

Runs on Debian's python3-gi with the Tessel-0 typelib installed (or found
through GI_TYPELIB_PATH).
"""
import sys

import gi

gi.require_version('Tessel', '0')
from gi.repository import GLib, Tessel  # noqa: E402


def duration(seconds):
    if seconds < 0:
        return '-'
    return '%d:%02d:%02d' % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def main(argv):
    if len(argv) not in (2, 3):
        print('usage: tessel-albums.py DATABASE [CONFIG]', file=sys.stderr)
        return 2
    Tessel.set_path(argv[1])
    if len(argv) == 3:
        Tessel.conf_set_path(argv[2])
    if not Tessel.init():
        print("tessel-albums: cannot open database '%s'" % argv[1],
              file=sys.stderr)
        return 1
    try:
        # True adds one entry for the songs without album.
        albums = Tessel.LibraryStoreDatabase.get_instance().get_albums(True)
    except GLib.Error as error:
        print('tessel-albums: %s' % error.message, file=sys.stderr)
        return 1
    finally:
        Tessel.destruct()
    for album in albums or []:
        if album.get_count() > 0:
            print('%s\t%s\t%d\t%s' % (album.get_album() or '(unknown)',
                                      album.get_artist() or '',
                                      album.get_count(),
                                      duration(album.get_length())))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
