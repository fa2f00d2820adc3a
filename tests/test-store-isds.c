/* The station directory store, driven through the scripted directory client
 * and connectivity libraries on a real main loop.  Every test works on a
 * store of its own (the singleton is only looked at by the singleton test)
 * and ends by checking that no directory tree and no client request was
 * left behind. */
#include <string.h>

#include "conic-testing.h"
#include "gisds-testing.h"
#include "metadata.h"
#include "mp_library_store_isds.h"
#include "mp_media_resource.h"

#define HOST "all.api.radio-browser.info"
#define BROWSER_CONNECT "connect;set_host:" HOST ";get_ir_id"

typedef struct
{
  MpLibraryStoreIsds *store;
  IsdsBrowser *browser;
  ConIcConnection *connection;
  gint nodes_before;
  gint conic_objects_before;
} Fixture;

/* What one request's callback heard, over all its calls. */
typedef struct
{
  gint calls;
  gboolean completed;
  GQuark domain;
  gint code;
  gchar *message;
  gchar *titles; /* the resources' titles, joined by "," */
  GList *resources; /* copies, kept for closer looks */
} Heard;

static gboolean
quit_loop (gpointer loop)
{
  g_main_loop_quit (loop);
  return G_SOURCE_REMOVE;
}

/* Runs the main loop until everything of higher priority than
 * G_PRIORITY_LOW (connection events, completions) has been dispatched. */
static void
run_loop (void)
{
  GMainLoop *loop = g_main_loop_new (NULL, FALSE);
  g_idle_add_full (G_PRIORITY_LOW, quit_loop, loop, NULL);
  g_main_loop_run (loop);
  g_main_loop_unref (loop);
}

static void
free_resources (GList *list)
{
  g_list_foreach (list, (GFunc) mp_media_resource_destroy, NULL);
  g_list_free (list);
}

static gchar *
titles_of (GList *list)
{
  GString *s = g_string_new (NULL);
  for (GList *l = list; l != NULL; l = l->next)
    {
      const gchar *title = mp_media_resource_get_title (l->data);
      if (l != list)
        g_string_append_c (s, ',');
      g_string_append (s, title != NULL ? title : "(null)");
    }
  return g_string_free (s, FALSE);
}

/* The titles of a returned list, which it frees. */
static gchar *
take_titles (GList *list)
{
  gchar *titles = titles_of (list);
  free_resources (list);
  return titles;
}

static void
heard_cb (GList *resources, gboolean completed, GError *error,
          gpointer user_data)
{
  Heard *h = user_data;
  h->calls++;
  h->completed = completed;
  g_assert_nonnull (error);
  h->domain = error->domain;
  h->code = error->code;
  g_free (h->message);
  h->message = g_strdup (error->message);
  g_free (h->titles);
  h->titles = titles_of (resources);
  free_resources (h->resources);
  h->resources = mp_media_resource_list_copy (resources);
}

static void
heard_clear (Heard *h)
{
  g_free (h->message);
  g_free (h->titles);
  free_resources (h->resources);
  memset (h, 0, sizeof *h);
}

/* Asserts exactly one call so far, with this outcome. */
static void
assert_heard_once (const Heard *h, gboolean completed, gint code,
                   const gchar *message)
{
  g_assert_cmpint (h->calls, ==, 1);
  g_assert_cmpint (h->completed, ==, completed);
  g_assert_true (h->domain == META_ERROR);
  g_assert_cmpint (h->code, ==, code);
  g_assert_cmpstr (h->message, ==, message);
}

static void
assert_error (const GError *error, gint code, const gchar *message)
{
  g_assert_nonnull (error);
  g_assert_true (error->domain == META_ERROR);
  g_assert_cmpint (error->code, ==, code);
  g_assert_cmpstr (error->message, ==, message);
}

static void
assert_log (Fixture *fx, const gchar *expected)
{
  gchar *log = isds_browser_testing_take_log (fx->browser);
  g_assert_cmpstr (log, ==, expected);
  g_free (log);
}

#define MSG_OK "Success: OK"
#define MSG_CONNECTING "Trying to connect: Trying to stablish inet connection"
#define MSG_NO_CONNECTION                                                   \
  "No available Internet connection: There's no internet connection"
#define MSG_NO_UPDATE "There's no updated data: Doesn't need to update"
#define MSG_NO_ROOT_UPDATE                                                  \
  "There's no updated data: Root node doesn't need to update"
#define MSG_NOT_UPDATED "There's no updated data: Not updated data available"
#define MSG_HTTP "Http environment not set: HTTP environment not set"
#define MSG_UNKNOWN "Failed: Unknown error"
/* Client errors without a code of their own reach the caller with the
 * client's message, which names the reason. */
#define MSG_NOT_CONNECTED "Failed: Not connected to the directory service"
#define MSG_SCRIPTED "Failed: Scripted directory error"
#define MSG_CACHE "Failed: Cannot read the directory cache"
#define MSG_PATH "Path unknown: Path not recognized"

/* A listing whose top node has one entry per comma-separated title. */
static GNode *
listing (const gchar *titles)
{
  GNode *top = isds_browser_testing_node_new (1, "top", "top", 0, NULL, NULL);
  gchar **names = g_strsplit (titles, ",", -1);
  for (gchar **n = names; *n != NULL; n++)
    isds_browser_testing_node_append (
        top, isds_browser_testing_node_new (1, *n, *n, 1, NULL, NULL));
  g_strfreev (names);
  return top;
}

/* A channel listing: channels ch1 (two streams) and ch2 (one stream). */
static GNode *
channel_listing (const gchar *prefix)
{
  GNode *top = isds_browser_testing_node_new (1, "top", "top", 0, NULL, NULL);
  gchar *name = g_strconcat (prefix, "-one", NULL);
  GNode *ch = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, name, "ch1", 2,
                                          "first", "Jazz"));
  isds_browser_testing_node_add_server (ch, "hi", "http://s/1-hi", 128);
  isds_browser_testing_node_add_server (ch, "lo", "http://s/1-lo", 32);
  g_free (name);
  name = g_strconcat (prefix, "-two", NULL);
  ch = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, name, "ch2", 1,
                                          "second", NULL));
  isds_browser_testing_node_add_server (ch, NULL, "http://s/2", 64);
  g_free (name);
  return top;
}

