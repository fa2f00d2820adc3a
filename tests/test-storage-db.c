/* Opening the database, the existence test with the memory-card swap, and
 * the trim. */
#include <stdlib.h>
#include <string.h>

#include <sqlite3.h>

#include "tessel-test.h"

static const char create_table_sql[]
    = "CREATE TABLE Metadata ( Filename varchar(256) primary key, Album "
      "varchar(64), Title varchar(64), Year varchar(10), Publisher "
      "varchar(64), Artist varchar(64), Genre varchar(64), Track int(3), "
      "Bitrate int(12), Length int(12), MIME varchar(64), Resolution "
      "varchar(64), Fps int(12), Codec varchar(64), PixelAspectRatio decimal "
      "(5,10), Channels int(5), Frequency int(12), AccessTime int(15), "
      "Present int(1), UPnP int(1), UDN varchar(20), Filesize int(15), "
      "LastModification int(15), AddedTime int(15), isPlaylist int(1), "
      "isStream int(1))";

static gint
row_count (TesselFixture *fx)
{
  g_autofree gchar *n
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  return atoi (n);
}

static void
test_init_creates_table (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  g_autofree gchar *sql = tessel_test_sql_text (
      fx->db, "SELECT sql FROM sqlite_master WHERE name = 'Metadata'");
  g_assert_cmpstr (sql, ==, create_table_sql);
  g_assert_cmpint (storage_close (), ==, 0);

  /* Opening again keeps the table and its rows. */
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES ('/a')");
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (storage_file_exists ("/a", 0, NULL), ==, 1);
  /* A second open without a close replaces the first connection. */
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (storage_file_exists ("/a", 0, NULL), ==, 1);
}

static void
test_init_existing_table_fewer_columns (TesselFixture *fx, gconstpointer d)
{
  (void) d;
  tessel_test_sql (fx->db, "CREATE TABLE Metadata (Filename varchar(256) "
                           "primary key, Title varchar(64));"
                           "INSERT INTO Metadata VALUES ('/x', 't')");
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (storage_file_exists ("/x", 0, NULL), ==, 1);
}

static void
test_init_failures (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  /* A file that is no database is refused, and left as it was. */
  g_autofree gchar *junk = tessel_fixture_write (
      fx, "meta_storage", "this is certainly not an SQLite database file, "
                          "just some text that is long enough to be read");
  g_assert_cmpint (storage_init (), ==, 0);
  g_autofree gchar *after = NULL;
  g_assert_true (g_file_get_contents (junk, &after, NULL, NULL));
  g_assert_true (g_str_has_prefix (after, "this is certainly"));
  /* Calls on a failed open refuse, they do not crash. */
  g_assert_cmpint (storage_file_exists ("/a", 1, NULL), ==, 0);
  storage_vacuum (0);

  /* A missing directory. */
  g_autofree gchar *nowhere = g_build_filename (fx->dir, "no", "db", NULL);
  storage_set_path (nowhere);
  g_assert_cmpint (storage_init (), ==, 0);
  storage_set_path (fx->db);
}

