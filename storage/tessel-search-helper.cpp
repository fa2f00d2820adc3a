/* The search process of an asynchronous search.  libtessel starts it
 * instead of running the query in a forked copy of the application, where
 * a lock held by another thread at the fork could never be released.
 *
 *   tessel-search-helper DATABASE NICE
 *
 * reads the query from standard input up to its end, sets its own nice
 * value, opens DATABASE (never creating it) with the library's busy
 * timeout and writes the result lines to standard output.  Exit status 0
 * when every row was written; 1 otherwise, with the reason as one line on
 * standard error, which the library hands to the application.  The library writes the query
 * only once it holds a process descriptor of the helper, so the helper
 * cannot end, and its pid be taken by another process, before that. */
#include "metadata_storage_stream-private.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

static gchar *
read_query (void)
{
  GString *query = g_string_new (NULL);
  char chunk[4096];
  for (;;)
    {
      ssize_t n = read (STDIN_FILENO, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        {
          g_string_free (query, TRUE);
          return NULL;
        }
      if (n == 0)
        return g_string_free (query, FALSE);
      g_string_append_len (query, chunk, n);
    }
}

int
main (int argc, char **argv)
{
  if (argc != 3)
    return 2;
  g_autofree gchar *query = read_query ();
  if (query == NULL)
    return 1;
  setpriority (PRIO_PROCESS, 0, atoi (argv[2]));

  sqlite3 *db = NULL;
  if (sqlite3_open_v2 (argv[1], &db, SQLITE_OPEN_READWRITE, NULL) != SQLITE_OK)
    {
      fprintf (stderr, "cannot open the database: %s\n",
               db != NULL ? sqlite3_errmsg (db) : "out of memory");
      sqlite3_close (db);
      return 1;
    }
  sqlite3_busy_timeout (db, STORAGE_BUSY_TIMEOUT_MS);
  g_autofree gchar *reason = NULL;
  int done = storage_stream_rows (db, stdout, query, &reason);
  sqlite3_close (db);
  if (fclose (stdout) != 0 && done)
    {
      done = 0;
      reason = g_strdup ("the results could not be written");
    }
  if (!done)
    fprintf (stderr, "%s\n", reason != NULL ? reason : "the query failed");
  return done ? 0 : 1;
}