static void
fixture_setup (Fixture *fx, gconstpointer data)
{
  (void) data;
  fx->nodes_before = isds_browser_testing_live_nodes ();
  fx->conic_objects_before = con_ic_connection_testing_live_objects ();
  fx->store = g_object_new (MP_TYPE_LIBRARY_STORE_ISDS, NULL);
  fx->browser = isds_browser_testing_last_created ();
  fx->connection = con_ic_connection_testing_last_created ();
  g_assert_nonnull (fx->browser);
  g_assert_nonnull (fx->connection);
  con_ic_connection_testing_script (fx->connection);
}

static void
fixture_teardown (Fixture *fx, gconstpointer data)
{
  (void) data;
  g_clear_object (&fx->store);
  run_loop ();
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);
  g_assert_null (isds_browser_testing_last_created ());
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, fx->nodes_before);
  g_assert_cmpint (con_ic_connection_testing_live_objects (), ==,
                   fx->conic_objects_before);
}

/* Brings the store online and forgets what the browser was asked. */
static void
go_online (Fixture *fx)
{
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  g_free (isds_browser_testing_take_log (fx->browser));
}

/* Type and singleton */

static void
test_singleton (void)
{
  MpLibraryStoreIsds *store = mp_library_store_isds_get_instance ();
  g_assert_nonnull (store);
  g_assert_true (mp_library_store_isds_get_instance () == store);
  g_assert_true (IS_MP_LIBRARY_STORE_ISDS (store));
  g_assert_true (IS_MP_LIBRARY_STORE (store));
  g_assert_cmpstr (g_type_name (mp_library_store_isds_get_type ()), ==,
                   "MpLibraryStoreIsds");
  g_assert_true (g_type_parent (mp_library_store_isds_get_type ())
                 == mp_library_store_get_type ());
}

static void
test_wrong_instance (void)
{
  MpMediaResource *resource = mp_media_resource_new ();
  Heard h = { 0 };
  GError *error = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "mp_library_store_isds_get_root: *"
                         "IS_MP_LIBRARY_STORE_ISDS (mp_library_store)*");
  g_assert_null (mp_library_store_isds_get_root (
      (MpLibraryStoreIsds *) resource, heard_cb, &h, &error));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "mp_library_store_isds_get_path: *"
                         "IS_MP_LIBRARY_STORE_ISDS (mp_library_store)*");
  g_assert_null (mp_library_store_isds_get_path (NULL, "R", heard_cb, &h,
                                                 &error));
  g_test_assert_expected_messages ();
  g_assert_cmpint (h.calls, ==, 0);
  g_assert_null (error);
  mp_media_resource_destroy (resource, NULL);
}

/* Connection state machine */

static void
test_first_operation_parks_until_connected (Fixture *fx,
                                            gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL,
                                   listing ("a,b"));
  isds_browser_testing_set_fresh (fx->browser, ISDS_TESTING_ROOT, NULL,
                                  listing ("a,b,c"));

  gchar *titles = take_titles (
      mp_library_store_isds_get_root (fx->store, heard_cb, &h, &error));
  g_assert_cmpstr (titles, ==, "a,b");
  g_free (titles);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  assert_log (fx, "cached_root");

  run_loop ();
  g_assert_cmpint (h.calls, ==, 0);

  /* The event itself only schedules; the main loop applies it. */
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  assert_log (fx, "");
  g_assert_cmpint (h.calls, ==, 0);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";list_root");
  g_assert_cmpstr (isds_browser_testing_get_host (fx->browser), ==, HOST);
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (h.titles, ==, "a,b,c");

  /* Online: the browser connects again on every operation, and no second
   * connection request is made. */
  Heard h2 = { 0 };
  titles = take_titles (
      mp_library_store_isds_get_root (fx->store, heard_cb, &h2, &error));
  g_assert_cmpstr (titles, ==, "a,b,c");
  g_free (titles);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_log (fx, BROWSER_CONNECT ";cached_root;list_root");
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  g_assert_cmpint (h2.calls, ==, 0);
  run_loop ();
  assert_heard_once (&h2, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
  heard_clear (&h2);
}

static void
test_newer_waiting_request_replaces_older (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard first = { 0 }, second = { 0 };
  GError *error = NULL;
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRES, NULL,
                                   listing ("Jazz,Rock"));

  g_assert_null (
      mp_library_store_isds_get_root (fx->store, heard_cb, &first, &error));
  g_clear_error (&error);
  g_assert_cmpint (first.calls, ==, 0);

  gchar *titles = take_titles (mp_library_store_isds_get_genres (
      fx->store, heard_cb, &second, &error));
  g_assert_cmpstr (titles, ==, "Jazz,Rock");
  g_free (titles);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  /* Cancelled synchronously, inside the second call. */
  assert_heard_once (&first, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  assert_log (fx, "cached_root;cached_genres");

  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";list_genres");
  assert_heard_once (&second, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (second.titles, ==, "Jazz,Rock");
  g_assert_cmpint (first.calls, ==, 1);
  heard_clear (&first);
  heard_clear (&second);
}

static void
test_refused_connection_asked_again (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h1 = { 0 }, h2 = { 0 };
  GError *error = NULL;
  con_ic_connection_testing_refuse (fx->connection, TRUE);
  mp_library_store_isds_get_root (fx->store, heard_cb, &h1, &error);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  mp_library_store_isds_get_root (fx->store, heard_cb, &h2, &error);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    2);
  assert_heard_once (&h1, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);

  /* Once a request is accepted, no further one is made while connecting. */
  con_ic_connection_testing_refuse (fx->connection, FALSE);
  mp_library_store_isds_get_root (fx->store, NULL, NULL, NULL);
  mp_library_store_isds_get_root (fx->store, NULL, NULL, NULL);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    3);
  assert_heard_once (&h2, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  heard_clear (&h1);
  heard_clear (&h2);
}

/* A connection event with any status but 0 cancels the waiting request and
 * leaves the store offline, so the next operation asks again. */
