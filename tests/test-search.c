/* Searches: the streaming, synchronous and object forms of the storage
 * layer, and the front end's synchronous and asynchronous searches with
 * their cancellation. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "mp_media_resource.h"
#include "tessel-test.h"

/* Every callback of one search, each formatted as one text ("END" for the
 * end call), collected under a lock because asynchronous callbacks run on
 * the reader thread.  POSIX primitives rather than GLib's, which work on
 * futexes ThreadSanitizer cannot see, so that it reports only real races. */
typedef struct
{
  pthread_mutex_t lock;
  pthread_cond_t cond;
  GPtrArray *calls;
  gint expected_id;
  gboolean wrong_id;
  gint ends;
  /* Test hooks, each optional. */
  gint cancel_on_row;      /* cancel from inside this row's callback */
  gint cancel_result;
  gint sleep_ms;           /* spent inside every row callback */
  gboolean in_callback;
  gboolean search_on_end;  /* start a search from inside the end call */
  gint search_on_end_result;
  gboolean nested_write;   /* write a new key of the row inside its call */
  gint nested_result;
  gboolean reopen;         /* close and reopen the database in each call */
  gint reopen_failures;
  gboolean wrong_thread;   /* the slot did not name the calling thread */
  gint notified;           /* calls of the user data's release */
  gint ends_at_notify;     /* end calls made before the release */
  gboolean hold_first_row; /* the first row's call waits until cleared */
} Collector;

static void
collector_init (Collector *c, gint expected_id)
{
  memset (c, 0, sizeof *c);
  pthread_mutex_init (&c->lock, NULL);
  pthread_condattr_t attr;
  pthread_condattr_init (&attr);
  pthread_condattr_setclock (&attr, CLOCK_MONOTONIC);
  pthread_cond_init (&c->cond, &attr);
  pthread_condattr_destroy (&attr);
  c->calls = g_ptr_array_new_with_free_func (g_free);
  c->expected_id = expected_id;
  c->cancel_on_row = -1;
}

static void
collector_clear (Collector *c)
{
  g_ptr_array_unref (c->calls);
  pthread_mutex_destroy (&c->lock);
  pthread_cond_destroy (&c->cond);
}

static gchar *
format_call (const gchar *filename, gchar **keys, gchar **values)
{
  if (filename == NULL && keys == NULL && values == NULL)
    return g_strdup ("END");
  GString *s = g_string_new ("F=");
  g_string_append (s, filename != NULL ? filename : "(null)");
  if (keys == NULL || values == NULL)
    g_string_append (s, " ARRAYS-MISSING");
  else
    for (int i = 0; keys[i] != NULL; i++)
      g_string_append_printf (s, " %s=%s", keys[i],
                              values[i] != NULL ? values[i] : "(null)");
  return g_string_free (s, FALSE);
}

static void
nested_callback (const gchar *filename, gchar **keys, gchar **values,
                 gpointer user_data, gint search_id)
{
  (void) filename, (void) keys, (void) values, (void) user_data,
      (void) search_id;
}

static void
collect (const gchar *filename, gchar **keys, gchar **values,
         gpointer user_data, gint search_id)
{
  Collector *c = user_data;
  gboolean end = filename == NULL && keys == NULL && values == NULL;
  gchar *text = format_call (filename, keys, values);

  gboolean wrong_thread = FALSE;
  if (search_id == 0)
    {
      /* The slot holds the reader's whole thread id. */
      pthread_mutex_lock (&search_lock);
      wrong_thread = !pthread_equal (search_ids[0].thread, pthread_self ());
      pthread_mutex_unlock (&search_lock);
    }

  pthread_mutex_lock (&c->lock);
  if (search_id != c->expected_id)
    c->wrong_id = TRUE;
  if (wrong_thread)
    c->wrong_thread = TRUE;
  gint row = (gint) c->calls->len;
  g_ptr_array_add (c->calls, text);
  c->in_callback = TRUE;
  pthread_cond_broadcast (&c->cond);
  pthread_mutex_unlock (&c->lock);

  if (!end && row == 0)
    {
      pthread_mutex_lock (&c->lock);
      while (c->hold_first_row)
        pthread_cond_wait (&c->cond, &c->lock);
      pthread_mutex_unlock (&c->lock);
    }
  if (!end && c->sleep_ms > 0)
    g_usleep (c->sleep_ms * 1000);
  if (!end && row == c->cancel_on_row)
    c->cancel_result = meta_search_cancel (search_id);
  /* Adding a column fails while any statement of the connection is
   * still open. */
  if (!end && c->nested_write)
    c->nested_result += meta_write_string (filename, "Seen", "yes");
  /* Closing fails while the search still holds a statement. */
  if (!end && c->reopen && (storage_close () != 0 || storage_init () != 1))
    c->reopen_failures++;
  if (end && c->search_on_end)
    c->search_on_end_result
        = meta_search_async (0, "SELECT 1", nested_callback, NULL);

  pthread_mutex_lock (&c->lock);
  c->in_callback = FALSE;
  if (end)
    c->ends++;
  pthread_cond_broadcast (&c->cond);
  pthread_mutex_unlock (&c->lock);
}

/* Waits until the collector holds at least rows calls (or the end call
 * when rows is -1); FALSE after ten seconds. */
static gboolean
collector_wait (Collector *c, gint rows)
{
  struct timespec deadline;
  clock_gettime (CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += 10;
  gboolean ok = TRUE;
  pthread_mutex_lock (&c->lock);
  while (ok && (rows < 0 ? c->ends == 0 : (gint) c->calls->len < rows))
    ok = pthread_cond_timedwait (&c->cond, &c->lock, &deadline) == 0;
  if (!ok)
    ok = rows < 0 ? c->ends > 0 : (gint) c->calls->len >= rows;
  pthread_mutex_unlock (&c->lock);
  return ok;
}

static guint
collector_count (Collector *c)
{
  pthread_mutex_lock (&c->lock);
  guint n = c->calls->len;
  pthread_mutex_unlock (&c->lock);
  return n;
}

static gint
slot_state (void)
{
  pthread_mutex_lock (&search_lock);
  gint state = search_ids[0].state;
  pthread_mutex_unlock (&search_lock);
  return state;
}

/* The slot is freed by the reader after the end call; wait for it. */
static void
wait_slot_free (void)
{
  for (int i = 0; i < 10000 && slot_state () != -1; i++)
    g_usleep (1000);
  g_assert_cmpint (slot_state (), ==, -1);
}

static void
assert_no_child_left (void)
{
  errno = 0;
  g_assert_cmpint (waitpid (-1, NULL, WNOHANG), ==, -1);
  g_assert_cmpint (errno, ==, ECHILD);
}

static void
assert_calls (Collector *c, const gchar *const *expected)
{
  guint n = g_strv_length ((gchar **) expected);
  for (guint i = 0; i < MIN (n, c->calls->len); i++)
    g_assert_cmpstr (g_ptr_array_index (c->calls, i), ==, expected[i]);
  g_assert_cmpuint (c->calls->len, ==, n);
}

static void
open_library (TesselFixture *fx)
{
  g_assert_cmpint (meta_init (), ==, 1);
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Title, Track) VALUES "
                   "('/a.mp3', NULL, 3), ('/b.mp3', '', NULL)");
}

