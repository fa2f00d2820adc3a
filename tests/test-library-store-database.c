/* The database store: every listing, aggregate and total on seeded rows,
 * with the order, the NULL-column texts, quoted names, the time windows,
 * the unknown entry and the failure reporting. */
#include <limits.h>
#include <string.h>

#include <sqlite3.h>

#include "mp_library_store_database.h"
#include "tessel-test.h"

#define STORE mp_library_store_database_get_instance ()
#define CONNECT_ERROR "Could not connect to media database"

/* Inserts one present row; NULL texts and negative numbers stay NULL. */
static void
add_row (TesselFixture *fx, const char *filename, const char *title,
         const char *artist, const char *album, const char *genre, int track,
         int length, const char *mime)
{
  char track_text[16] = "NULL", length_text[16] = "NULL";
  if (track >= 0)
    g_snprintf (track_text, sizeof track_text, "%d", track);
  if (length >= 0)
    g_snprintf (length_text, sizeof length_text, "%d", length);
  char *sql = sqlite3_mprintf (
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, Track, "
      "Length, MIME, Present) VALUES (%Q, %Q, %Q, %Q, %Q, %s, %s, %Q, 1)",
      filename, title, artist, album, genre, track_text, length_text, mime);
  tessel_test_sql (fx->db, sql);
  sqlite3_free (sql);
}

static void
add_song (TesselFixture *fx, const char *filename, const char *artist,
          const char *album, const char *genre, int length)
{
  add_row (fx, filename, NULL, artist, album, genre, -1, length,
           "audio/mpeg");
}

static void
run_sql (TesselFixture *fx, const char *format, ...)
{
  va_list args;
  va_start (args, format);
  char *sql = sqlite3_vmprintf (format, args);
  va_end (args);
  tessel_test_sql (fx->db, sql);
  sqlite3_free (sql);
}

static void
open_store (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (storage_init (), ==, 1);
}

static void
free_list (GList *list)
{
  g_list_foreach (list, (GFunc) mp_media_resource_destroy, NULL);
  g_list_free (list);
}

/* The file names of a list, comma separated; the list is released. */
static gchar *
uris (GList *list)
{
  GString *s = g_string_new (NULL);
  for (GList *l = list; l != NULL; l = l->next)
    {
      const gchar *uri = mp_media_resource_get_uri (l->data);
      g_string_append_printf (s, "%s%s", l == list ? "" : ",",
                              uri != NULL ? uri : "-");
    }
  free_list (list);
  return g_string_free (s, FALSE);
}

/* Aggregate rows as "name:count:length" joined by commas, "-" for a NULL
 * name; the list is released. */
static gchar *
groups (GList *list, const gchar *(*name) (MpMediaResource *))
{
  GString *s = g_string_new (NULL);
  for (GList *l = list; l != NULL; l = l->next)
    {
      const gchar *n = name (l->data);
      g_string_append_printf (s, "%s%s:%d:%d", l == list ? "" : ",",
                              n != NULL ? n : "-",
                              mp_media_resource_get_count (l->data),
                              mp_media_resource_get_length (l->data));
    }
  free_list (list);
  return g_string_free (s, FALSE);
}

/* "count:length" of a total resource, which is released. */
static gchar *
total (MpMediaResource *res)
{
  g_assert_nonnull (res);
  gchar *s = g_strdup_printf ("%d:%d", mp_media_resource_get_count (res),
                              mp_media_resource_get_length (res));
  mp_media_resource_destroy (res, NULL);
  return s;
}

#define ASSERT_LIST(call, expected)                                           \
  do                                                                          \
    {                                                                         \
      g_autofree gchar *got_ = uris (call);                                   \
      g_assert_cmpstr (got_, ==, expected);                                   \
    }                                                                         \
  while (0)

#define ASSERT_GROUPS(call, name, expected)                                   \
  do                                                                          \
    {                                                                         \
      g_autofree gchar *got_ = groups (call, name);                           \
      g_assert_cmpstr (got_, ==, expected);                                   \
    }                                                                         \
  while (0)

#define ASSERT_TOTAL(call, expected)                                          \
  do                                                                          \
    {                                                                         \
      g_autofree gchar *got_ = total (call);                                  \
      g_assert_cmpstr (got_, ==, expected);                                   \
    }                                                                         \
  while (0)

static void
test_type_and_instance (void)
{
  GType type = mp_library_store_database_get_type ();
  g_assert_cmpuint (type, ==, mp_library_store_database_get_type ());
  g_assert_cmpuint (g_type_parent (type), ==, mp_library_store_get_type ());
  g_assert_cmpstr (g_type_name (type), ==, "MpLibraryStoreDatabase");

  MpLibraryStoreDatabase *store = mp_library_store_database_get_instance ();
  g_assert_true (IS_MP_LIBRARY_STORE_DATABASE (store));
  g_assert_true (IS_MP_LIBRARY_STORE (store));
  g_assert_true (mp_library_store_database_get_instance () == store);
  /* The caller holds no reference: the one the store was made with. */
  g_assert_cmpuint (G_OBJECT (store)->ref_count, ==, 1);

  MpMediaResource *res = mp_media_resource_new ();
  g_assert_false (IS_MP_LIBRARY_STORE (res));
  g_assert_false (IS_MP_LIBRARY_STORE_DATABASE (res));
  mp_media_resource_destroy (res, NULL);
}

/* A store of another type, a plain base store or NULL: a critical, NULL,
 * and the error location left alone. */
static void
test_wrong_store (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_song (fx, "/m/a.mp3", "A", "B", "G", 10);
  GObject *base = g_object_new (MP_TYPE_LIBRARY_STORE, NULL);
  MpMediaResource *res = mp_media_resource_new ();
  gpointer wrong[] = { base, res, NULL };
  for (guint i = 0; i < G_N_ELEMENTS (wrong); i++)
    {
      MpLibraryStoreDatabase *s = wrong[i];
      GError *error = NULL;
#define EXPECT_REFUSED(call)                                                  \
  g_test_expect_message (                                                     \
      "tessel", G_LOG_LEVEL_CRITICAL,                                         \
      "*IS_MP_LIBRARY_STORE_DATABASE (mp_library_store)*");                   \
  g_assert_null (call);                                                       \
  g_test_assert_expected_messages ();                                         \
  g_assert_no_error (error)
      EXPECT_REFUSED (mp_library_store_database_get_songs (s, &error));
      EXPECT_REFUSED (
          mp_library_store_database_get_media_by_uri (s, "/m/a.mp3", &error));
      EXPECT_REFUSED (
          mp_library_store_database_get_songs_by_artist_album (s, "A", "B",
                                                               &error));
      EXPECT_REFUSED (mp_library_store_database_get_played (s, 60, &error));
      EXPECT_REFUSED (mp_library_store_database_get_genres (s, TRUE, &error));
      EXPECT_REFUSED (
          mp_library_store_database_get_albums_by_artist (s, "A", TRUE,
                                                          &error));
      EXPECT_REFUSED (
          mp_library_store_database_get_artist_length (s, "A", &error));
      EXPECT_REFUSED (mp_library_store_database_get_songs_length (s, &error));
      EXPECT_REFUSED (mp_library_store_database_find (s, "a", &error));
#undef EXPECT_REFUSED
    }
  mp_media_resource_destroy (res, NULL);
  g_object_unref (base);
}

static void
test_uri_lookup (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_row (fx, "/m/it's.mp3", "Title", "Art", "Alb", "Gen", 4, 200,
           "audio/mpeg");
  add_song (fx, "/m/gone.mp3", "Art", "Alb", "Gen", 100);
  run_sql (fx, "UPDATE Metadata SET Present = 0, Year = '1999', Bitrate = "
               "128000 WHERE Filename = '/m/gone.mp3'");
  add_song (fx, "(NULL)", "Art", "Alb", "Gen", 100);

  GError *error = NULL;
  MpMediaResource *res = mp_library_store_database_get_media_by_uri (
      STORE, "/m/it's.mp3", &error);
  g_assert_no_error (error);
  g_assert_nonnull (res);
  g_assert_cmpstr (mp_media_resource_get_uri (res), ==, "/m/it's.mp3");
  g_assert_cmpstr (mp_media_resource_get_title (res), ==, "Title");
  g_assert_cmpstr (mp_media_resource_get_artist (res), ==, "Art");
  g_assert_cmpstr (mp_media_resource_get_album (res), ==, "Alb");
  g_assert_cmpstr (mp_media_resource_get_genre (res), ==, "Gen");
  g_assert_cmpint (mp_media_resource_get_track (res), ==, 4);
  g_assert_cmpint (mp_media_resource_get_length (res), ==, 200);
  g_assert_cmpstr (mp_media_resource_get_mime (res), ==, "audio/mpeg");
  g_assert_null (mp_media_resource_get_year (res));
  g_assert_cmpint (mp_media_resource_get_bitrate (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_is_playlist (res), ==, 0);
  mp_media_resource_destroy (res, NULL);

  /* An absent row is found here, and only here. */
  res = mp_library_store_database_get_media_by_uri (STORE, "/m/gone.mp3",
                                                    &error);
  g_assert_no_error (error);
  g_assert_nonnull (res);
  g_assert_cmpstr (mp_media_resource_get_year (res), ==, "1999");
  g_assert_cmpint (mp_media_resource_get_bitrate (res), ==, 128000);
  mp_media_resource_destroy (res, NULL);
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist (STORE, "Art",
                                                              &error),
               "(NULL),/m/it's.mp3");
  ASSERT_TOTAL (mp_library_store_database_get_album_length (STORE, "Alb",
                                                            &error),
                "2:300");

  /* Unknown, nearly matching and NULL uris: nothing, and no error. */
  g_assert_null (mp_library_store_database_get_media_by_uri (
      STORE, "/m/nothing.mp3", &error));
  g_assert_null (mp_library_store_database_get_media_by_uri (
      STORE, "/m/it''s.mp3", &error));
  g_assert_null (
      mp_library_store_database_get_media_by_uri (STORE, NULL, &error));
  g_assert_no_error (error);
}

