/* MetaMonitor: a signal for commits by this process, another process and
 * the sqlite3 shell, with write-ahead logging and with the rollback
 * journal; bursts coalesced, silence while nothing changes, and a clean
 * stop when released with a change on its way.  Waits are bounded main
 * loop runs; nothing is timed.  Also `tessel monitor`.
 *
 * Run as "test-monitor --store-urls DB CONF COUNT MODE", the program is
 * another application storing COUNT rows through the library. */
#include <stdlib.h>
#include <string.h>

#include <gio/gio.h>
#include <sqlite3.h>

#include "metadata_monitor.h"
#include "tessel-test.h"

/* Long enough for a loaded machine under the sanitizers; the monitor's
 * own bound (half a second) is what bench-monitor measures. */
#define WAIT_LIMIT_MS 10000
/* How long silence is listened for. */
#define QUIET_MS 1000
/* The monitor holds signals this long after one (metadata_monitor.cpp). */
#define HOLD_MS 150

static const gchar *tool;

typedef struct
{
  const gchar *name;
  gboolean rollback;
} Mode;

static const Mode modes[] = { { "wal", FALSE }, { "rollback", TRUE } };

typedef struct _Writer Writer;

/* A test's journal mode and, for the writer tests, its writer. */
typedef struct
{
  const Mode *mode;
  const Writer *writer;
} Case;

typedef struct
{
  TesselFixture fx;
  const Mode *mode;
  MetaMonitor *monitor;
  guint signals;
  gboolean writing;
} Fixture;

static void
on_changed (MetaMonitor *monitor, gpointer data)
{
  Fixture *f = data;
  g_assert_true (monitor == f->monitor);
  f->signals++;
}

/* The library opens the database in the mode's journal and a monitor
 * watches it.  The library's connection is closed again: on the tests'
 * file system without shared memory a connection keeps its write lock
 * once it has written, which would lock every other writer out.  The
 * monitor watches on with a connection of its own. */
static void
setup (Fixture *f, gconstpointer data)
{
  tessel_fixture_setup (&f->fx, NULL);
  f->mode = ((const Case *) data)->mode;
  if (f->mode->rollback)
    tessel_test_use_shm (FALSE);
  g_assert_cmpint (meta_init (), ==, 1);
  g_autofree gchar *journal
      = tessel_test_sql_text (f->fx.db, "PRAGMA journal_mode");
  g_assert_cmpstr (journal, ==, f->mode->rollback ? "delete" : "wal");
  f->monitor = meta_monitor_new ();
  g_assert_nonnull (f->monitor);
  g_signal_connect (f->monitor, "changed", G_CALLBACK (on_changed), f);
  g_assert_cmpint (meta_destruct (), ==, 0);
}

static void
teardown (Fixture *f, gconstpointer data)
{
  (void) data;
  g_clear_object (&f->monitor);
  tessel_test_use_shm (TRUE);
  tessel_fixture_teardown (&f->fx, NULL);
}

static gboolean
on_limit (gpointer data)
{
  *(gboolean *) data = TRUE;
  return G_SOURCE_REMOVE;
}

/* Iterates the main context until done (f) holds or limit_ms passed;
 * done (f) at the end. */
static gboolean
wait_until (Fixture *f, gboolean (*done) (Fixture *f), guint limit_ms)
{
  gboolean expired = FALSE;
  guint limit = g_timeout_add (limit_ms, on_limit, &expired);
  while (!done (f) && !expired)
    g_main_context_iteration (NULL, TRUE);
  if (!expired)
    g_source_remove (limit);
  return done (f);
}

static gboolean
never (Fixture *f)
{
  (void) f;
  return FALSE;
}

static gboolean
written_and_told (Fixture *f)
{
  return !f->writing && f->signals > 0;
}

/* TRUE when the monitor has a look planned.  Its timer's data is the
 * monitor itself. */
static gboolean
monitor_timer_pending (Fixture *f)
{
  return g_main_context_find_source_by_funcs_user_data (
             NULL, &g_timeout_funcs, f->monitor)
         != NULL;
}

static gboolean
settled (Fixture *f)
{
  return !f->writing && !monitor_timer_pending (f);
}

/* Writers: each starts count commits and sets f->writing until they are
 * all made. */

static gboolean
on_thread_done (gpointer data)
{
  ((Fixture *) data)->writing = FALSE;
  return G_SOURCE_REMOVE;
}

typedef struct
{
  Fixture *f;
  guint count;
} ThreadWrite;

/* The library in a thread of this process, as a player's indexing thread
 * would store rows; the main thread only runs the monitor. */
