/* Damaged and hostile database files: empty, truncated, random bytes, a
 * database without the table or with a table of another shape, read-only
 * files and folders and a full file system.  Every call must fail with its
 * documented failure value, nothing may crash, what is stored must stay
 * stored, and the tessel program must say what is wrong in one line. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include "mp_library_store_database.h"
#include "tessel-test.h"

#define NOBODY 65534

static void
count_call (const gchar *filename, gchar **keys, gchar **values,
            gpointer user_data, gint id)
{
  (void) filename;
  (void) keys;
  (void) values;
  (void) id;
  (*(int *) user_data)++;
}

/* A database with a few rows, made outside the library. */
static void
seed_rows (const gchar *db, int rows)
{
  tessel_test_sql (db,
                   "CREATE TABLE Metadata ( Filename varchar(256) primary "
                   "key, Title varchar(64), Track int(3), Present int(1), "
                   "UPnP int(1), Filesize int(15), LastModification int(15), "
                   "AddedTime int(15))");
  GString *sql = g_string_new ("BEGIN;");
  for (int i = 0; i < rows; i++)
    g_string_append_printf (sql,
                            "INSERT INTO Metadata (Filename, Title, Track, "
                            "Present) VALUES ('/m/%04d.mp3', "
                            "'title %04d %0200d', %d, 1);",
                            i, i, i, i);
  g_string_append (sql, "COMMIT;");
  tessel_test_sql (db, sql->str);
  g_string_free (sql, TRUE);
}

static GBytes *
file_bytes (const gchar *path)
{
  gchar *data = NULL;
  gsize len = 0;
  g_assert_true (g_file_get_contents (path, &data, &len, NULL));
  return g_bytes_new_take (data, len);
}

static void
assert_file_unchanged (const gchar *path, GBytes *before)
{
  g_autoptr (GBytes) after = file_bytes (path);
  g_assert_true (g_bytes_equal (before, after));
}

/* Every storage and front-end call on a database that could not be
 * opened: each fails with its documented value and calls nothing back. */
static void
assert_everything_fails (void)
{
  MetaItem *list = meta_list_append_text ("Filename", "/m/new.mp3", NULL);
  g_assert_cmpint (storage_store (list, "/m/new.mp3", 1), ==, 0);
  meta_free_list (&list);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 0);
  g_assert_cmpint (storage_file_exists ("/m/0001.mp3", 1, NULL), ==, 0);
  gchar *text = (gchar *) "untouched";
  g_assert_cmpint (storage_read_text ("/m/0001.mp3", "Title", &text), ==, 0);
  g_assert_cmpstr (text, ==, "untouched");
  gint32 number = 7;
  g_assert_cmpint (storage_read_int ("/m/0001.mp3", "Track", &number), ==, 0);
  g_assert_cmpint (number, ==, 7);
  g_assert_cmpint (storage_write_int ("/m/0001.mp3", "Track", 1), ==, 0);
  g_assert_cmpint (storage_write_text ("/m/0001.mp3", "Title", "x"), ==, 0);
  g_assert_cmpint (storage_get_key_type ("/m/0001.mp3", "Title"), ==, 0);
  g_assert_cmpint (storage_set_present ("/m/0001.mp3"), ==, 0);
  g_assert_cmpint (storage_path_clear_present ("/m"), ==, 0);
  gchar **names = NULL;
  g_assert_cmpint (storage_get_file_list (&names), ==, 0);
  g_assert_null (names);
  int calls = 0;
  g_assert_cmpint (storage_search_sync ("SELECT * FROM Metadata", count_call,
                                        &calls),
                   ==, 0);
  g_assert_cmpint (calls, ==, 0);
  GList *objects = NULL;
  g_assert_false (storage_search_sync_objects_list ("SELECT * FROM Metadata",
                                                    &objects));
  g_assert_null (objects);
  gchar modified = 9, present = 9;
  /* No row can be read: the file counts as new. */
  g_assert_cmpint (meta_is_modified_or_new ("/m/0001.mp3", &modified,
                                            &present),
                   ==, 1);
  g_assert_cmpint (modified, ==, 1);
  g_assert_cmpint (present, ==, 0);
  storage_vacuum (0);
}

