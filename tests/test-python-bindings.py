#!/usr/bin/python3
"""libtessel through its introspection data, as a Python application uses
it: run from the build tree with GI_TYPELIB_PATH and LD_LIBRARY_PATH set
by meson test.

    test-python-bindings.py SOURCE_ROOT

Exits 77 (skipped) when python3-gi or the typelib cannot be loaded.
"""
import http.server
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest

try:
    import gi
    gi.require_version('Tessel', '0')
    from gi.repository import Gio, GLib, Tessel
except (ImportError, ValueError) as error:
    print('skipped: %s' % error)
    sys.exit(77)

SOURCE_ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else '.'

# Everything the library and GLib write goes below one temporary folder:
# the database, the directory client's cache.
WORK = tempfile.mkdtemp(prefix='tessel-gi-')
os.environ['XDG_CACHE_HOME'] = os.path.join(WORK, 'cache')

# What scripts/make-sample-media tags, and the whole seconds its tones last.
SONGS = {
    'Morning Tide': 4, 'Salt Road': 6, 'Signal': 5, 'Relay': 3, 'Glass': 4,
}
ALBUMS = [('Low Water', 'Harbour Lights', 2, 10),
          ('Night Shift', 'The Quiet Engines', 2, 8),
          ('Prisms', 'Marta Vell', 1, 4)]

# Bounds a main loop run, so that a lost callback fails the test instead of
# hanging it.
LOOP_LIMIT_MS = 30000


def run_loop_until(loop, done):
    """Runs loop until done() holds, at most LOOP_LIMIT_MS."""
    expired = []

    def give_up():
        expired.append(True)
        loop.quit()
        return GLib.SOURCE_REMOVE
    limit = GLib.timeout_add(LOOP_LIMIT_MS, give_up)
    if not done():
        loop.run()
    if not expired:
        GLib.source_remove(limit)
    return done()