static gpointer
store_in_thread (gpointer data)
{
  ThreadWrite *w = data;
  g_assert_cmpint (meta_init (), ==, 1);
  for (guint i = 0; i < w->count; i++)
    {
      g_autofree gchar *url = g_strdup_printf ("http://this/%u", i);
      g_assert_cmpint (meta_add_url (url), ==, 1);
    }
  g_assert_cmpint (meta_destruct (), ==, 0);
  g_idle_add (on_thread_done, w->f);
  g_free (w);
  return NULL;
}

static void
write_this_process (Fixture *f, guint count)
{
  ThreadWrite *w = g_new0 (ThreadWrite, 1);
  w->f = f;
  w->count = count;
  f->writing = TRUE;
  g_thread_unref (g_thread_new ("writer", store_in_thread, w));
}

static void
on_process_done (GObject *source, GAsyncResult *result, gpointer data)
{
  GError *error = NULL;
  g_subprocess_wait_check_finish (G_SUBPROCESS (source), result, &error);
  g_assert_no_error (error);
  ((Fixture *) data)->writing = FALSE;
}

static void
spawn_writer (Fixture *f, const gchar *const *argv)
{
  GError *error = NULL;
  GSubprocess *process = g_subprocess_newv (argv, G_SUBPROCESS_FLAGS_NONE,
                                            &error);
  g_assert_no_error (error);
  f->writing = TRUE;
  g_subprocess_wait_check_async (process, NULL, on_process_done, f);
  g_object_unref (process);
}

/* Another application using the library: this program in its writer
 * role. */
static void
write_other_process (Fixture *f, guint count)
{
  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", NULL);
  g_autofree gchar *number = g_strdup_printf ("%u", count);
  const gchar *argv[] = { self, "--store-urls", f->fx.db, f->fx.conf,
                          number, f->mode->name, NULL };
  spawn_writer (f, argv);
}

/* The sqlite3 shell, one commit per statement.  Without syncs: the burst
 * is about signals, not about the disk. */
static void
write_sqlite3_shell (Fixture *f, guint count)
{
  g_autoptr (GString) sql = g_string_new ("PRAGMA synchronous = OFF;");
  for (guint i = 0; i < count; i++)
    g_string_append_printf (sql, "INSERT INTO Metadata (Filename) VALUES "
                                 "('/shell/%u');",
                            i);
  /* In rollback mode the monitor's own look holds a read lock for a
   * moment, as any reader does: the shell waits as applications do. */
  const gchar *argv[] = { "sqlite3", "-cmd", ".timeout 5000", f->fx.db,
                          sql->str, NULL };
  spawn_writer (f, argv);
}

struct _Writer
{
  const gchar *name;
  void (*write) (Fixture *f, guint count);
};

static const Writer writers[] = {
  { "this-process", write_this_process },
  { "other-process", write_other_process },
  { "sqlite3-shell", write_sqlite3_shell },
};


static gboolean
writer_missing (const Writer *writer)
{
  if (writer->write != write_sqlite3_shell)
    return FALSE;
  g_autofree gchar *shell = g_find_program_in_path ("sqlite3");
  if (shell != NULL)
    return FALSE;
  g_test_skip ("no sqlite3 shell (scripts/install-deps installs it)");
  return TRUE;
}

/* One commit gives a signal, on this thread's main context. */
static void
test_one_commit (Fixture *f, gconstpointer data)
{
  const Case *c = data;
  if (writer_missing (c->writer))
    return;
  c->writer->write (f, 1);
  g_assert_true (wait_until (f, written_and_told, WAIT_LIMIT_MS));
}

/* A burst of 100 commits gives a signal at first and then at most one per
 * hold while the burst lasts: a few, not one per commit.  The bound is
 * the burst's length in holds, since every commit is told within half a
 * second also while a burst lasts; a burst of a third of a second (100
 * commits in the log) gives two or three, one of three seconds (100
 * synced commits with the rollback journal) up to twenty. */
static void
test_burst (Fixture *f, gconstpointer data)
{
  const Case *c = data;
  if (writer_missing (c->writer))
    return;
  gint64 start = g_get_monotonic_time ();
  c->writer->write (f, 100);
  /* A fast writer can be done before the file events reach this thread:
   * the first signal, then the quiet after the last. */
  g_assert_true (wait_until (f, written_and_told, WAIT_LIMIT_MS));
  g_assert_true (wait_until (f, settled, WAIT_LIMIT_MS));
  gint64 lasted_ms = (g_get_monotonic_time () - start) / 1000;
  g_test_message ("100 commits and the looks after them: %" G_GINT64_FORMAT
                  " ms, %u signals",
                  lasted_ms, f->signals);
  g_assert_cmpuint (f->signals, >=, 1);
  g_assert_cmpuint (f->signals, <=, 2 + lasted_ms / HOLD_MS);
}

