/* Storing at library scale: how fast storage_store adds rows to an empty
 * library and to a large one, and how long a writer (a player saving a
 * play count every 20 ms) waits while other processes read the whole
 * library.
 *
 * Usage: bench-storage [--rows N] [--store N] [--limit N] [--dir DIR]
 *        bench-storage --fill DB N
 *        bench-storage --writer-during DB COMMAND...
 * --rows is the large library (default 100000), --store the rows stored
 * into each library (default 2000), --limit the max_storage_limit in force
 * (default 250000, the installed one), --dir where the databases go
 * (default a new folder under the system's temporary folder; it must be
 * on a disk for the figures to include syncing).  --fill only creates DB
 * with N generated rows, for bench-index-scale.sh.  --writer-during runs
 * COMMAND while the player writes into DB (which must hold rows), and
 * prints "writes slowest_ms p99_ms failures", for bench-speed.sh.
 *
 * It uses the public calls only, so the same program measures another
 * build of the library through LD_LIBRARY_PATH. */
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "bench-library.h"
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "mp_library_store_database.h"

namespace
{

double
wall_ms ()
{
  return g_get_monotonic_time () / 1000.0;
}

/* A fresh database at path holding rows generated rows, closed. */
void
make_library (const char *path, int rows)
{
  for (const char *suffix : { "", "-journal", "-wal", "-shm" })
    {
      g_autofree gchar *file = g_strconcat (path, suffix, NULL);
      g_unlink (file);
    }
  storage_set_path (path);
  if (!storage_init ())
    g_error ("cannot create %s", path);
  storage_close ();
  if (rows > 0)
    bench_generate_library (path, rows);
}

gchar *
journal_mode (const char *path)
{
  sqlite3 *db = NULL;
  sqlite3_open (path, &db);
  sqlite3_stmt *stmt = NULL;
  sqlite3_prepare_v2 (db, "PRAGMA journal_mode", -1, &stmt, NULL);
  gchar *mode = sqlite3_step (stmt) == SQLITE_ROW
                    ? g_strdup ((const char *) sqlite3_column_text (stmt, 0))
                    : g_strdup ("?");
  sqlite3_finalize (stmt);
  sqlite3_close (db);
  return mode;
}

/* Rows per second of storing count new rows into a library of rows. */
double
store_rate (const char *dir, int rows, int count)
{
  g_autofree gchar *path = g_build_filename (dir, "store.db", NULL);
  make_library (path, rows);
  storage_set_path (path);
  if (!storage_init ())
    g_error ("cannot open %s", path);
  double start = wall_ms ();
  bench_store_new_rows (count, "/media/mmc2/New");
  double rate = count / ((wall_ms () - start) / 1000.0);
  storage_close ();
  return rate;
}

/* Names of up to count songs of the library, for the writer. */
std::vector<std::string>
some_names (const char *path, int count)
{
  std::vector<std::string> names;
  sqlite3 *db = NULL;
  sqlite3_open (path, &db);
  sqlite3_stmt *stmt = NULL;
  sqlite3_prepare_v2 (db,
                      "SELECT Filename FROM Metadata WHERE Filename LIKE "
                      "'%.mp3' ORDER BY rowid LIMIT ?",
                      -1, &stmt, NULL);
  sqlite3_bind_int (stmt, 1, count);
  while (sqlite3_step (stmt) == SQLITE_ROW)
    names.emplace_back ((const char *) sqlite3_column_text (stmt, 0));
  sqlite3_finalize (stmt);
  sqlite3_close (db);
  return names;
}

struct Writer
{
  pid_t pid;
  int stop_fd;   /* closing it tells the writer to stop */
  int result_fd; /* the writer's one result line */
};

/* The player: a process of its own that writes AccessTime of one song
 * after another every 20 ms until told to stop, timing each call, then
 * reports "writes slowest_ms p99_ms failures". */
Writer
start_writer (const char *path, const std::vector<std::string> &names)
{
  int stop[2], result[2];
  if (pipe (stop) != 0 || pipe (result) != 0)
    g_error ("pipe");
  pid_t pid = fork ();
  if (pid < 0)
    g_error ("fork");
  if (pid == 0)
    {
      close (stop[1]);
      close (result[0]);
      storage_set_path (path);
      if (!storage_init ())
        _exit (2);
      std::vector<double> times;
      int failures = 0;
      struct pollfd pfd = { stop[0], POLLIN, 0 };
      for (size_t i = 0; poll (&pfd, 1, 20) == 0; i++)
        {
          double start = wall_ms ();
          if (!storage_write_int (names[i % names.size ()].c_str (),
                                  "AccessTime", 1700000000 + (int) i))
            failures++;
          times.push_back (wall_ms () - start);
        }
      storage_close ();
      std::sort (times.begin (), times.end ());
      double slowest = times.empty () ? 0 : times.back ();
      double p99 = times.empty () ? 0 : times[times.size () * 99 / 100];
      g_autofree gchar *line = g_strdup_printf (
          "%zu %.1f %.1f %d\n", times.size (), slowest, p99, failures);
      if (write (result[1], line, strlen (line)) < 0)
        _exit (3);
      _exit (0);
    }
  close (stop[0]);
  close (result[1]);
  return { pid, stop[1], result[0] };
}

void
stop_writer (Writer *w, const char *label)
{
  close (w->stop_fd);
  char line[128] = "";
  ssize_t n = read (w->result_fd, line, sizeof line - 1);
  close (w->result_fd);
  int status = 0;
  waitpid (w->pid, &status, 0);
  int writes = 0, failures = 0;
  double slowest = 0, p99 = 0;
  if (n <= 0
      || sscanf (line, "%d %lf %lf %d", &writes, &slowest, &p99, &failures)
             != 4)
    g_error ("the writer reported nothing");
  printf ("  %-44s %6d %9.1f %8.1f %9d\n", label, writes, slowest, p99,
          failures);
}

/* Lists every song through the database store, again and again, for
 * seconds seconds: a media player's library view. */
void
list_all_songs (double seconds)
{
  MpLibraryStoreDatabase *store = mp_library_store_database_get_instance ();
  double end = wall_ms () + seconds * 1000;
  while (wall_ms () < end)
    {
      GError *error = NULL;
      GList *songs = mp_library_store_database_get_songs (store, &error);
      for (GList *l = songs; l != NULL; l = l->next)
        g_object_unref (l->data);
      g_list_free (songs);
      g_clear_error (&error);
    }
}

struct SlowSearch
{
  gint rows = 0;
  gint done = 0;
};

void
slow_row (const gchar *filename, gchar **keys, gchar **values,
          gpointer user_data, gint search_id) noexcept
{
  (void) keys, (void) values, (void) search_id;
  auto *s = static_cast<SlowSearch *> (user_data);
  if (filename == NULL)
    {
      g_atomic_int_set (&s->done, 1);
      return;
    }
  s->rows++;
  g_usleep (200); /* a browser that takes 0.2 ms a row */
}

/* An asynchronous search over 30,000 rows whose rows are taken slowly. */
void
read_search_slowly ()
{
  SlowSearch search;
  if (meta_search_async (0, "SELECT * FROM Metadata LIMIT 30000", slow_row,
                         &search)
      < 0)
    g_error ("the search did not start");
  /* A bound, so that a search that never ends does not hang the run. */
  double give_up = wall_ms () + 120000;
  while (!g_atomic_int_get (&search.done) && wall_ms () < give_up)
    g_usleep (10000);
  if (!g_atomic_int_get (&search.done))
    g_error ("the search did not end");
}

void
writer_latency (const char *dir, int rows)
{
  g_autofree gchar *path = g_build_filename (dir, "latency.db", NULL);
  make_library (path, rows);
  std::vector<std::string> names = some_names (path, 500);
  if (names.empty ())
    g_error ("no songs to write");
  printf ("\nwriter latency, one write every 20 ms, %d rows (ms):\n", rows);
  printf ("  %-44s %6s %9s %8s %9s\n", "while", "writes", "slowest", "p99",
          "failures");

  Writer w = start_writer (path, names);
  g_usleep (300000);
  storage_set_path (path);
  if (!meta_init ())
    g_error ("cannot open %s", path);
  list_all_songs (6);
  meta_destruct ();
  stop_writer (&w, "another process lists all songs (6 s)");

  w = start_writer (path, names);
  g_usleep (300000);
  if (!meta_init ())
    g_error ("cannot open %s", path);
  read_search_slowly ();
  meta_destruct ();
  stop_writer (&w, "an asynchronous search is read slowly");
}

} // namespace