/* Runs the built tessel program; returns its exit status, with stderr. */
static gint
run_tessel (gchar **err, const gchar *first, ...)
{
  g_autofree gchar *tool = tessel_test_tool_path ();
  va_list rest;
  va_start (rest, first);
  TesselRun run = tessel_test_run_valist (tool, NULL, first, rest);
  va_end (rest);
  g_assert_cmpstr (run.out, ==, "");
  g_free (run.out);
  *err = run.err;
  return run.status;
}

/* The program's complaint: exactly one line, "tessel: ..." naming the
 * database file. */
static void
assert_one_line_about (const gchar *err, const gchar *path)
{
  g_assert_true (g_str_has_prefix (err, "tessel: "));
  g_assert_true (g_str_has_suffix (err, "\n"));
  g_assert_true (strchr (err, '\n') == err + strlen (err) - 1);
  g_assert_nonnull (strstr (err, path));
}

static void
test_empty_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *db = tessel_fixture_write (fx, "meta_storage", "");
  /* An empty file is an empty database: the table is made in it. */
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 1);
  g_assert_cmpint (storage_file_exists ("http://radio/x", 0, NULL), ==, 1);
}

static void
test_random_bytes (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  GRand *rand = g_rand_new_with_seed (11);
  guint8 noise[8192];
  for (gsize i = 0; i < sizeof noise; i++)
    noise[i] = g_rand_int_range (rand, 0, 256);
  g_rand_free (rand);
  g_assert_true (g_file_set_contents (fx->db, (const gchar *) noise,
                                      sizeof noise, NULL));
  g_autoptr (GBytes) before = file_bytes (fx->db);

  g_assert_cmpint (storage_init (), ==, 0);
  g_assert_cmpint (meta_init (), ==, 0);
  assert_everything_fails ();
  assert_file_unchanged (fx->db, before);

  g_autofree gchar *err = NULL;
  g_assert_cmpint (run_tessel (&err, "ls", "--database", fx->db, NULL), ==,
                   1);
  assert_one_line_about (err, fx->db);
  g_assert_nonnull (strstr (err, ": file is not a database, or is damaged"));
  g_clear_pointer (&err, g_free);
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "ogg libbrisel_gst\n"));
  g_assert_cmpint (run_tessel (&err, "index", "--database", fx->db,
                               "--config", fx->conf, fx->dir, NULL),
                   ==, 1);
  assert_one_line_about (err, fx->db);
  assert_file_unchanged (fx->db, before);
}

/* A folder or a named pipe where the database should be: opening fails
 * at once (a pipe must not block the caller), the tool says so. */
static void
test_not_a_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (g_mkdir (fx->db, 0700), ==, 0);
  g_assert_cmpint (storage_init (), ==, 0);
  assert_everything_fails ();
  g_assert_true (g_file_test (fx->db, G_FILE_TEST_IS_DIR));

  g_autofree gchar *pipe = g_build_filename (fx->dir, "pipe", NULL);
  g_assert_cmpint (mkfifo (pipe, 0600), ==, 0);
  storage_set_path (pipe);
  g_assert_cmpint (storage_init (), ==, 0);
  assert_everything_fails ();
  g_autofree gchar *err = NULL;
  g_assert_cmpint (run_tessel (&err, "ls", "--database", pipe, NULL), ==, 1);
  assert_one_line_about (err, pipe);
  g_assert_nonnull (strstr (err, ": it is not a regular file"));
  g_clear_pointer (&err, g_free);
  g_autofree gchar *nowhere = g_build_filename (fx->dir, "no", "db", NULL);
  g_assert_cmpint (run_tessel (&err, "init", "--database", nowhere, NULL), ==,
                   1);
  assert_one_line_about (err, nowhere);
  g_assert_nonnull (strstr (err, ": its folder does not exist"));
  /* A reading command does not even try to create it. */
  g_clear_pointer (&err, g_free);
  g_assert_cmpint (run_tessel (&err, "ls", "--database", nowhere, NULL), ==,
                   1);
  assert_one_line_about (err, nowhere);
  g_assert_nonnull (strstr (err, ": no database at"));
}