static void
test_lost_connection_cancels_waiting (Fixture *fx, gconstpointer data)
{
  gint status = GPOINTER_TO_INT (data);
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT);

  con_ic_connection_testing_emit (fx->connection, status);
  run_loop ();
  mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &h, &error);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  assert_log (fx, "cached_hotpicks");

  con_ic_connection_testing_emit (fx->connection, status);
  g_assert_cmpint (h.calls, ==, 0);
  run_loop ();
  assert_heard_once (&h, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  assert_log (fx, "");

  /* Still offline, and no longer connecting: asked again. */
  mp_library_store_isds_get_root (fx->store, NULL, NULL, &error);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    2);
  heard_clear (&h);
}

/* The browser failing when the connection comes up cancels the waiting
 * request with the mapped error; the store is online all the same. */
static void
test_browser_fails_when_connection_comes_up (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 }, h2 = { 0 };
  GError *error = NULL;
  mp_library_store_isds_get_languages (fx->store, heard_cb, &h, NULL);
  isds_browser_testing_refuse_connect (fx->browser,
                                       ISDS_ERROR_HTTP_ENV_NOT_SET);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_heard_once (&h, FALSE, META_ERROR_HTTP_ENV_NOT_SET, MSG_HTTP);
  assert_log (fx, "cached_languages;connect");

  /* Online: the browser is tried again and its error reaches E, so no
   * request can be made. */
  g_assert_null (
      mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &h2, &error));
  assert_error (error, META_ERROR_HTTP_ENV_NOT_SET, MSG_HTTP);
  g_clear_error (&error);
  assert_heard_once (&h2, FALSE, META_ERROR_HTTP_ENV_NOT_SET, MSG_HTTP);
  assert_log (fx, "connect");
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);

  /* Once the browser connects again, requests go out. */
  heard_clear (&h2);
  isds_browser_testing_allow_connect (fx->browser);
  mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &h2, &error);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_log (fx, BROWSER_CONNECT ";cached_hotpicks;list_hotpicks");
  run_loop ();
  g_assert_cmpint (h2.calls, ==, 1);
  g_assert_true (h2.completed);
  heard_clear (&h);
  heard_clear (&h2);
}

/* A browser that fails without saying why: the waiting request hears code
 * 5; later requests go out and the client's own failure reaches the
 * callback. */
static void
test_browser_fails_silently (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 }, h2 = { 0 };
  GError *error = NULL;
  mp_library_store_isds_get_root (fx->store, heard_cb, &h, NULL);
  isds_browser_testing_refuse_connect (fx->browser, -1);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_heard_once (&h, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);

  mp_library_store_isds_get_root (fx->store, heard_cb, &h2, &error);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_log (fx, "cached_root;connect;connect;cached_root;list_root");
  run_loop ();
  assert_heard_once (&h2, TRUE, META_ERROR_FAILED, MSG_NOT_CONNECTED);
  heard_clear (&h);
  heard_clear (&h2);
}

/* Events are applied also when the store asked for nothing. */
static void
test_unrequested_event_brings_store_online (Fixture *fx, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT);
  mp_library_store_isds_get_countries (fx->store, NULL, NULL, &error);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    0);
  assert_log (fx, BROWSER_CONNECT ";cached_countries;list_countries");
}

/* Error mapping, on completion */

typedef struct
{
  gint client_code; /* negative: no client error */
  gboolean with_data;
  gint code;
  const gchar *message;
  const gchar *titles;
} CompletionCase;

static const CompletionCase completion_cases[] = {
  { -1, TRUE, META_ERROR_SUCCESS, MSG_OK, "x,y" },
  { ISDS_ERROR_OK, TRUE, META_ERROR_SUCCESS, MSG_OK, "x,y" },
  { ISDS_ERROR_NO_UPDATED_DATA, FALSE, META_ERROR_NO_UPDATED_DATA,
    MSG_NOT_UPDATED, "" },
  { ISDS_ERROR_HTTP_ENV_NOT_SET, FALSE, META_ERROR_HTTP_ENV_NOT_SET, MSG_HTTP,
    "" },
  { 3, FALSE, META_ERROR_FAILED, MSG_SCRIPTED, "" },
  /* An error with data: the data is delivered with the mapped error. */
  { 99, TRUE, META_ERROR_FAILED, MSG_SCRIPTED, "x,y" },
};

static void
test_completion_mapping (Fixture *fx, gconstpointer data)
{
  const CompletionCase *c = data;
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRE_CHANNELS,
                                   "Jazz", listing ("x,y"));
  isds_browser_testing_script_completion (fx->browser, c->client_code,
                                          c->with_data);
  free_resources (mp_library_store_isds_get_genre_channels (
      fx->store, "Jazz", heard_cb, &h, &error));
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_log (fx, BROWSER_CONNECT
              ";cached_genre_channels:Jazz;list_genre_channels:Jazz");
  run_loop ();
  assert_heard_once (&h, TRUE, c->code, c->message);
  g_assert_cmpstr (h.titles, ==, c->titles);
  heard_clear (&h);
}

/* A cache read that fails: the mapped error lands in E; the listing it
 * returned anyway is converted, and the request still goes out. */
static void
test_cache_error_mapping (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL,
                                   listing ("a"));
  isds_browser_testing_set_cache_error (fx->browser,
                                        ISDS_ERROR_NO_UPDATED_DATA);
  gchar *titles = take_titles (
      mp_library_store_isds_get_root (fx->store, heard_cb, &h, &error));
  g_assert_cmpstr (titles, ==, "a");
  g_free (titles);
  assert_error (error, META_ERROR_NO_UPDATED_DATA, MSG_NOT_UPDATED);
  g_clear_error (&error);
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  heard_clear (&h);

  /* Client code 0 is success; other codes are unknown errors. */
  isds_browser_testing_set_cache_error (fx->browser, ISDS_ERROR_OK);
  free_resources (mp_library_store_isds_get_root (fx->store, NULL, NULL,
                                                  &error));
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  isds_browser_testing_set_cache_error (fx->browser, 42);
  free_resources (mp_library_store_isds_get_countries (fx->store, NULL, NULL,
                                                       &error));
  assert_error (error, META_ERROR_FAILED, MSG_CACHE);
  g_clear_error (&error);

  /* While connecting, E already says so and the cache error is not
   * recorded. */
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_DISCONNECTED);
  run_loop ();
  free_resources (mp_library_store_isds_get_countries (fx->store, NULL, NULL,
                                                       &error));
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
}