/* The text storage_search_async writes for query. */
static gchar *
stream_text (const gchar *query, int *result)
{
  char *buffer = NULL;
  size_t size = 0;
  FILE *out = open_memstream (&buffer, &size);
  *result = storage_search_async (out, query);
  fclose (out);
  return buffer;
}

static void
test_null_and_empty_columns (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  const gchar *query
      = "SELECT Filename, Title, Track FROM Metadata ORDER BY Filename";

  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync (query, collect, &c), ==, 1);
  const gchar *rows[] = { "F=/a.mp3 Filename=/a.mp3 Track=3",
                          "F=/b.mp3 Filename=/b.mp3", "END", NULL };
  assert_calls (&c, rows);
  g_assert_false (c.wrong_id);
  collector_clear (&c);

  /* A row of only NULL and empty columns still gets its call, with a NULL
   * file name and two empty (not NULL) arrays. */
  collector_init (&c, -1);
  g_assert_cmpint (storage_search_sync ("SELECT Title, Track FROM Metadata "
                                        "WHERE Filename = '/b.mp3'",
                                        collect, &c),
                   ==, 1);
  const gchar *empty[] = { "F=(null)", "END", NULL };
  assert_calls (&c, empty);
  collector_clear (&c);

  /* The stream leaves such a row out; NULL columns are absent, not
   * empty. */
  int result = 0;
  gchar *text = stream_text (query, &result);
  g_assert_cmpint (result, ==, 1);
  g_assert_cmpstr (text, ==,
                   "Filename\t/a.mp3\tTrack\t3\t\nFilename\t/b.mp3\t\n");
  free (text);

  GList *objects = NULL;
  g_assert_true (storage_search_sync_objects_list (query, &objects));
  g_assert_cmpuint (g_list_length (objects), ==, 2);
  MpMediaResource *a = objects->data, *b = objects->next->data;
  g_assert_cmpstr (mp_media_resource_get_uri (a), ==, "/a.mp3");
  g_assert_null (mp_media_resource_get_title (a));
  g_assert_cmpint (mp_media_resource_get_track (a), ==, 3);
  g_assert_cmpstr (mp_media_resource_get_uri (b), ==, "/b.mp3");
  g_assert_null (mp_media_resource_get_title (b));
  g_assert_cmpint (mp_media_resource_get_track (b), ==, -1);
  g_assert_cmpint (G_OBJECT (a)->ref_count, ==, 1);
  g_list_free_full (objects, g_object_unref);
}

/* SELECT 1 AS c1, 2 AS c2, ... n AS cn */
static gchar *
wide_query (int n)
{
  GString *q = g_string_new ("SELECT ");
  for (int i = 1; i <= n; i++)
    g_string_append_printf (q, "%s%d AS c%d", i > 1 ? ", " : "", i, i);
  return g_string_free (q, FALSE);
}

static void
test_seventy_columns (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  gchar *query = wide_query (70);

  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync (query, collect, &c), ==, 1);
  g_assert_cmpuint (c.calls->len, ==, 2);
  gchar **pairs = g_strsplit (g_ptr_array_index (c.calls, 0), " ", -1);
  g_assert_cmpuint (g_strv_length (pairs), ==, 1 + 64);
  g_assert_cmpstr (pairs[64], ==, "c64=64");
  g_strfreev (pairs);
  collector_clear (&c);

  /* The line carries all seventy. */
  int result = 0;
  gchar *text = stream_text (query, &result);
  g_assert_cmpint (result, ==, 1);
  gchar **fields = g_strsplit (text, "\t", -1);
  g_assert_cmpuint (g_strv_length (fields), ==, 2 * 70 + 1);
  g_assert_cmpstr (fields[138], ==, "c70");
  g_assert_cmpstr (fields[140], ==, "\n");
  g_strfreev (fields);
  free (text);

  /* The reader keeps to 64 pairs as well. */
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, query, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, -1));
  pairs = g_strsplit (g_ptr_array_index (c.calls, 0), " ", -1);
  g_assert_cmpuint (g_strv_length (pairs), ==, 1 + 64);
  g_strfreev (pairs);
  wait_slot_free ();
  collector_clear (&c);
  g_free (query);
}

static void
test_refused_queries (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  const gchar *bad[] = {
    "SELECT Filename FROM Metdata",
    "SELEC Filename FROM Metadata",
    "",
    /* A second statement would silently be dropped: refused whole. */
    "SELECT Filename FROM Metadata; DELETE FROM Metadata",
  };
  for (gsize i = 0; i < G_N_ELEMENTS (bad); i++)
    {
      Collector c;
      collector_init (&c, -1);
      g_assert_cmpint (storage_search_sync (bad[i], collect, &c), ==, 0);
      g_assert_cmpint (meta_search_sync (bad[i], collect, &c), ==, 0);
      g_assert_cmpuint (c.calls->len, ==, 0);
      collector_clear (&c);

      int result = 1;
      gchar *text = stream_text (bad[i], &result);
      g_assert_cmpint (result, ==, 0);
      g_assert_cmpstr (text, ==, "");
      free (text);

      GList *objects = NULL;
      g_assert_false (storage_search_sync_objects_list (bad[i], &objects));
      g_assert_null (objects);
    }
  gchar *rows = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "2");
  g_free (rows);

  /* A trailing semicolon or comment is no second statement. */
  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync ("SELECT 7 AS n;  -- seven", collect, &c),
                   ==, 1);
  const gchar *seven[] = { "F=(null) n=7", "END", NULL };
  assert_calls (&c, seven);
  collector_clear (&c);

  /* Missing arguments. */
  g_assert_cmpint (meta_search_sync (NULL, collect, NULL), ==, 0);
  g_assert_cmpint (meta_search_sync ("SELECT 1", NULL, NULL), ==, 0);
  g_assert_cmpint (storage_search_sync (NULL, collect, NULL), ==, 0);
  g_assert_cmpint (storage_search_sync ("SELECT 1", NULL, NULL), ==, 0);
  g_assert_cmpint (storage_search_async (NULL, "SELECT 1"), ==, 0);
  g_assert_cmpint (storage_search_async (stdout, NULL), ==, 0);
}

