/* The tessel browsing commands, run as a user would run them on a seeded
 * database: tables, durations, the unknown entry, JSON and failures. */
#include <string.h>

#include <json-glib/json-glib.h>

#include "tessel-test.h"

static const char *tool; /* path of the tessel program, from argv */

static void
seed (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  tessel_test_sql (
      fx->db,
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, Track, "
      "Length, MIME, Present, AddedTime, AccessTime) VALUES "
      "('/m/1.mp3', 'Ängel', 'O''Brien', 'Zeta', 'Rock', 1, 245, "
      "'audio/mpeg', 1, strftime('%s','now'), strftime('%s','now') - 100),"
      "('/m/2.mp3', 'Long one', 'O''Brien', NULL, NULL, 2, 3725, "
      "'audio/mpeg', 1, strftime('%s','now') - 3 * 86400, NULL),"
      "('/m/3.mp3', NULL, 'bach', 'Alpha', 'classical', 1, NULL, "
      "'audio/mpeg', 1, 0, NULL),"
      "('/v/clip.avi', 'Clip', NULL, NULL, NULL, NULL, 60, "
      "'video/x-msvideo', 1, 0, NULL)");
}

static void
test_tables (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *out = NULL, *err = NULL;
  const char *genres[] = { "genres", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, genres, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  /* Aligned columns, counts and lengths right-aligned, h:mm:ss, the songs
   * without a genre as "(unknown)"; a total of unknown lengths is empty. */
  g_assert_cmpstr (out, ==,
                   "GENRE      SONGS   LENGTH\n"
                   "classical      1         \n"
                   "Rock           1  0:04:05\n"
                   "(unknown)      1  1:02:05\n");

  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *albums[] = { "albums", "--artist", "O'Brien", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, albums, &out, &err), ==, 0);
  /* The album list: album artist first; songs without album are on no
   * album. */
  g_assert_cmpstr (out, ==,
                   "ALBUM ARTIST  ALBUM  SONGS   LENGTH  ART\n"
                   "O'Brien       Zeta       1  0:04:05  \n");
  /* The store's note that bach has no songs without album stays hidden. */
  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *bach[] = { "albums", "--artist", "bach", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, bach, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  g_assert_cmpstr (out, ==,
                   "ALBUM ARTIST  ALBUM  SONGS  LENGTH  ART\n"
                   "bach          Alpha      1          \n");

  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *songs[] = { "songs", "--by", "album", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, songs, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==,
                   "TITLE     ARTIST   ALBUM   LENGTH  FILE\n"
                   "Ängel     O'Brien  Zeta   0:04:05  /m/1.mp3\n"
                   "Long one  O'Brien         1:02:05  /m/2.mp3\n");

  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *stats[] = { "stats", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, stats, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==,
                   "CATEGORY  COUNT   LENGTH\n"
                   "songs         3  1:06:10\n"
                   "videos        1  0:01:00\n"
                   "artists       2  1:06:10\n"
                   "albums        2  0:04:05\n"
                   "genres        2  0:04:05\n");
}

static void
test_windows (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  static const struct
  {
    const char *command, *since, *files;
  } cases[] = {
    { "added", NULL, "/m/1.mp3\n/m/2.mp3\n" }, /* default 7d */
    { "added", "2d", "/m/1.mp3\n" },
    { "added", "90s", "/m/1.mp3\n" },
    { "added", "1w", "/m/1.mp3\n/m/2.mp3\n" },
    { "played", NULL, "/m/1.mp3\n" },
    { "played", "30s", "" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      const char *args[] = { cases[i].command, "--json",
                             cases[i].since ? "--since" : NULL,
                             cases[i].since, NULL };
      g_autofree gchar *out = NULL, *err = NULL;
      g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
      g_autoptr (JsonParser) parser = json_parser_new ();
      g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
      JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
      GString *files = g_string_new (NULL);
      for (guint r = 0; r < json_array_get_length (rows); r++)
        g_string_append_printf (
            files, "%s\n",
            json_object_get_string_member (
                json_array_get_object_element (rows, r), "file"));
      g_assert_cmpstr (files->str, ==, cases[i].files);
      g_string_free (files, TRUE);
    }
}

/* The file column of a --json listing, one per line. */
static gchar *
json_files (TesselFixture *fx, const char *const *args)
{
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  GString *files = g_string_new (NULL);
  for (guint r = 0; r < json_array_get_length (rows); r++)
    g_string_append_printf (
        files, "%s\n",
        json_object_get_string_member (json_array_get_object_element (rows, r),
                                       "file"));
  return g_string_free (files, FALSE);
}

/* The song filters choose the store call that answers them. */
static void
test_song_filters (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  static const struct
  {
    const char *args[7];
    const char *files;
  } cases[] = {
    { { "songs", "--json", "--artist", "O'Brien", NULL }, "/m/1.mp3\n/m/2.mp3\n" },
    { { "songs", "--json", "--artist", "O'Brien", "--album", "", NULL },
      "/m/2.mp3\n" },
    { { "songs", "--json", "--artist", "O'Brien", "--album", "Zeta", NULL },
      "/m/1.mp3\n" },
    { { "songs", "--json", "--artist", "", NULL }, "" },
    { { "songs", "--json", "--genre", "", NULL }, "/m/2.mp3\n" },
    { { "songs", "--json", "--album", "Alpha", NULL }, "/m/3.mp3\n" },
    { { "songs", "--json", "--artist", "bach", "--genre", "classical", NULL },
      "/m/3.mp3\n" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      g_autofree gchar *files = json_files (fx, cases[i].args);
      g_assert_cmpstr (files, ==, cases[i].files);
    }
}

static void
test_json (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *out = NULL, *err = NULL;
  const char *args[] = { "artists", "--json", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  GError *error = NULL;
  g_assert_true (json_parser_load_from_data (parser, out, -1, &error));
  g_assert_no_error (error);
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 2);
  JsonObject *first = json_array_get_object_element (rows, 0);
  g_assert_cmpstr (json_object_get_string_member (first, "artist"), ==,
                   "bach");
  g_assert_cmpint (json_object_get_int_member (first, "count"), ==, 1);
  g_assert_true (json_object_get_null_member (first, "length"));
  JsonObject *second = json_array_get_object_element (rows, 1);
  g_assert_cmpstr (json_object_get_string_member (second, "artist"), ==,
                   "O'Brien");
  g_assert_cmpint (json_object_get_int_member (second, "length"), ==, 3970);
}

/* The rows of a --json listing (unref the parser). */
static JsonArray *
json_rows (TesselFixture *fx, const char *const *args, JsonParser **parser)
{
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  *parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (*parser, out, -1, NULL));
  return json_node_get_array (json_parser_get_root (*parser));
}

static void
test_find (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *out = NULL, *err = NULL;
  const char *table[] = { "find", "O'BRIEN", "lon", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, table, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  g_assert_cmpstr (out, ==,
                   "TITLE     ARTIST   ALBUM   LENGTH  FILE\n"
                   "Long one  O'Brien         1:02:05  /m/2.mp3\n");

  /* Accents, a word of the file name; numbers and null in JSON. */
  JsonParser *parser = NULL;
  const char *angel[] = { "find", "--json", "angel", "1", NULL };
  JsonArray *rows = json_rows (fx, angel, &parser);
  g_assert_cmpuint (json_array_get_length (rows), ==, 1);
  JsonObject *row = json_array_get_object_element (rows, 0);
  g_assert_cmpstr (json_object_get_string_member (row, "title"), ==, "Ängel");
  g_assert_cmpstr (json_object_get_string_member (row, "album"), ==, "Zeta");
  g_assert_cmpint (json_object_get_int_member (row, "length"), ==, 245);
  g_assert_cmpstr (json_object_get_string_member (row, "file"), ==,
                   "/m/1.mp3");
  g_clear_object (&parser);
  const char *bach[] = { "find", "--json", "BACH", "classic", NULL };
  rows = json_rows (fx, bach, &parser);
  g_assert_cmpuint (json_array_get_length (rows), ==, 1);
  row = json_array_get_object_element (rows, 0);
  g_assert_true (json_object_get_null_member (row, "length"));
  g_assert_cmpstr (json_object_get_string_member (row, "title"), ==, "3.mp3");
  g_clear_object (&parser);

  /* Absent rows and texts without a word: an empty array, status 0. */
  tessel_test_sql (fx->db, "UPDATE Metadata SET Present = 0 WHERE Filename "
                           "= '/m/2.mp3'");
  const char *none[][5] = { { "find", "--json", "long", NULL },
                            { "find", "--json", "\"*)", NULL } };
  for (guint i = 0; i < G_N_ELEMENTS (none); i++)
    {
      rows = json_rows (fx, none[i], &parser);
      g_assert_cmpuint (json_array_get_length (rows), ==, 0);
      g_clear_object (&parser);
    }

  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *missing[] = { "find", "--json", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, missing, &out, &err), ==, 2);
  g_assert_cmpstr (err, ==, "tessel: find: no TEXT given (see 'tessel find --help')\n");
  g_assert_cmpstr (out, ==, "");
}

/* Two rows whose texts break naive output: a file name and an album that
 * are not UTF-8, a title holding U+001F, and a file name and a title
 * holding a newline and a tab. */
static void
add_hostile_rows (TesselFixture *fx)
{
  tessel_test_sql (
      fx->db,
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, Length, "
      "MIME, Present, AddedTime) VALUES "
      "(CAST (X'2F6D2F626164FFFE2E6D7033' AS TEXT), 'unit' || char (31) || "
      "'sep', 'Hostile', CAST (X'416C62FF' AS TEXT), 'Hostile', 10, "
      "'audio/mpeg', 1, strftime('%s','now')),"
      "('/m/line' || char (10) || 'break.mp3', 'tab' || char (9) || 'bed', "
      "'Hostile', 'Hostile', 'Hostile', 20, 'audio/mpeg', 1, "
      "strftime('%s','now'))");
}

/* Whether /usr/bin/python3's json module, which takes only UTF-8 and no
 * raw control character inside a string, reads text.  FALSE also skips
 * the test where there is no such Python. */
static gboolean
strict_json_reads (TesselFixture *fx, const gchar *text)
{
  if (!g_file_test ("/usr/bin/python3", G_FILE_TEST_IS_EXECUTABLE))
    {
      g_test_skip ("no /usr/bin/python3 to read JSON strictly");
      return FALSE;
    }
  g_autofree gchar *path = g_build_filename (fx->dir, "out.json", NULL);
  g_assert_true (g_file_set_contents (path, text, -1, NULL));
  const gchar *argv[]
      = { "/usr/bin/python3", "-c",
          "import json, sys\n"
          "json.loads (open (sys.argv[1], 'rb').read ().decode ('utf-8'))",
          path, NULL };
  g_autofree gchar *err = NULL;
  gint status = tessel_test_spawn (argv, NULL, &err);
  g_test_message ("strict JSON reader: %s", err);
  g_assert_cmpint (status, ==, 0);
  return TRUE;
}

typedef struct
{
  const char *args[6];
  guint rows;
  const char *key; /* a member whose values are checked, or NULL */
  const char *values; /* its values in row order, one per line */
} HostileJsonCase;

/* Every --json output is UTF-8 a strict reader takes: bytes that are not
 * UTF-8 come out as U+FFFD, control characters escaped. */
static const HostileJsonCase hostile_json_cases[] = {
  { { "ls", "--json", NULL }, 6, NULL, NULL },
  { { "songs", "--json", "--artist", "Hostile", NULL }, 2, "file",
    "/m/line\nbreak.mp3\n/m/bad\xef\xbf\xbd\xef\xbf\xbd.mp3\n" },
  { { "find", "--json", "hostile", NULL }, 2, "title",
    "tab\tbed\nunit\x1fsep\n" },
  { { "albums", "--json", "--artist", "Hostile", NULL }, 2, "album",
    "Alb\xef\xbf\xbd\nHostile\n" },
  { { "search", "--json",
      "SELECT Filename, Album FROM Metadata WHERE Artist = 'Hostile' "
      "ORDER BY Filename",
      NULL },
    2, "Filename",
    "/m/bad\xef\xbf\xbd\xef\xbf\xbd.mp3\n/m/line\nbreak.mp3\n" },
};

static void
test_hostile_json (TesselFixture *fx, gconstpointer data)
{
  const HostileJsonCase *c = data;
  add_hostile_rows (fx);
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, c->args, &out, &err), ==, 0);
  g_assert_true (g_utf8_validate (out, -1, NULL));
  if (!strict_json_reads (fx, out))
    return;
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, c->rows);
  if (c->key == NULL)
    return;
  GString *values = g_string_new (NULL);
  for (guint r = 0; r < json_array_get_length (rows); r++)
    g_string_append_printf (
        values, "%s\n",
        json_object_get_string_member (json_array_get_object_element (rows, r),
                                       c->key));
  g_assert_cmpstr (values->str, ==, c->values);
  g_string_free (values, TRUE);
}