/* A request the client refuses never completes: its callback hears of it
 * at once, exactly once. */
static void
test_refused_request (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 }, parked = { 0 };
  GError *error = NULL;
  go_online (fx);
  isds_browser_testing_refuse_requests (fx->browser, TRUE);
  mp_library_store_isds_get_country_channels (fx->store, "Chile", heard_cb,
                                              &h, &error);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_heard_once (&h, FALSE, META_ERROR_FAILED, MSG_UNKNOWN);

  /* Also when a waiting request is issued from the main loop. */
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_DISCONNECTED);
  run_loop ();
  mp_library_store_isds_get_genres (fx->store, heard_cb, &parked, NULL);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_heard_once (&parked, FALSE, META_ERROR_FAILED, MSG_UNKNOWN);
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
  heard_clear (&parked);
}

/* Modes: the caller's, the own, and no error location */

static void
test_own_location_without_caller_location (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRES, NULL,
                                   listing ("Jazz"));
  gchar *titles = take_titles (
      mp_library_store_isds_get_genres (fx->store, heard_cb, &h, NULL));
  g_assert_cmpstr (titles, ==, "Jazz");
  g_free (titles);
  g_assert_cmpint (h.calls, ==, 0);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (h.titles, ==, "Jazz");
  heard_clear (&h);

  /* Online, the request is issued at once. */
  g_free (isds_browser_testing_take_log (fx->browser));
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_LANGUAGES, NULL,
                                   listing ("Welsh"));
  free_resources (
      mp_library_store_isds_get_languages (fx->store, heard_cb, &h, NULL));
  assert_log (fx, BROWSER_CONNECT ";cached_languages;list_languages");
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (h.titles, ==, "Welsh");
  heard_clear (&h);
}

/* Without a location, the caller's-location operations cannot carry the
 * connection state: no cache read, no request, code 3 at once. */
static void
test_caller_location_missing (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_COUNTRIES, NULL,
                                   listing ("Chile"));
  g_assert_null (
      mp_library_store_isds_get_countries (fx->store, heard_cb, &h, NULL));
  assert_heard_once (&h, FALSE, META_ERROR_NO_CONNECTION, MSG_NO_CONNECTION);
  assert_log (fx, "");
  /* The connection step ran all the same. */
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  heard_clear (&h);

  go_online (fx);
  g_assert_null (mp_library_store_isds_get_language_channels (
      fx->store, "Welsh", heard_cb, &h, NULL));
  assert_heard_once (&h, FALSE, META_ERROR_NO_CONNECTION, MSG_NO_CONNECTION);
  assert_log (fx, BROWSER_CONNECT);
  heard_clear (&h);
  g_assert_null (mp_library_store_isds_get_preset (fx->store, "hotpicks", NULL,
                                                   "ch1", heard_cb, &h, NULL));
  assert_heard_once (&h, FALSE, META_ERROR_NO_CONNECTION, MSG_NO_CONNECTION);
  heard_clear (&h);

  /* No callback: nothing to tell, nothing leaks. */
  g_assert_null (
      mp_library_store_isds_get_hotpicks (fx->store, NULL, NULL, NULL));
}

/* A location already holding another error: offline mode, and the callback
 * hears a copy of that error; code 3 defers like code 2. */
static void
test_caller_location_holding_error (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = meta_error_new (META_ERROR_FAILED, "%s", "earlier");
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_HOTPICKS, NULL,
                                   listing ("hot"));
  g_assert_null (
      mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &h, &error));
  assert_heard_once (&h, FALSE, META_ERROR_FAILED, "Failed: earlier");
  assert_error (error, META_ERROR_FAILED, "Failed: earlier");
  assert_log (fx, BROWSER_CONNECT);
  g_clear_error (&error);
  heard_clear (&h);

  error = meta_error_new (META_ERROR_NO_CONNECTION, "%s", "parked");
  gchar *titles = take_titles (
      mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &h, &error));
  g_assert_cmpstr (titles, ==, "hot");
  g_free (titles);
  assert_log (fx, BROWSER_CONNECT ";cached_hotpicks");
  g_clear_error (&error);
  g_assert_cmpint (h.calls, ==, 0);
  /* It waits in the slot until the next connection event. */
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";list_hotpicks");
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  heard_clear (&h);
}

/* Requests go out without a callback, and completion still cleans up. */
static void
test_no_callback (Fixture *fx, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  mp_library_store_isds_get_genre_channels (fx->store, "Jazz", NULL, NULL,
                                            &error);
  g_clear_error (&error);
  mp_library_store_isds_get_root (fx->store, NULL, NULL, NULL);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, "cached_genre_channels:Jazz;cached_root;" BROWSER_CONNECT
              ";list_root");
  mp_library_store_isds_get_genre_channels (fx->store, "Jazz", NULL, NULL,
                                            &error);
  g_clear_error (&error);
  assert_log (fx, BROWSER_CONNECT
              ";cached_genre_channels:Jazz;list_genre_channels:Jazz");
  /* The listing request, and the id request of the browser connect. */
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 2);
  run_loop ();
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);
}

static void
test_null_name_refused (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "mp_library_store_isds_get_genre_channels: *"
                         "genre != NULL*");
  g_assert_null (mp_library_store_isds_get_genre_channels (
      fx->store, NULL, heard_cb, &h, &error));
  g_test_assert_expected_messages ();
  g_assert_cmpint (h.calls, ==, 0);
  g_assert_null (error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    0);
}

/* Tree and channel conversion */