/* A query whose second row fails while stepping (integer overflow). */
static const gchar fails_midway[]
    = "SELECT Filename, CASE WHEN Filename = '/b.mp3' "
      "THEN abs (-9223372036854775807 - 1) END AS Track "
      "FROM Metadata ORDER BY Filename";

static void
test_failure_midway (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);

  /* The synchronous form makes no call at all, not even for the row it
   * had already read. */
  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync (fails_midway, collect, &c), ==, 0);
  g_assert_cmpuint (c.calls->len, ==, 0);
  collector_clear (&c);

  /* The stream keeps what it had written. */
  int result = 1;
  gchar *text = stream_text (fails_midway, &result);
  g_assert_cmpint (result, ==, 0);
  g_assert_cmpstr (text, ==, "Filename\t/a.mp3\t\n");
  free (text);

  GList *objects = NULL;
  g_assert_false (storage_search_sync_objects_list (fails_midway, &objects));
  g_assert_null (objects);

  /* Asynchronously the rows before the failure arrive, then the end. */
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, fails_midway, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, -1));
  const gchar *partial[] = { "F=/a.mp3 Filename=/a.mp3", "END", NULL };
  assert_calls (&c, partial);
  wait_slot_free ();
  collector_clear (&c);
}

static void
test_modifying_query (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync ("UPDATE Metadata SET Title = 'x'",
                                     collect, &c),
                   ==, 1);
  const gchar *end_only[] = { "END", NULL };
  assert_calls (&c, end_only);
  collector_clear (&c);
  gchar *title = tessel_test_sql_text (
      fx->db, "SELECT Title FROM Metadata WHERE Filename = '/b.mp3'");
  g_assert_cmpstr (title, ==, "x");
  g_free (title);

  int result = 0;
  gchar *text = stream_text ("DELETE FROM Metadata WHERE Track = 3", &result);
  g_assert_cmpint (result, ==, 1);
  g_assert_cmpstr (text, ==, "");
  free (text);

  GList *objects = NULL;
  g_assert_true (storage_search_sync_objects_list (
      "UPDATE Metadata SET Track = 9", &objects));
  g_assert_null (objects);
  gchar *left = tessel_test_sql_text (fx->db, "SELECT group_concat(Filename "
                                              "|| ':' || Track) FROM Metadata");
  g_assert_cmpstr (left, ==, "/b.mp3:9");
  g_free (left);
}

static void
test_callbacks_may_use_storage (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, -1);
  c.nested_write = TRUE;
  g_assert_cmpint (meta_search_sync ("SELECT Filename FROM Metadata", collect,
                                     &c),
                   ==, 1);
  g_assert_cmpuint (c.calls->len, ==, 3);
  g_assert_cmpint (c.nested_result, ==, 2);
  collector_clear (&c);
  gchar *seen = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata WHERE Seen = 'yes'");
  g_assert_cmpstr (seen, ==, "2");
  g_free (seen);

  collector_init (&c, -1);
  c.reopen = TRUE;
  g_assert_cmpint (meta_search_sync ("SELECT Filename FROM Metadata", collect,
                                     &c),
                   ==, 1);
  g_assert_cmpuint (c.calls->len, ==, 3);
  g_assert_cmpint (c.reopen_failures, ==, 0);
  collector_clear (&c);
}

static void
test_stream_escapes_separators (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  (void) fx;
  g_assert_cmpint (meta_init (), ==, 1);
  int result = 0;
  gchar *text = stream_text ("SELECT 'a' || char(9) || 'b' || char(10) || "
                             "'c\\d' AS Title, 2.5 AS x",
                             &result);
  g_assert_cmpint (result, ==, 1);
  g_assert_cmpstr (text, ==, "Title\ta\\tb\\nc\\\\d\tx\t2.5\t\n");
  free (text);
}

/* Rows whose values hold TAB, newline and backslashes, and one longer
 * than a 1023-byte line, next to ordinary ones. */
static void
insert_awkward_rows (TesselFixture *fx)
{
  GString *sql = g_string_new (
      "INSERT INTO Metadata (Filename, Title, Album) VALUES "
      "('/tab.mp3', 'one' || char(9) || 'two', 'line' || char(10) || 'next'),"
      "('/dir\\temp\\new.mp3', 'C:\\temp\\new', '\\'),"
      "('/long.mp3', '");
  for (int i = 0; i < 10000; i++)
    g_string_append_c (sql, "abcdefghij"[i % 10]);
  g_string_append (sql, "', 'Album' || char(9) || 'Filename')");
  tessel_test_sql (fx->db, sql->str);
  g_string_free (sql, TRUE);
}

static void
test_async_same_rows_as_sync (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  insert_awkward_rows (fx);
  const gchar *query = "SELECT Filename, Title, Album, Track, 0.25 AS q "
                       "FROM Metadata ORDER BY Filename";

  Collector sync;
  collector_init (&sync, -1);
  g_assert_cmpint (meta_search_sync (query, collect, &sync), ==, 1);
  g_assert_cmpuint (sync.calls->len, ==, 6);

  Collector async;
  collector_init (&async, 0);
  g_assert_cmpint (meta_search_async (5, query, collect, &async), ==, 0);
  g_assert_true (collector_wait (&async, -1));
  g_assert_false (async.wrong_id);
  g_assert_false (async.wrong_thread);
  g_assert_cmpuint (async.calls->len, ==, sync.calls->len);
  for (guint i = 0; i < sync.calls->len; i++)
    g_assert_cmpstr (g_ptr_array_index (async.calls, i), ==,
                     g_ptr_array_index (sync.calls, i));
  /* The long value arrived whole, in one call. */
  const gchar *long_row = g_ptr_array_index (async.calls, 3);
  g_assert_true (g_str_has_prefix (long_row, "F=/long.mp3 "));
  g_assert_cmpuint (strlen (long_row), >, 10000);

  wait_slot_free ();
  assert_no_child_left ();
  collector_clear (&sync);
  collector_clear (&async);

  /* The library's own connection is untouched by the search process. */
  Collector after;
  collector_init (&after, -1);
  g_assert_cmpint (meta_search_sync ("SELECT count(*) AS n FROM Metadata",
                                     collect, &after),
                   ==, 1);
  const gchar *count[] = { "F=(null) n=5", "END", NULL };
  assert_calls (&after, count);
  collector_clear (&after);
}

