/* The library called from several threads at once: key writes, reads and
 * grouped writes sharing the one connection, transactions that belong to
 * the thread that opened them, the first registration of the store types,
 * and calls from an asynchronous search's callback while another thread
 * writes. */
#include "mp_library_store_database.h"
#include "mp_library_store_isds.h"
#include "tessel-test.h"

#define WRITERS 2
#define ROUNDS 150

static void
open_db (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (meta_init (), ==, 1);
}

typedef struct
{
  gint id;
  gint failures; /* calls that reported failure or read back another value */
} Writer;

/* Adds rows of its own (a grouped write each) and writes and reads back a
 * key of each. */
static gpointer
write_rows (gpointer data)
{
  Writer *w = data;
  for (gint i = 0; i < ROUNDS; i++)
    {
      g_autofree gchar *url = g_strdup_printf ("http://w%d/%d", w->id, i);
      gint32 track = -1;
      if (!meta_add_url (url) || !meta_write_integer (url, "Track", i)
          || !meta_read_integer (url, "Track", &track) || track != i)
        w->failures++;
    }
  return NULL;
}

static void
test_concurrent_writers (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  Writer writers[WRITERS];
  GThread *threads[WRITERS];
  for (gint i = 0; i < WRITERS; i++)
    {
      writers[i] = (Writer){ i, 0 };
      threads[i] = g_thread_new ("writer", write_rows, &writers[i]);
    }
  for (gint i = 0; i < WRITERS; i++)
    {
      g_thread_join (threads[i]);
      g_assert_cmpint (writers[i].failures, ==, 0);
    }
  /* Every row reported stored is there, with its key. */
  for (gint w = 0; w < WRITERS; w++)
    for (gint i = 0; i < ROUNDS; i++)
      {
        g_autofree gchar *url = g_strdup_printf ("http://w%d/%d", w, i);
        gint32 track = -1;
        g_assert_cmpint (meta_read_integer (url, "Track", &track), ==, 1);
        g_assert_cmpint (track, ==, i);
      }
}

static void
ignore_rows (const gchar *filename, gchar **keys, gchar **values,
             gpointer user_data, gint search_id)
{
  (void) filename;
  (void) keys;
  (void) values;
  (void) user_data;
  (void) search_id;
}

static gpointer
add_url (gpointer data)
{
  return GINT_TO_POINTER (meta_add_url (data));
}

/* One thread's open transaction is not another's: the other thread's row
 * must not become part of it, to vanish with its rollback although it was
 * reported stored. */