static void
test_tree_conversion (Fixture *fx, gconstpointer data)
{
  (void) data;
  GNode *top = isds_browser_testing_node_new (1, "top", "t", 9, NULL, NULL);
  GNode *entry = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (3, "Jazz", "g1", 12, "smooth",
                                          "Music"));
  isds_browser_testing_node_append (
      entry, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "deep", "d", 1,
                                            NULL, NULL));
  GNode *named = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Named", "c1", 1,
                                          NULL, NULL));
  isds_browser_testing_node_add_server (named, "stream-name", "http://u/1",
                                        128);
  isds_browser_testing_node_add_server (named, "second", "http://u/2", 64);
  GNode *unnamed = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Unnamed", "c2",
                                          1, NULL, NULL));
  isds_browser_testing_node_add_server (unnamed, NULL, "http://u/3", 96);
  GNode *bare = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Bare", "c3", 1,
                                          NULL, NULL));
  isds_browser_testing_node_add_server (bare, NULL, NULL, 48);
  isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Silent", "c4", 1,
                                          NULL, NULL));
  GNode *null_first = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Gap", "c5", 1,
                                          NULL, NULL));
  ((IsdsNode *) null_first->data)->servers
      = g_slist_prepend (NULL, NULL);
  /* A node without a record is skipped. */
  g_node_append_data (top, NULL);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL, top);

  GList *list = mp_library_store_isds_get_root (fx->store, NULL, NULL, NULL);
  gchar *titles = titles_of (list);
  g_assert_cmpstr (titles, ==, "Jazz,Named,Unnamed,Bare,Silent,Gap");
  g_free (titles);

  MpMediaResource *r = g_list_nth_data (list, 0);
  g_assert_null (mp_media_resource_get_uri (r));
  g_assert_cmpstr (mp_media_resource_get_id (r), ==, "g1");
  g_assert_cmpint (mp_media_resource_get_count (r), ==, 12);
  g_assert_cmpstr (mp_media_resource_get_description (r), ==, "smooth");
  g_assert_cmpstr (mp_media_resource_get_genre (r), ==, "Music");
  g_assert_cmpint (mp_media_resource_get_is_stream (r), ==, 0);

  const gchar *uris[] = { "stream-name", "http://u/3", "48", "Silent",
                          "Gap" };
  for (guint i = 0; i < G_N_ELEMENTS (uris); i++)
    {
      r = g_list_nth_data (list, i + 1);
      g_assert_cmpstr (mp_media_resource_get_uri (r), ==, uris[i]);
      g_assert_null (mp_media_resource_get_genre (r));
      g_assert_cmpint (mp_media_resource_get_bitrate (r), ==, -1);
    }
  free_resources (list);
}

static void
test_preset_streams (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  GNode *top = channel_listing ("hot");
  GNode *ch1 = isds_browser_find_channel_node (top, "ch1");
  isds_browser_testing_node_add_server (ch1, "nourl", NULL, 8);
  isds_browser_testing_node_add_server (ch1, NULL, "http://s/1-bare", 16);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_HOTPICKS, NULL,
                                   top);
  /* The fresh preset carries one stream only. */
  GNode *fresh = isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "hot-one",
                                                "ch1", 1, NULL, NULL);
  isds_browser_testing_node_add_server (fresh, "new", "http://s/new", 256);

  GList *list = mp_library_store_isds_get_preset (fx->store, "hotpicks", NULL,
                                                  "ch1", heard_cb, &h, &error);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  assert_log (fx, BROWSER_CONNECT
              ";cached_hotpicks;cached_preset:ch1;get_preset:ch1");
  g_assert_cmpint (g_list_length (list), ==, 3);
  const gchar *uris[] = { "http://s/1-hi", "http://s/1-lo", "http://s/1-bare" };
  const gchar *titles[] = { "hi", "lo", "http://s/1-bare" };
  const gint bitrates[] = { 128, 32, 16 };
  for (guint i = 0; i < 3; i++)
    {
      MpMediaResource *r = g_list_nth_data (list, i);
      g_assert_cmpstr (mp_media_resource_get_uri (r), ==, uris[i]);
      g_assert_cmpstr (mp_media_resource_get_title (r), ==, titles[i]);
      g_assert_cmpint (mp_media_resource_get_bitrate (r), ==, bitrates[i]);
      g_assert_cmpint (mp_media_resource_get_is_stream (r), ==, 1);
    }
  free_resources (list);

  isds_browser_testing_set_preset (fx->browser, fresh);
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (h.titles, ==, "new");
  MpMediaResource *r = h.resources->data;
  g_assert_cmpstr (mp_media_resource_get_uri (r), ==, "http://s/new");
  g_assert_cmpint (mp_media_resource_get_is_stream (r), ==, 1);
  heard_clear (&h);

  /* Under a genre, the subcategory names the listing looked in. */
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRE_CHANNELS,
                                   "Jazz", channel_listing ("jazz"));
  list = mp_library_store_isds_get_preset (fx->store, "genres", "Jazz", "ch2",
                                           heard_cb, &h, &error);
  g_clear_error (&error);
  gchar *names = take_titles (list);
  g_assert_cmpstr (names, ==, "http://s/2");
  g_free (names);
  assert_log (fx, BROWSER_CONNECT ";cached_genre_channels:Jazz;"
              "cached_preset:ch2;get_preset:ch2");
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
}

typedef struct
{
  const gchar *category;
  const gchar *subcategory;
  const gchar *id;
  const gchar *critical; /* or NULL */
} MissingChannelCase;

static const MissingChannelCase missing_channel_cases[] = {
  { "hotpicks", NULL, "nope", NULL },
  { "moods", "calm", "ch1", NULL },
  { "Hotpicks", NULL, "ch1", NULL },
  { "genres", "Blues", "ch1", NULL },
  { "genres", NULL, "ch1", "_get_cached_channel: *subcategory != NULL*" },
  { NULL, NULL, "ch1", "_get_cached_channel: *category != NULL*" },
  { "hotpicks", NULL, NULL, "_get_cached_channel: *id != NULL*" },
};

static void
test_preset_channel_missing (Fixture *fx, gconstpointer data)
{
  const MissingChannelCase *c = data;
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_HOTPICKS, NULL,
                                   channel_listing ("hot"));
  if (c->critical != NULL)
    g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, c->critical);
  g_assert_null (mp_library_store_isds_get_preset (
      fx->store, c->category, c->subcategory, c->id, heard_cb, &h, &error));
  g_test_assert_expected_messages ();
  assert_heard_once (&h, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_ROOT_UPDATE);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);
  heard_clear (&h);
}

/* A preset while connecting: cached streams now, the request parked, and
 * cancelled by a later deferring operation. */