/* Floating-point values stay numbers a strict reader takes: one with an
 * exponent and no point as it is, an infinity, which JSON cannot write,
 * as null. */
static void
test_json_reals (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const char *args[] = { "search", "--json",
                         "SELECT 3e20 AS Big, 1e999 AS Huge, 0.5 AS Half, "
                         "2.0 AS Two",
                         NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  if (!strict_json_reads (fx, out))
    return;
  g_assert_cmpstr (out, ==,
                   "[\n  {\n    \"Big\" : 3e+20,\n    \"Huge\" : null,\n"
                   "    \"Half\" : 0.5,\n    \"Two\" : 2.0\n  }\n]\n");
}

/* A table keeps one line per row: newlines, tabs, control characters and
 * bytes that are not UTF-8 are shown escaped. */
static void
test_hostile_tables (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_hostile_rows (fx);
  static const struct
  {
    const char *args[4];
    const char *out;
  } cases[] = {
    /* The album column comes from each song's own row. */
    { { "songs", "--artist", "Hostile", NULL },
      "TITLE        ARTIST   ALBUM     LENGTH  FILE\n"
      "tab\\tbed     Hostile  Hostile  0:00:20  /m/line\\nbreak.mp3\n"
      "unit\\x1fsep  Hostile  Alb\\xff  0:00:10  /m/bad\\xff\\xfe.mp3\n" },
    { { "search",
        "SELECT Filename, Title FROM Metadata WHERE Artist = 'Hostile' "
        "ORDER BY Filename",
        NULL },
      "Filename            Title\n"
      "/m/bad\\xff\\xfe.mp3  unit\\x1fsep\n"
      "/m/line\\nbreak.mp3  tab\\tbed\n" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      g_autofree gchar *out = NULL, *err = NULL;
      g_assert_cmpint (
          tessel_test_run_on (tool, fx, cases[i].args, &out, &err), ==, 0);
      g_assert_cmpstr (out, ==, cases[i].out);
    }

  /* ls: the header and the six rows, six lines. */
  const char *ls[] = { "ls", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, ls, &out, &err), ==, 0);
  g_auto (GStrv) lines = g_strsplit (out, "\n", -1);
  g_assert_cmpuint (g_strv_length (lines), ==, 1 + 6 + 1);
  g_assert_cmpstr (lines[7], ==, "");
  g_assert_nonnull (strstr (out, "/m/line\\nbreak.mp3"));
  g_assert_nonnull (strstr (out, "/m/bad\\xff\\xfe.mp3"));
}

/* The songs list keeps showing what the store's resources hold, also for
 * values a resource converts (or refuses, with a warning) rather than
 * holding them as they are.  Title takes any type here, as in a table
 * made elsewhere. */
typedef struct
{
  const char *name;
  const char *values; /* Title and Length of /m/a.mp3 */
  const char *out;
} ConvertedCase;

static const ConvertedCase converted_cases[] = {
  { "number-in-title", "12345678901, 60",
    "TITLE       ARTIST  ALBUM   LENGTH  FILE\n"
    "2147483647                 0:01:00  /m/a.mp3\n"
    "Plain                      0:00:05  /m/b.mp3\n" },
  { "length-beyond-int", "'Big', 99999999999",
    "TITLE  ARTIST  ALBUM        LENGTH  FILE\n"
    "Big                   596523:14:07  /m/a.mp3\n"
    "Plain                      0:00:05  /m/b.mp3\n" },
  { "real-length", "'Real', 12.7",
    "TITLE  ARTIST  ALBUM   LENGTH  FILE\n"
    "Plain                 0:00:05  /m/b.mp3\n"
    "Real                  0:00:12  /m/a.mp3\n" },
  { "text-length", "'Text', 'abc'",
    "TITLE  ARTIST  ALBUM   LENGTH  FILE\n"
    "Plain                 0:00:05  /m/b.mp3\n"
    "Text                           /m/a.mp3\n" },
  { "length-below-unknown", "'Neg', -5",
    "TITLE  ARTIST  ALBUM   LENGTH  FILE\n"
    "Neg                            /m/a.mp3\n"
    "Plain                 0:00:05  /m/b.mp3\n" },
};

static void
test_converted_values (TesselFixture *fx, gconstpointer data)
{
  const ConvertedCase *c = data;
  g_autofree gchar *sql = g_strdup_printf (
      "DROP TABLE Metadata; CREATE TABLE Metadata (Filename varchar(256) "
      "primary key, Title, Artist varchar(64), Album varchar(64), Genre "
      "varchar(64), Track int(3), Length int(12), MIME varchar(64), Present "
      "int(1), isStream int(1), isPlaylist int(1)); INSERT INTO Metadata "
      "(Filename, Title, Length, MIME, Present) VALUES ('/m/a.mp3', %s, "
      "'audio/mpeg', 1), ('/m/b.mp3', 'Plain', 5, 'audio/mpeg', 1)",
      c->values);
  tessel_test_sql (fx->db, sql);
  const char *args[] = { "songs", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==, c->out);
}

/* Songs that sort alike (the same title ignoring case and accents, the
 * same file name or none) stay in the order of the store's list: by
 * title in upper case, which puts "emile" before "Émile". */
static void
test_songs_alike (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title, Length, "
                           "MIME, Present) VALUES (NULL, 'Émile', 5, "
                           "'audio/mpeg', 1), (NULL, 'emile', 6, "
                           "'audio/mpeg', 1)");
  const char *args[] = { "songs", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==,
                   "TITLE     ARTIST   ALBUM   LENGTH  FILE\n"
                   "3.mp3     bach     Alpha           /m/3.mp3\n"
                   "Ängel     O'Brien  Zeta   0:04:05  /m/1.mp3\n"
                   "emile                     0:00:06  \n"
                   "Émile                     0:00:05  \n"
                   "Long one  O'Brien         1:02:05  /m/2.mp3\n");
}