static void
test_file_exists_card_swap (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename) VALUES "
                   "('/media/mmc2/a.mp3'), ('/media/mmc1/b.mp3'), "
                   "('/media/mmc3/c.mp3'), ('/x/mmc1/mmc2/d.mp3'), "
                   "('Title'), ('it''s \"quoted\" %d.mp3'), "
                   "('/home/u/mmc2-backup/s.mp3'), ('http://r.example/mmc2/s'),"
                   " ('/media/mmc2')");

  gchar *other = NULL;
  g_assert_cmpint (storage_file_exists ("/media/mmc2/a.mp3", 1, &other), ==,
                   1);
  g_assert_null (other);
  g_assert_cmpint (storage_file_exists ("/media/mmc1/a.mp3", 0, &other), ==,
                   0);
  g_assert_null (other);
  g_assert_cmpint (storage_file_exists ("/media/mmc1/a.mp3", 1, &other), ==,
                   1);
  g_assert_cmpstr (other, ==, "/media/mmc2/a.mp3");
  g_clear_pointer (&other, g_free);
  g_assert_cmpint (storage_file_exists ("/media/mmc2/b.mp3", 1, &other), ==,
                   1);
  g_assert_cmpstr (other, ==, "/media/mmc1/b.mp3");
  g_clear_pointer (&other, g_free);

  /* Only '1' and '2' swap, only the first "mmc" counts, and a name
   * ending in "mmc" has nothing to swap. */
  g_assert_cmpint (storage_file_exists ("/media/mmc4/c.mp3", 1, &other), ==,
                   0);
  g_assert_cmpint (storage_file_exists ("/x/mmc2/mmc2/d.mp3", 1, &other), ==,
                   1);
  g_assert_cmpstr (other, ==, "/x/mmc1/mmc2/d.mp3");
  g_clear_pointer (&other, g_free);
  g_assert_cmpint (storage_file_exists ("/x/mmc2/mmc1/d.mp3", 1, &other), ==,
                   0);
  g_assert_cmpint (storage_file_exists ("/media/mmc", 1, &other), ==, 0);
  g_assert_null (other);
  /* Only a whole path component of an absolute path is a card. */
  g_assert_cmpint (
      storage_file_exists ("/home/u/mmc1-backup/s.mp3", 1, &other), ==, 0);
  g_assert_cmpint (storage_file_exists ("http://r.example/mmc1/s", 1, &other),
                   ==, 0);
  g_assert_null (other);
  g_assert_cmpint (storage_file_exists ("/media/mmc1", 1, &other), ==, 1);
  g_assert_cmpstr (other, ==, "/media/mmc2");
  g_clear_pointer (&other, g_free);

  /* Names are compared as exact text: a column's name, quotes and percent
   * signs are just characters. */
  g_assert_cmpint (storage_file_exists ("Title", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("Filename", 0, NULL), ==, 0);
  g_assert_cmpint (
      storage_file_exists ("it's \"quoted\" %d.mp3", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("/MEDIA/mmc2/a.mp3", 0, NULL), ==, 0);
  g_assert_cmpint (storage_file_exists (NULL, 1, &other), ==, 0);
}

static void
test_file_exists_refuses_overlong (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  GString *name = g_string_new ("/");
  while (name->len < 2100)
    g_string_append (name, "abcdefghij");
  g_autofree gchar *sql = g_strdup_printf (
      "INSERT INTO Metadata (Filename) VALUES ('%s')", name->str);
  tessel_test_sql (fx->db, sql);
  /* The statement would not fit the 2048-byte buffer: not run, 0. */
  g_assert_cmpint (storage_file_exists (name->str, 0, NULL), ==, 0);
  g_string_free (name, TRUE);
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
test_vacuum_threshold (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  seed_trim_rows (fx);

  /* Exactly the limit: nothing happens. */
  storage_vacuum (6);
  g_assert_cmpint (row_count (fx), ==, 6);

  /* One row over: every absent row without UPnP and every UPnP = 0 row
   * goes, however far below the limit that takes the table. */
  storage_vacuum (5);
  g_assert_cmpint (row_count (fx), ==, 3);
  g_assert_cmpint (storage_file_exists ("/present-null", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("/absent-upnp", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("/present-upnp", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("/present-zero", 0, NULL), ==, 0);

  /* A negative limit counts as 0. */
  seed_trim_rows (fx);
  storage_vacuum (-5);
  g_assert_cmpint (row_count (fx), ==, 3);

  /* An empty table is never trimmed, whatever the limit. */
  tessel_test_sql (fx->db, "DELETE FROM Metadata");
  storage_vacuum (-1);
  g_assert_cmpint (row_count (fx), ==, 0);
}

/* A double quote in a file name is kept: a"b and a'b are two files, and
 * storing a"b again updates its own row instead of failing. */
static void
test_quoted_names_distinct (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  const gchar *names[] = { "/m/a\"b.mp3", "/m/a'b.mp3" };
  for (int round = 0; round < 2; round++)
    for (guint i = 0; i < G_N_ELEMENTS (names); i++)
      {
        MetaItem *list = meta_list_append_text ("Filename", names[i], NULL);
        list = meta_list_append_int ("Track", round * 10 + (int) i, list);
        g_assert_cmpint (storage_store (list, names[i], 1), ==, 1);
        meta_free_list (&list);
      }
  g_assert_cmpint (row_count (fx), ==, 2);
  gint32 track = -1;
  g_assert_cmpint (storage_read_int (names[0], "Track", &track), ==, 1);
  g_assert_cmpint (track, ==, 10);
  g_assert_cmpint (storage_read_int (names[1], "Track", &track), ==, 1);
  g_assert_cmpint (track, ==, 11);
}

static gchar *
journal_mode (TesselFixture *fx)
{
  return tessel_test_sql_text (fx->db, "PRAGMA journal_mode");
}

static gboolean
store_name (const gchar *name)
{
  MetaItem *list = meta_list_append_text ("Filename", name, NULL);
  int stored = storage_store (list, name, 1);
  meta_free_list (&list);
  return stored == 1;
}

/* Write-ahead logging on a new file and on a file that was using the
 * rollback journal, rows and all. */
static void
test_init_write_ahead_log (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  g_autofree gchar *fresh = journal_mode (fx);
  g_assert_cmpstr (fresh, ==, "wal");
  g_assert_cmpint (storage_close (), ==, 0);

  g_assert_cmpint (g_unlink (fx->db), ==, 0);
  tessel_test_sql (fx->db, create_table_sql);
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES ('/old')");
  g_autofree gchar *before = journal_mode (fx);
  g_assert_cmpstr (before, ==, "delete");
  g_assert_cmpint (storage_init (), ==, 1);
  g_autofree gchar *after = journal_mode (fx);
  g_assert_cmpstr (after, ==, "wal");
  g_assert_cmpint (storage_file_exists ("/old", 0, NULL), ==, 1);
  g_assert_true (store_name ("/new"));
  g_assert_cmpint (row_count (fx), ==, 2);
}

/* Another connection in the middle of a read transaction, and of a write
 * transaction: neither keeps the library from writing, or reading, at
 * once.  In the rollback journal the write would fail after its retries
 * while the read lasts. */
static void
test_readers_and_writer_never_wait (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_true (store_name ("/a"));

  sqlite3 *reader = NULL;
  g_assert_cmpint (sqlite3_open (fx->db, &reader), ==, SQLITE_OK);
  sqlite3_stmt *count = NULL;
  g_assert_cmpint (sqlite3_prepare_v2 (reader, "SELECT count(*) FROM Metadata",
                                       -1, &count, NULL),
                   ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (reader, "BEGIN", NULL, NULL, NULL), ==,
                   SQLITE_OK);
  g_assert_cmpint (sqlite3_step (count), ==, SQLITE_ROW);
  g_assert_cmpint (sqlite3_column_int (count, 0), ==, 1);
  sqlite3_reset (count);

  g_assert_true (store_name ("/b"));
  g_assert_cmpint (storage_write_int ("/a", "Track", 4), ==, 1);
  /* The reader goes on seeing the table as its transaction began. */
  g_assert_cmpint (sqlite3_step (count), ==, SQLITE_ROW);
  g_assert_cmpint (sqlite3_column_int (count, 0), ==, 1);
  sqlite3_reset (count);
  g_assert_cmpint (sqlite3_exec (reader, "COMMIT", NULL, NULL, NULL), ==,
                   SQLITE_OK);
  g_assert_cmpint (sqlite3_step (count), ==, SQLITE_ROW);
  g_assert_cmpint (sqlite3_column_int (count, 0), ==, 2);
  sqlite3_finalize (count);

  /* An uncommitted write elsewhere: the library still reads. */
  g_assert_cmpint (sqlite3_exec (reader, "BEGIN IMMEDIATE; UPDATE Metadata "
                                         "SET Title = 'x'",
                                 NULL, NULL, NULL),
                   ==, SQLITE_OK);
  gint32 track = 0;
  g_assert_cmpint (storage_read_int ("/a", "Track", &track), ==, 1);
  g_assert_cmpint (track, ==, 4);
  g_assert_cmpint (storage_file_exists ("/b", 0, NULL), ==, 1);
  sqlite3_exec (reader, "ROLLBACK", NULL, NULL, NULL);
  sqlite3_close (reader);
}

/* On a file system without shared memory, where SQLite refuses
 * write-ahead logging, a new database and one that was using the rollback
 * journal open and store as before. */
static void
test_init_without_write_ahead_log (TesselFixture *fx, gconstpointer data)
{
  const gboolean *existing = data;
  if (*existing)
    {
      tessel_test_sql (fx->db, create_table_sql);
      tessel_test_sql (fx->db,
                       "INSERT INTO Metadata (Filename) VALUES ('/old')");
    }
  tessel_test_use_shm (FALSE);
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_true (store_name ("/new"));
  g_assert_cmpint (storage_file_exists ("/new", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("/old", 0, NULL), ==, *existing);
  g_assert_cmpint (storage_close (), ==, 0);
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (storage_file_exists ("/new", 0, NULL), ==, 1);
  g_assert_cmpint (storage_close (), ==, 0);
  tessel_test_use_shm (TRUE);

  g_autofree gchar *mode = journal_mode (fx);
  g_assert_cmpstr (mode, ==, "delete");
  g_assert_cmpint (row_count (fx), ==, *existing ? 2 : 1);
  g_autofree gchar *check
      = tessel_test_sql_text (fx->db, "PRAGMA integrity_check");
  g_assert_cmpstr (check, ==, "ok");
}

static void
test_close_when_closed (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  (void) fx;
  g_assert_cmpint (storage_close (), ==, 0);
  g_assert_cmpint (storage_file_exists ("/a", 0, NULL), ==, 0);
}

/* With no path set, the database is .meta_storage in the home folder of the
 * user running the program (HOME), created there; another user's home is
 * not touched.  In a child process, whose HOME the library reads afresh. */
static void
test_default_path_in_home (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  if (g_test_subprocess ())
    {
      storage_set_path (NULL);
      g_assert_cmpint (meta_init (), ==, 1);
      g_assert_cmpint (meta_add_url ("http://radio.example/a"), ==, 1);
      meta_destruct ();
      return;
    }
  g_autofree gchar *home = g_build_filename (fx->dir, "home", NULL);
  g_assert_cmpint (g_mkdir (home, 0700), ==, 0);
  g_autofree gchar *old_home = g_strdup (g_getenv ("HOME"));
  g_setenv ("HOME", home, TRUE);
  g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_DEFAULT);
  if (old_home != NULL)
    g_setenv ("HOME", old_home, TRUE);
  else
    g_unsetenv ("HOME");
  g_test_trap_assert_passed ();
  g_autofree gchar *db = g_build_filename (home, ".meta_storage", NULL);
  g_assert_true (g_file_test (db, G_FILE_TEST_IS_REGULAR));
  g_autofree gchar *rows
      = tessel_test_sql_text (db, "SELECT Filename FROM Metadata");
  g_assert_cmpstr (rows, ==, "http://radio.example/a");
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/storage/init/creates-table", test_init_creates_table);
  ADD ("/storage/init/existing-table-fewer-columns",
       test_init_existing_table_fewer_columns);
  ADD ("/storage/init/failures", test_init_failures);
  ADD ("/storage/exists/card-swap-and-exact-text",
       test_file_exists_card_swap);
  ADD ("/storage/exists/overlong-statement",
       test_file_exists_refuses_overlong);
  ADD ("/storage/vacuum/threshold", test_vacuum_threshold);
  ADD ("/storage/store/quoted-names-distinct", test_quoted_names_distinct);
  ADD ("/storage/close/when-closed", test_close_when_closed);
  ADD ("/storage/init/default-path-in-home", test_default_path_in_home);
  ADD ("/storage/init/write-ahead-log", test_init_write_ahead_log);
  ADD ("/storage/wal/readers-and-writer-never-wait",
       test_readers_and_writer_never_wait);
  static const gboolean existing[] = { FALSE, TRUE };
  static const char *const no_wal_paths[] = {
    "/storage/init/no-shared-memory/new-file",
    "/storage/init/no-shared-memory/rollback-journal-file",
  };
  for (guint i = 0; i < G_N_ELEMENTS (existing); i++)
    g_test_add (no_wal_paths[i], TesselFixture, &existing[i],
                tessel_fixture_setup, test_init_without_write_ahead_log,
                tessel_fixture_teardown);
  return g_test_run ();
}