/* Nothing changes: no signal, and no timer; after a change the monitor
 * goes back to that. */
static void
test_idle (Fixture *f, gconstpointer data)
{
  (void) data;
  g_assert_false (monitor_timer_pending (f));
  wait_until (f, never, QUIET_MS);
  g_assert_cmpuint (f->signals, ==, 0);
  g_assert_false (monitor_timer_pending (f));

  write_this_process (f, 1);
  g_assert_true (wait_until (f, written_and_told, WAIT_LIMIT_MS));
  g_assert_true (wait_until (f, settled, WAIT_LIMIT_MS));
  guint told = f->signals;
  wait_until (f, never, QUIET_MS);
  g_assert_cmpuint (f->signals, ==, told);
  g_assert_false (monitor_timer_pending (f));
}

/* Released while holding, with a commit waiting to be told: the monitor
 * is gone at once and nothing of it runs later. */
static void
test_release_pending (Fixture *f, gconstpointer data)
{
  (void) data;
  write_this_process (f, 1);
  g_assert_true (wait_until (f, written_and_told, WAIT_LIMIT_MS));
  g_assert_true (monitor_timer_pending (f));
  tessel_test_sql (f->fx.db,
                   "INSERT INTO Metadata (Filename) VALUES ('/pending')");
  guint told = f->signals;
  gpointer monitor = f->monitor;
  g_object_add_weak_pointer (G_OBJECT (monitor), &monitor);
  g_clear_object (&f->monitor);
  g_assert_null (monitor);
  wait_until (f, never, QUIET_MS);
  g_assert_cmpuint (f->signals, ==, told);
}

typedef struct
{
  Fixture *f;
  GMainContext *context;
  GThread *told_in;
  gboolean ready;
} ThreadMonitor;

static void
on_changed_in_thread (MetaMonitor *monitor, gpointer data)
{
  (void) monitor;
  ThreadMonitor *t = data;
  t->told_in = g_thread_self ();
}

static gboolean
on_ready (gpointer data)
{
  ((ThreadMonitor *) data)->ready = TRUE;
  return G_SOURCE_REMOVE;
}

/* A monitor made in a thread, with that thread's own main context,
 * until a signal came. */
static gpointer
monitor_in_thread (gpointer data)
{
  ThreadMonitor *t = data;
  g_main_context_push_thread_default (t->context);
  g_assert_cmpint (meta_init (), ==, 1);
  MetaMonitor *monitor = meta_monitor_new ();
  g_assert_cmpint (meta_destruct (), ==, 0);
  g_assert_nonnull (monitor);
  g_signal_connect (monitor, "changed", G_CALLBACK (on_changed_in_thread), t);
  g_main_context_invoke (NULL, on_ready, t);
  while (t->told_in == NULL)
    g_main_context_iteration (t->context, TRUE);
  g_object_unref (monitor);
  g_main_context_pop_thread_default (t->context);
  return NULL;
}

static gboolean
thread_ready (Fixture *f)
{
  return ((ThreadMonitor *) f->monitor)->ready;
}

static gboolean
thread_told (Fixture *f)
{
  return ((ThreadMonitor *) f->monitor)->told_in != NULL;
}

/* The signal comes on the main context that was the thread default of
 * the thread that made the monitor, not on the default one. */
static void
test_thread_default_context (Fixture *f, gconstpointer data)
{
  (void) data;
  g_clear_object (&f->monitor);
  ThreadMonitor t = { f, g_main_context_new (), NULL, FALSE };
  /* The helpers look at f->monitor; here it stands for the thread. */
  f->monitor = (MetaMonitor *) &t;
  GThread *thread = g_thread_new ("monitor", monitor_in_thread, &t);
  g_assert_true (wait_until (f, thread_ready, WAIT_LIMIT_MS));
  tessel_test_sql (f->fx.db,
                   "INSERT INTO Metadata (Filename) VALUES ('/thread')");
  g_assert_true (wait_until (f, thread_told, WAIT_LIMIT_MS));
  g_thread_join (thread);
  g_assert_true (t.told_in == thread);
  g_assert_cmpuint (f->signals, ==, 0);
  f->monitor = NULL;
  g_main_context_unref (t.context);
}

/* Without an open database there is nothing to watch. */
static void
test_without_database (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  (void) fx;
  g_assert_null (meta_monitor_new ());
  g_assert_cmpint (meta_init (), ==, 1);
  g_assert_cmpint (meta_destruct (), ==, 0);
  g_assert_null (meta_monitor_new ());
}

static void
on_tool_done (GObject *source, GAsyncResult *result, gpointer data)
{
  gchar **out = data;
  GError *error = NULL;
  g_subprocess_communicate_utf8_finish (G_SUBPROCESS (source), result, out,
                                        NULL, &error);
  g_assert_no_error (error);
  if (*out == NULL)
    *out = g_strdup ("");
}