/* Runs args: the exit status, one message on stderr, nothing on stdout. */
static void
assert_refused (TesselFixture *fx, const char *const *args, int status,
                const char *message)
{
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==,
                   status);
  g_assert_cmpstr (err, ==, message);
  g_assert_cmpstr (out, ==, "");
}

static void
test_failures (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  static const struct
  {
    const char *args[6];
    int status;
    const char *message;
  } cases[] = {
    { { "played", "--since", "3x", NULL }, 2,
      "tessel: played: invalid period '3x' (for example 90s, 30m, 12h, 7d "
      "or 2w)\n" },
    { { "played", "--since", "99999999999999999999d", NULL }, 2,
      "tessel: played: invalid period '99999999999999999999d' (for example "
      "90s, 30m, 12h, 7d or 2w)\n" },
    { { "played", "--since", "1", NULL }, 2,
      "tessel: played: period '1' needs a unit: s, m, h, d or w (for example "
      "1d)\n" },
    { { "songs", "--by", "title", NULL }, 2,
      "tessel: songs: --by takes album, artist or genre\n" },
    { { "songs", "--album", "x", "--genre", "y", NULL }, 2,
      "tessel: songs: --album cannot be combined with --genre\n" },
    { { "songs", "--artist", "", "--album", "", NULL }, 2,
      "tessel: songs: --album needs a named --artist\n" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    assert_refused (fx, cases[i].args, cases[i].status, cases[i].message);

  /* A table the store's queries cannot run on: one line, status 1, and
   * none of the store's criticals. */
  tessel_test_sql (fx->db, "DROP TABLE Metadata; CREATE TABLE Metadata "
                           "(Filename varchar(256) primary key)");
  const char *commands[] = { "songs", "genres", "stats", "playlists" };
  for (guint i = 0; i < G_N_ELEMENTS (commands); i++)
    {
      const char *args[] = { commands[i], NULL };
      g_autofree gchar *out = NULL, *err = NULL;
      g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 1);
      g_autofree gchar *expected = g_strdup_printf (
          "tessel: %s: cannot read the library: Could not connect to media "
          "database\n",
          commands[i]);
      g_assert_cmpstr (err, ==, expected);
      g_assert_cmpstr (out, ==, "");
    }

  /* A file that is no database. */
  g_autofree gchar *junk = tessel_fixture_write (
      fx, "meta_storage", "not a database, only text long enough to be read "
                          "as a header by the database engine");
  const char *args[] = { "songs", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 1);
  g_assert_true (g_str_has_prefix (err, "tessel: songs: cannot open database"));
  g_assert_cmpuint (strlen (err), ==, strcspn (err, "\n") + 1);
}

/* A playlist in the test's folder: rows, a file without a row (relative
 * to the playlist, with its #EXTINF), a row without title or length, and
 * a stream. */
static gchar *
write_mix (TesselFixture *fx)
{
  return tessel_fixture_write (fx, "mix.m3u",
                               "#EXTM3U\n"
                               "/m/1.mp3\n"
                               "#EXTINF:100,Away\n"
                               "gone.mp3\n"
                               "/m/3.mp3\n"
                               "#EXTINF:-1,Radio\n"
                               "http://radio.example/live\n");
}

static void
test_playlist (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *mix = write_mix (fx);
  g_autofree gchar *gone = g_build_filename (fx->dir, "gone.mp3", NULL);
  g_autofree gchar *out = NULL, *err = NULL;
  const char *table[] = { "playlist", mix, NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, table, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  g_autofree gchar *expected = g_strdup_printf (
      "#  TITLE  ARTIST    LENGTH  FILE\n"
      "1  Ängel  O'Brien  0:04:05  /m/1.mp3\n"
      "2  Away            0:01:40  %s\n"
      "3  3.mp3  bach              /m/3.mp3\n"
      "4  Radio                    http://radio.example/live\n"
      "4 entries, 0:05:45 (2 of unknown length)\n",
      gone);
  g_assert_cmpstr (out, ==, expected);

  g_clear_pointer (&out, g_free);
  g_clear_pointer (&err, g_free);
  const char *json[] = { "playlist", "--json", mix, NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, json, &out, &err), ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
  JsonObject *root = json_node_get_object (json_parser_get_root (parser));
  g_assert_cmpint (json_object_get_int_member (root, "count"), ==, 4);
  g_assert_cmpint (json_object_get_int_member (root, "length"), ==, 345);
  g_assert_cmpint (json_object_get_int_member (root, "unknown_lengths"), ==,
                   2);
  JsonArray *entries = json_object_get_array_member (root, "entries");
  g_assert_cmpuint (json_array_get_length (entries), ==, 4);
  JsonObject *second = json_array_get_object_element (entries, 1);
  g_assert_cmpint (json_object_get_int_member (second, "position"), ==, 2);
  g_assert_cmpstr (json_object_get_string_member (second, "file"), ==, gone);
  g_assert_cmpint (json_object_get_int_member (second, "length"), ==, 100);
  JsonObject *third = json_array_get_object_element (entries, 2);
  g_assert_cmpstr (json_object_get_string_member (third, "artist"), ==,
                   "bach");
  g_assert_true (json_object_get_null_member (third, "length"));
}

/* The playlists with their entry counts and known lengths, read through
 * the playlist call; one that cannot be read is noted and left blank. */
static void
test_playlists_counts (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *mix = write_mix (fx);
  g_autofree gchar *empty = tessel_fixture_write (fx, "empty.m3u", "");
  g_autofree gchar *sql = g_strdup_printf (
      "INSERT INTO Metadata (Filename, MIME, Present) VALUES "
      "('%s', 'audio/x-mpegurl', 1), ('%s', 'audio/x-mpegurl', 1), "
      "('/m/none.m3u', 'audio/x-mpegurl', 1)",
      mix, empty);
  tessel_test_sql (fx->db, sql);
  const char *args[] = { "playlists", "--json", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (tessel_test_run_on (tool, fx, args, &out, &err), ==, 0);
  g_assert_cmpstr (err, ==, "tessel: playlists: Cannot read playlist "
                            "'/m/none.m3u': No such file or directory\n");
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 3);
  for (guint r = 0; r < 3; r++)
    {
      JsonObject *row = json_array_get_object_element (rows, r);
      const gchar *file = json_object_get_string_member (row, "file");
      if (g_strcmp0 (file, mix) == 0)
        {
          g_assert_cmpint (json_object_get_int_member (row, "entries"), ==, 4);
          g_assert_cmpint (json_object_get_int_member (row, "length"), ==,
                           345);
        }
      else if (g_strcmp0 (file, empty) == 0)
        {
          g_assert_cmpint (json_object_get_int_member (row, "entries"), ==, 0);
          g_assert_true (json_object_get_null_member (row, "length"));
        }
      else
        {
          g_assert_cmpstr (file, ==, "/m/none.m3u");
          g_assert_true (json_object_get_null_member (row, "entries"));
          g_assert_true (json_object_get_null_member (row, "length"));
        }
    }
}

static void
test_playlist_failures (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *notes
      = tessel_fixture_write (fx, "notes.txt", "Remember the milk.\n");
  g_autofree gchar *missing = g_build_filename (fx->dir, "none.m3u", NULL);
  g_autofree gchar *unknown = g_strdup_printf (
      "tessel: playlist: Cannot read playlist '%s': not in a known playlist "
      "format\n",
      notes);
  g_autofree gchar *absent = g_strdup_printf (
      "tessel: playlist: Cannot read playlist '%s': No such file or "
      "directory\n",
      missing);
  const struct
  {
    const char *args[4];
    int status;
    const char *message;
  } cases[] = {
    { { "playlist", notes, NULL }, 1, unknown },
    { { "playlist", missing, NULL }, 1, absent },
    { { "playlist", NULL }, 2,
      "tessel: playlist: no FILE given (see 'tessel playlist --help')\n" },
    { { "playlist", notes, "more", NULL }, 2,
      "tessel: playlist: unexpected argument 'more'\n" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    assert_refused (fx, cases[i].args, cases[i].status, cases[i].message);
}

/* Names in any script, matched ignoring case and accents, whatever the
 * locale the command runs in: the test runs each case in the plain C
 * locale and in a UTF-8 one. */
static void
test_non_ascii_options (TesselFixture *fx, gconstpointer data)
{
  const char *locale = data;
  tessel_test_sql (
      fx->db,
      "ALTER TABLE Metadata ADD COLUMN AlbumArtist text;"
      "ALTER TABLE Metadata ADD COLUMN Disc int(12);"
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Disc, Track, "
      "Length, MIME, Present) VALUES "
      "('/z/1', 'One', 'Zoë Martin', 'Big Noise', 2, 1, 60, 'audio/mpeg', 1),"
      "('/z/2', 'Two', 'zoe martin', 'big noise', 1, 2, 60, 'audio/mpeg', 1),"
      "('/z/3', 'Three', 'Zoë Martin', 'Big Noise', 1, 1, 60, 'audio/mpeg', 1)");
  static const struct
  {
    const char *args[7];
    const char *files;
    const char *first_album; /* the album column of the first row */
  } cases[] = {
    { { "songs", "--json", "--artist", "ZOË MARTIN", NULL },
      "/z/1\n/z/3\n/z/2\n", "Big Noise" },
    /* Disc, then track. */
    { { "songs", "--json", "--album", "BÍG NOISE", NULL },
      "/z/3\n/z/2\n/z/1\n", "Big Noise" },
    { { "songs", "--json", "--artist", "Zoe Martin", "--album", "big noïse" },
      "/z/3\n/z/2\n/z/1\n", "Big Noise" },
    { { "songs", "--json", "--genre", "RÖCK", NULL }, "/m/1.mp3\n", "Zeta" },
  };
  const gchar *before = g_getenv ("LC_ALL");
  g_autofree gchar *saved = g_strdup (before);
  g_setenv ("LC_ALL", locale, TRUE);
  for (guint i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      JsonParser *parser = NULL;
      JsonArray *rows = json_rows (fx, cases[i].args, &parser);
      GString *files = g_string_new (NULL);
      for (guint r = 0; r < json_array_get_length (rows); r++)
        g_string_append_printf (
            files, "%s\n",
            json_object_get_string_member (
                json_array_get_object_element (rows, r), "file"));
      g_assert_cmpstr (files->str, ==, cases[i].files);
      g_string_free (files, TRUE);
      g_assert_cmpstr (json_object_get_string_member (
                           json_array_get_object_element (rows, 0), "album"),
                       ==, cases[i].first_album);
      g_clear_object (&parser);
    }

  /* The album list, with the new properties in JSON. */
  JsonParser *parser = NULL;
  const char *albums[] = { "albums", "--json", "--artist", "zoë martin", NULL };
  JsonArray *rows = json_rows (fx, albums, &parser);
  g_assert_cmpuint (json_array_get_length (rows), ==, 1);
  JsonObject *row = json_array_get_object_element (rows, 0);
  g_assert_cmpstr (json_object_get_string_member (row, "album_artist"), ==,
                   "Zoë Martin");
  g_assert_cmpstr (json_object_get_string_member (row, "album"), ==,
                   "Big Noise");
  g_assert_cmpint (json_object_get_int_member (row, "count"), ==, 3);
  g_clear_object (&parser);
  const char *songs[] = { "songs", "--json", "--album", "Big Noise", NULL };
  rows = json_rows (fx, songs, &parser);
  row = json_array_get_object_element (rows, 0);
  g_assert_cmpint (json_object_get_int_member (row, "disc"), ==, 1);
  g_assert_cmpint (json_object_get_int_member (row, "track"), ==, 1);
  g_assert_cmpstr (json_object_get_string_member (row, "album_artist"), ==,
                   "Zoë Martin");
  g_clear_object (&parser);

  if (saved != NULL)
    g_setenv ("LC_ALL", saved, TRUE);
  else
    g_unsetenv ("LC_ALL");
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  tool = tessel_test_tool_arg (argc, argv);
#define ADD(path, func)                                                       \
  g_test_add (path, TesselFixture, NULL, seed, func, tessel_fixture_teardown)
  ADD ("/tool/browse/aligned-tables", test_tables);
  ADD ("/tool/browse/time-windows", test_windows);
  ADD ("/tool/browse/json-rows", test_json);
  ADD ("/tool/browse/song-filters", test_song_filters);
  ADD ("/tool/browse/failures-one-line", test_failures);
  ADD ("/tool/browse/find", test_find);
  ADD ("/tool/browse/playlist-entries", test_playlist);
  ADD ("/tool/browse/playlists-entry-counts", test_playlists_counts);
  ADD ("/tool/browse/playlist-failures", test_playlist_failures);
  ADD ("/tool/table/hostile-names-one-line", test_hostile_tables);
  ADD ("/tool/json/floating-point-values", test_json_reals);
  ADD ("/tool/browse/songs-alike-in-list-order", test_songs_alike);
  for (gsize i = 0; i < G_N_ELEMENTS (converted_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tool/browse/songs-as-resources-hold/%s", converted_cases[i].name);
      g_test_add (path, TesselFixture, &converted_cases[i], seed,
                  test_converted_values, tessel_fixture_teardown);
    }
  static const char *locales[] = { "C", "C.UTF-8" };
  for (guint i = 0; i < G_N_ELEMENTS (locales); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tool/browse/non-ascii-options/%s", locales[i]);
      g_test_add (path, TesselFixture, locales[i], seed,
                  test_non_ascii_options, tessel_fixture_teardown);
    }
#undef ADD
  for (guint i = 0; i < G_N_ELEMENTS (hostile_json_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tool/json/hostile-names/%s", hostile_json_cases[i].args[0]);
      g_test_add (path, TesselFixture, &hostile_json_cases[i], seed,
                  test_hostile_json, tessel_fixture_teardown);
    }
  return g_test_run ();
}