/* A file cut short: in its header, inside the first page, and after the
 * schema page with the rows' pages gone.  Nothing crashes; what can still
 * be read is read, and nothing claims success that did not happen. */
static void
test_truncated (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  seed_rows (fx->db, 200);
  g_autoptr (GBytes) whole = file_bytes (fx->db);
  gsize size = g_bytes_get_size (whole);
  const gsize cuts[] = { 10, 100, 1000, 4096, 8192, size / 2, size - 1 };
  for (gsize c = 0; c < G_N_ELEMENTS (cuts); c++)
    {
      g_test_message ("cut at %" G_GSIZE_FORMAT " of %" G_GSIZE_FORMAT,
                      cuts[c], size);
      g_assert_true (g_file_set_contents (fx->db,
                                          g_bytes_get_data (whole, NULL),
                                          cuts[c], NULL));
      if (!storage_init ())
        {
          assert_everything_fails ();
          continue;
        }
      /* Opened: each call reports 0 or 1 and never a row it does not
       * have. */
      gchar *title = NULL;
      int read = storage_read_text ("/m/0199.mp3", "Title", &title);
      g_assert_cmpint (read, >=, 0);
      if (read == 1 && title != NULL)
        g_assert_true (g_str_has_prefix (title, "title 0199 "));
      g_free (title);
      MetaItem *list = meta_list_append_text ("Filename", "/m/new.mp3", NULL);
      int stored = storage_store (list, "/m/new.mp3", 1);
      meta_free_list (&list);
      if (stored)
        g_assert_cmpint (storage_file_exists ("/m/new.mp3", 0, NULL), ==, 1);
      gchar **names = NULL;
      if (storage_get_file_list (&names))
        g_assert_nonnull (names);
      for (gchar **n = names; n != NULL && *n != NULL; n++)
        g_free (*n);
      free (names);
      int calls = 0;
      storage_search_sync ("SELECT Filename, Title FROM Metadata", count_call,
                           &calls);
      storage_vacuum (0);
      storage_close ();
    }
}

/* A valid database without the table gets the table; other tables are
 * left as they were.  A view or an index under the table's name cannot be
 * used: opening fails and the object stays. */
/* Changes the type byte of a table leaf page half-way through the file:
 * the schema and the first rows read well, the scan then meets a page
 * SQLite calls corrupt. */
static void
damage_middle_leaf (const gchar *db)
{
  g_autofree gchar *page_size
      = tessel_test_sql_text (db, "PRAGMA page_size");
  gsize size = (gsize) atoi (page_size);
  gchar *data = NULL;
  gsize len = 0;
  g_assert_true (g_file_get_contents (db, &data, &len, NULL));
  GArray *leaves = g_array_new (FALSE, FALSE, sizeof (gsize));
  for (gsize page = 1; (page + 1) * size <= len; page++)
    if (data[page * size] == 0x0d)
      g_array_append_val (leaves, page);
  g_assert_cmpuint (leaves->len, >=, 4);
  gsize middle = g_array_index (leaves, gsize, leaves->len / 2);
  data[middle * size] = 0x03;
  g_assert_true (g_file_set_contents (db, data, len, NULL));
  g_array_free (leaves, TRUE);
  g_free (data);
}

static void
async_end (const gchar *filename, gchar **keys, gchar **values,
           gpointer user_data, gint id)
{
  (void) filename, (void) values, (void) id;
  if (keys == NULL)
    g_atomic_int_set ((gint *) user_data, 1);
}

/* A damaged table: every search and listing stops at the damage and
 * reports failure, once, instead of starting over without end. */
