/* Storing metadata lists as rows, presence flags, and the whole-row
 * services. */
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tessel-test.h"

static gint
query_int (TesselFixture *fx, const gchar *sql)
{
  g_autofree gchar *n = tessel_test_sql_text (fx->db, sql);
  g_assert_nonnull (n);
  return atoi (n);
}

static gint
row_count (TesselFixture *fx)
{
  return query_int (fx, "SELECT count(*) FROM Metadata");
}

/* The column of the row of filename as text, "NULL" for a NULL value, with
 * its SQLite type in front ("integer:5", "text:a", "real:0.5"). */
static gchar *
cell (TesselFixture *fx, const gchar *filename, const gchar *column)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT typeof(%s) || ':' || coalesce(%s, 'NULL') FROM Metadata "
      "WHERE Filename IS '%s'",
      column, column, filename);
  return tessel_test_sql_text (fx->db, sql);
}

#define assert_cell(fx, name, column, expected)                               \
  G_STMT_START                                                                \
  {                                                                           \
    gchar *got_ = cell (fx, name, column);                                    \
    g_assert_cmpstr (got_, ==, expected);                                     \
    g_free (got_);                                                            \
  }                                                                           \
  G_STMT_END

/* A text node whose value is set as it stands (the list builder would
 * change double quotes). */
static MetaItem *
raw_text_item (const gchar *key, const gchar *value, MetaItem *list)
{
  list = meta_list_append_text (key, "x", list);
  g_strlcpy (list->value, value, sizeof list->value);
  return list;
}

static void
open_db (void)
{
  g_assert_cmpint (storage_init (), ==, 1);
}

static void
test_store_insert_then_update (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  const gchar *name = "/media/mmc1/it's \"a\" 100%.mp3";
  gint64 before = g_get_real_time () / G_USEC_PER_SEC;

  MetaItem *list = raw_text_item ("Filename", name, NULL);
  list = raw_text_item ("Album", "say \"hi\" 50%d 'x'", list);
  list = meta_list_append_text ("Title", "Title", list);
  list = meta_list_append_int ("Track", -1, list);
  list = meta_list_append_float ("PixelAspectRatio", 0.5f, list);
  g_assert_cmpint (storage_store (list, name, 1), ==, 1);
  meta_free_list (&list);

  g_assert_cmpint (row_count (fx), ==, 1);
  g_autofree gchar *sql_name = g_strdup ("/media/mmc1/it''s \"a\" 100%.mp3");
  assert_cell (fx, sql_name, "Album", "text:say \"hi\" 50%d 'x'");
  assert_cell (fx, sql_name, "Title", "text:Title");
  assert_cell (fx, sql_name, "Track", "integer:-1");
  assert_cell (fx, sql_name, "PixelAspectRatio", "real:0.5");
  assert_cell (fx, sql_name, "Present", "integer:1");
  assert_cell (fx, sql_name, "Genre", "null:NULL");
  g_autofree gchar *added_sql = g_strdup_printf (
      "SELECT AddedTime FROM Metadata WHERE Filename = '%s'", sql_name);
  gint added = query_int (fx, added_sql);
  g_assert_cmpint (added, >=, before);
  g_assert_cmpint (added, <=, g_get_real_time () / G_USEC_PER_SEC);

  /* The second store of the name overwrites the listed columns only,
   * sets Present again and leaves AddedTime alone. */
  tessel_test_sql (fx->db, "UPDATE Metadata SET Present = 0, AddedTime = 7");
  list = meta_list_append_text ("Title", "Other", NULL);
  list = meta_list_append_int ("Bitrate", 128000, list);
  g_assert_cmpint (storage_store (list, name, 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 1);
  assert_cell (fx, sql_name, "Title", "text:Other");
  assert_cell (fx, sql_name, "Bitrate", "integer:128000");
  assert_cell (fx, sql_name, "Album", "text:say \"hi\" 50%d 'x'");
  assert_cell (fx, sql_name, "Present", "integer:1");
  assert_cell (fx, sql_name, "AddedTime", "integer:7");

  /* A zero flag stores the row as absent. */
  g_assert_cmpint (storage_store (NULL, name, 0), ==, 1);
  assert_cell (fx, sql_name, "Present", "integer:0");
  assert_cell (fx, sql_name, "Title", "text:Other");
}

static void
test_store_empty_list (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  /* A new name with no Filename listed would be a row without a name,
   * which nothing finds again: nothing is stored, 0, however often. */
  MetaItem *nameless = meta_list_append_text ("Title", "t", NULL);
  for (int i = 0; i < 2; i++)
    {
      g_assert_cmpint (storage_store (NULL, "/new.mp3", 1), ==, 0);
      g_assert_cmpint (storage_store (nameless, "/new.mp3", 1), ==, 0);
      g_assert_cmpint (storage_store (nameless, NULL, 1), ==, 0);
    }
  meta_free_list (&nameless);
  g_assert_cmpint (row_count (fx), ==, 0);

  /* An existing name: only Present changes. */
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title, Present) "
                           "VALUES ('/old.mp3', 't', 0)");
  g_assert_cmpint (storage_store (NULL, "/old.mp3", 1), ==, 1);
  assert_cell (fx, "/old.mp3", "Present", "integer:1");
  assert_cell (fx, "/old.mp3", "Title", "text:t");
  assert_cell (fx, "/old.mp3", "AddedTime", "null:NULL");
  g_assert_cmpint (row_count (fx), ==, 1);
}

