/* Whether a player's main loop keeps running while the database store
 * reads a large library: a 10 ms timer ticks on the main loop while
 * mp_library_store_database_get_songs_async reads every song, and the
 * slowest gap between two ticks is reported, beside the gap the
 * synchronous call makes when the main loop calls it.
 *
 * Usage: bench-store-async [--rows N] [--repeat R]
 * (default 100000 rows, 5 runs). */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include <gio/gio.h>
#include <glib/gstdio.h>

#include "bench-library.h"
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "mp_library_store_database.h"

namespace
{

#define TICK_MS 10

/* The ticks of one run and what the call gave. */
struct Run
{
  gint64 started = 0, last_tick = 0, slowest_gap = 0;
  int ticks = 0;
  gint64 delivered = 0;  /* when the callback ran */
  gint64 released = 0;   /* when the callback had released the list */
  guint rows = 0;
  bool done = false;
};

gboolean
on_tick (gpointer data)
{
  Run *run = static_cast<Run *> (data);
  gint64 now = g_get_monotonic_time ();
  run->slowest_gap = std::max (run->slowest_gap, now - run->last_tick);
  run->last_tick = now;
  run->ticks++;
  return G_SOURCE_CONTINUE;
}

void
release (GList *list)
{
  g_list_free_full (list, g_object_unref);
}

void
on_songs (GObject *source, GAsyncResult *result, gpointer data)
{
  Run *run = static_cast<Run *> (data);
  run->delivered = g_get_monotonic_time ();
  GError *error = NULL;
  GList *songs = mp_library_store_database_get_songs_finish (
      MP_LIBRARY_STORE_DATABASE (source), result, &error);
  if (error != NULL)
    g_error ("get_songs_async failed: %s", error->message);
  run->rows = g_list_length (songs);
  release (songs);
  run->released = g_get_monotonic_time ();
  run->done = true;
}

/* The slowest gap between ticks from the call to the callback; the
 * callback's own time (releasing the list) is reported apart. */
Run
async_run ()
{
  Run run;
  run.started = run.last_tick = g_get_monotonic_time ();
  guint tick = g_timeout_add (TICK_MS, on_tick, &run);
  mp_library_store_database_get_songs_async (
      mp_library_store_database_get_instance (), NULL, on_songs, &run);
  while (!run.done)
    g_main_context_iteration (NULL, TRUE);
  g_source_remove (tick);
  /* The gap the callback's delivery closes counts too. */
  run.slowest_gap = std::max (run.slowest_gap, run.delivered - run.last_tick);
  return run;
}

/* The synchronous call made from the main loop, with the same timer. */
gboolean
call_sync (gpointer data)
{
  Run *run = static_cast<Run *> (data);
  GList *songs = mp_library_store_database_get_songs (
      mp_library_store_database_get_instance (), NULL);
  run->delivered = g_get_monotonic_time ();
  run->rows = g_list_length (songs);
  release (songs);
  run->released = g_get_monotonic_time ();
  run->done = true;
  return G_SOURCE_REMOVE;
}

Run
sync_run ()
{
  Run run;
  run.started = run.last_tick = g_get_monotonic_time ();
  guint tick = g_timeout_add (TICK_MS, on_tick, &run);
  g_idle_add (call_sync, &run);
  while (!run.done)
    g_main_context_iteration (NULL, TRUE);
  g_source_remove (tick);
  run.slowest_gap = std::max (run.slowest_gap, run.delivered - run.last_tick);
  return run;
}

double
ms (gint64 us)
{
  return us / 1000.0;
}

double
median (std::vector<double> v)
{
  std::sort (v.begin (), v.end ());
  size_t n = v.size ();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void
report (const char *name, const std::vector<Run> &runs)
{
  std::vector<double> gap, call, freeing, ticks;
  for (const Run &r : runs)
    {
      gap.push_back (ms (r.slowest_gap));
      call.push_back (ms (r.delivered - r.started));
      freeing.push_back (ms (r.released - r.delivered));
      ticks.push_back (r.ticks);
    }
  printf ("%-22s %8u %10.1f %12.1f %8.0f %10.1f\n", name, runs[0].rows,
          median (call), median (gap), median (ticks), median (freeing));
}

} // namespace

int
main (int argc, char **argv)
{
  int rows = 100000, repeat = 5;
  for (int i = 1; i < argc; i++)
    {
      if (strcmp (argv[i], "--rows") == 0 && i + 1 < argc)
        rows = atoi (argv[++i]);
      else if (strcmp (argv[i], "--repeat") == 0 && i + 1 < argc)
        repeat = atoi (argv[++i]);
      else
        {
          fprintf (stderr, "usage: %s [--rows N] [--repeat R]\n", argv[0]);
          return 2;
        }
    }
  if (rows <= 0 || repeat <= 0)
    {
      fprintf (stderr, "bench-store-async: --rows and --repeat must be "
                       "positive\n");
      return 2;
    }

  g_autoptr (GError) error = NULL;
  g_autofree gchar *dir = g_dir_make_tmp ("tessel-bench-XXXXXX", &error);
  g_assert_no_error (error);
  g_autofree gchar *db_path = g_build_filename (dir, "meta_storage", NULL);
  storage_set_path (db_path);
  config.max_storage_limit = INT_MAX;
  if (!storage_init ())
    g_error ("storage_init failed");
  storage_close ();
  bench_generate_library (db_path, rows);
  if (!storage_init ())
    g_error ("storage_init failed");

  /* Warm the page cache and the type system. */
  release (mp_library_store_database_get_songs (
      mp_library_store_database_get_instance (), NULL));
  std::vector<Run> async_runs, sync_runs;
  for (int r = 0; r < repeat; r++)
    {
      async_runs.push_back (async_run ());
      sync_runs.push_back (sync_run ());
    }
  printf ("get_songs at %d rows with a %d ms timer on the main loop "
          "(median of %d runs, wall-clock ms)\n",
          rows, TICK_MS, repeat);
  printf ("%-22s %8s %10s %12s %8s %10s\n", "call", "songs", "call",
          "slowest gap", "ticks", "release");
  report ("get_songs_async", async_runs);
  report ("get_songs (sync)", sync_runs);
  printf ("call: from the call to the result; slowest gap: the longest "
          "the main loop went without a tick until then; release: the "
          "caller freeing the list afterwards, which is the caller's own "
          "work on its thread\n");

  storage_close ();
  for (const char *suffix : { "", "-journal", "-wal", "-shm" })
    {
      g_autofree gchar *file = g_strconcat (db_path, suffix, NULL);
      g_unlink (file);
    }
  g_rmdir (dir);
  return 0;
}