static void
test_damaged_midway (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  seed_rows (fx->db, 200);
  damage_middle_leaf (fx->db);
  if (!g_test_subprocess ())
    {
      /* Bounded: a search that starts over never returns. */
      g_test_trap_subprocess (NULL, 20 * G_USEC_PER_SEC,
                              G_TEST_SUBPROCESS_INHERIT_STDERR);
      g_test_trap_assert_passed ();
    }
  else
    {
      g_assert_cmpint (meta_init (), ==, 1);
      int calls = 0;
      g_assert_cmpint (meta_search_sync ("SELECT Filename, Title FROM Metadata",
                                         count_call, &calls),
                       ==, 0);
      g_assert_cmpint (calls, ==, 0);
      GList *objects = NULL;
      g_assert_false (storage_search_sync_objects_list (
          "SELECT Filename, Title FROM Metadata", &objects));
      g_assert_null (objects);
      gchar **names = NULL;
      g_assert_cmpint (meta_get_file_list (&names), ==, 0);
      free (names);
      gint ended = 0;
      g_assert_cmpint (meta_search_async (0, "SELECT Filename, Title FROM Metadata",
                                          async_end, &ended),
                       ==, 0);
      for (int i = 0; i < 10000 && !g_atomic_int_get (&ended); i++)
        g_usleep (1000);
      g_assert_true (g_atomic_int_get (&ended));
      meta_destruct ();
      return;
    }

  static const char *const commands[][3] = {
    { "ls", NULL },      { "search", "SELECT Filename, Title FROM Metadata" },
    { "search", "--async", "SELECT Filename, Title FROM Metadata" },
    { "songs", NULL },   { "albums", NULL },   { "artists", NULL },
    { "genres", NULL },  { "videos", NULL },   { "playlists", NULL },
    { "unplayed", NULL }, { "played", NULL },  { "added", NULL },
    { "stats", NULL },
  };
  g_autofree gchar *tessel = tessel_test_tool_path ();
  for (gsize c = 0; c < G_N_ELEMENTS (commands); c++)
    {
      /* timeout(1) bounds a command that would never end. */
      const gchar *argv[] = { "/usr/bin/timeout", "-s", "KILL", "20", tessel,
                              commands[c][0], "--database", fx->db,
                              commands[c][1], commands[c][2], NULL };
      g_autofree gchar *err = NULL;
      gint status = tessel_test_spawn (argv, NULL, &err);
      g_test_message ("tessel %s: %d: %s", commands[c][0], status, err);
      g_assert_cmpint (status, ==, 1);
      g_assert_true (g_str_has_prefix (err, "tessel: "));
      g_assert_true (strchr (err, '\n') == err + strlen (err) - 1);
    }
}

static void
test_without_table (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db, "CREATE TABLE Other (a); "
                           "INSERT INTO Other VALUES ('kept')");
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 1);
  storage_close ();
  g_autofree gchar *kept = tessel_test_sql_text (fx->db, "SELECT a FROM Other");
  g_assert_cmpstr (kept, ==, "kept");

  g_autofree gchar *view_db = g_build_filename (fx->dir, "view.db", NULL);
  tessel_test_sql (view_db, "CREATE TABLE Other (Filename); "
                            "INSERT INTO Other VALUES ('/m/0001.mp3'); "
                            "CREATE VIEW Metadata AS SELECT * FROM Other");
  storage_set_path (view_db);
  g_assert_cmpint (storage_init (), ==, 0);
  assert_everything_fails ();
  g_autofree gchar *view = tessel_test_sql_text (
      view_db, "SELECT Filename FROM Metadata");
  g_assert_cmpstr (view, ==, "/m/0001.mp3");
}

/* A table that lacks columns, or has them with other types: opening works
 * as for any existing table, a store naming a missing column fails as a
 * whole and leaves the rows as they were, the key writers add columns. */