static void
test_store_other_card_renames (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Title, Present, "
                   "AddedTime) VALUES ('/media/mmc1/x.mp3', 'old', 0, 12345),"
                   " ('/media/mmc2/y.mp3', 'y', 0, 99)");

  /* The card now shows up as mmc2: the row is updated, renamed by the
   * list's Filename, and keeps when it was first added. */
  MetaItem *list = meta_list_append_text ("Filename", "/media/mmc2/x.mp3",
                                          NULL);
  list = meta_list_append_text ("Title", "new", list);
  g_assert_cmpint (storage_store (list, "/media/mmc2/x.mp3", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 2);
  assert_cell (fx, "/media/mmc1/x.mp3", "Title", NULL);
  assert_cell (fx, "/media/mmc2/x.mp3", "Title", "text:new");
  assert_cell (fx, "/media/mmc2/x.mp3", "AddedTime", "integer:12345");
  assert_cell (fx, "/media/mmc2/x.mp3", "Present", "integer:1");

  /* Without a Filename in the list the row keeps its old name. */
  list = meta_list_append_text ("Title", "y2", NULL);
  g_assert_cmpint (storage_store (list, "/media/mmc1/y.mp3", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 2);
  assert_cell (fx, "/media/mmc2/y.mp3", "Title", "text:y2");
  assert_cell (fx, "/media/mmc2/y.mp3", "AddedTime", "integer:99");
}

static gboolean
store_titled (const gchar *name, const gchar *title)
{
  MetaItem *list = meta_list_append_text ("Filename", name, NULL);
  list = meta_list_append_text ("Title", title, list);
  int stored = storage_store (list, name, 1);
  meta_free_list (&list);
  return stored == 1;
}

/* Two files that both exist are two rows, even when their names differ
 * only in the card; a name that only looks like a card's is never
 * swapped. */
static void
test_store_two_files_two_rows (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  g_autofree gchar *card1 = g_build_filename (fx->dir, "mmc1", NULL);
  g_autofree gchar *card2 = g_build_filename (fx->dir, "mmc2", NULL);
  g_assert_cmpint (g_mkdir (card1, 0700), ==, 0);
  g_assert_cmpint (g_mkdir (card2, 0700), ==, 0);
  g_autofree gchar *one = tessel_fixture_write (fx, "mmc1/x.mp3", "1");
  g_autofree gchar *two = tessel_fixture_write (fx, "mmc2/x.mp3", "2");

  g_assert_true (store_titled (one, "one"));
  g_assert_true (store_titled (two, "two"));
  g_assert_true (store_titled (two, "two again"));
  g_assert_cmpint (row_count (fx), ==, 2);
  assert_cell (fx, one, "Title", "text:one");
  assert_cell (fx, two, "Title", "text:two again");

  /* Once the first file is gone, its row is the card's row again. */
  g_assert_cmpint (g_unlink (one), ==, 0);
  tessel_test_sql (fx->db, "DELETE FROM Metadata WHERE Title LIKE 'two%'");
  g_assert_true (store_titled (two, "moved"));
  g_assert_cmpint (row_count (fx), ==, 1);
  assert_cell (fx, two, "Title", "text:moved");

  const gchar *lookalikes[][2] = {
    { "/home/u/mmc1-backup/song.mp3", "/home/u/mmc2-backup/song.mp3" },
    { "http://radio.example/mmc1stream", "http://radio.example/mmc2stream" },
    { "http://radio.example/mmc1/s", "http://radio.example/mmc2/s" },
    { "mmc1/relative.mp3", "mmc2/relative.mp3" },
    { "/media/mmc10/a.mp3", "/media/mmc20/a.mp3" },
  };
  for (guint i = 0; i < G_N_ELEMENTS (lookalikes); i++)
    {
      g_assert_true (store_titled (lookalikes[i][0], "first"));
      g_assert_true (store_titled (lookalikes[i][1], "second"));
      assert_cell (fx, lookalikes[i][0], "Title", "text:first");
      assert_cell (fx, lookalikes[i][1], "Title", "text:second");
    }
  g_assert_cmpint (row_count (fx), ==, 1 + 2 * G_N_ELEMENTS (lookalikes));
}

#define RACE_FILES 300

/* Stores the race's files under one card's names, starting when go_fd
 * gets its byte.  Exits with the number of stores that failed. */
static G_GNUC_NORETURN void
race_child (TesselFixture *fx, int go_fd, int card)
{
  char go;
  if (read (go_fd, &go, 1) != 1 || storage_init () != 1)
    _exit (100);
  int failed = 0;
  for (int i = 0; i < RACE_FILES; i++)
    {
      g_autofree gchar *name
          = g_strdup_printf ("%s/mmc%d/%03d.mp3", fx->dir, card, i);
      if (!store_titled (name, "raced"))
        failed++;
    }
  storage_close ();
  _exit (failed);
}

/* Two processes store the same card's files under its two names at once
 * (no file exists under either): every file ends up as exactly one row. */
static void
test_store_two_processes_race (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  g_assert_cmpint (storage_close (), ==, 0);
  int go[2];
  g_assert_cmpint (pipe (go), ==, 0);
  pid_t children[2];
  for (int c = 0; c < 2; c++)
    {
      children[c] = fork ();
      g_assert_cmpint (children[c], >=, 0);
      if (children[c] == 0)
        race_child (fx, go[0], c + 1);
    }
  g_assert_cmpint (write (go[1], "gg", 2), ==, 2);
  close (go[0]);
  close (go[1]);
  for (int c = 0; c < 2; c++)
    {
      int status = -1;
      g_assert_cmpint (waitpid (children[c], &status, 0), ==, children[c]);
      g_assert_true (WIFEXITED (status));
      g_assert_cmpint (WEXITSTATUS (status), ==, 0);
    }
  g_assert_cmpint (row_count (fx), ==, RACE_FILES);
  g_assert_cmpint (query_int (fx, "SELECT count(DISTINCT substr(Filename, "
                                  "-7)) FROM Metadata"),
                   ==, RACE_FILES);
}

static void
seed_trim_rows (TesselFixture *fx)
{
  tessel_test_sql (fx->db,
                   "DELETE FROM Metadata;"
                   "INSERT INTO Metadata (Filename, Present, UPnP) VALUES "
                   "('/absent-null', 0, NULL), ('/absent-zero', 0, 0), "
                   "('/present-zero', 1, 0), ('/present-null', 1, NULL), "
                   "('/absent-upnp', 0, 1), ('/present-upnp', 1, 1)");
}

static void
test_store_trim_boundary (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  config.max_storage_limit = 6;

  /* Six rows and a limit of six: the insertion trims nothing. */
  seed_trim_rows (fx);
  MetaItem *list = meta_list_append_text ("Filename", "/a.mp3", NULL);
  g_assert_cmpint (storage_store (list, "/a.mp3", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 7);

  /* Seven rows: the next insertion first removes every absent row without
   * UPnP and every UPnP = 0 row, then goes ahead. */
  list = meta_list_append_text ("Filename", "/b.mp3", NULL);
  g_assert_cmpint (storage_store (list, "/b.mp3", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 5);
  g_assert_cmpint (
      query_int (fx, "SELECT count(*) FROM Metadata WHERE Filename IN "
                     "('/absent-null', '/absent-zero', '/present-zero')"),
      ==, 0);

  /* The count the trim goes by follows this connection's own changes:
   * insertions, and a row marked absent through the key writer. */
  config.max_storage_limit = 8;
  const gchar *more[] = { "/c.mp3", "/d.mp3", "/e.mp3", "/f.mp3", "/g.mp3" };
  for (guint i = 0; i < G_N_ELEMENTS (more); i++)
    {
      if (i == 3)
        {
          g_assert_cmpint (storage_clear_present ("/c.mp3"), ==, 1);
          /* Eight rows, one trimmable: still not above the limit. */
          g_assert_cmpint (row_count (fx), ==, 8);
        }
      list = meta_list_append_text ("Filename", more[i], NULL);
      g_assert_cmpint (storage_store (list, more[i], 1), ==, 1);
      meta_free_list (&list);
    }
  /* /f.mp3 made nine rows; storing /g.mp3 removed /c.mp3 first. */
  g_assert_cmpint (row_count (fx), ==, 9);
  g_assert_cmpint (storage_file_exists ("/c.mp3", 0, NULL), ==, 0);
  g_assert_cmpint (storage_file_exists ("/g.mp3", 0, NULL), ==, 1);

  /* An update never trims. */
  seed_trim_rows (fx);
  config.max_storage_limit = 0;
  list = meta_list_append_text ("Title", "t", NULL);
  g_assert_cmpint (storage_store (list, "/absent-null", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (row_count (fx), ==, 6);
}

static void
test_store_refusals (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title) VALUES "
                           "('/k.mp3', 'kept')");
  static const gchar *const bad_keys[]
      = { "Title = 'x' WHERE 1; --", "Title,Album", "1Title", "Ti tle", "",
          "Titlé" };
  for (gsize i = 0; i < G_N_ELEMENTS (bad_keys); i++)
    {
      MetaItem *list = meta_list_append_text ("Title", "changed", NULL);
      list = meta_list_append_text (bad_keys[i], "v", list);
      g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 0);
      g_assert_cmpint (storage_store (list, "/new.mp3", 1), ==, 0);
      meta_free_list (&list);
    }
  g_assert_cmpint (row_count (fx), ==, 1);
  assert_cell (fx, "/k.mp3", "Title", "text:kept");

  /* A key that is no column fails the whole record. */
  MetaItem *list = meta_list_append_text ("Title", "changed", NULL);
  list = meta_list_append_int ("NoSuchColumn", 1, list);
  g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 0);
  meta_free_list (&list);
  assert_cell (fx, "/k.mp3", "Title", "text:kept");

  /* Values without an SQL literal: a NaN float, an unknown type tag. */
  list = meta_list_append_text ("Title", "changed", NULL);
  list = meta_list_append_float ("PixelAspectRatio", NAN, list);
  g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 0);
  list->type = (MetaType) 9;
  g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 0);
  meta_free_list (&list);
  assert_cell (fx, "/k.mp3", "Title", "text:kept");

  /* Statements over 2047 bytes do not run: the row stays as it was. */
  static const gchar *const text_keys[]
      = { "Title", "Album", "Year", "Publisher", "Artist",
          "Genre", "MIME", "Resolution", "Codec" };
  list = NULL;
  for (gsize i = 0; i < G_N_ELEMENTS (text_keys); i++)
    list = meta_list_append_text (text_keys[i], "", list);
  for (MetaItem *item = list; item != NULL; item = item->next)
    {
      memset (item->value, 'a', 250);
      item->value[250] = '\0';
    }
  g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 0);
  g_assert_cmpint (storage_store (list, "/new.mp3", 1), ==, 0);
  meta_free_list (&list);
  assert_cell (fx, "/k.mp3", "Title", "text:kept");
  g_assert_cmpint (row_count (fx), ==, 1);

  /* A text value area without a terminator is read as 255 bytes. */
  list = meta_list_append_text ("Title", "", NULL);
  memset (list->value, 'b', sizeof list->value);
  g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, 1);
  meta_free_list (&list);
  g_assert_cmpint (
      query_int (fx, "SELECT length(Title) FROM Metadata WHERE Filename = "
                     "'/k.mp3'"),
      ==, 255);
}