/* A table without the primary key (as an old or damaged file may have)
 * can hold one uri twice: both rows are dropped with a critical. */
static void
test_uri_lookup_duplicate (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  storage_close ();
  tessel_test_sql (fx->db, "DROP TABLE Metadata;"
                           "CREATE TABLE Metadata (Filename varchar(256), "
                           "Title varchar(64), Length int(12), MIME "
                           "varchar(64), Album varchar(64), Artist "
                           "varchar(64), Track int(3), Genre varchar(64), "
                           "Year varchar(10), Bitrate int(12), isPlaylist "
                           "int(1), isStream int(1), Present int(1));"
                           "INSERT INTO Metadata (Filename, Title) VALUES "
                           "('/twice', 'one'), ('/twice', 'two')");
  g_assert_cmpint (storage_init (), ==, 1);
  GError *error = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*object_list_length <= 1*");
  g_assert_null (
      mp_library_store_database_get_media_by_uri (STORE, "/twice", &error));
  g_test_assert_expected_messages ();
  g_assert_no_error (error);
}

/* Tables on which the whole-kind listings (songs, videos) must keep what
 * their SELECT DISTINCT gives: rows alike in every listed column are
 * listed once.  Only a file name that is the table's unique key lets the
 * store leave the DISTINCT out; these tables have rows alike without one. */
typedef struct
{
  const char *name;
  const char *table; /* replaces Metadata; NULL keeps the library's own */
  const char *rows;  /* inserted into Metadata */
  const char *songs; /* get_songs, as uris () gives it */
  const char *videos;
} DistinctCase;

#define DISTINCT_COLUMNS                                                      \
  "Title varchar(64), Length int(12), MIME varchar(64), Album "               \
  "varchar(64), Artist varchar(64), Track int(3), Genre varchar(64), Year "   \
  "varchar(10), Bitrate int(12), isPlaylist int(1), isStream int(1), "        \
  "Present int(1)"
#define DISTINCT_INSERT                                                       \
  "INSERT INTO Metadata (Filename, Title, MIME, Present) VALUES "

static const DistinctCase distinct_cases[] = {
  { "unnamed-rows", NULL,
    DISTINCT_INSERT "(NULL, 'a', 'audio/mpeg', 1), (NULL, 'a', 'audio/mpeg', "
                    "1), (NULL, 'c', 'audio/mpeg', 1), ('/m/b.mp3', 'b', "
                    "'audio/mpeg', 1), (NULL, 'v', 'video/mpeg', 1), (NULL, "
                    "'v', 'video/mpeg', 1)",
    "-,/m/b.mp3,-", "-" },
  { "no-key",
    "CREATE TABLE Metadata (Filename varchar(256), " DISTINCT_COLUMNS ")",
    DISTINCT_INSERT "('/m/2.mp3', 't', 'audio/mpeg', 1), ('/m/2.mp3', 't', "
                    "'audio/mpeg', 1), ('/m/2.mp3', 'u', 'audio/mpeg', 1), "
                    "('/m/1.mp3', 'o', 'audio/mpeg', 1), ('/v.avi', 'v', "
                    "'video/mpeg', 1), ('/v.avi', 'v', 'video/mpeg', 1)",
    "/m/1.mp3,/m/2.mp3,/m/2.mp3", "/v.avi" },
  /* Names unique as bytes, alike as the column compares them. */
  { "key-of-another-collation",
    "CREATE TABLE Metadata (Filename varchar(256) COLLATE NOCASE, "
    DISTINCT_COLUMNS "); CREATE UNIQUE INDEX Names ON Metadata (Filename "
    "COLLATE BINARY)",
    DISTINCT_INSERT "('/m/A.mp3', 't', 'audio/mpeg', 1), ('/m/a.mp3', 't', "
                    "'audio/mpeg', 1)",
    "/m/A.mp3", "" },
  { "key-of-some-rows",
    "CREATE TABLE Metadata (Filename varchar(256), " DISTINCT_COLUMNS "); "
    "CREATE UNIQUE INDEX Names ON Metadata (Filename) WHERE Title IS NOT "
    "NULL",
    DISTINCT_INSERT "('/m/x.mp3', NULL, 'audio/mpeg', 1), ('/m/x.mp3', NULL, "
                    "'audio/mpeg', 1), ('/m/y.mp3', 'y', 'audio/mpeg', 1)",
    "/m/x.mp3,/m/y.mp3", "" },
  { "key-of-two-columns",
    "CREATE TABLE Metadata (Filename varchar(256), " DISTINCT_COLUMNS ", "
    "UNIQUE (Filename, Year))",
    DISTINCT_INSERT "('/m/x.mp3', 'x', 'audio/mpeg', 1), ('/m/x.mp3', 'x', "
                    "'audio/mpeg', 1)",
    "/m/x.mp3", "" },
};

/* What mp_library_store_database_get_songs_columns handed over. */
typedef struct
{
  guint headers;
  GString *rows; /* one line a row: the values, "-" for none, by "|" */
} SongColumns;

static void
add_song_columns (gint columns, const gchar *const *names, const gint *types,
                  const gchar *const *values, gpointer user_data)
{
  SongColumns *got = user_data;
  (void) types;
  if (values == NULL)
    {
      g_autofree gchar *header = g_strjoinv ("|", (gchar **) names);
      g_assert_cmpstr (header, ==, "Filename|Title|Length|MIME|Album|Artist");
      got->headers++;
      return;
    }
  g_assert_cmpuint (got->headers, ==, 1);
  for (gint c = 0; c < columns; c++)
    g_string_append_printf (got->rows, "%s%s", c > 0 ? "|" : "",
                            values[c] != NULL ? values[c] : "-");
  g_string_append_c (got->rows, '\n');
}

static gint
compare_lines (gconstpointer a, gconstpointer b)
{
  return strcmp (*(const gchar *const *) a, *(const gchar *const *) b);
}

/* The lines of text (each ended by a newline) sorted, as the columns
 * call gives them in no particular order; text is released. */
static gchar *
sorted_lines (GString *text)
{
  g_auto (GStrv) lines = g_strsplit (text->str, "\n", -1);
  g_string_free (text, TRUE);
  guint n = g_strv_length (lines);
  /* The empty text after the last newline stays last. */
  if (n > 1)
    qsort (lines, n - 1, sizeof *lines, compare_lines);
  return g_strjoinv ("\n", lines);
}

/* The columns call's rows sorted, or NULL when it failed (after no
 * call). */
static gchar *
song_columns (GError **error)
{
  SongColumns got = { 0, g_string_new (NULL) };
  gboolean read = mp_library_store_database_get_songs_columns (
      STORE, add_song_columns, &got, error);
  if (!read)
    {
      g_assert_cmpuint (got.headers, ==, 0);
      g_assert_cmpstr (got.rows->str, ==, "");
      g_string_free (got.rows, TRUE);
      return NULL;
    }
  return sorted_lines (got.rows);
}

/* The same rows from the resources of the list call, sorted. */
static gchar *
song_resources (GError **error)
{
  GString *s = g_string_new (NULL);
  GList *list = mp_library_store_database_get_songs (STORE, error);
  for (GList *l = list; l != NULL; l = l->next)
    {
      const gchar *texts[] = { mp_media_resource_get_uri (l->data),
                               mp_media_resource_get_title (l->data), NULL,
                               mp_media_resource_get_mime (l->data),
                               mp_media_resource_get_album (l->data),
                               mp_media_resource_get_artist (l->data) };
      gint length = mp_media_resource_get_length (l->data);
      for (guint c = 0; c < G_N_ELEMENTS (texts); c++)
        if (c == 2 && length >= 0)
          g_string_append_printf (s, "%s%d", c > 0 ? "|" : "", length);
        else
          g_string_append_printf (s, "%s%s", c > 0 ? "|" : "",
                                  texts[c] != NULL ? texts[c] : "-");
      g_string_append_c (s, '\n');
    }
  free_list (list);
  return sorted_lines (s);
}

