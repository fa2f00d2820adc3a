/* The platform stand-ins on their own: the directory client's trees, cache
 * and request contract, and the connectivity library's events. */
#include <gio/gio.h>

#include "conic-testing.h"
#include "gisds-testing.h"

static gboolean
quit_loop (gpointer loop)
{
  g_main_loop_quit (loop);
  return G_SOURCE_REMOVE;
}

/* Runs the main loop until everything of higher priority than
 * G_PRIORITY_LOW has been dispatched. */
static void
run_loop (void)
{
  GMainLoop *loop = g_main_loop_new (NULL, FALSE);
  g_idle_add_full (G_PRIORITY_LOW, quit_loop, loop, NULL);
  g_main_loop_run (loop);
  g_main_loop_unref (loop);
}

static const gchar *
name_of (GNode *node)
{
  return ((IsdsNode *) node->data)->name;
}

/* top -> [Jazz -> [deep (channel d)], c1 (channel, two servers)] */
static GNode *
sample_tree (void)
{
  GNode *top = isds_browser_testing_node_new (1, "top", "t", 0, NULL, NULL);
  GNode *jazz = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (3, "Jazz", "d", 4, "desc", "Music"));
  isds_browser_testing_node_append (
      jazz, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "deep", "d", 1,
                                           NULL, NULL));
  GNode *c1 = isds_browser_testing_node_append (
      top, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "one", "c1", 1,
                                          NULL, NULL));
  isds_browser_testing_node_add_server (c1, "hi", "http://s/hi", 128);
  isds_browser_testing_node_add_server (c1, NULL, "http://s/lo", 32);
  return top;
}

static void
test_tree_copy_find_free (void)
{
  gint before = isds_browser_testing_live_nodes ();
  GNode *tree = sample_tree ();
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before + 4);

  /* Only channel nodes match, at any depth; the node found is the tree's. */
  GNode *deep = isds_browser_find_channel_node (tree, "d");
  g_assert_nonnull (deep);
  g_assert_cmpstr (name_of (deep), ==, "deep");
  g_assert_true (g_node_get_root (deep) == tree);
  g_assert_null (isds_browser_find_channel_node (tree, "t"));
  g_assert_null (isds_browser_find_channel_node (tree, NULL));
  g_assert_null (isds_browser_find_channel_node (NULL, "d"));

  /* A copy of a subtree is independent of the original. */
  GNode *c1 = isds_browser_find_channel_node (tree, "c1");
  GNode *copy = isds_browser_copy_nodes_tree (c1);
  g_assert_true (G_NODE_IS_ROOT (copy));
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before + 5);
  IsdsNode *record = copy->data;
  IsdsServer *second = g_slist_nth_data (record->servers, 1);
  g_assert_null (second->name);
  g_assert_cmpstr (second->url, ==, "http://s/lo");
  g_assert_cmpint (second->bitrate, ==, 32);
  g_free (record->name);
  record->name = g_strdup ("changed");
  g_assert_cmpstr (name_of (c1), ==, "one");

  GSList *list = g_slist_append (NULL, tree);
  list = g_slist_append (list, copy);
  GSList *copies = isds_browser_copy_nodes_tree_slist (list);
  g_assert_cmpint (g_slist_length (copies), ==, 2);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before + 10);
  g_assert_cmpstr (name_of (copies->next->data), ==, "changed");
  isds_browser_free_nodes_tree_slist (copies);
  isds_browser_free_nodes_tree_slist (list);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before);
  isds_browser_free_nodes_tree (NULL);
}

static void
test_cache_by_kind_and_name (void)
{
  gint before = isds_browser_testing_live_nodes ();
  IsdsBrowser *b = isds_browser_new ();
  GError *error = NULL;
  isds_browser_testing_set_cached (b, ISDS_TESTING_GENRE_CHANNELS, "Jazz",
                                   sample_tree ());

  GNode *tree = isds_browser_list_cached_genre_channels (b, "Jazz", &error);
  g_assert_no_error (error);
  g_assert_nonnull (tree);
  g_assert_cmpuint (g_node_n_children (tree), ==, 2);
  isds_browser_free_nodes_tree (tree);
  g_assert_null (isds_browser_list_cached_genre_channels (b, "Rock", &error));
  g_assert_null (isds_browser_list_cached_language_channels (b, "Jazz",
                                                             &error));
  g_assert_null (isds_browser_list_cached_root (b, &error));
  g_assert_no_error (error);

  /* A failing read still hands out what it has. */
  isds_browser_testing_set_cache_error (b, ISDS_ERROR_HTTP_ENV_NOT_SET);
  tree = isds_browser_list_cached_genre_channels (b, "Jazz", &error);
  g_assert_error (error, ISDS_ERROR, ISDS_ERROR_HTTP_ENV_NOT_SET);
  g_clear_error (&error);
  g_assert_nonnull (tree);
  isds_browser_free_nodes_tree (tree);

  gchar *log = isds_browser_testing_take_log (b);
  g_assert_cmpstr (log, ==,
                   "cached_genre_channels:Jazz;cached_genre_channels:Rock;"
                   "cached_language_channels:Jazz;cached_root;"
                   "cached_genre_channels:Jazz");
  g_free (log);
  g_object_unref (b);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before);
}