static gboolean
tool_ended (Fixture *f)
{
  return *(gchar **) f->monitor != NULL;
}

/* tessel monitor prints a line for the change and ends after --count. */
static void
test_tool_prints_changes (Fixture *f, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  GSubprocess *process = g_subprocess_new (
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE,
      &error, tool, "monitor", "--database", f->fx.db, "--count", "1", NULL);
  g_assert_no_error (error);
  /* It tells on stderr when it watches. */
  GDataInputStream *err = g_data_input_stream_new (
      g_subprocess_get_stderr_pipe (process));
  g_autofree gchar *line
      = g_data_input_stream_read_line (err, NULL, NULL, &error);
  g_assert_no_error (error);
  g_assert_true (g_str_has_prefix (line, "tessel: monitor: watching "));
  tessel_test_sql (f->fx.db, "INSERT INTO Metadata (Filename) VALUES ('/t')");

  gchar *out = NULL;
  g_clear_object (&f->monitor);
  f->monitor = (MetaMonitor *) &out;
  g_subprocess_communicate_utf8_async (process, NULL, NULL, on_tool_done,
                                       &out);
  gboolean ended = wait_until (f, tool_ended, WAIT_LIMIT_MS);
  f->monitor = NULL;
  if (!ended)
    g_subprocess_force_exit (process);
  g_assert_true (ended);
  g_assert_cmpstr (out, ==, "changed\n");
  g_assert_true (g_subprocess_get_if_exited (process));
  g_assert_cmpint (g_subprocess_get_exit_status (process), ==, 0);
  g_free (out);
  g_object_unref (err);
  g_object_unref (process);
}

/* The writer role: stores count stream rows through the library. */
static int
store_urls (const gchar *db, const gchar *conf, const gchar *count,
            const gchar *mode)
{
  storage_set_path (db);
  meta_conf_set_path (conf);
  if (strcmp (mode, "rollback") == 0)
    tessel_test_use_shm (FALSE);
  if (!meta_init ())
    return 1;
  int n = atoi (count);
  for (int i = 0; i < n; i++)
    {
      g_autofree gchar *url = g_strdup_printf ("http://other/%d", i);
      if (!meta_add_url (url))
        return 1;
    }
  return meta_destruct () == 0 ? 0 : 1;
}

int
main (int argc, char **argv)
{
  if (argc == 6 && strcmp (argv[1], "--store-urls") == 0)
    return store_urls (argv[2], argv[3], argv[4], argv[5]);
  g_test_init (&argc, &argv, NULL);
  tool = tessel_test_tool_arg (argc, argv);

  static const struct
  {
    const gchar *name;
    void (*test) (Fixture *f, gconstpointer data);
  } writer_tests[] = {
    { "one-commit", test_one_commit },
    { "burst-of-100", test_burst },
  }, mode_tests[] = {
    { "idle/no-signal-no-timer", test_idle },
    { "release/change-pending", test_release_pending },
  };
  static Case cases[G_N_ELEMENTS (modes) * (G_N_ELEMENTS (writers) + 1)];
  guint n = 0;
  for (guint m = 0; m < G_N_ELEMENTS (modes); m++)
    {
      for (guint w = 0; w < G_N_ELEMENTS (writers); w++)
        {
          cases[n] = (Case){ &modes[m], &writers[w] };
          for (guint t = 0; t < G_N_ELEMENTS (writer_tests); t++)
            {
              g_autofree gchar *path = g_strdup_printf (
                  "/monitor/%s/%s/%s", modes[m].name, writers[w].name,
                  writer_tests[t].name);
              g_test_add (path, Fixture, &cases[n], setup,
                          writer_tests[t].test, teardown);
            }
          n++;
        }
      cases[n] = (Case){ &modes[m], NULL };
      for (guint t = 0; t < G_N_ELEMENTS (mode_tests); t++)
        {
          g_autofree gchar *path = g_strdup_printf (
              "/monitor/%s/%s", modes[m].name, mode_tests[t].name);
          g_test_add (path, Fixture, &cases[n], setup, mode_tests[t].test,
                      teardown);
        }
      n++;
    }
  g_test_add ("/monitor/wal/signal-on-creating-thread-context", Fixture,
              &cases[G_N_ELEMENTS (writers)], setup,
              test_thread_default_context, teardown);
  g_test_add ("/monitor/tool/prints-changes", Fixture,
              &cases[G_N_ELEMENTS (writers)], setup,
              test_tool_prints_changes, teardown);
  TESSEL_TEST_ADD ("/monitor/refused/without-database",
                   test_without_database);
  return g_test_run ();
}