static void
test_distinct_rows (TesselFixture *fx, gconstpointer data)
{
  const DistinctCase *c = data;
  if (c->table != NULL)
    {
      storage_close ();
      run_sql (fx, "DROP TABLE Metadata; %s", c->table);
      g_assert_cmpint (storage_init (), ==, 1);
    }
  run_sql (fx, "%s", c->rows);
  GError *error = NULL;
  ASSERT_LIST (mp_library_store_database_get_songs (STORE, &error), c->songs);
  ASSERT_LIST (mp_library_store_database_get_videos (STORE, &error),
               c->videos);
  /* The columns call lists the same rows. */
  g_autofree gchar *columns = song_columns (&error);
  g_autofree gchar *resources = song_resources (&error);
  g_assert_cmpstr (columns, ==, resources);
  g_assert_no_error (error);
}

/* The rows every listing has to look past. */
static void
add_distractors (TesselFixture *fx)
{
  add_song (fx, "/x/absent.mp3", "Zed", "Zed", "Zed", 1);
  run_sql (fx, "UPDATE Metadata SET Present = 0 WHERE Filename = "
               "'/x/absent.mp3'");
  add_row (fx, "http://radio/x", "Radio", "Zed", "Zed", "Zed", -1, 1,
           "audio/mpeg");
  run_sql (fx, "UPDATE Metadata SET isStream = 1 WHERE Filename = "
               "'http://radio/x'");
  add_row (fx, "/x/list.m3u", NULL, "Zed", "Zed", "Zed", -1, 1,
           "audio/x-mpegurl");
  add_row (fx, "/x/clip.avi", NULL, "Zed", "Zed", "Zed", -1, 1,
           "video/x-msvideo");
}

static void
test_songs_order (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_distractors (fx);
  add_row (fx, "/m/1.mp3", "b", "beta", "beta", "beta", 2, 10, "audio/mpeg");
  add_row (fx, "/m/2.mp3", "c", "Alpha", "Alpha", "Alpha", 1, 10,
           "audio/x-wav");
  add_row (fx, "/m/3.mp3", "B", "alpha", "alpha", "alpha", 1, 10, "AUDIO/OGG");
  add_row (fx, "/m/4.mp3", "a", "alpha", "alpha", "alpha", 2, 10,
           "audio/mpeg");
  add_row (fx, "/m/5.mp3", "z", NULL, NULL, NULL, 2, 10, "audio/mpeg");
  add_row (fx, "/m/6.mp3", "y", NULL, NULL, NULL, 1, 10, "audio/mpeg");
  add_row (fx, "/m/7.mp3", NULL, NULL, NULL, NULL, 1, 10, "audio/mpeg");
  /* No length: left out of the ordered listings only. */
  add_row (fx, "/m/8.mp3", "d", "alpha", "alpha", "alpha", 1, -1,
           "audio/mpeg");
  /* Same title as 3.mp3, told apart by file name. */
  add_row (fx, "/m/0.mp3", "b", "gamma", "gamma", "gamma", -1, 10,
           "audio/mpeg");

  GError *error = NULL;
  ASSERT_LIST (mp_library_store_database_get_songs (STORE, &error),
               "/m/7.mp3,/m/4.mp3,/m/0.mp3,/m/1.mp3,/m/3.mp3,/m/2.mp3,"
               "/m/8.mp3,/m/6.mp3,/m/5.mp3");
  /* alpha/Alpha fold together: track 1 (titles B, c), then track 2; the
   * songs without the key last, by track and title. */
  const char *ordered = "/m/3.mp3,/m/2.mp3,/m/4.mp3,/m/1.mp3,/m/0.mp3,"
                        "/m/7.mp3,/m/6.mp3,/m/5.mp3";
  ASSERT_LIST (
      mp_library_store_database_get_songs_ordered_by_album (STORE, &error),
      ordered);
  ASSERT_LIST (
      mp_library_store_database_get_songs_ordered_by_artist (STORE, &error),
      ordered);
  ASSERT_LIST (
      mp_library_store_database_get_songs_ordered_by_genre (STORE, &error),
      ordered);
  g_assert_no_error (error);

  /* Resources carry exactly the selected columns. */
  GList *list = mp_library_store_database_get_songs_ordered_by_album (STORE,
                                                                      NULL);
  MpMediaResource *first = list->data;
  g_assert_cmpstr (mp_media_resource_get_title (first), ==, "B");
  g_assert_cmpstr (mp_media_resource_get_album (first), ==, "alpha");
  g_assert_cmpstr (mp_media_resource_get_artist (first), ==, "alpha");
  g_assert_cmpstr (mp_media_resource_get_mime (first), ==, "AUDIO/OGG");
  g_assert_cmpint (mp_media_resource_get_length (first), ==, 10);
  g_assert_null (mp_media_resource_get_genre (first));
  g_assert_cmpint (mp_media_resource_get_track (first), ==, -1);
  free_list (list);
}

static void
test_songs_by_key (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_distractors (fx);
  add_row (fx, "/m/1.mp3", "b", "O'Brien", "Rock 'n' Roll", "Drum'n'Bass",
           2, 10, "audio/mpeg");
  add_row (fx, "/m/2.mp3", "a", "O'Brien", "Rock 'n' Roll", "Drum'n'Bass",
           1, 20, "audio/mpeg");
  add_row (fx, "/m/3.mp3", "c", "O'Brien", NULL, NULL, 1, 30, "audio/mpeg");
  add_row (fx, "/m/4.mp3", "d", NULL, "Rock 'n' Roll", "Drum'n'Bass", 3, 40,
           "audio/mpeg");
  add_row (fx, "/m/5.mp3", "e", NULL, NULL, NULL, 1, 50, "audio/mpeg");
  /* A NULL MIME type fails every MIME test, so it shows only where the
   * text tests none. */
  add_row (fx, "/m/6.mp3", "f", "O'Brien", "Rock 'n' Roll", "Drum'n'Bass",
           9, 60, NULL);
  /* A name that merely looks like the NULL text matches nothing else. */
  add_row (fx, "/m/7.mp3", "g", "(NULL)", "(NULL)", "(NULL)", 1, 70,
           "audio/mpeg");
  /* Without isPlaylist NULL the NULL-column texts leave a row out. */
  add_row (fx, "/m/8.mp3", "h", NULL, NULL, NULL, 1, 80, "audio/mpeg");
  run_sql (fx, "UPDATE Metadata SET isPlaylist = 0 WHERE Filename = "
               "'/m/8.mp3'");
  /* Track 4 of the album, last by title: tells the track order from the
   * title order. */
  add_row (fx, "/m/9.mp3", "zz", "O'Brien", "Rock 'n' Roll", "Other", 4, 90,
           "audio/mpeg");

  GError *error = NULL;
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist (
                   STORE, "O'Brien", &error),
               "/m/2.mp3,/m/3.mp3,/m/1.mp3,/m/9.mp3");
  ASSERT_LIST (
      mp_library_store_database_get_songs_by_artist (STORE, NULL, &error),
      "/m/5.mp3,/m/4.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_album (
                   STORE, "Rock 'n' Roll", &error),
               "/m/2.mp3,/m/1.mp3,/m/4.mp3,/m/9.mp3,/m/6.mp3");
  ASSERT_LIST (
      mp_library_store_database_get_songs_by_album (STORE, NULL, &error),
      "/m/3.mp3,/m/5.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_genre (
                   STORE, "Drum'n'Bass", &error),
               "/m/2.mp3,/m/1.mp3,/m/4.mp3,/m/6.mp3");
  ASSERT_LIST (
      mp_library_store_database_get_songs_by_genre (STORE, NULL, &error),
      "/m/3.mp3,/m/5.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist_genre (
                   STORE, "O'Brien", "Drum'n'Bass", &error),
               "/m/2.mp3,/m/1.mp3,/m/6.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist_genre (
                   STORE, "O'Brien", NULL, &error),
               "/m/3.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist_genre (
                   STORE, NULL, "Drum'n'Bass", &error),
               "/m/4.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist_genre (
                   STORE, NULL, NULL, &error),
               "/m/5.mp3");
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist_album (
                   STORE, "O'Brien", "Rock 'n' Roll", &error),
               "/m/2.mp3,/m/1.mp3,/m/9.mp3,/m/6.mp3");
  ASSERT_LIST (mp_library_store_database_get_unknown_album_songs_by_artist (
                   STORE, "O'Brien", &error),
               "/m/3.mp3");
  ASSERT_LIST (mp_library_store_database_get_unknown_album_songs_by_artist (
                   STORE, NULL, &error),
               "/m/4.mp3,/m/5.mp3");
  /* The quote is part of the name, not of the SQL. */
  ASSERT_LIST (mp_library_store_database_get_songs_by_artist (
                   STORE, "O' OR 1=1 OR 'x", &error),
               "");
  g_assert_no_error (error);

  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*(artist != NULL) && (album != NULL)*");
  g_assert_null (mp_library_store_database_get_songs_by_artist_album (
      STORE, "O'Brien", NULL, &error));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*(artist != NULL) && (album != NULL)*");
  g_assert_null (mp_library_store_database_get_songs_by_artist_album (
      STORE, NULL, "Rock 'n' Roll", &error));
  g_test_assert_expected_messages ();
  g_assert_no_error (error);
}