static pid_t test_pid;
static gchar *child_exit_mark;

/* Runs at exit of any process that ends through exit (): marks it when it
 * is not the test process itself. */
static void
mark_child_exit (void)
{
  if (getpid () != test_pid && child_exit_mark != NULL)
    g_file_set_contents (child_exit_mark, "exit handlers ran", -1, NULL);
}

static void
test_async_child_skips_exit_handlers (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  test_pid = getpid ();
  child_exit_mark = g_build_filename (fx->dir, "child-exit", NULL);
  static gboolean registered;
  if (!registered)
    registered = atexit (mark_child_exit) == 0;
  g_assert_true (registered);

  Collector c;
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, "SELECT Filename FROM Metadata",
                                      collect, &c),
                   ==, 0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  g_assert_false (g_file_test (child_exit_mark, G_FILE_TEST_EXISTS));
  g_clear_pointer (&child_exit_mark, g_free);
  collector_clear (&c);
}

static void
test_async_failed_query_ends (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  /* The failure happens in the search process: the caller only sees a
   * search without rows. */
  g_assert_cmpint (meta_search_async (0, "SELECT x FROM Nowhere", collect, &c),
                   ==, 0);
  g_assert_true (collector_wait (&c, -1));
  const gchar *end_only[] = { "END", NULL };
  assert_calls (&c, end_only);
  wait_slot_free ();
  assert_no_child_left ();
  collector_clear (&c);

  g_assert_cmpint (meta_search_async (0, NULL, collect, NULL), ==, -1);
  g_assert_cmpint (meta_search_async (0, "SELECT 1", NULL, NULL), ==, -1);
  g_assert_cmpint (slot_state (), ==, -1);
}

static const gchar endless[]
    = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
      "SELECT x AS n FROM c";

/* 3000 rows, n = 1 to 3000. */
static const gchar counted_rows[]
    = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE "
      "x < 3000) SELECT x AS n FROM c";

static void
test_async_second_search_refused (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, endless, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, 1));
  g_assert_cmpint (meta_search_async (0, "SELECT 1", nested_callback, NULL),
                   ==, -1);
  /* Initialising again does not hand out the slot of a running search. */
  g_assert_cmpint (meta_init (), ==, 1);
  g_assert_cmpint (slot_state (), ==, -2);
  g_assert_cmpint (meta_search_async (0, "SELECT 1", nested_callback, NULL),
                   ==, -1);
  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  collector_clear (&c);

  /* From inside the end call the slot is still taken. */
  collector_init (&c, 0);
  c.search_on_end = TRUE;
  c.search_on_end_result = 99;
  g_assert_cmpint (meta_search_async (0, "SELECT 1 AS one", collect, &c), ==,
                   0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  g_assert_cmpint (c.search_on_end_result, ==, -1);
  const gchar *one[] = { "F=(null) one=1", "END", NULL };
  assert_calls (&c, one);
  assert_no_child_left ();
  collector_clear (&c);
}

static void
test_async_cancel_long_search (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  /* A nice value above our own: raising it needs no privilege. */
  errno = 0;
  int nice_value = MIN (getpriority (PRIO_PROCESS, 0) + 3, 19);
  g_assert_cmpint (errno, ==, 0);
  g_assert_cmpint (meta_search_async (nice_value, endless, collect, &c), ==,
                   0);
  g_assert_true (collector_wait (&c, 100));
  /* Rows arrive, so the search process has set its priority. */
  pthread_mutex_lock (&search_lock);
  pid_t child = search_ids[0].pid;
  pthread_mutex_unlock (&search_lock);
  g_assert_cmpint (child, >, 0);
  g_assert_cmpint (child, !=, getpid ());
  errno = 0;
  g_assert_cmpint (getpriority (PRIO_PROCESS, child), ==, nice_value);
  g_assert_cmpint (errno, ==, 0);

  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  /* Everything is over when the call returns. */
  g_assert_cmpint (slot_state (), ==, -1);
  assert_no_child_left ();
  guint delivered = collector_count (&c);
  g_usleep (50 * 1000);
  g_assert_cmpuint (collector_count (&c), ==, delivered);
  g_assert_cmpint (c.ends, ==, 0);
  g_assert_cmpstr (g_ptr_array_index (c.calls, 0), ==, "F=(null) n=1");
  collector_clear (&c);

  /* Nothing left to cancel. */
  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  /* The slot serves the next search. */
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, "SELECT 2 AS two", collect, &c), ==,
                   0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  collector_clear (&c);
}

/* The release of the user data: how often, and how many end calls had
 * been made by then. */
static void
count_notify (gpointer user_data)
{
  Collector *c = user_data;
  pthread_mutex_lock (&c->lock);
  c->notified++;
  c->ends_at_notify = c->ends;
  pthread_mutex_unlock (&c->lock);
}

static void
test_async_full_releases_user_data (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;

  /* After the end call of a finished search. */
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async_full (0, "SELECT 1 AS one", collect, &c,
                                           count_notify),
                   ==, 0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  g_assert_cmpint (c.notified, ==, 1);
  g_assert_cmpint (c.ends_at_notify, ==, 1);
  collector_clear (&c);

  /* By the time a cancellation returns, without an end call. */
  collector_init (&c, 0);
  g_assert_cmpint (
      meta_search_async_full (0, endless, collect, &c, count_notify), ==, 0);
  g_assert_true (collector_wait (&c, 1));
  /* A search refused while the slot is taken releases its data at once. */
  Collector refused;
  collector_init (&refused, 0);
  g_assert_cmpint (meta_search_async_full (0, "SELECT 1", collect, &refused,
                                           count_notify),
                   ==, -1);
  g_assert_cmpint (refused.notified, ==, 1);
  g_assert_cmpuint (refused.calls->len, ==, 0);
  collector_clear (&refused);
  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  g_assert_cmpint (c.notified, ==, 1);
  g_assert_cmpint (c.ends_at_notify, ==, 0);
  collector_clear (&c);

  /* Refused arguments, and no notify at all. */
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async_full (0, NULL, collect, &c,
                                           count_notify),
                   ==, -1);
  g_assert_cmpint (meta_search_async_full (0, "SELECT 1", NULL, &c,
                                           count_notify),
                   ==, -1);
  g_assert_cmpint (c.notified, ==, 2);
  g_assert_cmpint (meta_search_async_full (0, "SELECT 1", collect, &c, NULL),
                   ==, 0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  g_assert_cmpint (c.notified, ==, 2);
  collector_clear (&c);
}

