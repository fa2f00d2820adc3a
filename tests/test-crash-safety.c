/* Crash safety: a process storing rows is killed with SIGKILL at random
 * moments -- storing through storage_store and updating keys, or running
 * `tessel index` -- alone or while another process holds a write
 * transaction for a random time.  After every kill the database passes
 * its integrity check, every row a completed call reported is there and
 * whole, and the next run completes.
 *
 * The number of kills per test is TESSEL_CRASH_KILLS (default 20); the
 * long form, tests/crash-safety.sh, runs 200. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib/gstdio.h>
#include <sqlite3.h>

#include "tessel-test.h"

#define FILES 300

static gchar *self_path;

/* ---- the child processes ------------------------------------------- */

static void
log_line (int fd, const gchar *format, ...)
{
  va_list args;
  va_start (args, format);
  g_autofree gchar *line = g_strdup_vprintf (format, args);
  va_end (args);
  /* One write per line: a kill leaves a line whole or absent. */
  if (write (fd, line, strlen (line)) != (ssize_t) strlen (line))
    _exit (3);
}

/* Stores row after row from first on and, after each, updates the
 * Comment of an earlier row; every call that reports success is logged
 * ("S i" stored row i, "U j i" row j's Comment set to i).  Ends after
 * last, or never when killed first. */