static void
test_store_repeated_key (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  /* The plug-in may list a key twice; insertion and update keep the same
   * value, the one added last.  Present always follows the flag. */
  MetaItem *list = meta_list_append_text ("Filename", "/c.mp3", NULL);
  list = meta_list_append_text ("Codec", "first", list);
  list = meta_list_append_text ("codec", "second", list);
  list = meta_list_append_int ("Present", 0, list);
  g_assert_cmpint (storage_store (list, "/c.mp3", 1), ==, 1);
  assert_cell (fx, "/c.mp3", "Codec", "text:second");
  assert_cell (fx, "/c.mp3", "Present", "integer:1");
  tessel_test_sql (fx->db, "UPDATE Metadata SET Codec = 'x'");
  g_assert_cmpint (storage_store (list, "/c.mp3", 1), ==, 1);
  meta_free_list (&list);
  assert_cell (fx, "/c.mp3", "Codec", "text:second");
  assert_cell (fx, "/c.mp3", "Present", "integer:1");
  g_assert_cmpint (row_count (fx), ==, 1);
}

static void
test_presence (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Present) VALUES "
                           "('/p.mp3', 1), ('Present', 1)");
  g_assert_cmpint (storage_clear_present ("/p.mp3"), ==, 1);
  assert_cell (fx, "/p.mp3", "Present", "integer:0");
  assert_cell (fx, "Present", "Present", "integer:1");
  g_assert_cmpint (storage_set_present ("/p.mp3"), ==, 1);
  assert_cell (fx, "/p.mp3", "Present", "integer:1");
  g_assert_cmpint (storage_clear_present ("Present"), ==, 1);
  assert_cell (fx, "Present", "Present", "integer:0");

  /* Missing rows are not created; the other card is not tried. */
  g_assert_cmpint (storage_set_present ("/missing.mp3"), ==, 0);
  g_assert_cmpint (storage_clear_present ("/missing.mp3"), ==, 0);
  g_assert_cmpint (storage_set_present (NULL), ==, 0);
  g_assert_cmpint (storage_clear_present (NULL), ==, 0);
  g_assert_cmpint (row_count (fx), ==, 2);
}