static void
test_videos_and_playlists (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_row (fx, "/v/b.avi", "b", NULL, NULL, NULL, -1, 10, "video/x-msvideo");
  add_row (fx, "/v/a.mp4", "A", NULL, NULL, NULL, -1, 10, "VIDEO/mp4");
  add_row (fx, "/v/gone.avi", "c", NULL, NULL, NULL, -1, 10,
           "video/x-msvideo");
  add_row (fx, "http://radio/1", "Radio", NULL, NULL, NULL, -1, -1,
           "audio/mpeg");
  add_row (fx, "/p/list.wvx", "W", NULL, NULL, NULL, -1, -1,
           "video/x-ms-wvx");
  add_row (fx, "/p/list.m3u", "M", NULL, NULL, NULL, -1, -1,
           "audio/x-mpegurl");
  add_row (fx, "/p/plain.asx", "P", NULL, NULL, NULL, -1, -1,
           "application/x-ms-asx");
  add_row (fx, "/p/flagged.asx", "F", NULL, NULL, NULL, -1, -1,
           "application/x-ms-asx");
  add_song (fx, "/m/song.mp3", NULL, NULL, NULL, 10);
  run_sql (fx, "UPDATE Metadata SET isStream = 1 WHERE Filename = "
               "'http://radio/1';"
               "UPDATE Metadata SET Present = 0 WHERE Filename = "
               "'/v/gone.avi';"
               "UPDATE Metadata SET isPlaylist = 1 WHERE Filename IN "
               "('/p/list.wvx', '/p/flagged.asx')");

  GError *error = NULL;
  ASSERT_LIST (mp_library_store_database_get_videos (STORE, &error),
               "/v/a.mp4,/v/b.avi,http://radio/1");
  ASSERT_LIST (mp_library_store_database_get_user_playlists (STORE, &error),
               "/p/flagged.asx,/p/list.m3u,/p/list.wvx");
  /* No order is promised for the flagged playlists. */
  GList *flagged = mp_library_store_database_get_playlists (STORE, &error);
  g_assert_cmpuint (g_list_length (flagged), ==, 2);
  for (GList *l = flagged; l != NULL; l = l->next)
    g_assert_true (g_str_has_suffix (mp_media_resource_get_uri (l->data),
                                     ".wvx")
                   || g_str_has_suffix (mp_media_resource_get_uri (l->data),
                                        "flagged.asx"));
  free_list (flagged);
  ASSERT_TOTAL (mp_library_store_database_get_videos_length (STORE, &error),
                "3:20");
  g_assert_no_error (error);
}

static gint64
seconds_now (void)
{
  return g_get_real_time () / G_USEC_PER_SEC;
}

static void
test_time_windows (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  static const int offsets[] = { -7200, -3601, -3600, -3599, -10, 0, 60 };
  for (guint i = 0; i < G_N_ELEMENTS (offsets); i++)
    {
      g_autofree gchar *name = g_strdup_printf ("/t/%d.mp3", offsets[i]);
      add_song (fx, name, NULL, NULL, NULL, 10);
    }
  add_song (fx, "/t/never.mp3", NULL, NULL, NULL, 5);
  add_row (fx, "/t/never.avi", NULL, NULL, NULL, NULL, -1, 5,
           "video/x-msvideo");
  add_row (fx, "/t/seen.mpg", NULL, NULL, NULL, NULL, -1, 5, "video/mpeg");

  /* The store reads the clock itself: a run during which the second
   * changed cannot tell the boundaries apart and is repeated. */
  for (int attempt = 0; attempt < 5; attempt++)
    {
      gint64 now = seconds_now ();
      for (guint i = 0; i < G_N_ELEMENTS (offsets); i++)
        run_sql (fx,
                 "UPDATE Metadata SET AccessTime = %lld, AddedTime = %lld "
                 "WHERE Filename = '/t/%d.mp3'",
                 (long long) (now + offsets[i]),
                 (long long) (now + offsets[i]), offsets[i]);
      run_sql (fx, "UPDATE Metadata SET AccessTime = %lld, AddedTime = %lld "
                   "WHERE Filename = '/t/seen.mpg'",
               (long long) now, (long long) now);

      GError *error = NULL;
      gchar *played
          = uris (mp_library_store_database_get_played (STORE, 3600, &error));
      gchar *added
          = uris (mp_library_store_database_get_added (STORE, 3600, &error));
      gchar *future
          = uris (mp_library_store_database_get_played (STORE, 0, &error));
      gchar *played_total = total (
          mp_library_store_database_get_playlist_played_length (STORE, 3600,
                                                                &error));
      gchar *added_total = total (
          mp_library_store_database_get_playlist_added_length (STORE, 3600,
                                                               &error));
      g_assert_no_error (error);
      if (seconds_now () != now)
        {
          g_free (played);
          g_free (added);
          g_free (future);
          g_free (played_total);
          g_free (added_total);
          continue;
        }
      /* Strictly after the threshold, most recent first; the video type
       * of the eight excluded ones stays out. */
      g_assert_cmpstr (played, ==, "/t/60.mp3,/t/0.mp3,/t/-10.mp3,"
                                   "/t/-3599.mp3");
      g_assert_cmpstr (added, ==, played);
      g_assert_cmpstr (future, ==, "/t/60.mp3");
      g_assert_cmpstr (played_total, ==, "4:40");
      g_assert_cmpstr (added_total, ==, "4:40");
      g_free (played);
      g_free (added);
      g_free (future);
      g_free (played_total);
      g_free (added_total);

      ASSERT_LIST (mp_library_store_database_get_unplayed (STORE, &error),
                   "/t/never.mp3");
      ASSERT_TOTAL (mp_library_store_database_get_playlist_unplayed_length (
                        STORE, &error),
                    "1:5");
      /* Periods at the ends of long: everything, and nothing. */
      GList *all
          = mp_library_store_database_get_played (STORE, LONG_MAX, &error);
      g_assert_cmpuint (g_list_length (all), ==, 7);
      free_list (all);
      g_assert_null (
          mp_library_store_database_get_added (STORE, LONG_MIN, &error));
      g_assert_no_error (error);
      return;
    }
  g_test_skip ("the clock kept crossing second boundaries");
}

static void
add_aggregate_rows (TesselFixture *fx)
{
  add_song (fx, "/a/1.mp3", "O'Brien", "Zeta", "Rock", 100);
  add_song (fx, "/a/2.mp3", "O'Brien", "alpha", "Rock", 200);
  add_song (fx, "/a/3.mp3", "O'Brien", NULL, "rock'n'roll", 100);
  add_song (fx, "/a/4.mp3", "O'Brien", NULL, NULL, 200);
  add_song (fx, "/a/5.mp3", "O'Brien", NULL, NULL, -1);
  add_song (fx, "/a/6.mp3", "bach", "Beta", "Classical", 50);
  add_song (fx, "/a/7.mp3", NULL, "Beta", "Classical", -1);
  add_song (fx, "/a/8.mp3", NULL, NULL, "Classical", 30);
  /* isPlaylist 0 rather than NULL: left out by the texts that test for
   * NULL only. */
  add_song (fx, "/a/9.mp3", NULL, NULL, NULL, 1000);
  run_sql (fx, "UPDATE Metadata SET isPlaylist = 0 WHERE Filename = "
               "'/a/9.mp3'");
  add_song (fx, "/x/absent.mp3", "bach", "Beta", "Classical", 7);
  run_sql (fx, "UPDATE Metadata SET Present = 0 WHERE Filename = "
               "'/x/absent.mp3'");
  add_row (fx, "/x/clip.avi", NULL, "bach", "Beta", "Classical", -1, 7,
           "video/x-msvideo");
}