static int
child_store (const gchar *db, const gchar *log, int first, int last)
{
  storage_set_path (db);
  g_autofree gchar *no_conf = g_strconcat (db, ".no-conf", NULL);
  meta_conf_set_path (no_conf);
  if (!meta_init ())
    return 2;
  int fd = open (log, O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (fd < 0)
    return 2;
  gchar pad[201];
  memset (pad, 'p', 200);
  pad[200] = '\0';
  for (int i = first; i <= last; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("/m/%06d.aaa", i);
      g_autofree gchar *title = g_strdup_printf ("title %d %s", i, pad);
      MetaItem *list = meta_list_append_text ("Filename", name, NULL);
      list = meta_list_append_text ("Title", title, list);
      list = meta_list_append_text ("Artist", "artist", list);
      list = meta_list_append_int ("Track", i, list);
      if (storage_store (list, name, 1))
        log_line (fd, "S %d\n", i);
      meta_free_list (&list);

      int earlier = i / 2;
      g_autofree gchar *other = g_strdup_printf ("/m/%06d.aaa", earlier);
      if (storage_file_exists (other, 0, NULL)
          && storage_write_int (other, "Comment", i))
        log_line (fd, "U %d %d\n", earlier, i);
    }
  close (fd);
  meta_destruct ();
  return 0;
}

/* Holds a write transaction for a random time, again and again, until
 * killed. */
static int
child_lock (const gchar *db, guint32 seed)
{
  sqlite3 *conn = NULL;
  if (sqlite3_open (db, &conn) != SQLITE_OK)
    return 2;
  sqlite3_busy_timeout (conn, 2000);
  GRand *rand = g_rand_new_with_seed (seed);
  for (;;)
    {
      if (sqlite3_exec (conn, "BEGIN IMMEDIATE", NULL, NULL, NULL)
          == SQLITE_OK)
        {
          sqlite3_exec (conn,
                        "UPDATE Metadata SET AccessTime = AccessTime + 1 "
                        "WHERE rowid = 1",
                        NULL, NULL, NULL);
          g_usleep (g_rand_int_range (rand, 0, 700) * 1000);
          sqlite3_exec (conn, "COMMIT", NULL, NULL, NULL);
        }
      g_usleep (g_rand_int_range (rand, 0, 300) * 1000);
    }
  return 0;
}

/* ---- checks -------------------------------------------------------- */

typedef struct
{
  gchar *dir;
  gchar *db;
  gchar *log;
  int kills;
  int lost;      /* reported rows or updates missing after a kill */
  int next;      /* first row the next store run starts with */
  GRand *rand;
} Crash;

static int
kills_wanted (void)
{
  const gchar *text = g_getenv ("TESSEL_CRASH_KILLS");
  int n = text != NULL ? atoi (text) : 0;
  return n > 0 ? n : 20;
}

static void
crash_init (Crash *c)
{
  g_autoptr (GError) error = NULL;
  c->dir = g_dir_make_tmp ("tessel-crash-XXXXXX", &error);
  g_assert_no_error (error);
  c->db = g_build_filename (c->dir, "meta_storage", NULL);
  c->log = g_build_filename (c->dir, "reported", NULL);
  c->kills = 0;
  c->lost = 0;
  c->next = 0;
  c->rand = g_rand_new_with_seed (g_test_rand_int ());
}

static void
crash_clear (Crash *c)
{
  g_autoptr (GDir) dir = g_dir_open (c->dir, 0, NULL);
  const gchar *name;
  while (dir != NULL && (name = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *path = g_build_filename (c->dir, name, NULL);
      g_unlink (path);
    }
  g_rmdir (c->dir);
  g_free (c->dir);
  g_free (c->db);
  g_free (c->log);
  g_rand_free (c->rand);
}

static sqlite3_stmt *
prepare (sqlite3 *conn, const gchar *sql)
{
  sqlite3_stmt *stmt = NULL;
  g_assert_cmpint (sqlite3_prepare_v2 (conn, sql, -1, &stmt, NULL), ==,
                   SQLITE_OK);
  return stmt;
}

static void
assert_integrity (sqlite3 *conn)
{
  sqlite3_stmt *stmt = prepare (conn, "PRAGMA integrity_check");
  g_assert_cmpint (sqlite3_step (stmt), ==, SQLITE_ROW);
  g_assert_cmpstr ((const gchar *) sqlite3_column_text (stmt, 0), ==, "ok");
  sqlite3_finalize (stmt);
}

/* Opens the database as a reader of its own; a hot journal left by the
 * kill is rolled back here, as by the next process to open it. */
static sqlite3 *
open_checked (const gchar *db)
{
  sqlite3 *conn = NULL;
  g_assert_cmpint (sqlite3_open (db, &conn), ==, SQLITE_OK);
  sqlite3_busy_timeout (conn, 10000);
  assert_integrity (conn);
  return conn;
}

/* Every logged store has its row, whole; every logged update's value (or
 * a later one) is there.  Returns the number of those missing. */
static int
check_reported (Crash *c, int *highest)
{
  g_autofree gchar *text = NULL;
  if (!g_file_get_contents (c->log, &text, NULL, NULL))
    text = g_strdup ("");
  sqlite3 *conn = open_checked (c->db);
  /* The table and its Comment column appear only once a run got that
   * far. */
  sqlite3_stmt *probe = prepare (
      conn, "SELECT (SELECT count(*) FROM sqlite_master WHERE name = "
            "'Metadata'), (SELECT count(*) FROM pragma_table_info('Metadata') "
            "WHERE name = 'Comment')");
  g_assert_cmpint (sqlite3_step (probe), ==, SQLITE_ROW);
  gboolean has_table = sqlite3_column_int (probe, 0) > 0;
  gboolean has_comment = sqlite3_column_int (probe, 1) > 0;
  sqlite3_finalize (probe);
  sqlite3_stmt *row = prepare (
      conn, has_table && has_comment
                ? "SELECT Title, Artist, Track, Present, AddedTime, Comment "
                  "FROM Metadata WHERE Filename = ?"
            : has_table
                ? "SELECT Title, Artist, Track, Present, AddedTime, NULL "
                  "FROM Metadata WHERE Filename = ?"
                : "SELECT 1 WHERE ? IS NULL");
  int missing = 0;
  *highest = -1;
  g_auto (GStrv) lines = g_strsplit (text, "\n", -1);
  for (gchar **l = lines; *l != NULL; l++)
    {
      int i, j;
      gboolean stored = sscanf (*l, "S %d", &i) == 1;
      gboolean updated = !stored && sscanf (*l, "U %d %d", &j, &i) == 2;
      if (!stored && !updated)
        continue;
      int target = stored ? i : j;
      g_autofree gchar *name = g_strdup_printf ("/m/%06d.aaa", target);
      sqlite3_bind_text (row, 1, name, -1, SQLITE_TRANSIENT);
      gboolean ok = sqlite3_step (row) == SQLITE_ROW;
      if (ok)
        {
          g_autofree gchar *title = g_strdup_printf ("title %d ", target);
          const gchar *t = (const gchar *) sqlite3_column_text (row, 0);
          const gchar *a = (const gchar *) sqlite3_column_text (row, 1);
          ok = t != NULL && g_str_has_prefix (t, title) && strlen (t) > 200
               && g_strcmp0 (a, "artist") == 0
               && sqlite3_column_int (row, 2) == target
               && sqlite3_column_int (row, 3) == 1
               && sqlite3_column_int64 (row, 4) > 0;
          if (updated)
            ok = ok && sqlite3_column_type (row, 5) == SQLITE_INTEGER
                 && sqlite3_column_int (row, 5) >= i;
        }
      if (!ok)
        {
          g_test_message ("lost after kill %d: %s", c->kills, *l);
          missing++;
        }
      if (stored)
        *highest = MAX (*highest, i);
      sqlite3_reset (row);
    }
  sqlite3_finalize (row);
  sqlite3_close (conn);
  return missing;
}

static GPid
spawn (gchar **argv)
{
  GPid pid = 0;
  g_autoptr (GError) error = NULL;
  g_spawn_async (NULL, argv, NULL,
                 G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL,
                 NULL, NULL, &pid, &error);
  g_assert_no_error (error);
  return pid;
}

/* Kills pid with SIGKILL and reaps it; TRUE when it was still running
 * (FALSE when it had ended on its own). */
static gboolean
kill_and_reap (GPid pid)
{
  int status = 0;
  gboolean running = waitpid (pid, &status, WNOHANG) == 0;
  if (running)
    {
      kill (pid, SIGKILL);
      while (waitpid (pid, &status, 0) < 0 && errno == EINTR)
        ;
    }
  g_spawn_close_pid (pid);
  return running;
}

static int
wait_exit (GPid pid)
{
  int status = 0;
  while (waitpid (pid, &status, 0) < 0 && errno == EINTR)
    ;
  g_spawn_close_pid (pid);
  return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
}

static GPid
spawn_locker (Crash *c)
{
  g_autofree gchar *seed = g_strdup_printf ("%u", g_rand_int (c->rand));
  gchar *argv[] = { self_path, (gchar *) "--child-lock", c->db, seed, NULL };
  return spawn (argv);
}

/* ---- the tests ----------------------------------------------------- */

static void
run_store_kills (gboolean busy)
{
  Crash c;
  crash_init (&c);
  int wanted = kills_wanted ();
  GPid locker = 0;
  for (int round = 0; c.kills < wanted && round < wanted * 4; round++)
    {
      g_autofree gchar *first = g_strdup_printf ("%d", c.next);
      gchar *argv[] = { self_path,     (gchar *) "--child-store",
                        c.db,          c.log,
                        first,         (gchar *) "1000000",
                        NULL };
      GPid pid = spawn (argv);
      if (busy && locker == 0)
        locker = spawn_locker (&c);
      g_usleep (g_rand_int_range (c.rand, 5, 250) * 1000);
      /* Now and then the lock holder dies mid-transaction too. */
      if (busy && g_rand_int_range (c.rand, 0, 4) == 0)
        {
          kill_and_reap (locker);
          locker = 0;
        }
      if (kill_and_reap (pid))
        c.kills++;
      int highest;
      c.lost += check_reported (&c, &highest);
      c.next = highest + 1;
    }
  if (locker != 0)
    kill_and_reap (locker);

  /* The next run, left alone, completes. */
  g_autofree gchar *first = g_strdup_printf ("%d", c.next);
  g_autofree gchar *last = g_strdup_printf ("%d", c.next + 20);
  gchar *argv[] = { self_path, (gchar *) "--child-store", c.db, c.log, first,
                    last,      NULL };
  g_assert_cmpint (wait_exit (spawn (argv)), ==, 0);
  int highest;
  c.lost += check_reported (&c, &highest);
  g_assert_cmpint (highest, ==, c.next + 20);

  g_test_message ("kills: %d survived of %d, rows lost: %d, rows stored: %d",
                  c.kills, wanted, c.lost, highest + 1);
  g_assert_cmpint (c.kills, ==, wanted);
  g_assert_cmpint (c.lost, ==, 0);
  crash_clear (&c);
}

static void
test_kill_while_storing (void)
{
  run_store_kills (FALSE);
}

static void
test_kill_while_busy (void)
{
  run_store_kills (TRUE);
}

/* Every row a killed `tessel index` left is whole: the plug-in's Title
 * and Artist, the file's size, Present. */
static int
check_index_rows (const gchar *db, const gchar *files_dir, int *rows)
{
  sqlite3 *conn = open_checked (db);
  /* Killed before the table was made: nothing to check. */
  const gchar *sql = "SELECT Filename, Title, Artist, Filesize, Present, "
                     "LastModification FROM Metadata";
  sqlite3_stmt *stmt = NULL;
  *rows = 0;
  if (sqlite3_prepare_v2 (conn, sql, -1, &stmt, NULL) != SQLITE_OK)
    {
      g_autofree gchar *table = tessel_test_sql_text (
          db, "SELECT name FROM sqlite_master WHERE name = 'Metadata'");
      g_assert_null (table);
      sqlite3_close (conn);
      return 0;
    }
  int broken = 0;
  while (sqlite3_step (stmt) == SQLITE_ROW)
    {
      (*rows)++;
      const gchar *name = (const gchar *) sqlite3_column_text (stmt, 0);
      const gchar *title = (const gchar *) sqlite3_column_text (stmt, 1);
      const gchar *artist = (const gchar *) sqlite3_column_text (stmt, 2);
      struct stat st;
      if (name == NULL || !g_str_has_prefix (name, files_dir)
          || stat (name, &st) != 0 || title == NULL
          || !g_str_has_prefix (title, "call ")
          || g_strcmp0 (artist, "libfakeok") != 0
          || sqlite3_column_int64 (stmt, 3) != st.st_size
          || sqlite3_column_int (stmt, 4) != 1
          || sqlite3_column_int64 (stmt, 5) != (gint64) st.st_mtime)
        {
          g_test_message ("broken row: %s", name);
          broken++;
        }
    }
  sqlite3_finalize (stmt);
  sqlite3_close (conn);
  return broken;
}

static void
crash_clear_media (Crash *c, const gchar *files, const gchar *conf)
{
  for (int i = 0; i < FILES; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("%s/%04d.aaa", files, i);
      g_unlink (name);
    }
  g_rmdir (files);
  g_unlink (conf);
  crash_clear (c);
}

static void
test_kill_tessel_index (void)
{
  Crash c;
  crash_init (&c);
  g_autofree gchar *files = g_build_filename (c.dir, "media", NULL);
  g_assert_cmpint (g_mkdir (files, 0700), ==, 0);
  for (int i = 0; i < FILES; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("%s/%04d.aaa", files, i);
      g_autofree gchar *data = g_strnfill (1 + i, 'd');
      g_assert_true (g_file_set_contents (name, data, -1, NULL));
    }
  g_autofree gchar *conf = g_build_filename (c.dir, "metadata_lib.conf", NULL);
  g_assert_true (g_file_set_contents (conf, "aaa libfakeok\n", -1, NULL));
  g_autofree gchar *tool = tessel_test_tool_path ();
  gchar *argv[] = { tool,     (gchar *) "index", (gchar *) "--batch",
                    (gchar *) "10",               (gchar *) "--database",
                    c.db,     (gchar *) "--config", conf,
                    files,    NULL };

  int wanted = kills_wanted ();
  GPid locker = 0;
  int rows = 0;
  int max_delay = 400;
  for (int round = 0; c.kills < wanted && round < wanted * 10; round++)
    {
      /* Once the table exists, half the rounds run against a lock
       * holder. */
      if (locker == 0 && round >= wanted / 2 && rows > 0)
        locker = spawn_locker (&c);
      GPid pid = spawn (argv);
      g_usleep (g_rand_int_range (c.rand, 5, max_delay) * 1000);
      if (kill_and_reap (pid))
        c.kills++;
      else
        /* It finished first (a fast machine, a memory file system): aim
         * earlier. */
        max_delay = MAX (max_delay / 2, 10);
      c.lost += check_index_rows (c.db, files, &rows);
      if (rows == FILES)
        {
          /* Everything is in: start again from an empty table so that
           * the kills keep landing in the middle of storing. */
          sqlite3 *conn = open_checked (c.db);
          g_assert_cmpint (sqlite3_exec (conn, "DELETE FROM Metadata", NULL,
                                         NULL, NULL),
                           ==, SQLITE_OK);
          sqlite3_close (conn);
        }
    }
  if (locker != 0)
    kill_and_reap (locker);

  /* The next run completes and accounts for every file. */
  g_autofree gchar *out = NULL;
  g_autofree gchar *err = NULL;
  gint status = 0;
  g_autoptr (GError) error = NULL;
  g_spawn_sync (NULL, argv, NULL, G_SPAWN_DEFAULT, NULL, NULL, &out, &err,
                &status, &error);
  g_assert_no_error (error);
  g_test_message ("last run: %s%s", out, err);
  g_assert_true (WIFEXITED (status));
  g_assert_cmpint (WEXITSTATUS (status), ==, 0);
  guint seen = 0, indexed = 0, unchanged = 0, skipped = 0;
  g_assert_cmpint (sscanf (out, "%u seen, %u indexed, %u unchanged, %u skipped",
                           &seen, &indexed, &unchanged, &skipped),
                   ==, 4);
  g_assert_cmpuint (seen, ==, FILES);
  g_assert_cmpuint (indexed + unchanged, ==, FILES);
  g_assert_cmpuint (skipped, ==, 0);
  c.lost += check_index_rows (c.db, files, &rows);
  g_assert_cmpint (rows, ==, FILES);

  g_test_message ("kills: %d survived of %d, broken rows: %d", c.kills,
                  wanted, c.lost);
  g_assert_cmpint (c.kills, ==, wanted);
  g_assert_cmpint (c.lost, ==, 0);

  crash_clear_media (&c, files, conf);
}

int
main (int argc, char **argv)
{
  if (argc == 6 && strcmp (argv[1], "--child-store") == 0)
    return child_store (argv[2], argv[3], atoi (argv[4]), atoi (argv[5]));
  if (argc == 4 && strcmp (argv[1], "--child-lock") == 0)
    return child_lock (argv[2], (guint32) strtoul (argv[3], NULL, 10));

  self_path = g_canonicalize_filename (argv[0], NULL);
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/crash/store/kill-while-storing", test_kill_while_storing);
  g_test_add_func ("/crash/store/kill-while-busy", test_kill_while_busy);
  g_test_add_func ("/crash/index/kill-tessel-index", test_kill_tessel_index);
  int result = g_test_run ();
  g_free (self_path);
  return result;
}
