/* Asynchronous searches in a threaded program: while another thread
 * writes keys all the time, and back to back.  Every search must make its
 * end call within a bound, deliver no row twice and leave no process
 * behind. */
#include <errno.h>
#include <pthread.h>
#include <sys/wait.h>
#include <time.h>

#include "tessel-test.h"

#define ROWS 20

/* POSIX primitives, which ThreadSanitizer understands. */
typedef struct
{
  pthread_mutex_t lock;
  pthread_cond_t cond;
  gint rows;
  gboolean ended;
} Search;

static void
on_row (const gchar *filename, gchar **keys, gchar **values,
        gpointer user_data, gint search_id)
{
  (void) filename, (void) values, (void) search_id;
  Search *s = user_data;
  pthread_mutex_lock (&s->lock);
  if (keys == NULL)
    s->ended = TRUE;
  else
    s->rows++;
  pthread_cond_signal (&s->cond);
  pthread_mutex_unlock (&s->lock);
}

/* Runs one search to its end call; FALSE when no end came within ten
 * seconds (a hang).  The rows delivered go to *rows. */
static gboolean
search_once (gint *rows)
{
  Search s = { PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, FALSE };
  pthread_condattr_t attr;
  pthread_condattr_init (&attr);
  pthread_condattr_setclock (&attr, CLOCK_MONOTONIC);
  pthread_cond_init (&s.cond, &attr);
  pthread_condattr_destroy (&attr);
  int id = -1;
  /* The slot is freed just after the previous end call; wait for it. */
  for (int i = 0; i < 10000 && id < 0; i++)
    if ((id = meta_search_async (0, "SELECT Filename FROM Metadata", on_row,
                                 &s))
        < 0)
      g_usleep (100);
  g_assert_cmpint (id, ==, 0);
  struct timespec deadline;
  clock_gettime (CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += 10;
  pthread_mutex_lock (&s.lock);
  while (!s.ended
         && pthread_cond_timedwait (&s.cond, &s.lock, &deadline) == 0)
    ;
  gboolean ended = s.ended;
  *rows = s.rows;
  pthread_mutex_unlock (&s.lock);
  if (!ended)
    meta_search_cancel (id);
  /* Cancelled or not, the search is over now: the stack frame may go. */
  while (meta_search_cancel (id) != 0)
    ;
  pthread_mutex_destroy (&s.lock);
  pthread_cond_destroy (&s.cond);
  return ended;
}

static void
fill (TesselFixture *fx)
{
  g_assert_cmpint (meta_init (), ==, 1);
  GString *sql = g_string_new ("BEGIN;");
  for (int i = 0; i < ROWS; i++)
    g_string_append_printf (sql, "INSERT INTO Metadata (Filename) VALUES "
                                 "('/m/%02d.mp3');", i);
  g_string_append (sql, "COMMIT;");
  tessel_test_sql (fx->db, sql->str);
  g_string_free (sql, TRUE);
}

static gint stop_writing;

static gpointer
write_keys (gpointer data)
{
  (void) data;
  gint written = 0;
  for (gint32 i = 0; !g_atomic_int_get (&stop_writing); i++)
    {
      gchar name[32];
      g_snprintf (name, sizeof name, "/m/%02d.mp3", i % ROWS);
      written += meta_write_integer (name, "PlayCount", i);
      /* Room between writes, as a player's updates leave it: a writer
       * that never lets go starves every reader of a rollback journal. */
      g_usleep (5000);
    }
  return GINT_TO_POINTER (written);
}

static void
run_searches (int count, gint *hangs, gint *short_results)
{
  for (int i = 0; i < count; i++)
    {
      gint rows = 0;
      if (!search_once (&rows))
        (*hangs)++;
      g_assert_cmpint (rows, <=, ROWS);
      /* A search the writer kept busy past every retry fails as a
       * whole: no rows, then the end. */
      if (rows != ROWS)
        {
          g_assert_cmpint (rows, ==, 0);
          (*short_results)++;
        }
    }
}

static void
test_while_writing (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  fill (fx);
  g_atomic_int_set (&stop_writing, 0);
  GThread *writer = g_thread_new ("writer", write_keys, NULL);
  gint hangs = 0, short_results = 0;
  run_searches (500, &hangs, &short_results);
  g_atomic_int_set (&stop_writing, 1);
  gint written = GPOINTER_TO_INT (g_thread_join (writer));
  g_test_message ("%d keys written, %d searches without rows", written,
                  short_results);
  g_assert_cmpint (hangs, ==, 0);
  g_assert_cmpint (written, >, 0);
  errno = 0;
  g_assert_cmpint (waitpid (-1, NULL, WNOHANG), ==, -1);
  g_assert_cmpint (errno, ==, ECHILD);
}

static void
test_back_to_back (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  fill (fx);
  gint hangs = 0, short_results = 0;
  run_searches (2000, &hangs, &short_results);
  g_assert_cmpint (hangs, ==, 0);
  g_assert_cmpint (short_results, ==, 0);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  TESSEL_TEST_ADD ("/search/stress/while-writing", test_while_writing);
  TESSEL_TEST_ADD ("/search/stress/back-to-back", test_back_to_back);
  return g_test_run ();
}