static void
test_aggregate_lists (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_aggregate_rows (fx);
  GError *error = NULL;

  ASSERT_GROUPS (mp_library_store_database_get_genres (STORE, TRUE, &error),
                 mp_media_resource_get_genre,
                 "Classical:3:80,Rock:2:300,rock'n'roll:1:100,-:2:200");
  ASSERT_GROUPS (mp_library_store_database_get_genres (STORE, FALSE, &error),
                 mp_media_resource_get_genre,
                 "Classical:3:80,Rock:2:300,rock'n'roll:1:100");
  ASSERT_GROUPS (mp_library_store_database_get_artists (STORE, TRUE, &error),
                 mp_media_resource_get_artist,
                 "bach:1:50,O'Brien:5:600,-:2:30");
  ASSERT_GROUPS (mp_library_store_database_get_albums (STORE, TRUE, &error),
                 mp_media_resource_get_album,
                 "alpha:1:200,Beta:2:50,Zeta:1:100,-:4:330");

  /* The artist's songs without album make the last entry, which carries
   * the artist; the unknown text has no isPlaylist test here. */
  GList *list = mp_library_store_database_get_albums_by_artist (
      STORE, "O'Brien", TRUE, &error);
  MpMediaResource *last = g_list_last (list)->data;
  g_assert_cmpstr (mp_media_resource_get_artist (last), ==, "O'Brien");
  g_assert_null (mp_media_resource_get_album (last));
  g_assert_cmpstr (mp_media_resource_get_artist (list->data), ==, "O'Brien");
  ASSERT_GROUPS (list, mp_media_resource_get_album,
                 "alpha:1:200,Zeta:1:100,-:3:300");
  ASSERT_GROUPS (mp_library_store_database_get_albums_by_artist (
                     STORE, NULL, TRUE, &error),
                 mp_media_resource_get_album, "Beta:1:-1,-:2:1030");
  ASSERT_GROUPS (mp_library_store_database_get_albums_by_artist (
                     STORE, NULL, FALSE, &error),
                 mp_media_resource_get_album, "Beta:1:-1");
  g_assert_no_error (error);

  /* No song of the artist lacks an album: no unknown entry, a critical.
   * This text tests no MIME type, so the artist's video counts too. */
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*objects_list_length == 1*");
  list = mp_library_store_database_get_albums_by_artist (STORE, "bach", TRUE,
                                                         &error);
  g_test_assert_expected_messages ();
  ASSERT_GROUPS (list, mp_media_resource_get_album, "Beta:2:57");
  g_assert_no_error (error);

  /* The genre texts always give their unknown entry, empty or not. */
  ASSERT_GROUPS (mp_library_store_database_get_artists_by_genre (
                     STORE, "rock'n'roll", TRUE, &error),
                 mp_media_resource_get_artist, "O'Brien:1:100,-:0:-1");
  ASSERT_GROUPS (mp_library_store_database_get_artists_by_genre (
                     STORE, "Classical", TRUE, &error),
                 mp_media_resource_get_artist, "bach:1:50,-:2:30");
  ASSERT_GROUPS (mp_library_store_database_get_artists_by_genre (
                     STORE, NULL, TRUE, &error),
                 mp_media_resource_get_artist, "O'Brien:2:200,-:0:-1");
  ASSERT_GROUPS (mp_library_store_database_get_artists_by_genre (
                     STORE, "Classical", FALSE, &error),
                 mp_media_resource_get_artist, "bach:1:50");
  g_assert_no_error (error);
}

static void
test_totals (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_aggregate_rows (fx);
  GError *error = NULL;
  ASSERT_TOTAL (mp_library_store_database_get_genres_length (STORE, &error),
                "3:480");
  ASSERT_TOTAL (mp_library_store_database_get_artists_length (STORE, &error),
                "2:650");
  ASSERT_TOTAL (mp_library_store_database_get_albums_length (STORE, &error),
                "3:350");
  ASSERT_TOTAL (mp_library_store_database_get_artist_length (
                    STORE, "O'Brien", &error),
                "5:600");
  ASSERT_TOTAL (
      mp_library_store_database_get_artist_length (STORE, NULL, &error),
      "2:30");
  ASSERT_TOTAL (mp_library_store_database_get_genre_length (
                    STORE, "rock'n'roll", &error),
                "1:100");
  ASSERT_TOTAL (
      mp_library_store_database_get_genre_length (STORE, NULL, &error),
      "2:200");
  /* A named album's total tests no MIME type: the video counts. */
  ASSERT_TOTAL (mp_library_store_database_get_album_length (STORE, "Beta",
                                                            &error),
                "3:57");
  ASSERT_TOTAL (
      mp_library_store_database_get_album_length (STORE, NULL, &error),
      "4:330");
  ASSERT_TOTAL (mp_library_store_database_get_songs_length (STORE, &error),
                "8:680");
  ASSERT_TOTAL (mp_library_store_database_get_videos_length (STORE, &error),
                "1:7");
  ASSERT_TOTAL (mp_library_store_database_get_playlist_unplayed_length (
                    STORE, &error),
                "8:680");
  g_assert_no_error (error);

  /* A total carries Count and Length only. */
  MpMediaResource *res
      = mp_library_store_database_get_songs_length (STORE, &error);
  g_assert_null (mp_media_resource_get_uri (res));
  g_assert_null (mp_media_resource_get_title (res));
  g_assert_null (mp_media_resource_get_mime (res));
  mp_media_resource_destroy (res, NULL);
}

static void
test_empty_table (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  GError *error = NULL;
  ASSERT_TOTAL (mp_library_store_database_get_genres_length (STORE, &error),
                "0:-1");
  ASSERT_TOTAL (mp_library_store_database_get_artists_length (STORE, &error),
                "0:-1");
  ASSERT_TOTAL (mp_library_store_database_get_albums_length (STORE, &error),
                "0:-1");
  ASSERT_TOTAL (
      mp_library_store_database_get_artist_length (STORE, "x", &error),
      "0:-1");
  ASSERT_TOTAL (
      mp_library_store_database_get_genre_length (STORE, NULL, &error),
      "0:-1");
  ASSERT_TOTAL (mp_library_store_database_get_songs_length (STORE, &error),
                "0:-1");
  ASSERT_TOTAL (
      mp_library_store_database_get_playlist_played_length (STORE, 60,
                                                            &error),
      "0:-1");
  g_assert_null (mp_library_store_database_get_songs (STORE, &error));
  g_assert_null (
      mp_library_store_database_get_songs_ordered_by_album (STORE, &error));
  ASSERT_GROUPS (mp_library_store_database_get_genres (STORE, TRUE, &error),
                 mp_media_resource_get_genre, "-:0:-1");
  g_assert_null (mp_library_store_database_get_genres (STORE, FALSE, &error));
  g_assert_no_error (error);
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*objects_list_length == 1*");
  g_assert_null (mp_library_store_database_get_albums_by_artist (
      STORE, "x", TRUE, &error));
  g_test_assert_expected_messages ();
  g_assert_no_error (error);
}

/* A small library for finding by words; the absent row would match many
 * of the texts. */
static void
add_find_rows (TesselFixture *fx)
{
  add_row (fx, "/m/01 Harbour Lights.mp3", "Harbour Lights", "Café Tacvba",
           "Ñandú", "Rock", 1, 200, "audio/mpeg");
  add_row (fx, "/m/salt.ogg", "SALT water", "O'Brien", "Deep", "Folk", 2, 100,
           "audio/ogg");
  /* An artist written with a decomposed umlaut, as some file systems do. */
  add_row (fx, "/m/3.flac", NULL, "Bjo\xcc\x88rk", "Post", "Pop", 3, 300,
           "audio/flac");
  add_row (fx, "/v/Salt Lake City.avi", NULL, NULL, NULL, NULL, -1, 60,
           "video/x-msvideo");
  add_row (fx, "/m/gone.mp3", "Harbour Gone", "Café Tacvba", NULL, NULL, 4, 10,
           "audio/mpeg");
  run_sql (fx, "UPDATE Metadata SET Present = 0 WHERE Filename = %Q",
           "/m/gone.mp3");
}

typedef struct
{
  const char *text, *found;
} FindCase;

static const FindCase find_cases[] = {
  /* Accents and case, both ways. */
  { "cafe", "/m/01 Harbour Lights.mp3" },
  { "CAFÉ TACVBA", "/m/01 Harbour Lights.mp3" },
  { "nandu", "/m/01 Harbour Lights.mp3" },
  { "bjork", "/m/3.flac" },
  { "Björk", "/m/3.flac" },
  /* Prefixes of every word, in any order; every word required. */
  { "harb lig", "/m/01 Harbour Lights.mp3" },
  { "lig HARB", "/m/01 Harbour Lights.mp3" },
  { "harb salt", "" },
  { "arbour", "" },
  /* Genre and file name; the title counts above the file name. */
  { "folk", "/m/salt.ogg" },
  { "salt", "/m/salt.ogg,/v/Salt Lake City.avi" },
  { "city", "/v/Salt Lake City.avi" },
  { "o'brien", "/m/salt.ogg" },
  /* The absent row is never found. */
  { "gone", "" },
  /* Hostile texts: none of it is query syntax. */
  { "\"harb", "/m/01 Harbour Lights.mp3" },
  { "harb* -lig", "/m/01 Harbour Lights.mp3" },
  { "harb OR salt", "" },
  { "Title:harb", "" },
  { "NEAR(harb lig)", "" },
  { "'); DROP TABLE Metadata; --", "" },
  { "harb\xff\xfelig", "/m/01 Harbour Lights.mp3" },
  /* No word at all finds nothing, without an error. */
  { "", "" },
  { "   ", "" },
  { "\"", "" },
  { "*:^()-+\"'", "" },
};