static void
test_path_clear_present_like_prefix (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Present) VALUES "
                   "('/media/mmc1/a.mp3', 1), ('/media/mmc10/b.mp3', 1), "
                   "('/MEDIA/MMC1/c.mp3', 1), ('/media/mmc2/d.mp3', 1), "
                   "('/x/media/mmc1/e.mp3', 1), ('/it''s/f.mp3', 1)");
  g_assert_cmpint (storage_path_clear_present ("/media/mmc1"), ==, 1);
  assert_cell (fx, "/media/mmc1/a.mp3", "Present", "integer:0");
  assert_cell (fx, "/media/mmc10/b.mp3", "Present", "integer:0");
  assert_cell (fx, "/MEDIA/MMC1/c.mp3", "Present", "integer:0");
  assert_cell (fx, "/media/mmc2/d.mp3", "Present", "integer:1");
  assert_cell (fx, "/x/media/mmc1/e.mp3", "Present", "integer:1");

  /* A quote in the prefix is text; no match still counts as run. */
  g_assert_cmpint (storage_path_clear_present ("/it's"), ==, 1);
  assert_cell (fx, "/it''s/f.mp3", "Present", "integer:0");
  g_assert_cmpint (storage_path_clear_present ("/nothing/here"), ==, 1);
  g_assert_cmpint (storage_path_clear_present (NULL), ==, 0);
}