typedef struct
{
  gint calls;
  gchar *top_child; /* name of the tree's first child */
  gint presets;
  gint code;        /* -1: no error */
  gboolean browser_alive;
} Completion;

static gboolean
completion_cb (IsdsBrowser *browser, GNode *tree, GSList *presets,
               GError *error, gpointer user_data)
{
  Completion *c = user_data;
  c->calls++;
  c->browser_alive = G_IS_OBJECT (browser);
  g_free (c->top_child);
  c->top_child = tree != NULL && tree->children != NULL
                     ? g_strdup (name_of (tree->children))
                     : NULL;
  c->presets = g_slist_length (presets);
  c->code = error != NULL ? error->code : -1;
  return FALSE;
}

static void
test_request_completes_once (void)
{
  gint before = isds_browser_testing_live_nodes ();
  IsdsBrowser *b = isds_browser_new ();
  Completion c = { 0 };
  g_assert_true (isds_browser_connect (b, NULL));
  isds_browser_testing_set_cached (b, ISDS_TESTING_ROOT, NULL, sample_tree ());
  GNode *fresh = isds_browser_testing_node_new (1, "top", "t", 0, NULL, NULL);
  isds_browser_testing_node_append (
      fresh, isds_browser_testing_node_new (1, "fresh", "f", 0, NULL, NULL));
  isds_browser_testing_set_fresh (b, ISDS_TESTING_ROOT, NULL, fresh);

  g_assert_true (isds_browser_async_list_root (b, completion_cb, &c));
  g_assert_cmpint (c.calls, ==, 0);
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 1);
  run_loop ();
  g_assert_cmpint (c.calls, ==, 1);
  g_assert_cmpstr (c.top_child, ==, "fresh");
  g_assert_cmpint (c.code, ==, -1);
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);

  /* What was delivered is now the cached listing. */
  GNode *cached = isds_browser_list_cached_root (b, NULL);
  g_assert_cmpstr (name_of (cached->children), ==, "fresh");
  isds_browser_free_nodes_tree (cached);

  /* Nothing to deliver: the client says so. */
  g_assert_true (isds_browser_async_list_genre_channels (
      b, completion_cb, g_strdup ("Jazz"), &c));
  run_loop ();
  g_assert_cmpint (c.calls, ==, 2);
  g_assert_null (c.top_child);
  g_assert_cmpint (c.code, ==, ISDS_ERROR_NO_UPDATED_DATA);

  /* Scripted outcome, and the browser outliving its last reference. */
  isds_browser_testing_script_completion (b, 8, FALSE);
  g_assert_true (isds_browser_async_list_root (b, completion_cb, &c));
  g_object_unref (b);
  run_loop ();
  g_assert_cmpint (c.calls, ==, 3);
  g_assert_true (c.browser_alive);
  g_assert_cmpint (c.code, ==, 8);
  g_assert_null (c.top_child);
  g_assert_null (isds_browser_testing_last_created ());
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before);
  g_free (c.top_child);
}

static void
test_request_refused_or_unconnected (void)
{
  gint before = isds_browser_testing_live_nodes ();
  IsdsBrowser *b = isds_browser_new ();
  Completion c = { 0 };

  /* A browser that never connected fails its requests, once each. */
  g_assert_true (isds_browser_async_list_hotpicks (b, completion_cb, &c));
  run_loop ();
  g_assert_cmpint (c.calls, ==, 1);
  g_assert_cmpint (c.code, ==, 1);

  isds_browser_testing_refuse_connect (b, 3);
  GError *error = NULL;
  g_assert_false (isds_browser_connect (b, &error));
  g_assert_error (error, ISDS_ERROR, 3);
  g_clear_error (&error);
  isds_browser_testing_refuse_connect (b, -1);
  g_assert_false (isds_browser_connect (b, &error));
  g_assert_no_error (error);

  /* A refused request never completes; what it was given is freed. */
  isds_browser_testing_refuse_requests (b, TRUE);
  GSList *channels = g_slist_append (NULL, sample_tree ());
  g_assert_false (isds_browser_async_get_preset (b, completion_cb, channels,
                                                 &c));
  g_assert_false (isds_browser_async_list_country_channels (
      b, completion_cb, g_strdup ("Chile"), &c));
  run_loop ();
  g_assert_cmpint (c.calls, ==, 1);
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);
  g_object_unref (b);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before);
}