static void
test_find_cases (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_find_rows (fx);
  for (guint i = 0; i < G_N_ELEMENTS (find_cases); i++)
    {
      GError *error = NULL;
      GList *list
          = mp_library_store_database_find (STORE, find_cases[i].text, &error);
      g_assert_no_error (error);
      g_autofree gchar *got = uris (list);
      if (g_strcmp0 (got, find_cases[i].found) != 0)
        g_error ("find '%s': '%s', expected '%s'", find_cases[i].text, got,
                 find_cases[i].found);
    }
  GError *error = NULL;
  g_assert_null (mp_library_store_database_find (STORE, NULL, &error));
  g_assert_no_error (error);

  /* A very long text is still one query. */
  GString *many = g_string_new (NULL);
  for (int i = 0; i < 3000; i++)
    g_string_append (many, i % 2 ? "HARB " : "lig \" ");
  ASSERT_LIST (mp_library_store_database_find (STORE, many->str, &error),
               "/m/01 Harbour Lights.mp3");
  g_assert_no_error (error);
  g_string_free (many, TRUE);
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "5");

  /* The resources carry what the uri lookup gives. */
  GList *list = mp_library_store_database_find (STORE, "harb", &error);
  g_assert_cmpuint (g_list_length (list), ==, 1);
  MpMediaResource *res = list->data;
  g_assert_cmpstr (mp_media_resource_get_title (res), ==, "Harbour Lights");
  g_assert_cmpstr (mp_media_resource_get_album (res), ==, "Ñandú");
  g_assert_cmpstr (mp_media_resource_get_genre (res), ==, "Rock");
  g_assert_cmpint (mp_media_resource_get_track (res), ==, 1);
  g_assert_cmpint (mp_media_resource_get_length (res), ==, 200);
  free_list (list);
}

/* Best first: a word in the title above artist, album, genre and file
 * name; equal matches by title. */
static void
test_find_ranking (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_row (fx, "/r/5 rain.mp3", "Five", "E", "E", "E", -1, 1, "audio/mpeg");
  add_row (fx, "/r/4.mp3", "Four", "D", "D", "Rainbeat", -1, 1, "audio/mpeg");
  add_row (fx, "/r/3.mp3", "Three", "C", "Purple Rain", "C", -1, 1,
           "audio/mpeg");
  add_row (fx, "/r/2.mp3", "Two", "Rain Dogs", "B", "B", -1, 1, "audio/mpeg");
  add_row (fx, "/r/1b.mp3", "Rain", "A", "A", "A", -1, 1, "audio/mpeg");
  add_row (fx, "/r/1a.mp3", "RAIN", "Z", "Z", "Z", -1, 1, "audio/mpeg");
  ASSERT_LIST (mp_library_store_database_find (STORE, "rain", NULL),
               "/r/1a.mp3,/r/1b.mp3,/r/2.mp3,/r/3.mp3,/r/4.mp3,/r/5 rain.mp3");
}

static void
assert_connect_error (GError **error)
{
  g_assert_error (*error, g_quark_from_string (CONNECT_ERROR), -1);
  g_assert_cmpstr ((*error)->message, ==, CONNECT_ERROR);
  g_clear_error (error);
}

/* Every query fails (the table is gone): every call gives NULL, and the
 * error is set once; setting it twice would be a fatal GLib warning. */
