/* The database store's asynchronous pairs: the same results as the
 * synchronous calls, the callback on the caller's main context,
 * cancellation before and during the work, many calls at once, and calls
 * under way when the database is closed. */
#include <string.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "mp_library_store_database.h"
#include "tessel-test.h"

#define STORE mp_library_store_database_get_instance ()
#define CONNECT_ERROR "Could not connect to media database"
/* Bounds every wait for callbacks, so that a lost callback fails the test
 * instead of hanging it; no test comes near it. */
#define WAIT_LIMIT_S 60

/* One pair with fixed arguments, and its synchronous call with the same. */
typedef struct
{
  const char *name;
  GList *(*sync) (GError **error);
  void (*start) (GCancellable *cancellable, GAsyncReadyCallback callback,
                 gpointer user_data);
  GList *(*finish) (GAsyncResult *result, GError **error);
  gboolean endless_view; /* runs on the endless table of the cancel test */
} Pair;

#define ALBUM_ARTIST "zoe martin"
#define ALBUM "BIG NOISE"
#define FIND_TEXT "noi"

#define PAIR_NO_ARGS(call)                                           \
  static GList *call##_sync (GError **error)                                  \
  {                                                                           \
    return mp_library_store_database_##call (STORE, error);                   \
  }                                                                           \
  static void call##_start (GCancellable *c, GAsyncReadyCallback cb,          \
                            gpointer data)                                    \
  {                                                                           \
    mp_library_store_database_##call##_async (STORE, c, cb, data);            \
  }                                                                           \
  static GList *call##_finish (GAsyncResult *result, GError **error)          \
  {                                                                           \
    return mp_library_store_database_##call##_finish (STORE, result, error);  \
  }
PAIR_NO_ARGS (get_songs)
PAIR_NO_ARGS (get_album_list)
PAIR_NO_ARGS (get_artist_list)

static GList *
get_album_songs_sync (GError **error)
{
  return mp_library_store_database_get_album_songs (STORE, ALBUM_ARTIST,
                                                    ALBUM, error);
}

static void
get_album_songs_start (GCancellable *c, GAsyncReadyCallback cb, gpointer data)
{
  mp_library_store_database_get_album_songs_async (STORE, ALBUM_ARTIST, ALBUM,
                                                   c, cb, data);
}

static GList *
get_album_songs_finish (GAsyncResult *result, GError **error)
{
  return mp_library_store_database_get_album_songs_finish (STORE, result,
                                                           error);
}

static GList *
find_sync (GError **error)
{
  return mp_library_store_database_find (STORE, FIND_TEXT, error);
}

static void
find_start (GCancellable *c, GAsyncReadyCallback cb, gpointer data)
{
  mp_library_store_database_find_async (STORE, FIND_TEXT, c, cb, data);
}

static GList *
find_finish (GAsyncResult *result, GError **error)
{
  return mp_library_store_database_find_finish (STORE, result, error);
}

/* The playlist of the playlist pair: rows, a row left out of listings
 * (still an entry), a missing file and a stream, in this order. */
static gchar *playlist_path;

static GList *
get_playlist_songs_sync (GError **error)
{
  return mp_library_store_database_get_playlist_songs (STORE, playlist_path,
                                                       error);
}

static void
get_playlist_songs_start (GCancellable *c, GAsyncReadyCallback cb,
                          gpointer data)
{
  mp_library_store_database_get_playlist_songs_async (STORE, playlist_path, c,
                                                      cb, data);
}

static GList *
get_playlist_songs_finish (GAsyncResult *result, GError **error)
{
  return mp_library_store_database_get_playlist_songs_finish (STORE, result,
                                                              error);
}

