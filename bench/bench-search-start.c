/* Start-up cost of an asynchronous search: the time from the call of
 * meta_search_async to its first row callback, with the search process
 * started and its database connection opened, against the time a
 * synchronous search of the same query takes to its first callback, all
 * in one run.  Usage: bench-search-start [RUNS] (default 200). */
#include <stdio.h>
#include <stdlib.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

typedef struct
{
  GMutex lock;
  GCond cond;
  gint64 start;
  gint64 first_row; /* 0 until the first row came */
  gboolean ended;
} Timing;

static void
on_row (const gchar *filename, gchar **keys, gchar **values,
        gpointer user_data, gint search_id)
{
  (void) filename, (void) values, (void) search_id;
  Timing *t = user_data;
  g_mutex_lock (&t->lock);
  if (keys != NULL && t->first_row == 0)
    t->first_row = g_get_monotonic_time ();
  if (keys == NULL)
    t->ended = TRUE;
  g_cond_signal (&t->cond);
  g_mutex_unlock (&t->lock);
}

static int
compare (const void *a, const void *b)
{
  gint64 x = *(const gint64 *) a, y = *(const gint64 *) b;
  return x < y ? -1 : x > y;
}

static const char query[] = "SELECT Filename, Title FROM Metadata";

int
main (int argc, char **argv)
{
  int runs = argc > 1 ? atoi (argv[1]) : 200;
  if (runs < 1)
    runs = 200;
  g_autofree gchar *dir = g_dir_make_tmp ("bench-search-XXXXXX", NULL);
  g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
  g_autofree gchar *conf = g_build_filename (dir, "metadata_lib.conf", NULL);
  g_file_set_contents (conf, "", -1, NULL);
  storage_set_path (db);
  meta_conf_set_path (conf);
  if (!meta_init ())
    return 1;
  sqlite3 *seed = NULL;
  sqlite3_open (db, &seed);
  sqlite3_exec (seed, "BEGIN", NULL, NULL, NULL);
  for (int i = 0; i < 1000; i++)
    {
      char *sql = sqlite3_mprintf ("INSERT INTO Metadata (Filename, Title) "
                                   "VALUES ('/m/%04d.mp3', 'Song %d')",
                                   i, i);
      sqlite3_exec (seed, sql, NULL, NULL, NULL);
      sqlite3_free (sql);
    }
  sqlite3_exec (seed, "COMMIT", NULL, NULL, NULL);
  sqlite3_close (seed);

  gint64 *async_us = g_new (gint64, runs);
  gint64 *sync_us = g_new (gint64, runs);
  for (int r = 0; r < runs; r++)
    {
      Timing t = { 0 };
      g_mutex_init (&t.lock);
      g_cond_init (&t.cond);
      t.start = g_get_monotonic_time ();
      while (meta_search_async (0, query, on_row, &t) != 0)
        t.start = g_get_monotonic_time ();
      g_mutex_lock (&t.lock);
      while (!t.ended)
        g_cond_wait (&t.cond, &t.lock);
      async_us[r] = t.first_row - t.start;
      g_mutex_unlock (&t.lock);
      /* Until the slot is free again the next search is refused. */
      while (meta_search_cancel (0) != 0)
        ;

      Timing s = { 0 };
      g_mutex_init (&s.lock);
      g_cond_init (&s.cond);
      s.start = g_get_monotonic_time ();
      meta_search_sync (query, on_row, &s);
      sync_us[r] = s.first_row - s.start;
      g_mutex_clear (&t.lock);
      g_cond_clear (&t.cond);
      g_mutex_clear (&s.lock);
      g_cond_clear (&s.cond);
    }
  qsort (async_us, runs, sizeof *async_us, compare);
  qsort (sync_us, runs, sizeof *sync_us, compare);
  gint64 async_median = async_us[runs / 2], sync_median = sync_us[runs / 2];
  printf ("first row, %d runs, 1000 rows of 2 columns:\n", runs);
  printf ("  asynchronous: median %.2f ms, 90th percentile %.2f ms, "
          "worst %.2f ms\n",
          async_median / 1000.0, async_us[runs * 9 / 10] / 1000.0,
          async_us[runs - 1] / 1000.0);
  printf ("  synchronous (all rows read first): median %.2f ms\n",
          sync_median / 1000.0);
  printf ("  ratio asynchronous / synchronous: %.2f\n",
          (double) async_median / (double) MAX (sync_median, 1));
  g_free (async_us);
  g_free (sync_us);
  meta_destruct ();
  g_unlink (db);
  g_unlink (conf);
  g_rmdir (dir);
  return 0;
}