static void
test_other_shape (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db,
                   "CREATE TABLE Metadata (Filename TEXT PRIMARY KEY, Title "
                   "BLOB, Present TEXT, Filesize TEXT, LastModification "
                   "REAL); INSERT INTO Metadata VALUES ('/m/a.mp3', "
                   "X'00FF', 'yes', 'big', 1.5)");
  g_assert_cmpint (storage_init (), ==, 1);

  /* No Artist column: nothing of the record is stored. */
  MetaItem *list = meta_list_append_text ("Filename", "/m/a.mp3", NULL);
  list = meta_list_append_text ("Artist", "someone", list);
  g_assert_cmpint (storage_store (list, "/m/a.mp3", 1), ==, 0);
  meta_free_list (&list);
  g_autofree gchar *present = tessel_test_sql_text (
      fx->db, "SELECT Present FROM Metadata WHERE Filename = '/m/a.mp3'");
  g_assert_cmpstr (present, ==, "yes");

  /* Columns of other types: values that are not integers are left out. */
  gint32 size = -1, mtime = -1;
  gchar flag = 9;
  g_assert_cmpint (storage_read_size_lastmodified_present ("/m/a.mp3", &size,
                                                           &mtime, &flag),
                   ==, 1);
  g_assert_cmpint (size, ==, -1);
  g_assert_cmpint (mtime, ==, -1);
  g_assert_cmpint (flag, ==, 9);
  gchar *title = (gchar *) "untouched";
  g_assert_cmpint (storage_read_text ("/m/a.mp3", "Title", &title), ==, 1);
  g_assert_null (title);
  g_assert_cmpint (storage_get_key_type ("/m/a.mp3", "Title"), ==, 0);
  gchar modified = 9;
  g_assert_cmpint (meta_is_modified_or_new ("/m/a.mp3", &modified, &flag), ==,
                   0);

  /* The writers add what is missing; the row is then found whole. */
  g_assert_cmpint (storage_write_text ("/m/a.mp3", "Artist", "someone"), ==,
                   1);
  g_assert_cmpint (storage_write_int ("/m/a.mp3", "Present", 1), ==, 1);
  g_autofree gchar *row = tessel_test_sql_text (
      fx->db, "SELECT Filename || '|' || Artist || '|' || Present || '|' || "
              "hex(Title) FROM Metadata");
  g_assert_cmpstr (row, ==, "/m/a.mp3|someone|1|00FF");

  /* A table without Filename at all: nothing is found or stored by name. */
  g_autofree gchar *bare = g_build_filename (fx->dir, "bare.db", NULL);
  tessel_test_sql (bare, "CREATE TABLE Metadata (x INTEGER); "
                         "INSERT INTO Metadata VALUES (42)");
  storage_set_path (bare);
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (storage_file_exists ("/m/a.mp3", 1, NULL), ==, 0);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 0);
  g_assert_cmpint (storage_write_int ("/m/a.mp3", "x", 1), ==, 0);
  g_autofree gchar *x = tessel_test_sql_text (bare, "SELECT x FROM Metadata");
  g_assert_cmpstr (x, ==, "42");
}

/* Takes away the rights the file modes give; as root they would not
 * count, so the work runs as nobody, in a subprocess. */
