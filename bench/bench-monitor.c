/* What a MetaMonitor costs and how soon it tells: the delay from a commit
 * by another connection to the "changed" signal (median and worst), in
 * write-ahead logging and with the rollback journal, and the CPU time the
 * process spends while nothing changes.
 *
 * Usage: bench-monitor [COMMITS [IDLE_SECONDS]]   (defaults 60 and 30)
 *
 * A writer thread with a connection of its own commits one update at a
 * time, with pauses that cycle from shorter than the monitor's hold to
 * well past it.  After each signal the main thread reads which commits are
 * visible; a commit's delay runs from the return of its COMMIT to the
 * first signal after which it was visible. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "metadata.h"
#include "metadata_monitor.h"
#include "metadata_storage.h"
#include "tessel-test.h"

/* Milliseconds between two commits, cycled through. */
static const guint pauses_ms[] = { 40, 100, 170, 300, 700 };

typedef struct
{
  const gchar *db;
  int commits;
  gint64 *committed; /* monotonic time at which commit i returned */
  GMainLoop *loop;
} Writer;

typedef struct
{
  sqlite3 *reader;
  int commits;
  gint64 *told;      /* time of the first signal showing commit i, or 0 */
  int signals;
} Listener;

static gboolean
quit_loop (gpointer data)
{
  g_main_loop_quit (data);
  return G_SOURCE_REMOVE;
}

static gpointer
write_commits (gpointer data)
{
  Writer *w = data;
  sqlite3 *db = NULL;
  if (sqlite3_open (w->db, &db) != SQLITE_OK)
    g_error ("cannot open %s", w->db);
  sqlite3_busy_timeout (db, 5000);
  if (sqlite3_exec (db, "INSERT INTO Metadata (Filename, AccessTime) "
                        "VALUES ('/bench', 0)",
                    NULL, NULL, NULL)
      != SQLITE_OK)
    g_error ("cannot insert: %s", sqlite3_errmsg (db));
  g_usleep (1000 * 1000);
  for (int i = 1; i <= w->commits; i++)
    {
      g_usleep (pauses_ms[i % G_N_ELEMENTS (pauses_ms)] * 1000);
      g_autofree gchar *sql = g_strdup_printf (
          "UPDATE Metadata SET AccessTime = %d WHERE Filename = '/bench'", i);
      if (sqlite3_exec (db, sql, NULL, NULL, NULL) != SQLITE_OK)
        g_error ("commit %d: %s", i, sqlite3_errmsg (db));
      w->committed[i] = g_get_monotonic_time ();
    }
  sqlite3_close (db);
  /* Time for the last commit's signal. */
  g_usleep (1000 * 1000);
  g_main_context_invoke (NULL, quit_loop, w->loop);
  return NULL;
}

/* The highest commit visible now. */
static int
visible_commit (sqlite3 *reader)
{
  sqlite3_stmt *stmt = NULL;
  int value = 0;
  if (sqlite3_prepare_v2 (reader, "SELECT AccessTime FROM Metadata "
                                  "WHERE Filename = '/bench'",
                          -1, &stmt, NULL)
          == SQLITE_OK
      && sqlite3_step (stmt) == SQLITE_ROW)
    value = sqlite3_column_int (stmt, 0);
  sqlite3_finalize (stmt);
  return value;
}

static void
on_changed (MetaMonitor *monitor, gpointer data)
{
  (void) monitor;
  gint64 now = g_get_monotonic_time ();
  Listener *l = data;
  l->signals++;
  int visible = visible_commit (l->reader);
  for (int i = 1; i <= visible && i <= l->commits; i++)
    if (l->told[i] == 0)
      l->told[i] = now;
}

static int
compare (const void *a, const void *b)
{
  gint64 x = *(const gint64 *) a, y = *(const gint64 *) b;
  return x < y ? -1 : x > y;
}

/* CPU time of the whole process (all threads) in microseconds. */
static gint64
process_cpu_us (gint64 *user, gint64 *sys)
{
  struct rusage usage;
  getrusage (RUSAGE_SELF, &usage);
  *user = usage.ru_utime.tv_sec * G_USEC_PER_SEC + usage.ru_utime.tv_usec;
  *sys = usage.ru_stime.tv_sec * G_USEC_PER_SEC + usage.ru_stime.tv_usec;
  return *user + *sys;
}