static const Pair pairs[] = {
  { "songs", get_songs_sync, get_songs_start, get_songs_finish, TRUE },
  { "album-list", get_album_list_sync, get_album_list_start,
    get_album_list_finish, TRUE },
  { "artist-list", get_artist_list_sync, get_artist_list_start,
    get_artist_list_finish, TRUE },
  { "album-songs", get_album_songs_sync, get_album_songs_start,
    get_album_songs_finish, TRUE },
  /* The word index cannot be made endless. */
  { "find", find_sync, find_start, find_finish, FALSE },
  { "playlist-songs", get_playlist_songs_sync, get_playlist_songs_start,
    get_playlist_songs_finish, FALSE },
};

/* Songs whose albums, artists and words the five pairs all find, with
 * case, accents, NULLs and rows that every call leaves out. */
static void
seed (const gchar *db)
{
  tessel_test_sql (
      db,
      "ALTER TABLE Metadata ADD COLUMN AlbumArtist text;"
      "ALTER TABLE Metadata ADD COLUMN Disc int(12);"
      "INSERT INTO Metadata (Filename, Title, Artist, Album, AlbumArtist, "
      "Genre, Year, Track, Disc, Length, Bitrate, MIME, Present) VALUES "
      "('/z/1.mp3', 'Noise One', 'Zoë Martin', 'Big Noise', NULL, 'Pop', "
      "'2001', 1, 1, 10, 128000, 'audio/mpeg', 1),"
      "('/z/2.mp3', 'noise two', 'zoe martin', 'big noise', NULL, 'Pop', "
      "'2002', 2, 1, NULL, NULL, 'audio/mpeg', 1),"
      "('/z/3.mp3', 'Élan', 'Zoë Martin', 'Big Noise', NULL, NULL, NULL, "
      "NULL, NULL, 30, NULL, 'audio/ogg', 1),"
      "('/c/1.mp3', 'Café', 'Guest', 'Mixes', 'DJ', 'Dance', NULL, 1, 2, 5, "
      "NULL, 'audio/mpeg', 1),"
      "('/c/2.mp3', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
      "NULL, 'audio/mpeg', 1),"
      "('/gone.mp3', 'Noise Gone', 'Zoë Martin', 'Big Noise', NULL, NULL, "
      "NULL, 3, NULL, 5, NULL, 'audio/mpeg', 0),"
      "('/v/noise.avi', 'Noise Clip', 'Zoë Martin', NULL, NULL, NULL, NULL, "
      "NULL, NULL, 60, NULL, 'video/x-msvideo', 1)");
}

static void
open_store (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (storage_init (), ==, 1);
  seed (fx->db);
  g_free (playlist_path);
  playlist_path = g_build_filename (fx->dir, "mix.m3u", NULL);
  g_assert_true (g_file_set_contents (
      playlist_path,
      "#EXTM3U\n/z/3.mp3\n/gone.mp3\n#EXTINF:42,Missing\n/nowhere.mp3\n"
      "/c/1.mp3\nhttp://radio.example/live\n",
      -1, NULL));
}

/* Every property of every resource, one line each; the list is released. */
static gchar *
describe (GList *list)
{
  GString *s = g_string_new (NULL);
  guint n = 0;
  GParamSpec **props = g_object_class_list_properties (
      g_type_class_peek (MP_TYPE_MEDIA_RESOURCE), &n);
  for (GList *l = list; l != NULL; l = l->next)
    {
      for (guint i = 0; i < n; i++)
        {
          GValue value = G_VALUE_INIT;
          g_value_init (&value, props[i]->value_type);
          g_object_get_property (l->data, props[i]->name, &value);
          gchar *text = g_strdup_value_contents (&value);
          g_string_append_printf (s, "%s=%s ", props[i]->name, text);
          g_free (text);
          g_value_unset (&value);
        }
      g_string_append_c (s, '\n');
    }
  g_free (props);
  g_list_free_full (list, g_object_unref);
  return g_string_free (s, FALSE);
}

/* What one call handed to its callback. */
typedef struct
{
  const Pair *pair;
  GList *list;
  GError *error;
  gboolean called;
  GThread *thread;          /* the thread the callback ran on */
  GMainContext *context;    /* the thread-default context there */
  gint *pending;            /* decremented by the callback */
} Outcome;