/* What a child made by fork does with the library while its parent's
 * search runs: cancel (nothing of its own runs), search on its own, and
 * cancel its own search.  0 when all went as it should, else the step
 * that failed. */
static int
child_searches_on_its_own (void)
{
  if (meta_search_cancel (0) != 0)
    return 1;
  Collector own;
  collector_init (&own, 0);
  if (meta_search_async (0, "SELECT 7 AS seven", collect, &own) != 0)
    return 2;
  if (!collector_wait (&own, -1) || own.calls->len != 2
      || strcmp (g_ptr_array_index (own.calls, 0), "F=(null) seven=7") != 0)
    return 3;
  collector_clear (&own);
  for (int i = 0; i < 10000 && slot_state () != -1; i++)
    g_usleep (1000);
  collector_init (&own, 0);
  if (meta_search_async (0, endless, collect, &own) != 0
      || !collector_wait (&own, 1))
    return 4;
  if (meta_search_cancel (0) != 0 || slot_state () != -1 || own.ends != 0)
    return 5;
  return 0;
}

/* A forked child's searches are its own: the parent's running search is
 * neither its to take nor to cancel, and delivers every row. */
static void
test_async_forked_child (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  c.hold_first_row = TRUE;
  g_assert_cmpint (meta_search_async (0, counted_rows, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, 1));

  pid_t child = fork ();
  g_assert_cmpint (child, >=, 0);
  if (child == 0)
    _exit (child_searches_on_its_own ());
  int status = 0;
  pid_t reaped = 0;
  for (int i = 0; i < 1000 && reaped == 0; i++)
    {
      reaped = waitpid (child, &status, WNOHANG);
      if (reaped == 0)
        g_usleep (10 * 1000);
    }
  if (reaped == 0)
    {
      /* Blocked in the cancel: ends the test with the failure below. */
      kill (child, SIGKILL);
      waitpid (child, &status, 0);
    }
  g_assert_cmpint (reaped, ==, child);
  g_assert_true (WIFEXITED (status));
  g_assert_cmpint (WEXITSTATUS (status), ==, 0);

  pthread_mutex_lock (&c.lock);
  c.hold_first_row = FALSE;
  pthread_cond_broadcast (&c.cond);
  pthread_mutex_unlock (&c.lock);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  g_assert_cmpuint (c.calls->len, ==, 3001);
  g_assert_cmpstr (g_ptr_array_index (c.calls, 2999), ==, "F=(null) n=3000");
  g_assert_cmpstr (g_ptr_array_index (c.calls, 3000), ==, "END");
  assert_no_child_left ();
  collector_clear (&c);
}

/* How a test leaves the library without a database file of its own. */
typedef enum
{
  NO_DATABASE_AFTER_DESTRUCT,
  NO_DATABASE_IN_MEMORY,
} NoDatabase;

/* Without a database file, searches are refused: a search process would
 * find an empty temporary database and report an empty result. */
static void
test_search_without_database (TesselFixture *fx, gconstpointer data)
{
  NoDatabase how = GPOINTER_TO_INT (data);
  if (how == NO_DATABASE_IN_MEMORY)
    storage_set_path (":memory:");
  g_assert_cmpint (meta_init (), ==, 1);
  if (how == NO_DATABASE_AFTER_DESTRUCT)
    g_assert_cmpint (meta_destruct (), ==, 0);

  Collector c;
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, "SELECT 1 AS one", collect, &c), ==,
                   -1);
  g_assert_cmpint (slot_state (), ==, -1);
  c.expected_id = -1;
  if (how == NO_DATABASE_AFTER_DESTRUCT)
    g_assert_cmpint (meta_search_sync ("SELECT 1 AS one", collect, &c), ==,
                     0);
  g_assert_cmpuint (c.calls->len, ==, 0);
  assert_no_child_left ();
  collector_clear (&c);

  /* Opened again, the slot serves a search. */
  storage_set_path (fx->db);
  g_assert_cmpint (meta_init (), ==, 1);
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, "SELECT 1 AS one", collect, &c), ==,
                   0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  collector_clear (&c);
}

static void
test_async_cancel_inside_callback (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  c.cancel_on_row = 2;
  c.cancel_result = 99;
  g_assert_cmpint (meta_search_async (0, endless, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, 3));
  wait_slot_free ();
  assert_no_child_left ();
  g_assert_cmpint (c.cancel_result, ==, 0);
  /* The row that cancelled was the last one. */
  g_assert_cmpuint (collector_count (&c), ==, 3);
  g_assert_cmpint (c.ends, ==, 0);
  collector_clear (&c);
}

static void
test_async_cancel_while_callback_runs (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  Collector c;
  collector_init (&c, 0);
  c.sleep_ms = 100;
  g_assert_cmpint (meta_search_async (0, endless, collect, &c), ==, 0);
  g_assert_true (collector_wait (&c, 1));
  /* The first callback is asleep now. */
  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  pthread_mutex_lock (&c.lock);
  gboolean busy = c.in_callback;
  guint delivered = c.calls->len;
  pthread_mutex_unlock (&c.lock);
  g_assert_false (busy);
  g_usleep (250 * 1000);
  g_assert_cmpuint (collector_count (&c), ==, delivered);
  g_assert_cmpint (c.ends, ==, 0);
  g_assert_cmpint (slot_state (), ==, -1);
  assert_no_child_left ();
  collector_clear (&c);
}

static void
test_cancel_ids (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (meta_init (), ==, 1);
  g_assert_cmpint (meta_search_cancel (5), ==, 5);
  g_assert_cmpint (meta_search_cancel (-1), ==, -1);
  g_assert_cmpint (meta_search_cancel (0), ==, 0);
  g_assert_cmpint (slot_state (), ==, -1);
  (void) fx;
}