static void
test_read_size_lastmodified_present (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Filesize, "
                   "LastModification, Present) VALUES "
                   "('/full', 1234, 1700000000, 5), ('/empty', NULL, 'x', 0),"
                   "('/wide', 4294967297, 1, NULL)");
  gint32 size = 0, modified = 0;
  gchar present = 0;
  g_assert_cmpint (
      storage_read_size_lastmodified_present ("/full", &size, &modified,
                                              &present),
      ==, 1);
  g_assert_cmpint (size, ==, 1234);
  g_assert_cmpint (modified, ==, 1700000000);
  g_assert_cmpint (present, ==, 1);

  /* NULL or non-integer columns leave the caller's values. */
  size = -5, modified = -6, present = 7;
  g_assert_cmpint (storage_read_size_lastmodified_present (
                       "/empty", &size, &modified, &present),
                   ==, 1);
  g_assert_cmpint (size, ==, -5);
  g_assert_cmpint (modified, ==, -6);
  g_assert_cmpint (present, ==, 0);

  /* A size wider than 32 bits reads as its low 32 bits. */
  present = 3;
  g_assert_cmpint (storage_read_size_lastmodified_present (
                       "/wide", &size, &modified, &present),
                   ==, 1);
  g_assert_cmpint (size, ==, 1);
  g_assert_cmpint (present, ==, 3);

  g_assert_cmpint (storage_read_size_lastmodified_present (
                       "/missing", &size, &modified, &present),
                   ==, 0);
  g_assert_cmpint (storage_read_size_lastmodified_present ("/full", NULL,
                                                           &modified,
                                                           &present),
                   ==, 0);
  g_assert_cmpint (storage_read_size_lastmodified_present (NULL, &size,
                                                           &modified,
                                                           &present),
                   ==, 0);
}