static void
become_unprivileged (TesselFixture *fx)
{
  if (geteuid () != 0)
    return;
  g_autoptr (GDir) dir = g_dir_open (fx->dir, 0, NULL);
  g_assert_nonnull (dir);
  const gchar *name;
  while ((name = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *path = g_build_filename (fx->dir, name, NULL);
      g_assert_cmpint (chown (path, NOBODY, NOBODY), ==, 0);
    }
  g_assert_cmpint (chown (fx->dir, NOBODY, NOBODY), ==, 0);
  g_assert_cmpint (setgroups (0, NULL), ==, 0);
  g_assert_cmpint (setgid (NOBODY), ==, 0);
  g_assert_cmpint (setuid (NOBODY), ==, 0);
}

static void
test_read_only_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  if (!g_test_subprocess ())
    {
      g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_INHERIT_STDERR);
      g_test_trap_assert_passed ();
      return;
    }
  seed_rows (fx->db, 5);
  become_unprivileged (fx);
  g_assert_cmpint (g_chmod (fx->db, 0444), ==, 0);
  g_autoptr (GBytes) before = file_bytes (fx->db);

  /* The existing table is opened: reads work, every write reports 0. */
  g_assert_cmpint (meta_init (), ==, 1);
  gchar *title = NULL;
  g_assert_cmpint (storage_read_text ("/m/0003.mp3", "Title", &title), ==, 1);
  g_assert_true (g_str_has_prefix (title, "title 0003 "));
  g_free (title);
  MetaItem *list = meta_list_append_text ("Filename", "/m/0003.mp3", NULL);
  list = meta_list_append_text ("Title", "changed", list);
  g_assert_cmpint (storage_store (list, "/m/0003.mp3", 1), ==, 0);
  meta_free_list (&list);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 0);
  g_assert_cmpint (storage_write_int ("/m/0003.mp3", "Track", 9), ==, 0);
  g_assert_cmpint (storage_write_int ("/m/0003.mp3", "NewKey", 9), ==, 0);
  g_assert_cmpint (storage_clear_present ("/m/0003.mp3"), ==, 0);
  g_assert_cmpint (storage_path_clear_present ("/m/"), ==, 0);
  MetaValue v = { .type = META_TYPE_INTEGER };
  g_assert_cmpint (storage_delete_by_key ("Track", v), ==, 0);
  storage_vacuum (0);
  /* No word index could be added: finding fails, as the store fails. */
  GError *error = NULL;
  g_assert_null (mp_library_store_database_find (
      mp_library_store_database_get_instance (), "title", &error));
  g_assert_error (error, g_quark_from_string ("Could not connect to media "
                                              "database"),
                  -1);
  g_clear_error (&error);
  meta_destruct ();
  assert_file_unchanged (fx->db, before);
  g_autofree gchar *count = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata WHERE Present = 1");
  g_assert_cmpstr (count, ==, "5");
}

static void
test_read_only_folder (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  if (!g_test_subprocess ())
    {
      g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_INHERIT_STDERR);
      g_test_trap_assert_passed ();
      return;
    }
  seed_rows (fx->db, 5);
  become_unprivileged (fx);
  g_autoptr (GBytes) before = file_bytes (fx->db);
  g_assert_cmpint (g_chmod (fx->dir, 0555), ==, 0);

  /* The file is writable but no journal can be made beside it. */
  g_assert_cmpint (meta_init (), ==, 1);
  gint32 track = 0;
  g_assert_cmpint (storage_read_int ("/m/0002.mp3", "Track", &track), ==, 1);
  g_assert_cmpint (track, ==, 2);
  g_assert_cmpint (storage_write_int ("/m/0002.mp3", "Track", 9), ==, 0);
  g_assert_cmpint (meta_add_url ("http://radio/x"), ==, 0);
  meta_destruct ();
  assert_file_unchanged (fx->db, before);

  /* A new database cannot be made there at all. */
  g_autofree gchar *fresh = g_build_filename (fx->dir, "fresh.db", NULL);
  storage_set_path (fresh);
  g_assert_cmpint (storage_init (), ==, 0);
  assert_everything_fails ();
  g_assert_false (g_file_test (fresh, G_FILE_TEST_EXISTS));
  g_autofree gchar *err = NULL;
  g_assert_cmpint (run_tessel (&err, "init", "--database", fresh, NULL), ==,
                   1);
  assert_one_line_about (err, fresh);
  g_assert_cmpint (g_chmod (fx->dir, 0700), ==, 0);
}

/* Makes a small memory file system at path in a mount namespace of this
 * process; FALSE (with the reason given to g_test_skip) when the system
 * does not let us. */