class Library(unittest.TestCase):
    """One database indexed from the sample media, shared by the tests."""

    @classmethod
    def setUpClass(cls):
        cls.dir = os.path.join(WORK, 'library')
        cls.media = os.path.join(cls.dir, 'media')
        subprocess.run([os.path.join(SOURCE_ROOT, 'scripts', 'make-sample-media'),
                        cls.media], check=True, stderr=subprocess.DEVNULL)
        cls.db = os.path.join(cls.dir, 'meta_storage')
        cls.conf = os.path.join(SOURCE_ROOT, 'data', 'metadata_lib.conf')
        Tessel.set_path(cls.db)
        Tessel.conf_set_path(cls.conf)
        assert Tessel.init() == 1
        cls.files = sorted(os.path.join(cls.media, name)
                           for name in os.listdir(cls.media))
        progress = []
        assert Tessel.add_files_with_check(
            list(cls.files), len(cls.files),
            lambda files, count, user: progress.append(count), 7) == 1
        cls.store = Tessel.LibraryStoreDatabase.get_instance()

    @classmethod
    def tearDownClass(cls):
        Tessel.destruct()

    def song(self, title):
        return os.path.join(self.media, next(
            name for name in os.listdir(self.media) if title in name))

    def test_indexed_files_are_unchanged(self):
        for name in self.files:
            if name.endswith('damaged.mp3'):
                continue
            self.assertEqual(Tessel.is_modified_or_new(name), (1, 0, 1), name)
        new = os.path.join(self.dir, 'new.ogg')
        shutil.copy(self.song('Glass'), new)
        self.assertEqual(Tessel.is_modified_or_new(new), (1, 1, 0))
        ok, names = Tessel.get_file_list(None)
        self.assertEqual(ok, 1)
        self.assertIn(self.song('Signal'), names)

    def test_songs_titles_and_lengths(self):
        songs = self.store.get_songs()
        got = {s.get_title(): s.get_length() for s in songs}
        for title, seconds in SONGS.items():
            self.assertIn(title, got)
            self.assertLessEqual(abs(got[title] - seconds), 1, title)
        signal = next(s for s in songs if s.get_title() == 'Signal')
        # Properties carry the column names, and agree with the getters.
        self.assertEqual(signal.props.Title, 'Signal')
        self.assertEqual(signal.get_property('Artist'), 'The Quiet Engines')
        self.assertEqual(signal.props.Length, signal.get_length())
        self.assertEqual(signal.get_uri(), self.song('Signal'))
        self.assertEqual(signal.get_media_type(), Tessel.MediaType.AUDIO)
        self.assertEqual(signal.get_icon(), 'qgn_list_gene_music_file')
        copy = signal.copy()
        copy.set_title('Changed')
        self.assertEqual(signal.get_title(), 'Signal')
        one = self.store.get_media_by_uri(self.song('Relay'))
        self.assertEqual(one.get_title(), 'Relay')
        self.assertIsNone(self.store.get_media_by_uri('/no/such/file'))

    def test_aggregates_with_counts_and_lengths(self):
        albums = self.store.get_albums(True)
        named = [(a.get_album(), a.get_artist(), a.get_count())
                 for a in albums if a.get_album() is not None]
        self.assertEqual(named, [a[:3] for a in ALBUMS])
        for album, expected in zip(albums, ALBUMS):
            self.assertLessEqual(abs(album.get_length() - expected[3]), 2)
        self.assertIsNone(albums[-1].get_album())  # the unknown entry
        artists = [a.get_artist() for a in self.store.get_artists(False)]
        self.assertEqual(artists, ['Harbour Lights', 'Marta Vell',
                                   'The Quiet Engines'])
        genres = {g.get_genre(): g.get_count()
                  for g in self.store.get_genres(False)}
        self.assertEqual(genres, {'Ambient': 2, 'Classical': 1, 'Rock': 2})
        total = self.store.get_albums_length()
        self.assertEqual(total.get_count(), 3)
        found = self.store.find('harb lig')
        self.assertEqual(sorted(r.get_title() for r in found),
                         ['Morning Tide', 'Salt Road'])
        self.assertEqual(self.store.find('  '), [])
        by_artist = self.store.get_songs_by_artist('The Quiet Engines')
        self.assertEqual(sorted(s.get_title() for s in by_artist),
                         ['Relay', 'Signal'])

    def test_album_list_songs_and_artists(self):
        albums = self.store.get_album_list()
        self.assertEqual(
            [(a.get_album_artist(), a.get_album(), a.get_count())
             for a in albums],
            [('Harbour Lights', 'Low Water', 2), ('Marta Vell', 'Prisms', 1),
             ('The Quiet Engines', 'Night Shift', 2)])
        # Matched ignoring case and accents, in track order.
        songs = self.store.get_album_songs('the quiet engines', 'NÏGHT SHIFT')
        self.assertEqual([s.get_title() for s in songs], ['Signal', 'Relay'])
        self.assertEqual(songs[0].props.AlbumArtist, 'The Quiet Engines')
        self.assertEqual(songs[0].get_album_artist(), 'The Quiet Engines')
        self.assertEqual(songs[0].props.Disc, songs[0].get_disc())
        self.assertEqual([a.get_artist() for a in self.store.get_artist_list()],
                         ['Harbour Lights', 'Marta Vell', 'The Quiet Engines'])

    def test_gjs_sees_album_list(self):
        gjs = shutil.which('gjs')
        if gjs is None:
            self.skipTest('gjs is not installed')
        script = textwrap.dedent("""
            imports.gi.versions.Tessel = '0';
            const {Tessel} = imports.gi;
            Tessel.set_path(ARGV[0]);
            Tessel.init();
            const store = Tessel.LibraryStoreDatabase.get_instance();
            for (const a of store.get_album_list())
                print(`${a.get_album_artist()}\t${a.get_album()}`);
            for (const s of store.get_album_songs('marta vell', 'PRISMS'))
                print(`${s.get_album_artist()}\t${s.get_title()}\t${s.get_disc()}`);
            Tessel.destruct();
        """)
        out = subprocess.run([gjs, '-c', script, self.db], check=True,
                             capture_output=True, text=True).stdout
        self.assertEqual(out.splitlines(), [
            'Harbour Lights\tLow Water', 'Marta Vell\tPrisms',
            'The Quiet Engines\tNight Shift', 'Marta Vell\tGlass\t-1'])

    # The asynchronous pairs, with the arguments of their synchronous calls.
    PAIRS = [('get_songs', ()), ('get_album_list', ()),
             ('get_artist_list', ()),
             ('get_album_songs', ('the quiet engines', 'NIGHT SHIFT')),
             ('find', ('harb lig',))]

    @staticmethod
    def rows(resources):
        """What a listing says: every property of every resource."""
        return [tuple((p.name, r.get_property(p.name))
                      for p in r.list_properties())
                for r in resources or []]

    def start_all(self, calls, context=None, then=None):
        """Starts calls, (name, args, cancellable) each, calls then, and
        iterates context until all called back.  Returns per call its rows, or the
        GLib.Error, and the thread-default context of its callback."""
        results = [None] * len(calls)
        loop = GLib.MainLoop(context)
        for i, (name, args, cancellable) in enumerate(calls):
            def on_done(store, result, i=i, name=name):
                self.assertIs(store, self.store)
                try:
                    got = self.rows(getattr(store, name + '_finish')(result))
                except GLib.Error as error:
                    got = error
                results[i] = (got, GLib.MainContext.get_thread_default())
                loop.quit()
            getattr(self.store, name + '_async')(*args, cancellable, on_done)
        # Never from inside the _async call.
        self.assertEqual(results, [None] * len(calls))
        if then is not None:
            then()
        expired = []
        limit = GLib.timeout_source_new(LOOP_LIMIT_MS)
        limit.set_callback(lambda *_: expired.append(True) or loop.quit())
        limit.attach(context)
        while None in results and not expired:
            loop.run()
        limit.destroy()
        self.assertNotIn(None, results)
        return results

    def test_async_pairs_equal_sync_calls(self):
        results = self.start_all([(n, a, None) for n, a in self.PAIRS])
        for (name, args), (got, _) in zip(self.PAIRS, results):
            expected = self.rows(getattr(self.store, name)(*args))
            self.assertTrue(expected, name)
            self.assertEqual(got, expected, name)

    def test_async_callback_on_callers_context(self):
        context = GLib.MainContext()
        context.push_thread_default()
        try:
            results = self.start_all([(n, a, None) for n, a in self.PAIRS],
                                     context)
        finally:
            context.pop_thread_default()
        for got, where in results:
            self.assertIsInstance(got, list)
            self.assertEqual(where, context)
        # Nothing went to the global default context.
        self.assertFalse(GLib.MainContext.default().pending())

    def test_async_cancelled_before_and_many_in_flight(self):
        calls = []
        for i in range(30):
            name, args = self.PAIRS[i % len(self.PAIRS)]
            cancellable = Gio.Cancellable()
            if i % 3 == 0:
                cancellable.cancel()
            calls.append((name, args, cancellable))
        for i, (got, _) in enumerate(self.start_all(calls)):
            name, args, _ = calls[i]
            if i % 3 == 0:
                self.assertTrue(got.matches(Gio.io_error_quark(),
                                            Gio.IOErrorEnum.CANCELLED))
            else:
                self.assertEqual(got, self.rows(getattr(self.store, name)(*args)))

    def reopen(self, path):
        Tessel.destruct()
        Tessel.set_path(path)
        self.assertEqual(Tessel.init(), 1)

    def test_async_cancelled_during(self):
        # Songs without end: only a query stopped while it runs returns.
        endless = os.path.join(WORK, 'endless.db')
        self.reopen(endless)
        try:
            with sqlite3.connect(endless) as db:
                db.executescript("""
                    DROP TABLE Metadata;
                    CREATE VIEW Metadata AS WITH RECURSIVE n(x) AS (SELECT 1
                    UNION ALL SELECT x + 1 FROM n) SELECT '/e/' || x AS
                    Filename, 'T' || x AS Title, 'A' AS Artist, 'B' AS Album,
                    1 AS Length, 'audio/mpeg' AS MIME, 1 AS Present, NULL AS
                    Year, NULL AS isStream, NULL AS isPlaylist FROM n""")
            db.close()
            cancellable = Gio.Cancellable()
            GLib.timeout_add(100, lambda: cancellable.cancel() or False)
            [(got, _)] = self.start_all([('get_songs', (), cancellable)])
            self.assertTrue(got.matches(Gio.io_error_quark(),
                                        Gio.IOErrorEnum.CANCELLED))
        finally:
            self.reopen(self.db)

    def test_async_call_in_flight_at_destruct(self):
        expected = [self.rows(getattr(self.store, n)(*a)) for n, a in self.PAIRS]
        try:
            # Started on an open database: they read it to the end.
            results = self.start_all([(n, a, None) for n, a in self.PAIRS],
                                     then=Tessel.destruct)
            self.assertEqual([got for got, _ in results], expected)
            # Started on none: refused with the store's error.
            [(got, _)] = self.start_all([('get_songs', (), None)])
            self.assertEqual((got.code, got.message),
                             (-1, 'Could not connect to media database'))
        finally:
            self.assertEqual(Tessel.init(), 1)

    def test_write_and_read_keys(self):
        name = self.song('Glass')
        self.assertEqual(Tessel.write_string(name, 'Comment', "it's 100%"), 1)
        self.assertEqual(Tessel.read_string(name, 'Comment'), (1, "it's 100%"))
        self.assertEqual(Tessel.write_integer(name, 'PlayCount', 3), 1)
        self.assertEqual(Tessel.read_integer(name, 'PlayCount'), (1, 3))
        self.assertEqual(Tessel.get_key_type(name, 'PlayCount'),
                         Tessel.Type.INTEGER)
        self.assertEqual(Tessel.write_double(name, 'Gain', 0.5), 1)
        self.assertEqual(Tessel.read_double(name, 'Gain'), (1, 0.5))
        # Writers never create rows; bad keys are refused before any SQL.
        self.assertEqual(Tessel.write_string('/not/indexed', 'Comment', 'x'), 0)
        self.assertEqual(Tessel.write_string(name, 'bad key', 'x'), 0)
        self.assertEqual(Tessel.read_string(name, 'NoSuchKey')[0], 0)

    def test_sync_search_sees_keys_and_values(self):
        rows = []

        def on_row(filename, keys, values, user_data, search_id):
            rows.append((filename, keys, values, user_data, search_id))
        query = ("SELECT Filename, Title, Album FROM Metadata "
                 "WHERE Artist = 'Harbour Lights' ORDER BY Title")
        self.assertEqual(Tessel.search_sync(query, on_row, 'data'), 1)
        self.assertEqual(len(rows), 3)
        first = rows[0]
        self.assertEqual(first[0], self.song('Morning Tide'))
        self.assertEqual(first[1], ['Filename', 'Title', 'Album'])
        self.assertEqual(first[2], [self.song('Morning Tide'), 'Morning Tide',
                                    'Low Water'])
        self.assertEqual(first[3:], ('data', -1))
        self.assertEqual(rows[1][2][1], 'Salt Road')
        # The end call: its NULL arrays arrive as empty lists.
        self.assertEqual(rows[2], (None, [], [], 'data', -1))

    def test_failing_query(self):
        calls = []
        self.assertEqual(Tessel.search_sync('SELECT nothing FROM Nowhere',
                                            lambda *row: calls.append(row)),
                         0)
        self.assertEqual(calls, [])

    def test_async_search_on_main_loop(self):
        loop = GLib.MainLoop()
        rows = []
        ended = []

        # Rows arrive on a thread of the library: hand them to the loop.
        def on_row(filename, keys, values, user_data, search_id):
            self.assertEqual(search_id, 0)
            if not keys:
                GLib.idle_add(lambda: ended.append(True) or loop.quit())
            else:
                GLib.idle_add(lambda: rows.append(dict(zip(keys, values))))
        query = 'SELECT Title FROM Metadata WHERE Genre = \'Rock\' ORDER BY Title'
        self.assertEqual(Tessel.search_async(10, query, on_row, None), 0)
        self.assertTrue(run_loop_until(loop, lambda: ended))
        self.assertEqual(rows, [{'Title': 'Relay'}, {'Title': 'Signal'}])
        # The slot is free again once the reader has finished.
        again = []
        while Tessel.search_async(10, query, lambda *a: None, None) != 0:
            again.append(1)
            self.assertLess(len(again), 100000)
        Tessel.search_cancel(0)

    def test_exit_while_async_callback_runs(self):
        # The interpreter ends every thread that calls into it while it
        # shuts down; the library's reader thread must let itself be ended.
        script = textwrap.dedent('''
            import sys, threading, time
            import gi
            gi.require_version('Tessel', '0')
            from gi.repository import Tessel
            Tessel.set_path(sys.argv[1])
            Tessel.conf_set_path(sys.argv[2])
            assert Tessel.init() == 1
            started = threading.Event()
            def on_row(filename, keys, values, user_data, search_id):
                started.set()
                time.sleep(0.001)
            query = ('WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT '
                     'x + 1 FROM c WHERE x < 5000) SELECT x AS n FROM c')
            assert Tessel.search_async(10, query, on_row, None) == 0
            assert started.wait(30)
        ''')
        for _ in range(3):
            done = subprocess.run([sys.executable, '-c', script, self.db,
                                   self.conf],
                                  capture_output=True, text=True, timeout=60)
            self.assertNotIn('terminate called', done.stderr)
            self.assertEqual(done.returncode, 0, done.stderr)

    def test_store_failure_raises(self):
        Tessel.destruct()
        try:
            with self.assertRaises(GLib.Error) as caught:
                self.store.get_songs()
            self.assertEqual(caught.exception.code, -1)
            self.assertEqual(caught.exception.message,
                             'Could not connect to media database')
        finally:
            self.assertEqual(Tessel.init(), 1)

    def test_monitor_tells_changes(self):
        loop = GLib.MainLoop()
        changes = []
        monitor = Tessel.Monitor.new()

        def on_changed(which):
            self.assertIs(which, monitor)
            changes.append(True)
            loop.quit()
        monitor.connect('changed', on_changed)
        # A commit of this process, through the library.
        self.assertEqual(Tessel.write_string(self.song('Glass'), 'Comment',
                                             'monitored'), 1)
        self.assertTrue(run_loop_until(loop, lambda: changes))
        # One of another connection, as another application makes it.
        del changes[:]
        with sqlite3.connect(self.db, timeout=5) as other:
            other.execute("UPDATE Metadata SET Comment = 'again' "
                          "WHERE Filename = ?", (self.song('Glass'),))
        other.close()
        self.assertTrue(run_loop_until(loop, lambda: changes))
        del monitor

    def test_monitor_needs_open_database(self):
        Tessel.destruct()
        try:
            with self.assertRaises(TypeError):
                Tessel.Monitor.new()
        finally:
            self.assertEqual(Tessel.init(), 1)

    def test_example_prints_albums(self):
        out = subprocess.run(
            [sys.executable,
             os.path.join(SOURCE_ROOT, 'examples', 'tessel-albums.py'),
             self.db, self.conf],
            check=True, capture_output=True, text=True).stdout
        lines = [line.split('\t') for line in out.splitlines()]
        self.assertEqual([line[:3] for line in lines[:3]],
                         [[a, b, str(c)] for a, b, c, _ in ALBUMS])
        self.assertEqual(lines[3][0], '(unknown)')

    def test_gjs_example_prints_albums(self):
        gjs = shutil.which('gjs')
        if gjs is None:
            self.skipTest('gjs is not installed')
        out = subprocess.run(
            [gjs, os.path.join(SOURCE_ROOT, 'examples', 'tessel-albums.js'),
             self.db, self.conf],
            check=True, capture_output=True, text=True).stdout
        # The album list, by album artist, read asynchronously.
        lines = [line.split('\t') for line in out.splitlines()]
        self.assertEqual([line[:3] for line in lines],
                         [[a, b, str(c)] for a, b, c, _ in
                          sorted(ALBUMS, key=lambda album: album[1])])