static void
test_get_file_list (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  /* Empty table: 1 with just the closing NULL, unlike a table that cannot
   * be read. */
  gchar **list = NULL;
  g_assert_cmpint (storage_get_file_list (&list), ==, 1);
  g_assert_nonnull (list);
  g_assert_null (list[0]);
  g_assert_cmpint (storage_get_file_list (NULL), ==, 0);

  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename) VALUES ('/one.mp3')");
  g_assert_cmpint (storage_get_file_list (&list), ==, 1);
  g_assert_cmpstr (list[0], ==, "/one.mp3");
  g_assert_null (list[1]);

  /* The array is reused from its start; a nameless row is passed over
   * rather than ending the list early. */
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES (NULL),"
                           " ('it''s \"2\"'), ('Title')");
  g_free (list[0]);
  g_assert_cmpint (storage_get_file_list (&list), ==, 1);
  g_assert_cmpuint (g_strv_length (list), ==, 3);
  g_assert_true (g_strv_contains ((const gchar *const *) list, "/one.mp3"));
  g_assert_true (g_strv_contains ((const gchar *const *) list, "it's \"2\""));
  g_assert_true (g_strv_contains ((const gchar *const *) list, "Title"));
  for (gchar **p = list; *p != NULL; p++)
    g_free (*p);
  free (list);
}

static void
test_delete_by_key (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (
      fx->db,
      "INSERT INTO Metadata (Filename, isStream, PixelAspectRatio, Title) "
      "VALUES ('http://a', 1, NULL, 't'), ('http://b', 1, NULL, 'u'), "
      "('/c', 0, 0.5, 'Title'), ('/d', NULL, 0.25, 'it''s \"q\" %'),"
      " ('/e', NULL, 0.1, NULL)");

  g_assert_cmpint (storage_delete_by_key ("isStream", tessel_test_int_value (1)), ==, 1);
  g_assert_cmpint (row_count (fx), ==, 3);
  g_assert_cmpint (query_int (fx, "SELECT count(*) FROM Metadata WHERE "
                                  "Filename LIKE 'http%'"),
                   ==, 0);

  /* Text is compared as text, even when it is a column's name. */
  g_assert_cmpint (storage_delete_by_key ("Title", tessel_test_text_value ("Title")), ==,
                   1);
  g_assert_cmpint (row_count (fx), ==, 2);
  g_assert_cmpint (
      storage_delete_by_key ("Title", tessel_test_text_value ("it's \"q\" %")), ==, 1);
  g_assert_cmpint (row_count (fx), ==, 1);

  /* A float matches only values equal to its six-decimal rendering: 0.1f
   * is 0.100000, which the stored 0.1 equals. */
  g_assert_cmpint (storage_delete_by_key ("PixelAspectRatio",
                                          tessel_test_float_value (0.1000001f)),
                   ==, 1);
  g_assert_cmpint (row_count (fx), ==, 0);

  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES ('/z')");
  /* An unknown tag runs an empty statement: 1, nothing deleted. */
  MetaValue odd = tessel_test_int_value (1);
  odd.type = (MetaType) 0;
  g_assert_cmpint (storage_delete_by_key ("Filename", odd), ==, 1);
  /* Refused keys delete nothing. */
  g_assert_cmpint (storage_delete_by_key (NULL, tessel_test_int_value (1)), ==, 0);
  g_assert_cmpint (storage_delete_by_key ("1 OR 1", tessel_test_int_value (1)), ==, 0);
  g_assert_cmpint (
      storage_delete_by_key ("Filename OR 1=1 OR Filename", tessel_test_text_value ("/z")),
      ==, 0);
  g_assert_cmpint (storage_delete_by_key ("NoSuchColumn", tessel_test_int_value (1)), ==,
                   0);
  g_assert_cmpint (row_count (fx), ==, 1);
}

/* Statements are kept compiled by their shape.  A shape that named a
 * column the table lacked is compiled again once another process has
 * added the column, and a kept one still runs after the table has grown
 * a column under it. */