static gboolean
mount_small_fs (const gchar *path, const gchar *size)
{
  uid_t uid = geteuid ();
  gid_t gid = getegid ();
  if (unshare (uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
    {
      g_autofree gchar *why = g_strdup_printf (
          "cannot make a mount namespace (%s): no small file system to fill",
          g_strerror (errno));
      g_test_skip (why);
      return FALSE;
    }
  if (uid != 0)
    {
      g_autofree gchar *uid_map = g_strdup_printf ("0 %u 1", (guint) uid);
      g_autofree gchar *gid_map = g_strdup_printf ("0 %u 1", (guint) gid);
      if (!g_file_set_contents ("/proc/self/setgroups", "deny", -1, NULL)
          || !g_file_set_contents ("/proc/self/uid_map", uid_map, -1, NULL)
          || !g_file_set_contents ("/proc/self/gid_map", gid_map, -1, NULL))
        {
          g_test_skip ("cannot map this user in a user namespace: no small "
                       "file system to fill");
          return FALSE;
        }
    }
  g_autofree gchar *options = g_strdup_printf ("size=%s", size);
  if (mount (NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0
      || g_mkdir (path, 0700) != 0
      || mount ("tmpfs", path, "tmpfs", 0, options) != 0)
    {
      g_autofree gchar *why = g_strdup_printf (
          "cannot mount a small tmpfs (%s): no small file system to fill",
          g_strerror (errno));
      g_test_skip (why);
      return FALSE;
    }
  return TRUE;
}

/* Stores rows until the file system is full: every store that reported
 * success is there and whole afterwards, the database passes its integrity
 * check, reading goes on, and the failure is reported, not taken for
 * success. */
static void
test_full_file_system (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  if (!g_test_subprocess ())
    {
      g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_INHERIT_STDERR);
      g_test_trap_assert_passed ();
      return;
    }
  g_autofree gchar *small = g_build_filename (fx->dir, "small", NULL);
  if (!mount_small_fs (small, "160k"))
    return;
  g_autofree gchar *db = g_build_filename (small, "meta_storage", NULL);
  storage_set_path (db);
  g_assert_cmpint (storage_init (), ==, 1);

  gchar long_text[240];
  memset (long_text, 'x', sizeof long_text - 1);
  long_text[sizeof long_text - 1] = '\0';
  int stored = 0;
  int failures = 0;
  for (int i = 0; i < 2000 && failures < 3; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("/m/%05d.mp3", i);
      MetaItem *list = meta_list_append_text ("Filename", name, NULL);
      list = meta_list_append_text ("Title", long_text, list);
      list = meta_list_append_text ("Album", long_text, list);
      list = meta_list_append_int ("Track", i, list);
      if (storage_store (list, name, 1))
        {
          g_assert_cmpint (i, ==, stored);
          stored++;
        }
      else
        failures++;
      meta_free_list (&list);
    }
  g_test_message ("%d rows stored before the file system was full", stored);
  g_assert_cmpint (stored, >, 0);
  g_assert_cmpint (failures, >, 0);

  /* Reading still works on the full file system. */
  gint32 track = -1;
  g_assert_cmpint (storage_read_int ("/m/00000.mp3", "Track", &track), ==, 1);
  g_assert_cmpint (track, ==, 0);
  storage_close ();

  g_autofree gchar *check = tessel_test_sql_text (db, "PRAGMA integrity_check");
  g_assert_cmpstr (check, ==, "ok");
  g_autofree gchar *count = tessel_test_sql_text (
      db, "SELECT count(*) FROM Metadata");
  g_assert_cmpint (atoi (count), ==, stored);
  g_autofree gchar *whole = tessel_test_sql_text (
      db, "SELECT count(*) FROM Metadata WHERE length(Title) = 239 AND "
          "length(Album) = 239 AND Filename = printf('/m/%05d.mp3', Track) "
          "AND Present = 1 AND AddedTime > 0");
  g_assert_cmpint (atoi (whole), ==, stored);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/hostile/db/empty-file", test_empty_file);
  ADD ("/hostile/db/random-bytes", test_random_bytes);
  ADD ("/hostile/db/not-a-file", test_not_a_file);
  ADD ("/hostile/db/truncated", test_truncated);
  ADD ("/hostile/db/damaged-midway", test_damaged_midway);
  ADD ("/hostile/db/without-table", test_without_table);
  ADD ("/hostile/db/other-shape", test_other_shape);
  ADD ("/hostile/db/read-only-file", test_read_only_file);
  ADD ("/hostile/db/read-only-folder", test_read_only_folder);
  ADD ("/hostile/db/full-file-system", test_full_file_system);
  return g_test_run ();
}