static void
test_async_before_init (void)
{
  if (g_test_subprocess ())
    {
      /* A fresh process: meta_init has never run. */
      g_assert_cmpint (slot_state (), ==, 0);
      g_assert_cmpint (meta_search_async (0, "SELECT 1", nested_callback,
                                          NULL),
                       ==, -1);
      g_assert_cmpint (slot_state (), ==, 0);
      return;
    }
  g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_DEFAULT);
  g_test_trap_assert_passed ();
}

static void
test_objects_from_columns (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  tessel_test_sql (fx->db,
                   "UPDATE Metadata SET Title = 'Song', Length = 61, MIME = "
                   "'audio/mpeg', Year = 1999 WHERE Filename = '/a.mp3'");
  GList *objects = NULL;
  g_assert_true (storage_search_sync_objects_list (
      "SELECT Filename, Title, Length, MIME, CAST (Year AS INTEGER) AS Year, "
      "Track, 2.75 AS Bitrate, "
      "count(*) AS Count FROM Metadata GROUP BY Filename ORDER BY Filename",
      &objects));
  g_assert_cmpuint (g_list_length (objects), ==, 2);
  MpMediaResource *a = objects->data;
  g_assert_cmpstr (mp_media_resource_get_uri (a), ==, "/a.mp3");
  g_assert_cmpstr (mp_media_resource_get_title (a), ==, "Song");
  g_assert_cmpint (mp_media_resource_get_length (a), ==, 61);
  g_assert_cmpstr (mp_media_resource_get_mime (a), ==, "audio/mpeg");
  /* An integer into a string property is its decimal text; a float into
   * an integer property is cut as GLib converts it. */
  g_assert_cmpstr (mp_media_resource_get_year (a), ==, "1999");
  g_assert_cmpint (mp_media_resource_get_track (a), ==, 3);
  g_assert_cmpint (mp_media_resource_get_bitrate (a), ==, 2);
  g_assert_cmpint (mp_media_resource_get_count (a), ==, 1);
  MpMediaResource *b = objects->next->data;
  g_assert_cmpstr (mp_media_resource_get_uri (b), ==, "/b.mp3");
  g_assert_cmpint (mp_media_resource_get_length (b), ==, -1);
  g_list_free_full (objects, g_object_unref);

  /* An integer beyond an int is clamped, not wrapped around. */
  objects = NULL;
  g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING,
                         "*-2147483648*Track*");
  g_assert_true (storage_search_sync_objects_list (
      "SELECT 4294967297 AS Count, -4294967297 AS Track", &objects));
  g_test_assert_expected_messages ();
  g_assert_cmpint (mp_media_resource_get_count (objects->data), ==, G_MAXINT);
  g_assert_cmpint (mp_media_resource_get_track (objects->data), ==, -1);
  g_list_free_full (objects, g_object_unref);

  /* No rows: TRUE with the empty list. */
  objects = NULL;
  g_assert_true (storage_search_sync_objects_list (
      "SELECT Filename FROM Metadata WHERE Track = 77", &objects));
  g_assert_null (objects);
}

static void
test_objects_glib_warnings (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  GList *objects = NULL;
  /* Every row reports the unknown name and the values GLib cannot take;
   * the rest of the row still applies. */
  for (int row = 0; row < 2; row++)
    {
      g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING,
                             "*no property named 'Bogus'*");
      g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING,
                             "*Length*");
      g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING,
                             "*Track*");
    }
  g_assert_true (storage_search_sync_objects_list (
      "SELECT Filename, 1 AS Bogus, -5 AS Length, 'three' AS Track "
      "FROM Metadata ORDER BY Filename",
      &objects));
  g_test_assert_expected_messages ();
  g_assert_cmpuint (g_list_length (objects), ==, 2);
  g_assert_cmpstr (mp_media_resource_get_uri (objects->next->data), ==,
                   "/b.mp3");
  g_assert_cmpint (mp_media_resource_get_length (objects->data), ==, -1);
  g_assert_cmpint (mp_media_resource_get_track (objects->data), ==, -1);
  g_list_free_full (objects, g_object_unref);
}

static void
test_objects_blob_fails (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  GList *objects = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*(storage_get_gvalue): should not be reached");
  g_test_expect_message (
      "tessel", G_LOG_LEVEL_CRITICAL,
      "*(storage_search_sync_objects_list): should not be reached");
  g_assert_false (storage_search_sync_objects_list (
      "SELECT Filename, CASE WHEN Filename = '/b.mp3' THEN x'41ff' END "
      "AS Title FROM Metadata ORDER BY Filename",
      &objects));
  g_test_assert_expected_messages ();
  g_assert_null (objects);

  /* The other forms leave a blob column out. */
  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync ("SELECT x'4142' AS Title, 1 AS n",
                                     collect, &c),
                   ==, 1);
  const gchar *calls[] = { "F=(null) n=1", "END", NULL };
  assert_calls (&c, calls);
  collector_clear (&c);
}

static void
test_objects_argument_checks (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  GList *objects = g_list_prepend (NULL, GINT_TO_POINTER (1));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "storage_search_sync_objects_list: assertion "
                         "'(objects_list != NULL) && (*objects_list == "
                         "NULL)' failed");
  g_assert_false (storage_search_sync_objects_list ("SELECT 1", &objects));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*(objects_list != NULL) && (*objects_list == NULL)*");
  g_assert_false (storage_search_sync_objects_list ("SELECT 1", NULL));
  g_list_free (objects);
  objects = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*filter != NULL*");
  g_assert_false (storage_search_sync_objects_list (NULL, &objects));
  g_test_assert_expected_messages ();
  g_assert_null (objects);
}


/* Row 3 makes SQLite fail with "string or blob too big" after two rows
 * have been delivered.  Stepping again would start over at row 1. */
static const gchar too_big[]
    = "SELECT Filename, CASE WHEN rowid = 3 THEN zeroblob (2000000000) END "
      "AS Big FROM Metadata ORDER BY rowid";

static void
insert_three_rows (TesselFixture *fx)
{
  g_assert_cmpint (meta_init (), ==, 1);
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES ('/a'), "
                           "('/b'), ('/c')");
}