static void
test_statement_prepared_again_after_column_added (TesselFixture *fx,
                                                  gconstpointer data)
{
  (void) data;
  open_db ();
  MetaItem *mood = meta_list_append_text ("Filename", "/a.mp3", NULL);
  mood = meta_list_append_text ("Mood", "calm", mood);
  g_assert_cmpint (storage_store (mood, "/a.mp3", 1), ==, 0);
  tessel_test_sql (fx->db, "ALTER TABLE Metadata ADD Mood varchar(256)");
  g_assert_cmpint (storage_store (mood, "/a.mp3", 1), ==, 1);
  assert_cell (fx, "/a.mp3", "Mood", "text:calm");
  meta_free_list (&mood);

  static const gchar *const names[] = { "/b.mp3", "/c.mp3" };
  for (gsize i = 0; i < G_N_ELEMENTS (names); i++)
    {
      /* The same shapes twice, the table changed in between. */
      MetaItem *list = meta_list_append_text ("Filename", names[i], NULL);
      list = meta_list_append_text ("Title", "It's", list);
      g_assert_cmpint (storage_store (list, names[i], 1), ==, 1);
      g_assert_cmpint (storage_store (list, names[i], 1), ==, 1);
      meta_free_list (&list);
      gchar *title = NULL;
      g_assert_cmpint (storage_read_text (names[i], "Title", &title), ==, 1);
      g_assert_cmpstr (title, ==, "It's");
      g_free (title);
      g_assert_cmpint (storage_write_int (names[i], "Rating", 4), ==, 1);
      if (i == 0)
        tessel_test_sql (fx->db, "ALTER TABLE Metadata ADD Played int(12); "
                                 "ALTER TABLE Metadata RENAME COLUMN Rating "
                                 "TO Stars");
    }
  assert_cell (fx, "/b.mp3", "Stars", "integer:4");
  assert_cell (fx, "/c.mp3", "Rating", "integer:4");
  assert_cell (fx, "/c.mp3", "Stars", "null:NULL");
  g_assert_cmpint (row_count (fx), ==, 3);
}

/* What would not fit the statement buffer is refused as the values would
 * have been written: a quote in a text takes two bytes.  Seven texts of
 * 255 quotes fit as 257-byte literals, not with every quote doubled. */
static void
test_store_refuses_escaped_length (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_db ();
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title) VALUES "
                           "('/k.mp3', 'kept')");
  static const gchar *const keys[]
      = { "Title", "Album", "Year", "Publisher", "Artist", "Genre", "MIME" };
  for (gint quote = 0; quote < 2; quote++)
    {
      MetaItem *list = NULL;
      for (gsize i = 0; i < G_N_ELEMENTS (keys); i++)
        {
          list = meta_list_append_text (keys[i], "", list);
          memset (list->value, quote ? '\'' : 'a', 255);
          list->value[255] = '\0';
        }
      g_assert_cmpint (storage_store (list, "/k.mp3", 1), ==, !quote);
      g_assert_cmpint (
          query_int (fx, "SELECT length(Title) FROM Metadata WHERE "
                         "Filename = '/k.mp3'"),
          ==, 255);
      assert_cell (fx, "/k.mp3", "substr(Title, 1, 1)", "text:a");
      meta_free_list (&list);
    }
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/storage/statement/prepared-again-after-column-added",
       test_statement_prepared_again_after_column_added);
  ADD ("/storage/store/refusal-counts-escaped-quotes",
       test_store_refuses_escaped_length);
  ADD ("/storage/store/insert-then-update", test_store_insert_then_update);
  ADD ("/storage/store/empty-list", test_store_empty_list);
  ADD ("/storage/store/other-card-renames-keeping-added-time",
       test_store_other_card_renames);
  ADD ("/storage/store/two-files-two-rows", test_store_two_files_two_rows);
  ADD ("/storage/store/two-processes-race", test_store_two_processes_race);
  ADD ("/storage/store/trim-boundary", test_store_trim_boundary);
  ADD ("/storage/store/refusals-leave-row", test_store_refusals);
  ADD ("/storage/store/repeated-key", test_store_repeated_key);
  ADD ("/storage/presence/set-and-clear", test_presence);
  ADD ("/storage/presence/path-like-prefix",
       test_path_clear_present_like_prefix);
  ADD ("/storage/records/size-lastmodified-present",
       test_read_size_lastmodified_present);
  ADD ("/storage/records/file-list", test_get_file_list);
  ADD ("/storage/records/delete-by-key", test_delete_by_key);
  return g_test_run ();
}