int
main (int argc, char **argv)
{
  int rows = 100000, count = 2000, limit = 250000;
  const char *dir_arg = NULL;
  for (int i = 1; i < argc; i++)
    {
      if (strcmp (argv[i], "--fill") == 0 && i + 2 < argc)
        {
          config.max_storage_limit = INT_MAX;
          make_library (argv[i + 1], atoi (argv[i + 2]));
          return 0;
        }
      if (strcmp (argv[i], "--writer-during") == 0 && i + 2 < argc)
        {
          std::vector<std::string> names = some_names (argv[i + 1], 500);
          if (names.empty ())
            g_error ("no rows to write in %s", argv[i + 1]);
          Writer w = start_writer (argv[i + 1], names);
          g_usleep (300000);
          g_autoptr (GError) spawn_error = NULL;
          if (!g_spawn_sync (NULL, argv + i + 2, NULL,
                             static_cast<GSpawnFlags> (
                                 G_SPAWN_SEARCH_PATH
                                 | G_SPAWN_STDOUT_TO_DEV_NULL
                                 | G_SPAWN_STDERR_TO_DEV_NULL),
                             NULL, NULL, NULL, NULL, NULL, &spawn_error))
            g_error ("%s", spawn_error->message);
          stop_writer (&w, "");
          return 0;
        }
      if (strcmp (argv[i], "--rows") == 0 && i + 1 < argc)
        rows = atoi (argv[++i]);
      else if (strcmp (argv[i], "--store") == 0 && i + 1 < argc)
        count = atoi (argv[++i]);
      else if (strcmp (argv[i], "--limit") == 0 && i + 1 < argc)
        limit = atoi (argv[++i]);
      else if (strcmp (argv[i], "--dir") == 0 && i + 1 < argc)
        dir_arg = argv[++i];
      else
        {
          fprintf (stderr,
                   "usage: %s [--rows N] [--store N] [--limit N] [--dir DIR]\n"
                   "       %s --fill DB N\n",
                   argv[0], argv[0]);
          return 2;
        }
    }
  if (rows <= 0 || count <= 0)
    {
      fprintf (stderr, "bench-storage: --rows and --store must be positive\n");
      return 2;
    }
  g_autoptr (GError) error = NULL;
  g_autofree gchar *dir
      = dir_arg != NULL ? g_strdup (dir_arg)
                        : g_dir_make_tmp ("tessel-bench-XXXXXX", &error);
  if (dir == NULL)
    g_error ("%s", error->message);
  g_autofree gchar *no_conf = g_build_filename (dir, "no.conf", NULL);
  meta_conf_set_path (no_conf);
  config.max_storage_limit = limit;

  {
    g_autofree gchar *probe = g_build_filename (dir, "probe.db", NULL);
    make_library (probe, 0);
    storage_init ();
    storage_close ();
    g_autofree gchar *mode = journal_mode (probe);
    printf ("journal mode after storage_init: %s; max_storage_limit %d\n",
            mode, limit);
  }
  printf ("storage_store, %d new rows each (rows/s):\n", count);
  double empty = store_rate (dir, 0, count);
  printf ("  %-26s %10.0f\n", "into an empty library", empty);
  double full = store_rate (dir, rows, count);
  g_autofree gchar *label = g_strdup_printf ("into %d rows", rows);
  printf ("  %-26s %10.0f   ratio to empty %.2f\n", label, full,
          full / empty);
  fflush (stdout);

  writer_latency (dir, rows);

  for (const char *name : { "probe.db", "store.db", "latency.db" })
    for (const char *suffix : { "", "-journal", "-wal", "-shm" })
      {
        g_autofree gchar *file = g_strconcat (name, suffix, NULL);
        g_autofree gchar *full_path = g_build_filename (dir, file, NULL);
        g_unlink (full_path);
      }
  g_unlink (no_conf);
  if (dir_arg == NULL)
    g_rmdir (dir);
  return 0;
}
