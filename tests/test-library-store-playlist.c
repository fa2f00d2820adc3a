/* The entries of playlist files through the database store: every format
 * the tests write (M3U with #EXTINF, M3U8, PLS, XSPF), relative paths and
 * file:// URIs resolved to rows, entries without a row, streams, order,
 * and the playlists that cannot be read. */
#include <string.h>

#include <sqlite3.h>

#include "mp_library_store_database.h"
#include "tessel-test.h"

#define STORE mp_library_store_database_get_instance ()

/* Seeds rows under the fixture's folder: @D@ in a text stands for it. */
static gchar *
in_dir (TesselFixture *fx, const char *text)
{
  g_auto (GStrv) parts = g_strsplit (text, "@D@", -1);
  return g_strjoinv (fx->dir, parts);
}

static void
seed (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (storage_init (), ==, 1);
  g_autofree gchar *sql = in_dir (
      fx,
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, Year, "
      "Track, Length, MIME, Bitrate, Present, isStream) VALUES "
      "('@D@/music/one.mp3', 'One', 'A1', 'Alb', 'Rock', '1999', 3, 61, "
      "'audio/mpeg', 128000, 1, NULL),"
      "('@D@/music/two words.mp3', 'Two', 'A2', NULL, NULL, NULL, NULL, "
      "122, 'audio/mpeg', NULL, 1, NULL),"
      "('@D@/music/Ünïcode ♫.mp3', 'Uni', NULL, NULL, NULL, NULL, NULL, 30, "
      "'audio/mpeg', NULL, 0, NULL),"
      "('http://radio.example/known', 'Known radio', NULL, NULL, NULL, NULL, "
      "NULL, NULL, 'audio/mpeg', NULL, 1, 1)");
  tessel_test_sql (fx->db, sql);
  g_autofree gchar *music = g_build_filename (fx->dir, "music", NULL);
  g_autofree gchar *lists = g_build_filename (fx->dir, "lists", NULL);
  g_assert_cmpint (g_mkdir (music, 0755), ==, 0);
  g_assert_cmpint (g_mkdir (lists, 0755), ==, 0);
}

/* Writes a playlist under lists/ (@D@ replaced); the full path, g_free it. */
static gchar *
write_playlist (TesselFixture *fx, const char *name, const char *text)
{
  g_autofree gchar *content = in_dir (fx, text);
  g_autofree gchar *relative = g_build_filename ("lists", name, NULL);
  return tessel_fixture_write (fx, relative, content);
}

/* One line per entry, "file|title|artist|length|stream", "-" for NULL;
 * the list is released. */
static gchar *
describe (GList *list)
{
  GString *s = g_string_new (NULL);
  for (GList *l = list; l != NULL; l = l->next)
    {
      MpMediaResource *r = l->data;
      const gchar *title = mp_media_resource_get_title (r);
      const gchar *artist = mp_media_resource_get_artist (r);
      g_string_append_printf (s, "%s|%s|%s|%d|%d\n",
                              mp_media_resource_get_uri (r),
                              title != NULL ? title : "-",
                              artist != NULL ? artist : "-",
                              mp_media_resource_get_length (r),
                              mp_media_resource_get_is_stream (r));
    }
  g_list_free_full (list, g_object_unref);
  return g_string_free (s, FALSE);
}

typedef struct
{
  const char *name;     /* file name under lists/ */
  const char *text;     /* its content, @D@ for the fixture's folder */
  const char *expected; /* describe () of the entries, @D@ likewise */
} PlaylistCase;