static void
test_failure_after_rows_ends (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  insert_three_rows (fx);
  if (!g_test_subprocess ())
    {
      /* The synchronous forms run bounded: a search that starts over
       * never returns. */
      g_test_trap_subprocess (NULL, 20 * G_USEC_PER_SEC,
                              G_TEST_SUBPROCESS_INHERIT_STDERR);
      g_test_trap_assert_passed ();

      Collector c;
      collector_init (&c, 0);
      g_assert_cmpint (meta_search_async (0, too_big, collect, &c), ==, 0);
      g_assert_true (collector_wait (&c, -1));
      const gchar *partial[] = { "F=/a Filename=/a", "F=/b Filename=/b", "END",
                                 NULL };
      assert_calls (&c, partial);
      wait_slot_free ();
      assert_no_child_left ();
      collector_clear (&c);
      return;
    }

  Collector c;
  collector_init (&c, -1);
  g_assert_cmpint (meta_search_sync (too_big, collect, &c), ==, 0);
  g_assert_cmpuint (c.calls->len, ==, 0);
  collector_clear (&c);
  int result = 1;
  gchar *text = stream_text (too_big, &result);
  g_assert_cmpint (result, ==, 0);
  g_assert_cmpstr (text, ==, "Filename\t/a\t\nFilename\t/b\t\n");
  free (text);
  GList *objects = NULL;
  g_assert_false (storage_search_sync_objects_list (too_big, &objects));
  g_assert_null (objects);
}

/* A helper that cannot be started (no descriptor left for its pipes): no
 * search, and the slot stays free. */
static void
test_async_helper_missing (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  (void) fx;
  g_assert_cmpint (meta_init (), ==, 1);
  struct rlimit saved;
  g_assert_cmpint (getrlimit (RLIMIT_NOFILE, &saved), ==, 0);
  int lowest_free = dup (0);
  g_assert_cmpint (lowest_free, >=, 0);
  close (lowest_free);
  struct rlimit tight = saved;
  tight.rlim_cur = (rlim_t) lowest_free;
  g_assert_cmpint (setrlimit (RLIMIT_NOFILE, &tight), ==, 0);
  int id = meta_search_async (0, "SELECT 1", nested_callback, NULL);
  g_assert_cmpint (setrlimit (RLIMIT_NOFILE, &saved), ==, 0);
  g_assert_cmpint (id, ==, -1);
  g_assert_cmpint (slot_state (), ==, -1);
  assert_no_child_left ();

  Collector c;
  collector_init (&c, 0);
  g_assert_cmpint (meta_search_async (0, "SELECT 1 AS one", collect, &c), ==,
                   0);
  g_assert_true (collector_wait (&c, -1));
  wait_slot_free ();
  collector_clear (&c);
}

/* Hands the next pid to a new process, as the kernel does once the pids
 * have wrapped; 0 when this system does not let us. */
static pid_t
fork_victim_with_pid (pid_t wanted)
{
  for (int attempt = 0; attempt < 20; attempt++)
    {
      g_autofree gchar *last = g_strdup_printf ("%d", (int) wanted - 1);
      FILE *f = fopen ("/proc/sys/kernel/ns_last_pid", "w");
      if (f == NULL)
        return 0;
      gboolean written = fputs (last, f) >= 0;
      if (fclose (f) != 0 || !written)
        return 0;
      pid_t victim = fork ();
      if (victim == 0)
        {
          pause ();
          _exit (0);
        }
      if (victim == wanted)
        return victim;
      /* Another process of the machine took the pid first. */
      kill (victim, SIGKILL);
    }
  return 0;
}

typedef struct
{
  gint rows;
  pid_t victim;
  gboolean victim_alive;
  gboolean skipped;
} PidReuse;

static void
cancel_after_reuse (const gchar *filename, gchar **keys, gchar **values,
                    gpointer user_data, gint search_id)
{
  (void) filename, (void) values;
  PidReuse *r = user_data;
  if (keys == NULL || r->rows++ > 0)
    return;
  pthread_mutex_lock (&search_lock);
  pid_t helper = search_ids[0].pid;
  pthread_mutex_unlock (&search_lock);
  /* The search process has written its row; with SIGCHLD ignored the
   * kernel reaps it the moment it exits, and its pid is free. */
  for (int i = 0; i < 10000 && kill (helper, 0) == 0; i++)
    g_usleep (1000);
  r->victim = fork_victim_with_pid (helper);
  if (r->victim == 0)
    {
      r->skipped = TRUE;
      return;
    }
  int victim_fd = (int) syscall (SYS_pidfd_open, r->victim, 0);
  g_assert_cmpint (victim_fd, >=, 0);
  meta_search_cancel (search_id);
  /* A SIGKILL sent by the cancel would end the victim within this bound;
   * its descriptor becomes readable when it ends. */
  struct pollfd ended = { victim_fd, POLLIN, 0 };
  r->victim_alive = poll (&ended, 1, 500) == 0;
  close (victim_fd);
  kill (r->victim, SIGKILL);
}

static void
test_async_reaped_pid_not_killed (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  if (!g_test_subprocess ())
    {
      if (access ("/proc/sys/kernel/ns_last_pid", W_OK) != 0)
        {
          g_test_skip ("cannot choose the next pid (needs root and "
                       "/proc/sys/kernel/ns_last_pid)");
          return;
        }
      g_test_trap_subprocess (NULL, 30 * G_USEC_PER_SEC,
                              G_TEST_SUBPROCESS_INHERIT_STDERR
                                  | G_TEST_SUBPROCESS_INHERIT_STDOUT);
      g_test_trap_assert_passed ();
      return;
    }
  open_library (fx);
  signal (SIGCHLD, SIG_IGN);
  PidReuse r = { 0 };
  g_assert_cmpint (meta_search_async (0, "SELECT 1 AS one", cancel_after_reuse,
                                      &r),
                   ==, 0);
  wait_slot_free ();
  /* Other processes of the machine kept taking the pid: nothing shown. */
  if (r.skipped)
    return;
  g_assert_true (r.victim_alive);
}

static void
collect_columns (gint columns, const gchar *const *names, const gint *types,
                 const gchar *const *values, gpointer user_data)
{
  GString *out = user_data;
  for (gint i = 0; i < columns; i++)
    if (values == NULL)
      g_string_append_printf (out, "%s%s", i > 0 ? "," : "", names[i]);
    else
      g_string_append_printf (out, "%s%d:%s", i > 0 ? "," : "", types[i],
                              values[i] != NULL ? values[i] : "NULL");
  g_string_append_c (out, ';');
}