static void
test_search_failure (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_aggregate_rows (fx);
  tessel_test_sql (fx->db, "DROP TABLE Metadata");
  GError *error = NULL;

#define EXPECT_FAILED(call)                                                   \
  g_assert_null (call);                                                       \
  assert_connect_error (&error)
  EXPECT_FAILED (
      mp_library_store_database_get_media_by_uri (STORE, "/a/1.mp3", &error));
  EXPECT_FAILED (mp_library_store_database_get_songs (STORE, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_ordered_by_album (STORE, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_ordered_by_genre (STORE, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_ordered_by_artist (STORE, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_by_artist (STORE, "a", &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_by_album (STORE, NULL, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_songs_by_genre (STORE, "g", &error));
  EXPECT_FAILED (mp_library_store_database_get_songs_by_artist_genre (
      STORE, "a", NULL, &error));
  EXPECT_FAILED (mp_library_store_database_get_songs_by_artist_album (
      STORE, "a", "b", &error));
  EXPECT_FAILED (mp_library_store_database_get_unknown_album_songs_by_artist (
      STORE, NULL, &error));
  EXPECT_FAILED (mp_library_store_database_get_videos (STORE, &error));
  EXPECT_FAILED (mp_library_store_database_get_playlists (STORE, &error));
  EXPECT_FAILED (mp_library_store_database_get_user_playlists (STORE, &error));
  EXPECT_FAILED (mp_library_store_database_get_unplayed (STORE, &error));
  EXPECT_FAILED (mp_library_store_database_get_played (STORE, 10, &error));
  EXPECT_FAILED (mp_library_store_database_get_added (STORE, 10, &error));
  EXPECT_FAILED (mp_library_store_database_get_genres (STORE, FALSE, &error));
  EXPECT_FAILED (mp_library_store_database_find (STORE, "a", &error));

  /* Two queries, one error; the unknown entry's own critical besides. */
#define EXPECT_FAILED_UNKNOWN(call)                                           \
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,                      \
                         "*objects_list_length == 1*");                       \
  EXPECT_FAILED (call);                                                       \
  g_test_assert_expected_messages ()
  EXPECT_FAILED_UNKNOWN (
      mp_library_store_database_get_genres (STORE, TRUE, &error));
  EXPECT_FAILED_UNKNOWN (
      mp_library_store_database_get_artists (STORE, TRUE, &error));
  EXPECT_FAILED_UNKNOWN (
      mp_library_store_database_get_albums (STORE, TRUE, &error));
  EXPECT_FAILED_UNKNOWN (mp_library_store_database_get_albums_by_artist (
      STORE, "O'Brien", TRUE, &error));
  EXPECT_FAILED_UNKNOWN (mp_library_store_database_get_artists_by_genre (
      STORE, NULL, TRUE, &error));

#define EXPECT_FAILED_TOTAL(call)                                             \
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,                      \
                         "*objects_list_length == 1*");                       \
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,                      \
                         "*objects_list != NULL*");                           \
  EXPECT_FAILED (call);                                                       \
  g_test_assert_expected_messages ()
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_genres_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_artists_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_albums_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_artist_length (STORE, "a", &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_genre_length (STORE, NULL, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_album_length (STORE, "b", &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_songs_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_videos_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_playlist_unplayed_length (STORE, &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_playlist_played_length (STORE, 5,
                                                            &error));
  EXPECT_FAILED_TOTAL (
      mp_library_store_database_get_playlist_added_length (STORE, 5, &error));

  /* Without an error location a failure is only the NULL result; an error
   * already stored by the caller is left as it was. */
  g_assert_null (mp_library_store_database_get_songs (STORE, NULL));
  GError *earlier = g_error_new_literal (G_FILE_ERROR, 7, "earlier");
  g_assert_null (
      mp_library_store_database_get_songs_ordered_by_genre (STORE, &earlier));
  g_assert_error (earlier, G_FILE_ERROR, 7);
  g_clear_error (&earlier);
#undef EXPECT_FAILED_TOTAL
#undef EXPECT_FAILED_UNKNOWN
#undef EXPECT_FAILED
}

/* A value the object search cannot convert (a blob) in a later row fails
 * the whole call; the resources made for the rows before it are released
 * (LeakSanitizer checks that in the sanitizer build). */
static void
test_failure_after_rows (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_song (fx, "/m/1.mp3", "A", "B", "G", 10);
  add_song (fx, "/m/2.mp3", "A", "B", "G", 10);
  add_song (fx, "/m/3.mp3", "A", "B", "G", 10);
  tessel_test_sql (fx->db, "UPDATE Metadata SET Title = X'41ff' WHERE "
                           "Filename = '/m/3.mp3'");
  GError *error = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*should not be reached*");
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*should not be reached*");
  g_assert_null (mp_library_store_database_get_songs (STORE, &error));
  g_test_assert_expected_messages ();
  assert_connect_error (&error);
}

/* A call that runs two queries, with rows that only its second query
 * meets and cannot read: a blob title (no conversion) for the song lists,
 * a sum beyond 64 bits for the unknown entry. */
typedef struct
{
  const char *name;
  GList *(*call) (void);
  const char *unreadable; /* the artist, album, genre of the bad rows */
  gboolean overflow;
} SecondFailure;

#define SECOND_CALL(fn, ...)                                                  \
  static GList *second_##fn (void)                                            \
  {                                                                           \
    GError **error = &second_error;                                           \
    return mp_library_store_database_##fn (STORE, ##__VA_ARGS__, error);      \
  }
static GError *second_error;
SECOND_CALL (get_songs_ordered_by_album)
SECOND_CALL (get_songs_ordered_by_genre)
SECOND_CALL (get_songs_ordered_by_artist)
SECOND_CALL (get_genres, TRUE)
SECOND_CALL (get_artists, TRUE)
SECOND_CALL (get_albums, TRUE)
SECOND_CALL (get_albums_by_artist, "A", TRUE)
SECOND_CALL (get_artists_by_genre, "G", TRUE)
#undef SECOND_CALL

static const SecondFailure second_failures[] = {
  { "ordered-by-album", second_get_songs_ordered_by_album, "'A', NULL, 'G'",
    FALSE },
  { "ordered-by-genre", second_get_songs_ordered_by_genre, "'A', 'B', NULL",
    FALSE },
  { "ordered-by-artist", second_get_songs_ordered_by_artist, "NULL, 'B', 'G'",
    FALSE },
  { "genres-unknown", second_get_genres, "'A', 'B', NULL", TRUE },
  { "artists-unknown", second_get_artists, "NULL, 'B', 'G'", TRUE },
  { "albums-unknown", second_get_albums, "'A', NULL, 'G'", TRUE },
  { "albums-by-artist-unknown", second_get_albums_by_artist, "'A', NULL, 'G'",
    TRUE },
  { "artists-by-genre-unknown", second_get_artists_by_genre, "NULL, 'B', 'G'",
    TRUE },
};

static void
test_second_query_failure (TesselFixture *fx, gconstpointer data)
{
  const SecondFailure *c = data;
  /* What the first query lists: the call would have rows to return. */
  add_song (fx, "/m/ok.mp3", "A", "B", "G", 10);
  for (int i = 0; i < 2; i++)
    run_sql (fx,
             "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, "
             "Length, MIME, Present) VALUES ('/m/bad%d.mp3', %s, %s, %s, "
             "'audio/mpeg', 1)",
             i, c->overflow ? "'t'" : "X'41ff'", c->unreadable,
             c->overflow ? "9223372036854775807" : "10");
  if (c->overflow)
    g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                           "*objects_list_length == 1*");
  else
    {
      g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                             "*should not be reached*");
      g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                             "*should not be reached*");
    }
  GList *rows = c->call ();
  g_test_assert_expected_messages ();
  g_assert_null (rows);
  assert_connect_error (&second_error);
  free_list (rows);
}

/* Another connection holding the database locked: the search gives up
 * after its retries and the error is reported.  Only the rollback journal
 * lets a lock keep readers out, so the database is opened where
 * write-ahead logging cannot work. */
static void
test_locked_database (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_song (fx, "/m/a.mp3", "A", "B", "G", 10);
  g_assert_cmpint (storage_close (), ==, 0);
  tessel_test_sql (fx->db, "PRAGMA journal_mode = DELETE");
  tessel_test_use_shm (FALSE);
  g_assert_cmpint (storage_init (), ==, 1);
  sqlite3 *other = NULL;
  g_assert_cmpint (sqlite3_open (fx->db, &other), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (other, "BEGIN EXCLUSIVE", NULL, NULL, NULL),
                   ==, SQLITE_OK);
  GError *error = NULL;
  g_assert_null (mp_library_store_database_get_songs (STORE, &error));
  assert_connect_error (&error);
  sqlite3_exec (other, "ROLLBACK", NULL, NULL, NULL);
  sqlite3_close (other);

  ASSERT_LIST (mp_library_store_database_get_songs (STORE, &error),
               "/m/a.mp3");
  g_assert_no_error (error);
  tessel_test_use_shm (TRUE);
}

/* Albums grouped by album artist and title ignoring case and accents.
 * Rows are (Filename, Title, Artist, Album, AlbumArtist, Compilation,
 * Disc, Track, Length, Year, Present); a case without tag columns leaves
 * out AlbumArtist, Compilation and Disc, as a table no extractor wrote
 * them to. */
typedef struct
{
  const char *name;
  gboolean tag_columns;
  const char *rows;
  const char *albums; /* "album artist|album|count|length|year;..." */
  const char *album_artist, *album; /* the album whose songs are asked */
  const char *songs;                /* their file names */
} AlbumCase;

static const AlbumCase album_cases[] = {
  { "compilation-album-artist-tag", TRUE,
    "('/c/1', 'a', 'Ann', 'Summer', 'DJ Mix', 1, NULL, 1, 10, 2001, 1),"
    "('/c/2', 'b', 'Bob', 'Summer', 'DJ Mix', 1, NULL, 2, 20, 2001, 1)",
    "DJ Mix|Summer|2|30|2001", "dj mix", "SUMMER", "/c/1,/c/2" },
  { "compilation-flag-only", TRUE,
    "('/c/1', 'a', 'Ann', 'Hits', NULL, 1, NULL, 1, 10, NULL, 1),"
    "('/c/2', 'b', 'Bob', 'Hits', '', 1, NULL, 2, 20, NULL, 1),"
    "('/c/3', 'c', 'Cy', 'Hits', NULL, 0, NULL, 3, 30, NULL, 1)",
    "Cy|Hits|1|30|-;Various Artists|Hits|2|30|-", "Various Artists", "Hits",
    "/c/1,/c/2" },
  { "one-title-two-artists", TRUE,
    "('/g/1', 'a', 'Bee', 'Greatest Hits', NULL, NULL, NULL, 1, 10, NULL, 1),"
    "('/g/2', 'b', 'Ant', 'Greatest Hits', NULL, NULL, NULL, 1, 20, NULL, 1)",
    "Ant|Greatest Hits|1|20|-;Bee|Greatest Hits|1|10|-", "Bee",
    "Greatest Hits", "/g/1" },
  { "case-and-accents", TRUE,
    "('/z/1', 'a', 'Zoë Martin', 'Big Noise', NULL, NULL, NULL, 1, 10, 2001, 1),"
    "('/z/2', 'b', 'zoe martin', 'big noise', NULL, NULL, NULL, 2, 10, 2002, 1),"
    "('/z/3', 'c', 'Zoë Martin', 'Big Noise', NULL, NULL, NULL, 3, NULL, 2002, 1),"
    "('/e/1', 'd', 'Guest', 'Café Society', 'Élodie', NULL, NULL, 1, 5, NULL, 1),"
    "('/e/2', 'e', 'Guest', 'CAFE SOCIETY', 'elodie', NULL, NULL, 2, 5, NULL, 1)",
    "elodie|CAFE SOCIETY|2|10|-;Zoë Martin|Big Noise|3|20|2002", "ZOE MARTIN",
    "big nöise", "/z/1,/z/2,/z/3" },
  { "disc-then-track-then-title", TRUE,
    "('/d/1', 'x', 'A', 'Set', NULL, NULL, 2, 1, 1, NULL, 1),"
    "('/d/2', 'y', 'A', 'Set', NULL, NULL, 1, 2, 1, NULL, 1),"
    "('/d/3', 'Éa', 'A', 'Set', NULL, NULL, 1, 1, 1, NULL, 1),"
    "('/d/4', 'f', 'A', 'Set', NULL, NULL, 1, 1, 1, NULL, 1),"
    "('/d/5', 'z', 'A', 'Set', NULL, NULL, NULL, 9, 1, NULL, 1)",
    "A|Set|5|5|-", "A", "Set", "/d/5,/d/3,/d/4,/d/2,/d/1" },
  { "songs-without-album-left-out", TRUE,
    "('/n/1', 'a', 'A', NULL, NULL, NULL, NULL, 1, 10, NULL, 1),"
    "('/n/2', 'b', 'A', '', NULL, NULL, NULL, 1, 10, NULL, 1),"
    "('/n/3', 'c', NULL, 'Lost', NULL, NULL, NULL, 1, 10, NULL, 1)",
    "-|Lost|1|10|-", NULL, "Lost", "/n/3" },
  { "absent-rows-left-out", TRUE,
    "('/p/1', 'a', 'A', 'Here', NULL, NULL, NULL, 1, 10, NULL, 1),"
    "('/p/2', 'b', 'A', 'Here', NULL, NULL, NULL, 2, 10, NULL, 0),"
    "('/p/3', 'c', 'A', 'Gone', NULL, NULL, NULL, 1, 10, NULL, 0)",
    "A|Here|1|10|-", "A", "Here", "/p/1" },
  { "table-without-tag-columns", FALSE,
    "('/t/1', 'a', 'Ann', 'Old', NULL, 1, NULL, 1, 10, NULL, 1),"
    "('/t/2', 'b', 'ann', 'old', NULL, 2, NULL, 1, 10, NULL, 1)",
    "Ann|Old|2|20|-", "ANN", "OLD", "/t/1,/t/2" },
};

static void
add_album_rows (TesselFixture *fx, const AlbumCase *c)
{
  if (c->tag_columns)
    {
      tessel_test_sql (fx->db, "ALTER TABLE Metadata ADD COLUMN AlbumArtist "
                               "text; ALTER TABLE Metadata ADD COLUMN "
                               "Compilation int(12); ALTER TABLE Metadata "
                               "ADD COLUMN Disc int(12)");
      run_sql (fx,
               "INSERT INTO Metadata (Filename, Title, Artist, Album, "
               "AlbumArtist, Compilation, Disc, Track, Length, Year, Present) "
               "VALUES %s",
               c->rows);
    }
  else
    /* The same tuples with the tag columns' places taken by unused ones. */
    run_sql (fx,
             "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, "
             "Bitrate, Filesize, Track, Length, Year, Present) VALUES %s",
             c->rows);
  run_sql (fx, "UPDATE Metadata SET MIME = 'audio/mpeg'");
}

static void
test_album_grouping (TesselFixture *fx, gconstpointer data)
{
  const AlbumCase *c = data;
  add_album_rows (fx, c);
  GError *error = NULL;
  GList *albums = mp_library_store_database_get_album_list (STORE, &error);
  g_assert_no_error (error);
  GString *got = g_string_new (NULL);
  for (GList *l = albums; l != NULL; l = l->next)
    {
      const gchar *artist = mp_media_resource_get_album_artist (l->data);
      const gchar *year = mp_media_resource_get_year (l->data);
      g_string_append_printf (got, "%s%s|%s|%d|%d|%s", l == albums ? "" : ";",
                              artist != NULL ? artist : "-",
                              mp_media_resource_get_album (l->data),
                              mp_media_resource_get_count (l->data),
                              mp_media_resource_get_length (l->data),
                              year != NULL ? year : "-");
    }
  free_list (albums);
  g_assert_cmpstr (got->str, ==, c->albums);
  g_string_free (got, TRUE);

  GList *songs = mp_library_store_database_get_album_songs (
      STORE, c->album_artist, c->album, &error);
  g_assert_no_error (error);
  ASSERT_LIST (songs, c->songs);
}

/* Each song of an album with every property its row has. */
static void
test_album_song_properties (TesselFixture *fx, gconstpointer data)
{
  add_album_rows (fx, data);
  run_sql (fx, "UPDATE Metadata SET Genre = 'Pop', Bitrate = 128000");
  GList *songs = mp_library_store_database_get_album_songs (
      STORE, "Various Artists", "HITS", NULL);
  g_assert_cmpuint (g_list_length (songs), ==, 2);
  MpMediaResource *res = songs->data;
  g_assert_cmpstr (mp_media_resource_get_uri (res), ==, "/c/1");
  g_assert_cmpstr (mp_media_resource_get_title (res), ==, "a");
  g_assert_cmpstr (mp_media_resource_get_artist (res), ==, "Ann");
  g_assert_cmpstr (mp_media_resource_get_album (res), ==, "Hits");
  g_assert_cmpstr (mp_media_resource_get_album_artist (res), ==,
                   "Various Artists");
  g_assert_cmpstr (mp_media_resource_get_genre (res), ==, "Pop");
  g_assert_cmpint (mp_media_resource_get_track (res), ==, 1);
  g_assert_cmpint (mp_media_resource_get_disc (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_length (res), ==, 10);
  g_assert_cmpint (mp_media_resource_get_bitrate (res), ==, 128000);
  g_assert_cmpstr (mp_media_resource_get_mime (res), ==, "audio/mpeg");
  free_list (songs);
}

static void
test_artist_list (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_song (fx, "/1", "The Band", "x", NULL, 10);
  add_song (fx, "/2", "the Band", "y", NULL, 20);
  add_song (fx, "/3", "the Band", NULL, NULL, -1);
  add_song (fx, "/4", "Zoë", NULL, NULL, 5);
  add_song (fx, "/5", "Élodie", NULL, NULL, 1);
  add_song (fx, "/6", "elodie", NULL, NULL, 2);
  add_song (fx, "/7", NULL, NULL, NULL, 5);
  add_song (fx, "/8", "Gone", NULL, NULL, 5);
  add_row (fx, "/9", NULL, "Clip", NULL, NULL, -1, 5, "video/mpeg");
  run_sql (fx, "UPDATE Metadata SET Present = 0 WHERE Filename = '/8'");
  /* A tie goes to the spelling first in byte order. */
  ASSERT_GROUPS (mp_library_store_database_get_artist_list (STORE, NULL),
                 mp_media_resource_get_artist,
                 "elodie:2:3,the Band:3:30,Zoë:1:5");
}

/* A table the queries cannot run on: NULL and the store's error. */
static void
test_grouped_failure (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db, "DROP TABLE Metadata");
  GError *error = NULL;
#define EXPECT_FAILED(call)                                                   \
  g_assert_null (call);                                                       \
  assert_connect_error (&error)
  EXPECT_FAILED (mp_library_store_database_get_album_list (STORE, &error));
  EXPECT_FAILED (mp_library_store_database_get_artist_list (STORE, &error));
  EXPECT_FAILED (
      mp_library_store_database_get_album_songs (STORE, "a", "b", &error));
  EXPECT_FAILED (
      mp_library_store_database_get_album_songs (STORE, NULL, "b", &error));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*album != NULL*");
  g_assert_null (
      mp_library_store_database_get_album_songs (STORE, "a", NULL, &error));
  g_test_assert_expected_messages ();
  g_assert_null (error);
#undef EXPECT_FAILED
}

/* The columns call gives the list call's rows, with the values the
 * resources hold where a resource holds them as they are; a blob, which
 * no resource takes, and a query that fails fail both. */
static void
test_song_columns (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  add_distractors (fx);
  add_row (fx, "/m/2.mp3", "b", "Art", "Alb", "Gen", 1, 90, "audio/mpeg");
  add_row (fx, "/m/1.mp3", "a", NULL, "", NULL, -1, -1, "audio/ogg");
  add_row (fx, "/m/it's.mp3", "B", "x|y", "Alb", NULL, 2, 0, "audio/mpeg");
  GError *error = NULL;
  g_autofree gchar *columns = song_columns (&error);
  g_assert_no_error (error);
  g_assert_cmpstr (columns, ==,
                   "/m/1.mp3|a|-|audio/ogg||-\n"
                   "/m/2.mp3|b|90|audio/mpeg|Alb|Art\n"
                   "/m/it's.mp3|B|0|audio/mpeg|Alb|x|y\n");
  g_autofree gchar *resources = song_resources (&error);
  g_assert_no_error (error);
  /* An empty text is none in a resource. */
  g_assert_cmpstr (resources, ==,
                   "/m/1.mp3|a|-|audio/ogg|-|-\n"
                   "/m/2.mp3|b|90|audio/mpeg|Alb|Art\n"
                   "/m/it's.mp3|B|0|audio/mpeg|Alb|x|y\n");

  run_sql (fx, "UPDATE Metadata SET Title = X'41FF' WHERE Filename = "
               "'/m/2.mp3'");
  g_assert_null (song_columns (&error));
  assert_connect_error (&error);
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*should not be reached*");
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*should not be reached*");
  g_assert_null (mp_library_store_database_get_songs (STORE, &error));
  g_test_assert_expected_messages ();
  assert_connect_error (&error);

  tessel_test_sql (fx->db, "DROP TABLE Metadata");
  g_assert_null (song_columns (&error));
  assert_connect_error (&error);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/store/database/type-and-instance",
                   test_type_and_instance);
#define ADD(path, func)                                                       \
  g_test_add (path, TesselFixture, NULL, open_store, func,                    \
              tessel_fixture_teardown)
  ADD ("/store/database/wrong-store-refused", test_wrong_store);
  ADD ("/store/database/uri/lookup", test_uri_lookup);
  ADD ("/store/database/uri/duplicate-rows-dropped",
       test_uri_lookup_duplicate);
  ADD ("/store/database/songs/order-and-unkeyed-last", test_songs_order);
  ADD ("/store/database/songs/by-key-quotes-and-null", test_songs_by_key);
  for (gsize i = 0; i < G_N_ELEMENTS (distinct_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/store/database/songs/rows-alike-once/%s", distinct_cases[i].name);
      g_test_add (path, TesselFixture, &distinct_cases[i], open_store,
                  test_distinct_rows, tessel_fixture_teardown);
    }
  ADD ("/store/database/songs/columns-as-the-list", test_song_columns);
  ADD ("/store/database/videos-and-playlists", test_videos_and_playlists);
  ADD ("/store/database/time-windows-boundaries", test_time_windows);
  ADD ("/store/database/aggregates/lists-and-unknown-entry",
       test_aggregate_lists);
  ADD ("/store/database/aggregates/totals", test_totals);
  ADD ("/store/database/aggregates/empty-table", test_empty_table);
  ADD ("/store/database/failure/error-set-once", test_search_failure);
  ADD ("/store/database/failure/rows-before-failure-released",
       test_failure_after_rows);
  ADD ("/store/database/failure/locked-database", test_locked_database);
  for (gsize i = 0; i < G_N_ELEMENTS (second_failures); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/store/database/failure/second-query/%s", second_failures[i].name);
      g_test_add (path, TesselFixture, &second_failures[i], open_store,
                  test_second_query_failure, tessel_fixture_teardown);
    }
  ADD ("/store/database/find/accents-case-prefixes-hostile", test_find_cases);
  ADD ("/store/database/find/ranking", test_find_ranking);
  for (gsize i = 0; i < G_N_ELEMENTS (album_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/store/database/albums/grouping/%s", album_cases[i].name);
      g_test_add (path, TesselFixture, &album_cases[i], open_store,
                  test_album_grouping, tessel_fixture_teardown);
    }
  g_test_add ("/store/database/albums/song-properties", TesselFixture,
              &album_cases[1], open_store, test_album_song_properties,
              tessel_fixture_teardown);
  ADD ("/store/database/artists/case-accents-present-audio",
       test_artist_list);
  ADD ("/store/database/albums/failure-error-set", test_grouped_failure);
#undef ADD
  return g_test_run ();
}