static void
test_preset_waits_and_is_replaced (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard preset = { 0 }, root = { 0 }, missing = { 0 };
  GError *error = NULL;
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_COUNTRY_CHANNELS,
                                   "Chile", channel_listing ("cl"));
  gchar *titles = take_titles (mp_library_store_isds_get_preset (
      fx->store, "countries", "Chile", "ch1", heard_cb, &preset, &error));
  g_assert_cmpstr (titles, ==, "hi,lo");
  g_free (titles);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  assert_log (fx, "cached_country_channels:Chile;cached_preset:ch1");
  g_assert_cmpint (preset.calls, ==, 0);

  /* An unknown channel while connecting hears the waiting code 2 and
   * leaves the parked request alone. */
  g_assert_null (mp_library_store_isds_get_preset (
      fx->store, "countries", "Chile", "ch9", heard_cb, &missing, &error));
  assert_heard_once (&missing, FALSE, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  g_assert_cmpint (preset.calls, ==, 0);

  mp_library_store_isds_get_root (fx->store, heard_cb, &root, NULL);
  assert_heard_once (&preset, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_UPDATE);
  g_assert_cmpint (root.calls, ==, 0);
  heard_clear (&preset);

  /* A parked preset goes out with its own copy of the channel. */
  mp_library_store_isds_get_preset (fx->store, "countries", "Chile", "ch2",
                                    heard_cb, &preset, &error);
  g_clear_error (&error);
  assert_heard_once (&root, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  g_free (isds_browser_testing_take_log (fx->browser));
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";get_preset:ch2");
  assert_heard_once (&preset, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (preset.titles, ==, "http://s/2");
  heard_clear (&preset);
  heard_clear (&root);
  heard_clear (&missing);
}

/* Path grammar */

typedef struct
{
  const gchar *path;
  const gchar *log;    /* what the browser is asked after connecting */
  gint heard_code;     /* -1: no callback at all */
  gboolean completed;
  const gchar *titles; /* returned list */
} PathCase;

static const PathCase path_cases[] = {
  { NULL, "", META_ERROR_PATH_UNKNOWN, FALSE, "" },
  { "", "", META_ERROR_PATH_UNKNOWN, FALSE, "" },
  { "R", "", META_ERROR_PATH_UNKNOWN, FALSE, "" },
  { "R\na\nb\nc\nd\ne", "", META_ERROR_PATH_UNKNOWN, FALSE, "" },
  { "R\n", ";cached_root;list_root", 0, TRUE, "a,b" },
  { "R\nanything", ";cached_root;list_root", 0, TRUE, "a,b" },
  { "R\ngenres\n", ";cached_genres;list_genres", 0, TRUE, "g" },
  /* Nothing cached, nothing fresh: the client says so on completion. */
  { "R\nlanguages\n", ";cached_languages;list_languages",
    META_ERROR_NO_UPDATED_DATA, TRUE, "" },
  { "R\ncountries\n", ";cached_countries;list_countries",
    META_ERROR_NO_UPDATED_DATA, TRUE, "" },
  { "R\nhotpicks\n", ";cached_hotpicks;list_hotpicks", 0, TRUE, "hot-one,hot-two" },
  { "R\nGenres\n", "", -1, FALSE, "" },
  { "R\ngenres\nJazz\n", ";cached_genre_channels:Jazz;list_genre_channels:Jazz",
    0, TRUE, "jazz-one,jazz-two" },
  { "R\ngenres\nJazz", ";cached_genres;list_genres", 0, TRUE, "g" },
  { "R\nlanguages\nWelsh\n",
    ";cached_language_channels:Welsh;list_language_channels:Welsh",
    META_ERROR_NO_UPDATED_DATA, TRUE, "" },
  { "R\ncountries\nChile\n",
    ";cached_country_channels:Chile;list_country_channels:Chile",
    META_ERROR_NO_UPDATED_DATA, TRUE, "" },
  { "R\nhotpicks\nch1\n", ";cached_hotpicks;cached_preset:ch1;get_preset:ch1",
    0, TRUE, "hi,lo" },
  { "R\nHotpicks\nch1\n", "", -1, FALSE, "" },
  { "R\ngenres\nJazz\nch2\n",
    ";cached_genre_channels:Jazz;cached_preset:ch2;get_preset:ch2", 0, TRUE,
    "http://s/2" },
  { "R\nhotpicks\n\nch2\n", ";cached_hotpicks;cached_preset:ch2;get_preset:ch2",
    0, TRUE, "http://s/2" },
  { "R\nmoods\ncalm\nch2\n", "", META_ERROR_NO_UPDATED_DATA, FALSE, "" },
};

static void
test_path_grammar (Fixture *fx, gconstpointer data)
{
  const PathCase *c = data;
  Heard h = { 0 };
  GError *error = NULL;
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL,
                                   listing ("a,b"));
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRES, NULL,
                                   listing ("g"));
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_HOTPICKS, NULL,
                                   channel_listing ("hot"));
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRE_CHANNELS,
                                   "Jazz", channel_listing ("jazz"));

  gchar *titles = take_titles (mp_library_store_isds_get_path (
      fx->store, c->path, heard_cb, &h, &error));
  g_assert_cmpstr (titles, ==, c->titles);
  g_free (titles);
  gchar *expected = g_strconcat (BROWSER_CONNECT, c->log, NULL);
  assert_log (fx, expected);
  g_free (expected);
  assert_error (error, META_ERROR_SUCCESS, MSG_OK);
  g_clear_error (&error);

  run_loop ();
  if (c->heard_code < 0)
    g_assert_cmpint (h.calls, ==, 0);
  else
    {
      g_assert_cmpint (h.calls, ==, 1);
      g_assert_cmpint (h.code, ==, c->heard_code);
      g_assert_cmpint (h.completed, ==, c->completed);
    }
  if (c->heard_code == META_ERROR_PATH_UNKNOWN)
    g_assert_cmpstr (h.message, ==, MSG_PATH);
  heard_clear (&h);
}

/* While connecting, an unrecognised path hears the connection step's code
 * 2, not "Path not recognized". */