static void
test_foreign_transaction (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  g_assert_cmpint (meta_search_sync ("BEGIN", ignore_rows, NULL), ==, 1);
  GThread *other = g_thread_new ("other", add_url, "http://other/1");
  gint stored = GPOINTER_TO_INT (g_thread_join (other));
  g_assert_cmpint (meta_search_sync ("ROLLBACK", ignore_rows, NULL), ==, 1);
  g_assert_cmpint (stored, ==,
                   storage_file_exists ("http://other/1", 0, NULL));
  g_assert_cmpint (stored, ==, 0);

  /* The thread's own transaction takes its own row in. */
  g_assert_cmpint (meta_search_sync ("BEGIN", ignore_rows, NULL), ==, 1);
  g_assert_cmpint (meta_add_url ("http://own/1"), ==, 1);
  g_assert_cmpint (meta_search_sync ("COMMIT", ignore_rows, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("http://own/1", 0, NULL), ==, 1);
  /* Once it has ended, other threads store as before. */
  other = g_thread_new ("other", add_url, "http://other/2");
  g_assert_cmpint (GPOINTER_TO_INT (g_thread_join (other)), ==, 1);
}

#define REGISTRANTS 8

typedef struct
{
  GMutex lock;
  GCond cond;
  gint waiting;
  GType types[REGISTRANTS][3];
  gpointer stores[REGISTRANTS][2];
} Registration;

static gpointer
register_types (gpointer data)
{
  Registration *r = data;
  g_mutex_lock (&r->lock);
  gint me = r->waiting++;
  /* All start together. */
  g_cond_broadcast (&r->cond);
  while (r->waiting < REGISTRANTS)
    g_cond_wait (&r->cond, &r->lock);
  g_mutex_unlock (&r->lock);
  r->types[me][0] = mp_library_store_database_get_type ();
  r->types[me][1] = mp_library_store_isds_get_type ();
  r->types[me][2] = mp_library_store_get_type ();
  r->stores[me][0] = mp_library_store_database_get_instance ();
  r->stores[me][1] = mp_library_store_isds_get_instance ();
  return NULL;
}

/* The first calls of a process, from several threads at once, give every
 * thread the same valid types and the same stores. */
static void
test_first_registration (void)
{
  if (g_test_subprocess ())
    {
      Registration r = { 0 };
      GThread *threads[REGISTRANTS];
      for (gint i = 0; i < REGISTRANTS; i++)
        threads[i] = g_thread_new ("registrant", register_types, &r);
      for (gint i = 0; i < REGISTRANTS; i++)
        g_thread_join (threads[i]);
      for (gint i = 0; i < REGISTRANTS; i++)
        {
          g_assert_true (g_type_is_a (r.types[i][0], r.types[i][2]));
          g_assert_true (g_type_is_a (r.types[i][1], r.types[i][2]));
          g_assert_true (g_type_is_a (r.types[i][2], G_TYPE_OBJECT));
          for (gint k = 0; k < 3; k++)
            g_assert_true (r.types[i][k] == r.types[0][k]);
          g_assert_true (IS_MP_LIBRARY_STORE_DATABASE (r.stores[i][0]));
          g_assert_true (r.stores[i][0] == r.stores[0][0]);
          g_assert_true (IS_MP_LIBRARY_STORE_ISDS (r.stores[i][1]));
          g_assert_true (r.stores[i][1] == r.stores[0][1]);
        }
      return;
    }
  /* A process of its own, where nothing is registered yet; a few runs,
   * as a lost race shows only sometimes. */
  for (gint run = 0; run < 5; run++)
    {
      g_test_trap_subprocess (NULL, 0, G_TEST_SUBPROCESS_DEFAULT);
      g_test_trap_assert_passed ();
    }
}

typedef struct
{
  GMutex lock;
  GCond cond;
  gboolean ended;
  gint rows;
  gint failures;
  volatile gint stop;
} Callback;

/* Reads each row's title back through the library, from the search's
 * own thread. */
static void
read_back (const gchar *filename, gchar **keys, gchar **values,
           gpointer user_data, gint search_id)
{
  (void) keys;
  (void) values;
  (void) search_id;
  Callback *c = user_data;
  if (filename != NULL)
    {
      g_autofree gchar *title = NULL;
      gboolean ok = meta_read_string (filename, "Title", &title) == 1
                    && g_strcmp0 (title, filename + strlen ("http://s/"))
                           == 0;
      g_mutex_lock (&c->lock);
      c->rows++;
      c->failures += ok ? 0 : 1;
      g_mutex_unlock (&c->lock);
      return;
    }
  g_mutex_lock (&c->lock);
  c->ended = TRUE;
  g_cond_signal (&c->cond);
  g_mutex_unlock (&c->lock);
}

static gpointer
keep_writing (gpointer data)
{
  Callback *c = data;
  gint failures = 0;
  for (gint i = 0; !g_atomic_int_get (&c->stop); i++)
    {
      g_autofree gchar *url = g_strdup_printf ("http://busy/%d", i % 20);
      if (!meta_add_url (url) || !meta_write_integer (url, "Track", i))
        failures++;
    }
  return GINT_TO_POINTER (failures);
}

static void
test_callback_while_writing (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  for (gint i = 0; i < 60; i++)
    {
      g_autofree gchar *url = g_strdup_printf ("http://s/%d", i);
      g_autofree gchar *title = g_strdup_printf ("%d", i);
      g_assert_cmpint (
          meta_add_url_with_title_and_mime (url, title, "audio/mpeg"), ==, 1);
    }
  Callback c = { 0 };
  GThread *writer = g_thread_new ("writer", keep_writing, &c);
  gint id = meta_search_async (
      0, "SELECT Filename FROM Metadata WHERE Filename LIKE 'http://s/%'",
      read_back, &c);
  g_assert_cmpint (id, ==, 0);
  g_mutex_lock (&c.lock);
  while (!c.ended)
    g_cond_wait (&c.cond, &c.lock);
  g_mutex_unlock (&c.lock);
  g_atomic_int_set (&c.stop, 1);
  g_assert_cmpint (GPOINTER_TO_INT (g_thread_join (writer)), ==, 0);
  g_assert_cmpint (c.rows, ==, 60);
  g_assert_cmpint (c.failures, ==, 0);
  meta_search_cancel (id);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/threads/types/first-registration-from-threads",
                   test_first_registration);
#define ADD(path, func)                                                       \
  g_test_add (path, TesselFixture, NULL, open_db, func,                       \
              tessel_fixture_teardown)
  ADD ("/threads/keys/concurrent-writers-lose-nothing",
       test_concurrent_writers);
  ADD ("/threads/transaction/other-thread-stays-out",
       test_foreign_transaction);
  ADD ("/threads/search/callback-reads-while-another-thread-writes",
       test_callback_while_writing);
#undef ADD
  return g_test_run ();
}