static const PlaylistCase formats[] = {
  /* Rows give their own values, not those of #EXTINF; an entry without
   * a row takes its title and length from #EXTINF. */
  { "mix.m3u",
    "#EXTM3U\n"
    "#EXTINF:5,Not this title\n"
    "../music/one.mp3\n"
    "\n"
    "#EXTINF:200,Not in the library\n"
    "../music/missing.mp3\n"
    "#EXTINF:-1,Live radio\n"
    "http://radio.example/live\n"
    "./../music/../music/two words.mp3\n",
    "@D@/music/one.mp3|One|A1|61|0\n"
    "@D@/music/missing.mp3|Not in the library|-|200|0\n"
    "http://radio.example/live|Live radio|-|-1|1\n"
    "@D@/music/two words.mp3|Two|A2|122|0\n" },
  /* UTF-8 names after a byte order mark; a row that is not present still
   * answers. */
  { "utf8.m3u8",
    "\xEF\xBB\xBF#EXTM3U\n"
    "#EXTINF:30,Ünïcode ♫\n"
    "../music/Ünïcode ♫.mp3\n"
    "#EXTINF:75,Ça ne fait rien\n"
    "@D@/music/Ça ne fait rien.mp3\n",
    "@D@/music/Ünïcode ♫.mp3|Uni|-|30|0\n"
    "@D@/music/Ça ne fait rien.mp3|Ça ne fait rien|-|75|0\n" },
  /* Paths relative to the playlist's folder; a stream with a row keeps
   * the row's title. */
  { "radio.pls",
    "[playlist]\n"
    "File1=../music/one.mp3\n"
    "Title1=Not this title\n"
    "Length1=5\n"
    "File2=../music/absent.ogg\n"
    "Title2=Absent song\n"
    "Length2=245\n"
    "File3=http://radio.example/known\n"
    "Title3=Other title\n"
    "Length3=-1\n"
    "File4=mms://radio.example/live\n"
    "NumberOfEntries=4\n"
    "Version=2\n",
    "@D@/music/one.mp3|One|A1|61|0\n"
    "@D@/music/absent.ogg|Absent song|-|245|0\n"
    "http://radio.example/known|Known radio|-|-1|1\n"
    "mms://radio.example/live|-|-|-1|1\n" },
  /* file:// URIs with escapes; durations in milliseconds. */
  { "list.xspf",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\"><trackList>\n"
    "<track><location>file://@D@/music/two%20words.mp3</location>"
    "<title>Not this title</title></track>\n"
    "<track><location>file://@D@/music/not%20here%21.flac</location>"
    "<title>Not here</title><duration>61900</duration></track>\n"
    "<track><location>rtsp://cam.example/feed</location>"
    "<title>Camera</title></track>\n"
    "<track><location>https://radio.example/a%20b</location></track>\n"
    "</trackList></playlist>\n",
    "@D@/music/two words.mp3|Two|A2|122|0\n"
    "@D@/music/not here!.flac|Not here|-|61|0\n"
    "rtsp://cam.example/feed|Camera|-|-1|1\n"
    "https://radio.example/a%20b|-|-|-1|1\n" },
  /* An entry listed again is listed again, each time its own resource;
   * absolute paths lose their "." and ".."; an #EXTINF line without a
   * location is no entry. */
  { "again.m3u",
    "../music/one.mp3\n"
    "/nowhere/./deep/../x.mp3\n"
    "@D@/music/sub/../one.mp3\n"
    "#EXTINF:9,Trailing\n",
    "@D@/music/one.mp3|One|A1|61|0\n"
    "/nowhere/x.mp3|-|-|-1|0\n"
    "@D@/music/one.mp3|One|A1|61|0\n" },
};

static void
test_format (TesselFixture *fx, gconstpointer data)
{
  const PlaylistCase *c = data;
  g_autofree gchar *path = write_playlist (fx, c->name, c->text);
  g_autofree gchar *expected = in_dir (fx, c->expected);
  GError *error = NULL;
  GList *songs
      = mp_library_store_database_get_playlist_songs (STORE, path, &error);
  g_assert_no_error (error);
  /* Distinct resources also for an entry listed twice. */
  for (GList *l = songs; l != NULL; l = l->next)
    g_assert_null (g_list_find (l->next, l->data));
  g_autofree gchar *got = describe (songs);
  g_assert_cmpstr (got, ==, expected);
}

/* Every value of the row comes with it, not only those of the listings:
 * also a column added later that a property is named after. */
static void
test_row_properties (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db,
                   "ALTER TABLE Metadata ADD COLUMN Description TEXT; "
                   "ALTER TABLE Metadata ADD COLUMN AlbumArtist TEXT; "
                   "ALTER TABLE Metadata ADD COLUMN Disc INTEGER; "
                   "UPDATE Metadata SET Description = 'Liner notes', "
                   "AlbumArtist = 'Various', Disc = 2");
  g_autofree gchar *path
      = write_playlist (fx, "one.m3u", "../music/one.mp3\n");
  GList *songs
      = mp_library_store_database_get_playlist_songs (STORE, path, NULL);
  g_assert_cmpuint (g_list_length (songs), ==, 1);
  MpMediaResource *r = songs->data;
  g_assert_cmpstr (mp_media_resource_get_album (r), ==, "Alb");
  g_assert_cmpstr (mp_media_resource_get_genre (r), ==, "Rock");
  g_assert_cmpstr (mp_media_resource_get_year (r), ==, "1999");
  g_assert_cmpint (mp_media_resource_get_track (r), ==, 3);
  g_assert_cmpstr (mp_media_resource_get_mime (r), ==, "audio/mpeg");
  g_assert_cmpint (mp_media_resource_get_bitrate (r), ==, 128000);
  g_assert_cmpstr (mp_media_resource_get_description (r), ==, "Liner notes");
  g_assert_cmpstr (mp_media_resource_get_album_artist (r), ==, "Various");
  g_assert_cmpint (mp_media_resource_get_disc (r), ==, 2);
  g_list_free_full (songs, g_object_unref);
}