static void
test_path_unrecognised_while_connecting (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  g_assert_null (
      mp_library_store_isds_get_path (fx->store, "R", heard_cb, &h, &error));
  assert_heard_once (&h, FALSE, META_ERROR_CONNECTING, MSG_CONNECTING);
  assert_error (error, META_ERROR_CONNECTING, MSG_CONNECTING);
  g_clear_error (&error);
  g_assert_cmpuint (con_ic_connection_testing_requests (fx->connection), ==,
                    1);
  heard_clear (&h);

  /* A recognised path while connecting parks its request, also with no
   * location of the caller's. */
  mp_library_store_isds_get_path (fx->store, "R\ngenres\nJazz\n", heard_cb,
                                  &h, NULL);
  assert_log (fx, "cached_genre_channels:Jazz");
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";list_genre_channels:Jazz");
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
}

/* The call for bindings: the error location holds only failures, and
 * every call, an unknown category included, makes exactly one callback. */
static void
test_browse_for_bindings (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  GError *error = NULL;
  gboolean connecting = TRUE;

  /* While the connection comes up the request waits, and that is no
   * error. */
  g_assert_null (mp_library_store_isds_browse (fx->store, NULL, heard_cb, &h,
                                               &connecting, &error));
  g_assert_no_error (error);
  g_assert_true (connecting);
  g_assert_cmpint (h.calls, ==, 0);
  go_online (fx);
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);

  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_GENRE_CHANNELS,
                                   "Jazz", channel_listing ("jazz"));
  const gchar *jazz[] = { "genres", "Jazz", NULL };
  gchar *titles = take_titles (mp_library_store_isds_browse (
      fx->store, jazz, heard_cb, &h, &connecting, &error));
  g_assert_cmpstr (titles, ==, "jazz-one,jazz-two");
  g_free (titles);
  g_assert_no_error (error);
  g_assert_false (connecting);
  assert_log (fx, BROWSER_CONNECT
                  ";cached_genre_channels:Jazz;list_genre_channels:Jazz");
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  heard_clear (&h);

  /* Paths the path call would leave without any callback. */
  const gchar *unknown[][3] = { { "Genres", NULL, NULL },
                                { "radio", "x", NULL },
                                { "genres\nJazz", NULL, NULL } };
  for (gsize i = 0; i < G_N_ELEMENTS (unknown); i++)
    {
      g_assert_null (mp_library_store_isds_browse (fx->store, unknown[i],
                                                   heard_cb, &h, NULL,
                                                   &error));
      g_assert_no_error (error);
      assert_heard_once (&h, FALSE, META_ERROR_PATH_UNKNOWN, MSG_PATH);
      heard_clear (&h);
    }

  /* A failure: the error, no list, and the callback once as usual. */
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL,
                                   listing ("a"));
  isds_browser_testing_set_cache_error (fx->browser, 42);
  g_assert_null (mp_library_store_isds_browse (fx->store, NULL, heard_cb, &h,
                                               NULL, &error));
  assert_error (error, META_ERROR_FAILED, MSG_CACHE);
  g_clear_error (&error);
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
  g_free (isds_browser_testing_take_log (fx->browser));
}

/* A callback that asks again when its request is cancelled. */
typedef struct
{
  Heard heard;
  MpLibraryStoreIsds *store;
  Heard *next; /* what the request made from the callback hears */
} Retry;

static void
retry_cb (GList *resources, gboolean completed, GError *error,
          gpointer user_data)
{
  Retry *retry = user_data;
  heard_cb (resources, completed, error, &retry->heard);
  if (retry->heard.calls == 1)
    free_resources (mp_library_store_isds_get_genres (retry->store, heard_cb,
                                                      retry->next, NULL));
}

/* The replaced request's callback parks a request of its own: that one
 * waits, and the request that was being parked is the one cancelled. */
static void
test_callback_parks_during_replacement (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard replacing = { 0 }, from_callback = { 0 };
  Retry retry = { { 0 }, fx->store, &from_callback };
  GError *error = NULL;
  mp_library_store_isds_get_root (fx->store, retry_cb, &retry, NULL);
  mp_library_store_isds_get_hotpicks (fx->store, heard_cb, &replacing,
                                      &error);
  g_clear_error (&error);
  assert_heard_once (&retry.heard, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_UPDATE);
  assert_heard_once (&replacing, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_UPDATE);
  g_assert_cmpint (from_callback.calls, ==, 0);
  assert_log (fx, "cached_root;cached_hotpicks;cached_genres");

  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  assert_log (fx, BROWSER_CONNECT ";list_genres");
  g_assert_cmpint (from_callback.calls, ==, 1);
  g_assert_true (from_callback.completed);
  g_assert_cmpint (retry.heard.calls, ==, 1);
  g_assert_cmpint (replacing.calls, ==, 1);
  heard_clear (&retry.heard);
  heard_clear (&replacing);
  heard_clear (&from_callback);
}

/* Finalization */