class Directory(unittest.TestCase):
    """The radio directory store on a GLib main loop, against a directory
    server on the loopback address."""

    TAGS = b'[{"name":"jazz","stationcount":120},{"name":"rock"}]'

    @classmethod
    def setUpClass(cls):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                ok = self.path.startswith('/json/tags?')
                self.send_response(200 if ok else 404)
                self.send_header('Content-Type', 'application/json')
                self.end_headers()
                if ok:
                    self.wfile.write(Directory.TAGS)

            def log_message(self, *args):
                pass
        cls.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0),
                                                     Handler)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        os.environ['GISDS_SERVICE_URL'] = 'http://127.0.0.1:%d' % (
            cls.server.server_address[1])
        cls.store = Tessel.LibraryStoreIsds.get_instance()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()

    def browse(self, pieces):
        """Browses pieces; returns the cached answer, whether the request
        waits for the connection, and every callback call."""
        loop = GLib.MainLoop()
        heard = []

        def on_answer(resources, completed, error, user_data):
            heard.append(([r.get_title() for r in resources or []],
                          completed, error.code, user_data))
            loop.quit()
        cached, connecting = self.store.browse(pieces, on_answer, 'mine')
        self.assertTrue(run_loop_until(loop, lambda: heard))
        # Exactly one call: nothing more arrives once the loop has idled.
        idle = []
        GLib.idle_add(lambda: idle.append(True) or loop.quit(),
                      priority=GLib.PRIORITY_LOW)
        run_loop_until(loop, lambda: idle)
        self.assertEqual(len(heard), 1)
        return cached, connecting, heard[0]

    def test_genres_arrive_through_the_callback(self):
        cached, connecting, heard = self.browse(['genres'])
        self.assertIsInstance(connecting, bool)
        self.assertEqual(cached, [])
        self.assertEqual(heard, (['jazz', 'rock'], True,
                                 Tessel.Error.SUCCESS, 'mine'))
        # Now from the cache, with a conditional fetch behind it.
        cached, _, heard = self.browse(['genres'])
        self.assertEqual([r.get_title() for r in cached], ['jazz', 'rock'])

    def test_unknown_category_calls_back_once(self):
        cached, _, heard = self.browse(['Genres'])
        self.assertEqual(cached, [])
        self.assertEqual(heard, ([], False, Tessel.Error.PATH_UNKNOWN, 'mine'))


if __name__ == '__main__':
    try:
        unittest.main(verbosity=2)
    finally:
        shutil.rmtree(WORK)