static void
on_done (GObject *source, GAsyncResult *result, gpointer data)
{
  Outcome *o = data;
  g_assert_true (source == G_OBJECT (STORE));
  g_assert_false (o->called);
  o->called = TRUE;
  o->thread = g_thread_self ();
  o->context = g_main_context_get_thread_default ();
  o->list = o->pair->finish (result, &o->error);
  /* NULL or an error, never both. */
  if (o->error != NULL)
    g_assert_null (o->list);
  if (o->pending != NULL)
    (*o->pending)--;
}

static gboolean
give_up (gpointer data)
{
  *(gboolean *) data = TRUE;
  return G_SOURCE_REMOVE;
}

/* Iterates context until *pending reaches 0; fails after WAIT_LIMIT_S. */
static void
wait_for (GMainContext *context, gint *pending)
{
  gboolean expired = FALSE;
  GSource *limit = g_timeout_source_new_seconds (WAIT_LIMIT_S);
  g_source_set_callback (limit, give_up, &expired, NULL);
  g_source_attach (limit, context);
  while (*pending > 0 && !expired)
    g_main_context_iteration (context, TRUE);
  g_source_destroy (limit);
  g_source_unref (limit);
  g_assert_false (expired);
}

static void
outcome_clear (Outcome *o)
{
  g_list_free_full (o->list, g_object_unref);
  g_clear_error (&o->error);
}

/* Runs pair to its callback on the default context. */
static void
run_pair (const Pair *pair, GCancellable *cancellable, Outcome *o)
{
  gint pending = 1;
  *o = (Outcome){ .pair = pair, .pending = &pending };
  pair->start (cancellable, on_done, o);
  /* Never from inside the call: the callback waits for the loop. */
  g_assert_false (o->called);
  wait_for (NULL, &pending);
}

static void
test_equals_sync (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  const Pair *pair = data;
  GError *error = NULL;
  gchar *expected = describe (pair->sync (&error));
  g_assert_no_error (error);
  /* Something to compare: every pair finds rows in the seed. */
  g_assert_cmpstr (expected, !=, "");

  Outcome o;
  run_pair (pair, NULL, &o);
  g_assert_no_error (o.error);
  gchar *got = describe (g_steal_pointer (&o.list));
  g_assert_cmpstr (got, ==, expected);
  g_free (got);
  g_free (expected);
}

/* Two rows alike in every column the songs list, without a file name:
 * listed once, as on the library's own connection. */
static void
test_songs_rows_alike (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title, MIME, "
                           "Present) VALUES (NULL, 'twin', 'audio/mpeg', 1),"
                           "(NULL, 'twin', 'audio/mpeg', 1)");
  Outcome o;
  run_pair (&pairs[0], NULL, &o);
  g_assert_no_error (o.error);
  guint twins = 0;
  for (GList *l = o.list; l != NULL; l = l->next)
    twins += g_strcmp0 (mp_media_resource_get_title (l->data), "twin") == 0;
  g_assert_cmpuint (twins, ==, 1);
  outcome_clear (&o);
}

/* A table without rows: what the synchronous call gives, without an
 * error: NULL, or for a playlist its entries as the playlist gives them. */
static void
test_empty_result (TesselFixture *fx, gconstpointer data)
{
  const Pair *pair = data;
  tessel_test_sql (fx->db, "DELETE FROM Metadata");
  gchar *expected = describe (pair->sync (NULL));
  Outcome o;
  run_pair (pair, NULL, &o);
  g_assert_no_error (o.error);
  if (pair->sync != get_playlist_songs_sync)
    g_assert_null (o.list);
  gchar *got = describe (g_steal_pointer (&o.list));
  g_assert_cmpstr (got, ==, expected);
  g_free (got);
  g_free (expected);
}