static void
run_loop_for (GMainLoop *loop, guint seconds)
{
  g_timeout_add_seconds (seconds, quit_loop, loop);
  g_main_loop_run (loop);
}

/* One mode: delays of commits, then the idle cost when idle_seconds > 0. */
static void
measure (const char *mode, gboolean write_ahead_log, int commits,
         guint idle_seconds)
{
  g_autofree gchar *dir = g_dir_make_tmp ("bench-monitor-XXXXXX", NULL);
  g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
  storage_set_path (db);
  tessel_test_use_shm (write_ahead_log);
  if (!meta_init ())
    g_error ("cannot create %s", db);

  g_autoptr (GMainLoop) loop = g_main_loop_new (NULL, FALSE);
  Listener l = { NULL, commits, g_new0 (gint64, commits + 1), 0 };
  if (sqlite3_open_v2 (db, &l.reader, SQLITE_OPEN_READONLY, NULL)
      != SQLITE_OK)
    g_error ("cannot read %s", db);
  /* As an application reads through the library: a commit in progress is
   * waited for. */
  sqlite3_busy_timeout (l.reader, 500);
  MetaMonitor *monitor = meta_monitor_new ();
  if (monitor == NULL)
    g_error ("no monitor on %s", db);
  g_signal_connect (monitor, "changed", G_CALLBACK (on_changed), &l);
  /* The monitor watches on with a connection of its own.  The library's
   * goes: on the tests' file system without shared memory a connection
   * keeps its write lock once it has written, which would lock the
   * writer out. */
  meta_destruct ();

  Writer w = { db, commits, g_new0 (gint64, commits + 1), loop };
  GThread *writer = g_thread_new ("writer", write_commits, &w);
  g_main_loop_run (loop);
  g_thread_join (writer);

  gint64 *delays = g_new (gint64, commits);
  int told = 0;
  for (int i = 1; i <= commits; i++)
    if (l.told[i] != 0)
      delays[told++] = MAX (l.told[i] - w.committed[i], 0);
  qsort (delays, told, sizeof *delays, compare);
  printf ("%-9s %7d %6d %8d %10.1f %9.1f\n", mode, commits, commits - told,
          l.signals, told > 0 ? delays[told / 2] / 1000.0 : 0.0,
          told > 0 ? delays[told - 1] / 1000.0 : 0.0);
  fflush (stdout);

  if (idle_seconds > 0)
    {
      /* GLib's own file monitors settle two seconds after the last write. */
      run_loop_for (loop, 3);
      int before = l.signals;
      gint64 user0, sys0, user1, sys1;
      process_cpu_us (&user0, &sys0);
      run_loop_for (loop, idle_seconds);
      process_cpu_us (&user1, &sys1);
      fflush (stdout);
      printf ("idle %u s (%s): %.3f ms user, %.3f ms system, %d signals\n",
              idle_seconds, mode, (user1 - user0) / 1000.0,
              (sys1 - sys0) / 1000.0, l.signals - before);
      fflush (stdout);
    }

  g_object_unref (monitor);
  sqlite3_close (l.reader);
  tessel_test_use_shm (TRUE);
  g_free (delays);
  g_free (l.told);
  g_free (w.committed);
  static const char *const suffixes[] = { "", "-wal", "-shm", "-journal" };
  for (guint i = 0; i < G_N_ELEMENTS (suffixes); i++)
    {
      g_autofree gchar *name = g_strconcat (db, suffixes[i], NULL);
      g_unlink (name);
    }
  g_rmdir (dir);
}

int
main (int argc, char **argv)
{
  int commits = argc > 1 ? atoi (argv[1]) : 60;
  int idle = argc > 2 ? atoi (argv[2]) : 30;
  if (commits < 1)
    commits = 60;
  if (idle < 0)
    idle = 30;
  printf ("%-9s %7s %6s %8s %10s %9s\n", "mode", "commits", "missed",
          "signals", "median ms", "worst ms");
  measure ("wal", TRUE, commits, (guint) idle);
  measure ("rollback", FALSE, commits, 0);
  return 0;
}