static void
test_finalize_cancels_waiting (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  mp_library_store_isds_get_path (fx->store, "R\nhotpicks\n", heard_cb, &h,
                                  NULL);
  g_assert_cmpint (h.calls, ==, 0);
  g_clear_object (&fx->store);
  assert_heard_once (&h, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  heard_clear (&h);
}

/* A callback asking again from its cancellation at finalization is
 * cancelled in turn instead of being left in the freed slot. */
static void
test_finalize_with_callback_asking_again (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard from_callback = { 0 };
  Retry retry = { { 0 }, fx->store, &from_callback };
  mp_library_store_isds_get_root (fx->store, retry_cb, &retry, NULL);
  g_clear_object (&fx->store);
  assert_heard_once (&retry.heard, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_UPDATE);
  assert_heard_once (&from_callback, FALSE, META_ERROR_NO_UPDATED_DATA,
                     MSG_NO_UPDATE);
  heard_clear (&retry.heard);
  heard_clear (&from_callback);
}

static void
drop_store_cb (GList *resources, gboolean completed, GError *error,
               gpointer user_data)
{
  Fixture *fx = user_data;
  (void) resources;
  (void) completed;
  g_assert_true (g_error_matches (error, META_ERROR,
                                  META_ERROR_NO_UPDATED_DATA));
  g_clear_object (&fx->store);
}

/* A waiting request's callback, cancelled by a lost connection, drops the
 * last reference to the store: the event is applied to the end first. */
static void
test_callback_drops_store_on_event (Fixture *fx, gconstpointer data)
{
  (void) data;
  mp_library_store_isds_get_root (fx->store, drop_store_cb, fx, NULL);
  con_ic_connection_testing_emit (fx->connection, CON_IC_STATUS_DISCONNECTED);
  run_loop ();
  g_assert_null (fx->store);
}

/* A completion arriving after the store is gone is still delivered, once,
 * and touches nothing of the store. */
static void
test_completion_after_finalize (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  go_online (fx);
  isds_browser_testing_set_cached (fx->browser, ISDS_TESTING_ROOT, NULL,
                                   listing ("late"));
  free_resources (
      mp_library_store_isds_get_root (fx->store, heard_cb, &h, NULL));
  g_clear_object (&fx->store);
  g_assert_cmpint (h.calls, ==, 0);
  run_loop ();
  assert_heard_once (&h, TRUE, META_ERROR_SUCCESS, MSG_OK);
  g_assert_cmpstr (h.titles, ==, "late");
  heard_clear (&h);
}

/* Connection events scheduled before, or emitted after, finalization never
 * reach the freed store. */
static void
test_event_after_finalize (Fixture *fx, gconstpointer data)
{
  (void) data;
  Heard h = { 0 };
  ConIcConnection *connection = g_object_ref (fx->connection);
  mp_library_store_isds_get_root (fx->store, heard_cb, &h, NULL);
  con_ic_connection_testing_emit (connection, CON_IC_STATUS_CONNECTED);
  con_ic_connection_testing_emit (connection, CON_IC_STATUS_DISCONNECTED);
  g_clear_object (&fx->store);
  assert_heard_once (&h, FALSE, META_ERROR_NO_UPDATED_DATA, MSG_NO_UPDATE);
  con_ic_connection_testing_emit (connection, CON_IC_STATUS_CONNECTED);
  run_loop ();
  g_assert_cmpint (h.calls, ==, 1);
  g_object_unref (connection);
  heard_clear (&h);
}

static void
add (const gchar *path, void (*test) (Fixture *, gconstpointer))
{
  g_test_add (path, Fixture, NULL, fixture_setup, test, fixture_teardown);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  /* The client's listings are scripted in memory here, never fetched. */
  isds_browser_testing_set_scripted (TRUE);

  g_test_add_func ("/isds/store/singleton", test_singleton);
  g_test_add_func ("/isds/store/wrong-instance-refused", test_wrong_instance);

  add ("/isds/connection/first-operation-parks-until-connected",
       test_first_operation_parks_until_connected);
  add ("/isds/connection/newer-waiting-request-replaces-older",
       test_newer_waiting_request_replaces_older);
  add ("/isds/connection/refused-connection-asked-again",
       test_refused_connection_asked_again);
  g_test_add ("/isds/connection/lost-cancels-waiting/status-1", Fixture,
              GINT_TO_POINTER (CON_IC_STATUS_DISCONNECTED), fixture_setup,
              test_lost_connection_cancels_waiting, fixture_teardown);
  g_test_add ("/isds/connection/lost-cancels-waiting/status-7", Fixture,
              GINT_TO_POINTER (7), fixture_setup,
              test_lost_connection_cancels_waiting, fixture_teardown);
  add ("/isds/connection/browser-fails-when-connection-comes-up",
       test_browser_fails_when_connection_comes_up);
  add ("/isds/connection/browser-fails-silently",
       test_browser_fails_silently);
  add ("/isds/connection/unrequested-event-brings-store-online",
       test_unrequested_event_brings_store_online);

  for (guint i = 0; i < G_N_ELEMENTS (completion_cases); i++)
    {
      gchar *path = g_strdup_printf ("/isds/errors/completion/%u", i);
      g_test_add (path, Fixture, &completion_cases[i], fixture_setup,
                  test_completion_mapping, fixture_teardown);
      g_free (path);
    }
  add ("/isds/errors/cache-read", test_cache_error_mapping);
  add ("/isds/errors/refused-request", test_refused_request);

  add ("/isds/modes/own-location-without-caller-location",
       test_own_location_without_caller_location);
  add ("/isds/modes/caller-location-missing", test_caller_location_missing);
  add ("/isds/modes/caller-location-holding-error",
       test_caller_location_holding_error);
  add ("/isds/modes/no-callback", test_no_callback);
  add ("/isds/modes/null-name-refused", test_null_name_refused);

  add ("/isds/convert/direct-children-and-uri-fallbacks",
       test_tree_conversion);
  add ("/isds/preset/cached-streams-in-server-order", test_preset_streams);
  for (guint i = 0; i < G_N_ELEMENTS (missing_channel_cases); i++)
    {
      gchar *path = g_strdup_printf ("/isds/preset/channel-missing/%u", i);
      g_test_add (path, Fixture, &missing_channel_cases[i], fixture_setup,
                  test_preset_channel_missing, fixture_teardown);
      g_free (path);
    }
  add ("/isds/preset/waits-and-is-replaced",
       test_preset_waits_and_is_replaced);

  for (guint i = 0; i < G_N_ELEMENTS (path_cases); i++)
    {
      gchar *path = g_strdup_printf ("/isds/path/grammar/%u", i);
      g_test_add (path, Fixture, &path_cases[i], fixture_setup,
                  test_path_grammar, fixture_teardown);
      g_free (path);
    }
  add ("/isds/path/unrecognised-while-connecting",
       test_path_unrecognised_while_connecting);
  add ("/isds/path/browse-for-bindings", test_browse_for_bindings);

  add ("/isds/waiting/callback-parks-during-replacement",
       test_callback_parks_during_replacement);

  add ("/isds/finalize/cancels-waiting", test_finalize_cancels_waiting);
  add ("/isds/finalize/callback-asking-again",
       test_finalize_with_callback_asking_again);
  add ("/isds/finalize/callback-drops-store-on-event",
       test_callback_drops_store_on_event);
  add ("/isds/finalize/completion-after-finalize",
       test_completion_after_finalize);
  add ("/isds/finalize/event-after-finalize", test_event_after_finalize);

  return g_test_run ();
}