/* The query cannot run: the store's error, as the synchronous call. */
static void
test_query_fails (TesselFixture *fx, gconstpointer data)
{
  const Pair *pair = data;
  tessel_test_sql (fx->db, "DROP TABLE Metadata");
  Outcome o;
  run_pair (pair, NULL, &o);
  g_assert_nonnull (o.error);
  g_assert_cmpint (o.error->code, ==, -1);
  g_assert_cmpstr (o.error->message, ==, CONNECT_ERROR);
  outcome_clear (&o);
}

typedef struct
{
  const Pair *pair;
  Outcome outcome;
  GMainContext *context;
  GThread *thread;
} Caller;

static gpointer
call_from_thread (gpointer data)
{
  Caller *c = data;
  c->thread = g_thread_self ();
  c->context = g_main_context_new ();
  g_main_context_push_thread_default (c->context);
  gint pending = 1;
  c->outcome = (Outcome){ .pair = c->pair, .pending = &pending };
  c->pair->start (NULL, on_done, &c->outcome);
  wait_for (c->context, &pending);
  g_main_context_pop_thread_default (c->context);
  return NULL;
}

/* Called from a thread with a context of its own while the main context
 * is not iterated: the callback runs on that thread, in that context. */
static void
test_callback_on_callers_context (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  Caller c = { .pair = data };
  GThread *thread = g_thread_new ("caller", call_from_thread, &c);
  g_thread_join (thread);
  g_assert_true (c.outcome.called);
  g_assert_true (c.outcome.thread == c.thread);
  g_assert_true (c.outcome.context == c.context);
  g_assert_no_error (c.outcome.error);
  g_assert_nonnull (c.outcome.list);
  outcome_clear (&c.outcome);
  g_main_context_unref (c.context);
  /* Nothing was left for the main context. */
  g_assert_false (g_main_context_pending (NULL));
}