/* Every column in the query's order, duplicates and NULLs included, each
 * with its storage class; a failing query gives SQLite's reason. */
static void
test_columns_form (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_library (fx);
  GString *out = g_string_new (NULL);
  GError *error = NULL;
  g_assert_cmpint (meta_search_columns ("SELECT Title, Track, Title, 2.5 AS "
                                        "R FROM Metadata ORDER BY Filename",
                                        collect_columns, out, &error),
                   ==, 1);
  g_assert_no_error (error);
  g_assert_cmpstr (out->str, ==,
                   "Title,Track,Title,R;0:NULL,1:3,0:NULL,2:2.5;"
                   "3:,0:NULL,3:,2:2.5;");
  g_string_truncate (out, 0);
  /* An empty result still names its columns. */
  g_assert_cmpint (meta_search_columns ("SELECT Filename FROM Metadata "
                                        "WHERE 0", collect_columns, out,
                                        &error),
                   ==, 1);
  g_assert_cmpstr (out->str, ==, "Filename;");
  g_string_truncate (out, 0);
  g_assert_cmpint (meta_search_columns ("SELECT Titel FROM Metadata",
                                        collect_columns, out, &error),
                   ==, 0);
  g_assert_error (error, META_ERROR, META_ERROR_FAILED);
  g_assert_cmpstr (error->message, ==, "no such column: Titel");
  g_clear_error (&error);
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES ('/c')");
  g_assert_cmpint (meta_search_columns (too_big, collect_columns, out,
                                        &error),
                   ==, 0);
  g_assert_error (error, META_ERROR, META_ERROR_FAILED);
  g_clear_error (&error);
  g_assert_cmpstr (out->str, ==, "");
  g_string_free (out, TRUE);
}

typedef struct
{
  pthread_mutex_t lock;
  gboolean ended;
  gint status;
  gchar *reason;
} EndStatus;

static void
record_end_status (const gchar *filename, gchar **keys, gchar **values,
                   gpointer user_data, gint search_id)
{
  (void) filename, (void) values, (void) search_id;
  if (keys != NULL)
    return;
  EndStatus *e = user_data;
  GError *error = NULL;
  gint status = meta_search_end_status (&error);
  pthread_mutex_lock (&e->lock);
  e->status = status;
  e->reason = error != NULL ? g_strdup (error->message) : NULL;
  e->ended = TRUE;
  pthread_mutex_unlock (&e->lock);
  g_clear_error (&error);
}

/* The end call of an asynchronous search tells a failure, with its
 * reason, from a complete result. */
static void
test_async_end_status (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  insert_three_rows (fx);
  struct
  {
    const gchar *query;
    gint status;
    const gchar *reason;
  } cases[] = {
    { "SELECT Filename FROM Metadata", 1, NULL },
    { "SELECT x FROM Nowhere", 0, "no such table: Nowhere" },
    { too_big, 0, "string or blob too big" },
  };
  g_assert_cmpint (meta_search_end_status (NULL), ==, 1);
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      EndStatus e = { PTHREAD_MUTEX_INITIALIZER, FALSE, -1, NULL };
      g_assert_cmpint (meta_search_async (0, cases[i].query,
                                          record_end_status, &e),
                       ==, 0);
      wait_slot_free ();
      pthread_mutex_lock (&e.lock);
      g_assert_true (e.ended);
      g_assert_cmpint (e.status, ==, cases[i].status);
      g_assert_cmpstr (e.reason, ==, cases[i].reason);
      pthread_mutex_unlock (&e.lock);
      g_free (e.reason);
    }
}

#define ADD TESSEL_TEST_ADD

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);

  ADD ("/search/forms/null-and-empty-columns", test_null_and_empty_columns);
  ADD ("/search/forms/seventy-columns", test_seventy_columns);
  ADD ("/search/forms/refused-queries", test_refused_queries);
  ADD ("/search/forms/modifying-query", test_modifying_query);
  ADD ("/search/forms/failure-midway", test_failure_midway);
  ADD ("/search/forms/failure-after-rows-ends", test_failure_after_rows_ends);
  ADD ("/search/sync/callbacks-may-use-storage",
       test_callbacks_may_use_storage);
  ADD ("/search/stream/escapes-separators", test_stream_escapes_separators);
  ADD ("/search/objects/columns-to-properties", test_objects_from_columns);
  ADD ("/search/objects/glib-warnings", test_objects_glib_warnings);
  ADD ("/search/objects/blob-fails", test_objects_blob_fails);
  ADD ("/search/objects/argument-checks", test_objects_argument_checks);
  g_test_add_func ("/search/async/before-init", test_async_before_init);
  ADD ("/search/async/same-rows-as-sync", test_async_same_rows_as_sync);
  ADD ("/search/async/failed-query-ends", test_async_failed_query_ends);
  ADD ("/search/async/child-skips-exit-handlers",
       test_async_child_skips_exit_handlers);
  ADD ("/search/async/second-search-refused",
       test_async_second_search_refused);
  ADD ("/search/async/helper-missing", test_async_helper_missing);
  ADD ("/search/async/full-releases-user-data",
       test_async_full_releases_user_data);
  ADD ("/search/async/end-status", test_async_end_status);
  ADD ("/search/async/forked-child-searches-on-its-own",
       test_async_forked_child);
  g_test_add ("/search/refused/after-destruct", TesselFixture,
              GINT_TO_POINTER (NO_DATABASE_AFTER_DESTRUCT),
              tessel_fixture_setup, test_search_without_database,
              tessel_fixture_teardown);
  g_test_add ("/search/refused/database-in-memory", TesselFixture,
              GINT_TO_POINTER (NO_DATABASE_IN_MEMORY), tessel_fixture_setup,
              test_search_without_database, tessel_fixture_teardown);
  ADD ("/search/columns/types-nulls-duplicates", test_columns_form);
  ADD ("/search/cancel/ids", test_cancel_ids);
  ADD ("/search/cancel/reaped-pid-not-killed",
       test_async_reaped_pid_not_killed);
  ADD ("/search/cancel/long-search", test_async_cancel_long_search);
  ADD ("/search/cancel/inside-callback", test_async_cancel_inside_callback);
  ADD ("/search/cancel/while-callback-runs",
       test_async_cancel_while_callback_runs);
  return g_test_run ();
}