static void
test_presets (void)
{
  gint before = isds_browser_testing_live_nodes ();
  IsdsBrowser *b = isds_browser_new ();
  Completion c = { 0 };
  isds_browser_connect (b, NULL);
  isds_browser_testing_set_cached (b, ISDS_TESTING_HOTPICKS, NULL,
                                   sample_tree ());
  GNode *kept = isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "kept", "d",
                                               1, NULL, NULL);
  isds_browser_testing_set_preset (b, kept);

  GSList *ask = NULL;
  ask = g_slist_append (ask, isds_browser_testing_node_new (
                                 ISDS_NODE_CHANNEL, "x", "c1", 0, NULL, NULL));
  ask = g_slist_append (ask, isds_browser_testing_node_new (
                                 ISDS_NODE_CHANNEL, "y", "zz", 0, NULL, NULL));
  ask = g_slist_append (ask, isds_browser_testing_node_new (
                                 ISDS_NODE_CHANNEL, "z", "d", 0, NULL, NULL));
  GSList *presets = isds_browser_get_cached_preset (b, ask, NULL);
  /* The cached channel c1, the kept preset of d; zz is unknown. */
  g_assert_cmpint (g_slist_length (presets), ==, 2);
  g_assert_cmpstr (name_of (presets->data), ==, "one");
  g_assert_cmpint (g_slist_length (((IsdsNode *) ((GNode *) presets->data)
                                        ->data)->servers), ==, 2);
  g_assert_cmpstr (name_of (presets->next->data), ==, "kept");
  isds_browser_free_nodes_tree_slist (presets);

  g_assert_true (isds_browser_async_get_preset (b, completion_cb, ask, &c));
  run_loop ();
  g_assert_cmpint (c.calls, ==, 1);
  g_assert_cmpint (c.presets, ==, 2);
  g_assert_cmpint (c.code, ==, -1);
  gchar *log = isds_browser_testing_take_log (b);
  g_assert_cmpstr (log, ==, "connect;cached_preset:c1,zz,d;get_preset:c1,zz,d");
  g_free (log);
  g_object_unref (b);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, before);
}

/* Connectivity */

typedef struct
{
  gint calls;
  gint status;
} Events;

static void
on_event (ConIcConnection *c, ConIcConnectionEvent *e, gpointer user_data)
{
  Events *events = user_data;
  (void) c;
  events->calls++;
  events->status = con_ic_connection_event_get_status (e);
}

static void
test_conic_answers_with_network_availability (void)
{
  gint before = con_ic_connection_testing_live_objects ();
  ConIcConnection *c = con_ic_connection_new ();
  Events events = { 0, -1 };
  g_signal_connect (c, "connection-event", G_CALLBACK (on_event), &events);
  g_assert_true (con_ic_connection_connect (c, 0));
  g_assert_cmpint (events.calls, ==, 0);
  run_loop ();
  /* The network may change under the test as well; the answer comes at
   * least once and tells what the monitor says. */
  g_assert_cmpint (events.calls, >=, 1);
  gboolean available = g_network_monitor_get_network_available (
      g_network_monitor_get_default ());
  g_assert_cmpint (events.status, ==,
                   available ? CON_IC_STATUS_CONNECTED
                             : CON_IC_STATUS_DISCONNECTED);

  /* An answer still on its way when the connection goes is dropped. */
  g_assert_true (con_ic_connection_connect (c, 0));
  gint calls = events.calls;
  g_object_unref (c);
  run_loop ();
  g_assert_cmpint (events.calls, ==, calls);
  g_assert_cmpint (con_ic_connection_testing_live_objects (), ==, before);
}

static void
test_conic_scripted (void)
{
  gint before = con_ic_connection_testing_live_objects ();
  ConIcConnection *c = con_ic_connection_new ();
  Events events = { 0, -1 };
  g_assert_true (con_ic_connection_testing_last_created () == c);
  con_ic_connection_testing_script (c);
  g_signal_connect (c, "connection-event", G_CALLBACK (on_event), &events);
  g_assert_true (con_ic_connection_connect (c, 0));
  con_ic_connection_testing_refuse (c, TRUE);
  g_assert_false (con_ic_connection_connect (c, 0));
  g_assert_cmpuint (con_ic_connection_testing_requests (c), ==, 2);
  run_loop ();
  g_assert_cmpint (events.calls, ==, 0);
  con_ic_connection_testing_emit (c, 5);
  g_assert_cmpint (events.calls, ==, 1);
  g_assert_cmpint (events.status, ==, 5);
  g_object_unref (c);
  g_assert_null (con_ic_connection_testing_last_created ());
  g_assert_cmpint (con_ic_connection_testing_live_objects (), ==, before);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  /* The client's listings are scripted in memory here, never fetched. */
  isds_browser_testing_set_scripted (TRUE);
  g_test_add_func ("/gisds/tree/copy-find-free", test_tree_copy_find_free);
  g_test_add_func ("/gisds/cache/by-kind-and-name",
                   test_cache_by_kind_and_name);
  g_test_add_func ("/gisds/request/completes-once-from-main-loop",
                   test_request_completes_once);
  g_test_add_func ("/gisds/request/refused-or-unconnected",
                   test_request_refused_or_unconnected);
  g_test_add_func ("/gisds/preset/cached-and-fresh", test_presets);
  g_test_add_func ("/conic/monitor/answers-with-network-availability",
                   test_conic_answers_with_network_availability);
  g_test_add_func ("/conic/scripted/requests-and-events",
                   test_conic_scripted);
  return g_test_run ();
}