static void
assert_cancelled (Outcome *o)
{
  g_assert_true (o->called);
  g_assert_error (o->error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_assert_null (o->list);
  outcome_clear (o);
}

static void
test_cancelled_before (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  GCancellable *cancellable = g_cancellable_new ();
  g_cancellable_cancel (cancellable);
  Outcome o;
  run_pair (data, cancellable, &o);
  assert_cancelled (&o);
  g_object_unref (cancellable);
}

static gboolean
cancel_now (gpointer data)
{
  g_cancellable_cancel (data);
  return G_SOURCE_REMOVE;
}

/* Metadata as a view of rows without end: only a query that is stopped
 * while it runs ever returns. */
static void
make_endless (TesselFixture *fx)
{
  tessel_test_sql (
      fx->db,
      "DROP TABLE Metadata; CREATE VIEW Metadata AS WITH RECURSIVE n(x) AS "
      "(SELECT 1 UNION ALL SELECT x + 1 FROM n) SELECT '/e/' || x AS "
      "Filename, 'T' || x AS Title, 'Zoe Martin' AS Artist, 'Big Noise' AS "
      "Album, NULL AS Genre, NULL AS Year, x AS Track, 1 AS Length, NULL AS "
      "Bitrate, 'audio/mpeg' AS MIME, 1 AS Present, NULL AS isStream, NULL "
      "AS isPlaylist FROM n");
}

static void
test_cancelled_during (TesselFixture *fx, gconstpointer data)
{
  make_endless (fx);
  GCancellable *cancellable = g_cancellable_new ();
  /* Long enough for the worker to be inside its query. */
  g_timeout_add (100, cancel_now, cancellable);
  Outcome o;
  run_pair (data, cancellable, &o);
  assert_cancelled (&o);
  g_object_unref (cancellable);
}

#define MANY 40

/* Every pair several times at once, every third call cancelled as soon as
 * it started: the others give the synchronous results, each its own. */
static void
test_many_in_flight (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  gchar *expected[G_N_ELEMENTS (pairs)];
  for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
    expected[p] = describe (pairs[p].sync (NULL));
  Outcome outcomes[MANY];
  GCancellable *cancellables[MANY];
  gint pending = MANY;
  for (gsize i = 0; i < MANY; i++)
    {
      Outcome *o = &outcomes[i];
      *o = (Outcome){ .pair = &pairs[i % G_N_ELEMENTS (pairs)],
                      .pending = &pending };
      cancellables[i] = g_cancellable_new ();
      o->pair->start (cancellables[i], on_done, o);
      if (i % 3 == 2)
        g_cancellable_cancel (cancellables[i]);
    }
  wait_for (NULL, &pending);
  for (gsize i = 0; i < MANY; i++)
    {
      Outcome *o = &outcomes[i];
      if (i % 3 == 2)
        assert_cancelled (o);
      else
        {
          g_assert_no_error (o->error);
          gchar *got = describe (g_steal_pointer (&o->list));
          g_assert_cmpstr (got, ==, expected[i % G_N_ELEMENTS (pairs)]);
          g_free (got);
        }
      g_object_unref (cancellables[i]);
    }
  for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
    g_free (expected[p]);
}

/* meta_destruct while every pair is under way, twice each: each call
 * finishes, with the rows it started on or the store's error, and a call
 * made afterwards is refused with the store's error.  Opening another
 * database meanwhile changes nothing for the calls under way. */
static void
test_destruct_in_flight (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  gchar *expected[G_N_ELEMENTS (pairs)];
  for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
    expected[p] = describe (pairs[p].sync (NULL));
  enum { CALLS = 2 * G_N_ELEMENTS (pairs) };
  Outcome outcomes[CALLS];
  gint pending = CALLS;
  for (gsize i = 0; i < CALLS; i++)
    {
      if (i == G_N_ELEMENTS (pairs))
        g_assert_cmpint (meta_destruct (), ==, SQLITE_OK);
      outcomes[i] = (Outcome){ .pair = &pairs[i % G_N_ELEMENTS (pairs)],
                               .pending = &pending };
      outcomes[i].pair->start (NULL, on_done, &outcomes[i]);
    }
  /* Another, empty database. */
  gchar *other = g_build_filename (fx->dir, "other", NULL);
  storage_set_path (other);
  g_assert_cmpint (meta_init (), ==, 1);
  wait_for (NULL, &pending);
  for (gsize i = 0; i < CALLS; i++)
    {
      Outcome *o = &outcomes[i];
      if (i < G_N_ELEMENTS (pairs))
        {
          /* Started while the database was open: its rows. */
          g_assert_no_error (o->error);
          gchar *got = describe (g_steal_pointer (&o->list));
          g_assert_cmpstr (got, ==, expected[i]);
          g_free (got);
        }
      else
        {
          g_assert_nonnull (o->error);
          g_assert_cmpstr (o->error->message, ==, CONNECT_ERROR);
          outcome_clear (o);
        }
    }
  for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
    g_free (expected[p]);
  g_free (other);
}

static void
ignore_row (const gchar *filename, gchar **keys, gchar **values,
            gpointer data, gint id)
{
  (void) filename, (void) keys, (void) values, (void) data, (void) id;
}

/* A database without a file has no second connection: the work runs on
 * the library's own, with the same results. */
static void
test_in_memory (void)
{
  storage_set_path (":memory:");
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (
      storage_search_sync (
          "INSERT INTO Metadata (Filename, Title, Artist, Album, MIME, "
          "Length, Present) VALUES ('/z/1.mp3', 'Noise', 'Zoë Martin', "
          "'Big Noise', 'audio/mpeg', 10, 1), ('/z/2.mp3', 'B', 'zoe "
          "martin', 'big noise', 'audio/mpeg', 20, 1)",
          ignore_row, NULL),
      ==, 1);
  g_autofree gchar *dir = g_dir_make_tmp ("tessel-test-XXXXXX", NULL);
  g_assert_nonnull (dir);
  g_free (playlist_path);
  playlist_path = g_build_filename (dir, "mix.m3u", NULL);
  g_assert_true (g_file_set_contents (playlist_path,
                                      "/z/2.mp3\n/nowhere.mp3\n", -1, NULL));
  for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
    {
      gchar *expected = describe (pairs[p].sync (NULL));
      g_assert_cmpstr (expected, !=, "");
      Outcome o;
      run_pair (&pairs[p], NULL, &o);
      g_assert_no_error (o.error);
      gchar *got = describe (g_steal_pointer (&o.list));
      g_assert_cmpstr (got, ==, expected);
      g_free (got);
      g_free (expected);
    }
  storage_close ();
  g_unlink (playlist_path);
  g_rmdir (dir);
}

/* Refusals: a store of another type, a result of another kind of call, a
 * NULL album (the synchronous call's critical, and still a callback). */
static void
test_refusals (TesselFixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  MpMediaResource *res = mp_media_resource_new ();
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "*IS_MP_LIBRARY_STORE_DATABASE (mp_library_store)*");
  mp_library_store_database_get_songs_async ((MpLibraryStoreDatabase *) res,
                                             NULL, on_done, NULL);
  g_test_assert_expected_messages ();
  g_object_unref (res);

  /* The songs' result offered to the album list's _finish. */
  Outcome o;
  run_pair (&pairs[0], NULL, &o);
  outcome_clear (&o);
  gint pending = 1;
  o = (Outcome){ .pair = &pairs[1], .pending = &pending };
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*is_tagged*");
  get_songs_start (NULL, on_done, &o);
  wait_for (NULL, &pending);
  g_test_assert_expected_messages ();
  g_assert_null (o.list);
  g_assert_no_error (o.error);

  pending = 1;
  o = (Outcome){ .pair = &pairs[3], .pending = &pending };
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*album != NULL*");
  mp_library_store_database_get_album_songs_async (STORE, "a", NULL, NULL,
                                                   on_done, &o);
  g_test_assert_expected_messages ();
  wait_for (NULL, &pending);
  g_assert_null (o.list);
  g_assert_no_error (o.error);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  static const struct
  {
    const char *what;
    void (*func) (TesselFixture *fx, gconstpointer data);
    gboolean endless_only;
  } cases[] = {
    { "equals-sync", test_equals_sync, FALSE },
    { "empty-result", test_empty_result, FALSE },
    { "query-fails", test_query_fails, FALSE },
    { "callback-on-callers-context", test_callback_on_callers_context,
      FALSE },
    { "cancelled-before", test_cancelled_before, FALSE },
    { "cancelled-during", test_cancelled_during, TRUE },
  };
  for (gsize c = 0; c < G_N_ELEMENTS (cases); c++)
    for (gsize p = 0; p < G_N_ELEMENTS (pairs); p++)
      {
        if (cases[c].endless_only && !pairs[p].endless_view)
          continue;
        gchar *path = g_strdup_printf ("/store/database/async/%s/%s",
                                       pairs[p].name, cases[c].what);
        g_test_add (path, TesselFixture, &pairs[p], open_store,
                    cases[c].func, tessel_fixture_teardown);
        g_free (path);
      }
  g_test_add ("/store/database/async/songs/rows-alike-once", TesselFixture,
              NULL, open_store, test_songs_rows_alike,
              tessel_fixture_teardown);
  g_test_add ("/store/database/async/many-in-flight", TesselFixture, NULL,
              open_store, test_many_in_flight, tessel_fixture_teardown);
  g_test_add ("/store/database/async/destruct-in-flight", TesselFixture,
              NULL, open_store, test_destruct_in_flight,
              tessel_fixture_teardown);
  g_test_add ("/store/database/async/refusals", TesselFixture, NULL,
              open_store, test_refusals, tessel_fixture_teardown);
  g_test_add_func ("/store/database/async/in-memory-database",
                   test_in_memory);
  return g_test_run ();
}