/* The playlist named by a file:// URI and by a path relative to the
 * working directory reads as by its absolute path. */
static void
test_playlist_names (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_playlist (fx, "my list.m3u", "#EXTINF:7,Seven\nx.mp3\n");
  g_autofree gchar *uri = g_filename_to_uri (path, NULL, NULL);
  g_autofree gchar *expected = in_dir (fx, "@D@/lists/x.mp3|Seven|-|7|0\n");
  g_autofree gchar *by_uri = describe (
      mp_library_store_database_get_playlist_songs (STORE, uri, NULL));
  g_assert_cmpstr (by_uri, ==, expected);

  g_autofree gchar *cwd = g_get_current_dir ();
  g_assert_cmpint (g_chdir (fx->dir), ==, 0);
  g_autofree gchar *by_relative
      = describe (mp_library_store_database_get_playlist_songs (
          STORE, "lists/my list.m3u", NULL));
  g_assert_cmpint (g_chdir (cwd), ==, 0);
  g_assert_cmpstr (by_relative, ==, expected);
}

typedef struct
{
  const char *name; /* under lists/; NULL: the folder lists/ itself */
  const char *text; /* NULL: the file is not written */
  gint code;        /* expected error code; 0 for none */
} FailureCase;

static const FailureCase failures[] = {
  { "missing.m3u", NULL, MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE },
  { NULL, NULL, MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE },
  { "notes.txt", "Remember to buy milk.\n",
    MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT },
  { "noise.bin", "\x01\x02\x03\xff\xfe\x7f",
    MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT },
  /* Empty playlists: nothing, and no error. */
  { "empty.m3u", "", 0 },
  { "header.m3u", "#EXTM3U\n", 0 },
  { "empty.pls", "[playlist]\nNumberOfEntries=0\nVersion=2\n", 0 },
  { "empty.xspf",
    "<?xml version=\"1.0\"?><playlist version=\"1\" "
    "xmlns=\"http://xspf.org/ns/0/\"><trackList/></playlist>",
    0 },
};

static void
test_failure (TesselFixture *fx, gconstpointer data)
{
  const FailureCase *c = data;
  g_autofree gchar *path
      = c->name != NULL ? g_build_filename (fx->dir, "lists", c->name, NULL)
                        : g_build_filename (fx->dir, "lists", NULL);
  if (c->text != NULL)
    g_assert_true (g_file_set_contents (path, c->text, -1, NULL));
  GError *error = NULL;
  GList *songs
      = mp_library_store_database_get_playlist_songs (STORE, path, &error);
  g_assert_null (songs);
  if (c->code == 0)
    {
      g_assert_no_error (error);
      return;
    }
  g_assert_nonnull (error);
  g_assert_cmpint (error->code, ==, c->code);
  g_assert_cmpstr (g_quark_to_string (error->domain), ==,
                   "Could not connect to media database");
  g_autofree gchar *named = g_strdup_printf ("'%s'", path);
  g_assert_nonnull (strstr (error->message, named));
  g_error_free (error);
}

/* A table the lookup cannot run on: the database error, no entries. */
static void
test_database_failure (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path = write_playlist (fx, "a.m3u", "../music/one.mp3\n");
  tessel_test_sql (fx->db, "DROP TABLE Metadata; CREATE TABLE Metadata "
                           "(Title TEXT)");
  GError *error = NULL;
  GList *songs
      = mp_library_store_database_get_playlist_songs (STORE, path, &error);
  g_assert_null (songs);
  g_assert_nonnull (error);
  g_assert_cmpint (error->code, ==, MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE);
  g_assert_cmpstr (error->message, ==, "Could not connect to media database");
  g_error_free (error);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD(path, data, func)                                                 \
  g_test_add (path, TesselFixture, data, seed, func, tessel_fixture_teardown)
  for (guint i = 0; i < G_N_ELEMENTS (formats); i++)
    {
      g_autofree gchar *path
          = g_strdup_printf ("/store/playlist/entries/%s", formats[i].name);
      ADD (path, &formats[i], test_format);
    }
  ADD ("/store/playlist/row-all-properties", NULL, test_row_properties);
  ADD ("/store/playlist/named-by-uri-or-relative-path", NULL,
       test_playlist_names);
  for (guint i = 0; i < G_N_ELEMENTS (failures); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/store/playlist/%s/%s", failures[i].code == 0 ? "empty" : "refused",
          failures[i].name != NULL ? failures[i].name : "folder");
      ADD (path, &failures[i], test_failure);
    }
  ADD ("/store/playlist/database-failure", NULL, test_database_failure);
#undef ADD
  return g_test_run ();
}
