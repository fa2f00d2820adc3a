/* tessel radio, run against a directory server on the loopback address in
 * this process (--service), with the cache in a temporary folder. */
#include <string.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <libsoup/soup.h>

static const gchar *tessel_path;

#define STATION(uuid, name, url, tags, bitrate)                             \
  "{\"stationuuid\":\"" uuid "\",\"name\":\"" name "\",\"url\":\"" url       \
  "\",\"url_resolved\":\"\",\"tags\":\"" tags "\",\"bitrate\":" bitrate "}"

typedef struct
{
  gchar *home; /* XDG_CACHE_HOME of the runs */
  SoupServer *server;
  gchar *service;
  guint requests;
} Fixture;

static const struct
{
  const gchar *target;
  const gchar *body;
} routes[] = {
  { "/json/tags?order=stationcount&reverse=true&hidebroken=true&limit=200",
    "[{\"name\":\"jazz\",\"stationcount\":120},{\"name\":\"rock\"}]" },
  { "/json/stations/bytagexact/jazz?hidebroken=true&order=clickcount"
    "&reverse=true&limit=300",
    "[" STATION ("u-1", "Blue Note FM", "http://one/live", "jazz", "128")
    "," STATION ("u-2", "Late Night", "http://two/live", "", "64") "]" },
  { "/json/stations/byuuid?uuids=u-2",
    "[" STATION ("u-2", "Late Night", "http://two/live", "", "64") "]" },
};

static void
handle (SoupServer *server, SoupServerMessage *msg, const char *path,
        GHashTable *query, gpointer data)
{
  Fixture *fx = data;
  (void) server;
  (void) path;
  (void) query;
  GUri *uri = soup_server_message_get_uri (msg);
  g_autofree gchar *target = g_strconcat (
      g_uri_get_path (uri), g_uri_get_query (uri) != NULL ? "?" : "",
      g_uri_get_query (uri), NULL);
  fx->requests++;
  for (gsize i = 0; i < G_N_ELEMENTS (routes); i++)
    if (strcmp (routes[i].target, target) == 0)
      {
        soup_server_message_set_status (msg, 200, NULL);
        soup_server_message_set_response (msg, "application/json",
                                          SOUP_MEMORY_STATIC, routes[i].body,
                                          strlen (routes[i].body));
        return;
      }
  soup_server_message_set_status (msg, 404, NULL);
}

static void
fixture_setup (Fixture *fx, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  fx->home = g_dir_make_tmp ("tessel-radio-XXXXXX", &error);
  g_assert_no_error (error);
  fx->server = soup_server_new (NULL, NULL);
  soup_server_add_handler (fx->server, NULL, handle, fx, NULL);
  g_assert_true (soup_server_listen_local (fx->server, 0,
                                           SOUP_SERVER_LISTEN_IPV4_ONLY,
                                           &error));
  g_assert_no_error (error);
  GSList *uris = soup_server_get_uris (fx->server);
  fx->service = g_strdup_printf ("http://127.0.0.1:%d/",
                                 g_uri_get_port (uris->data));
  g_slist_free_full (uris, (GDestroyNotify) g_uri_unref);
}

static void
remove_tree (const gchar *path)
{
  GDir *dir = g_dir_open (path, 0, NULL);
  if (dir != NULL)
    {
      const gchar *name;
      while ((name = g_dir_read_name (dir)) != NULL)
        {
          g_autofree gchar *child = g_build_filename (path, name, NULL);
          remove_tree (child);
        }
      g_dir_close (dir);
    }
  g_remove (path);
}

static void
fixture_teardown (Fixture *fx, gconstpointer data)
{
  (void) data;
  soup_server_disconnect (fx->server);
  g_object_unref (fx->server);
  remove_tree (fx->home);
  g_free (fx->home);
  g_free (fx->service);
}

typedef struct
{
  gchar *out;
  gchar *err;
  gint status;
  gboolean done;
} Run;

static void
on_done (GObject *source, GAsyncResult *result, gpointer data)
{
  Run *run = data;
  GError *error = NULL;
  g_assert_true (g_subprocess_communicate_utf8_finish (
      G_SUBPROCESS (source), result, &run->out, &run->err, &error));
  g_assert_no_error (error);
  g_assert_true (g_subprocess_get_if_exited (G_SUBPROCESS (source)));
  run->status = g_subprocess_get_exit_status (G_SUBPROCESS (source));
  run->done = TRUE;
}

/* Runs tessel radio with the arguments (NULL-terminated) while this
 * process serves the directory. */
static Run
radio (Fixture *fx, const gchar *service, ...)
{
  g_autoptr (GPtrArray) argv = g_ptr_array_new ();
  g_ptr_array_add (argv, (gpointer) tessel_path);
  g_ptr_array_add (argv, (gpointer) "radio");
  g_ptr_array_add (argv, (gpointer) "--service");
  g_ptr_array_add (argv, (gpointer) service);
  va_list args;
  va_start (args, service);
  const gchar *arg;
  while ((arg = va_arg (args, const gchar *)) != NULL)
    g_ptr_array_add (argv, (gpointer) arg);
  va_end (args);
  g_ptr_array_add (argv, NULL);

  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE);
  g_subprocess_launcher_setenv (launcher, "XDG_CACHE_HOME", fx->home, TRUE);
  /* The connection counts as up whatever this machine's network is. */
  g_subprocess_launcher_setenv (launcher, "GIO_USE_NETWORK_MONITOR", "base",
                                TRUE);
  const gchar *proxies[] = { "all_proxy", "ALL_PROXY", "http_proxy",
                             "HTTP_PROXY", "https_proxy", "HTTPS_PROXY" };
  for (gsize i = 0; i < G_N_ELEMENTS (proxies); i++)
    g_subprocess_launcher_unsetenv (launcher, proxies[i]);
  GError *error = NULL;
  g_autoptr (GSubprocess) child = g_subprocess_launcher_spawnv (
      launcher, (const gchar *const *) argv->pdata, &error);
  g_assert_no_error (error);
  Run run = { 0 };
  g_subprocess_communicate_utf8_async (child, NULL, NULL, on_done, &run);
  while (!run.done)
    g_main_context_iteration (NULL, TRUE);
  return run;
}

static void
run_clear (Run *run)
{
  g_free (run->out);
  g_free (run->err);
}

static void
test_listings_urls_and_cache (Fixture *fx, gconstpointer data)
{
  (void) data;
  Run run = radio (fx, fx->service, "genres", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.err, ==, "");
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, run.out, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 2);
  JsonObject *jazz = json_array_get_object_element (rows, 0);
  g_assert_cmpstr (json_object_get_string_member (jazz, "title"), ==, "jazz");
  g_assert_cmpstr (json_object_get_string_member (jazz, "id"), ==, "jazz");
  g_assert_cmpint (json_object_get_int_member (jazz, "count"), ==, 120);
  /* Unset properties are left out. */
  g_assert_false (json_object_has_member (jazz, "uri"));
  g_assert_false (json_object_has_member (
      json_array_get_object_element (rows, 1), "count"));
  run_clear (&run);

  run = radio (fx, fx->service, "genres", "jazz", "--urls", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.out, ==, "http://one/live\nhttp://two/live\n");
  run_clear (&run);

  /* --cached asks nobody. */
  guint requests = fx->requests;
  run = radio (fx, fx->service, "--cached", "genres", "jazz", "--urls", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.out, ==, "http://one/live\nhttp://two/live\n");
  g_assert_cmpuint (fx->requests, ==, requests);
  run_clear (&run);

  /* A station's streams, with their bitrate. */
  run = radio (fx, fx->service, "genres", "jazz", "u-2", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_true (json_parser_load_from_data (parser, run.out, -1, NULL));
  rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 1);
  JsonObject *stream = json_array_get_object_element (rows, 0);
  g_assert_cmpstr (json_object_get_string_member (stream, "title"), ==,
                   "Late Night");
  g_assert_cmpstr (json_object_get_string_member (stream, "uri"), ==,
                   "http://two/live");
  g_assert_cmpint (json_object_get_int_member (stream, "bitrate"), ==, 64);
  run_clear (&run);

  /* The table names the channels with their addresses. */
  run = radio (fx, fx->service, "genres", "jazz", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_true (g_str_has_prefix (run.out, "NAME "));
  g_assert_nonnull (strstr (run.out, "Blue Note FM  http://one/live"));
  run_clear (&run);
}

static void
test_unreachable_service_shows_cache (Fixture *fx, gconstpointer data)
{
  (void) data;
  Run run = radio (fx, fx->service, "genres", "jazz", "--urls", NULL);
  g_assert_cmpint (run.status, ==, 0);
  run_clear (&run);

  /* A port nobody listens on. */
  GSocket *socket = g_socket_new (G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM,
                                  G_SOCKET_PROTOCOL_TCP, NULL);
  g_autoptr (GInetAddress) loopback
      = g_inet_address_new_loopback (G_SOCKET_FAMILY_IPV4);
  g_autoptr (GSocketAddress) any = g_inet_socket_address_new (loopback, 0);
  g_assert_true (g_socket_bind (socket, any, TRUE, NULL));
  g_autoptr (GSocketAddress) bound = g_socket_get_local_address (socket,
                                                                 NULL);
  g_autofree gchar *closed = g_strdup_printf (
      "http://127.0.0.1:%u",
      g_inet_socket_address_get_port (G_INET_SOCKET_ADDRESS (bound)));

  run = radio (fx, closed, "genres", "jazz", "--urls", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.out, ==, "http://one/live\nhttp://two/live\n");
  g_assert_true (g_str_has_prefix (run.err, "tessel: radio: "));
  g_assert_nonnull (strstr (run.err, "Connection refused"));
  g_assert_cmpint (strchr (run.err, '\n') - run.err + 1, ==, strlen (run.err));
  run_clear (&run);

  /* A server that takes the connection and never answers: the wait ends
   * after --timeout, with the cache. */
  g_assert_true (g_socket_listen (socket, NULL));
  run = radio (fx, closed, "genres", "jazz", "--urls", "--timeout", "1",
               NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.out, ==, "http://one/live\nhttp://two/live\n");
  g_assert_nonnull (strstr (run.err, "within 1 s"));
  run_clear (&run);

  /* Nothing cached either: a failure. */
  run = radio (fx, closed, "hotpicks", "--json", "--timeout", "1", NULL);
  g_assert_cmpint (run.status, ==, 1);
  g_assert_cmpstr (run.out, ==, "[]\n");
  g_assert_true (g_str_has_prefix (run.err, "tessel: "));
  run_clear (&run);
  g_socket_close (socket, NULL);
  g_object_unref (socket);
}

/* When nothing can be shown the status is 1, and the line on stderr says
 * why: an HTTP status, or an empty cache. */
static void
test_nothing_shown_fails (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const struct
  {
    const gchar *args[5];
    const gchar *reason;
  } cases[] = {
    { { "--cached", "genres", NULL }, "nothing cached" },
    { { "--cached", "hotpicks", NULL }, "nothing cached" },
    /* The cached listing (fetched below) has no station u-9; the server
     * knows no languages. */
    { { "genres", "jazz", "u-9", NULL }, "no station 'u-9'" },
    { { "languages", "--json", NULL }, "HTTP status 404" },
  };
  Run fetch = radio (fx, fx->service, "genres", "jazz", NULL);
  g_assert_cmpint (fetch.status, ==, 0);
  run_clear (&fetch);
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      const gchar *const *a = cases[i].args;
      Run run = radio (fx, fx->service, a[0], a[1], a[2], a[3], a[4]);
      g_test_message ("radio %s %s: %d %s", a[0], a[1], run.status, run.err);
      g_assert_cmpint (run.status, ==, 1);
      g_assert_true (g_str_has_prefix (run.err, "tessel: radio: "));
      g_assert_nonnull (strstr (run.err, cases[i].reason));
      g_assert_cmpint (strchr (run.err, '\n') - run.err + 1, ==,
                       strlen (run.err));
      run_clear (&run);
    }
}

static void
test_usage_mistakes (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const gchar *const cases[][3] = {
    { "Genres", NULL, NULL },
    { "genres", "--timeout", "0" },
    { "genres", "a\nb", NULL },
    { "genres", "--json", "--urls" },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      Run run = radio (fx, fx->service, cases[i][0], cases[i][1], cases[i][2],
                       NULL);
      g_assert_cmpint (run.status, ==, 2);
      g_assert_cmpstr (run.out, ==, "");
      g_assert_true (g_str_has_prefix (run.err, "tessel: "));
      run_clear (&run);
    }
  Run run = radio (fx, "ftp://127.0.0.1/", NULL);
  g_assert_cmpint (run.status, ==, 2);
  run_clear (&run);
  g_assert_cmpuint (fx->requests, ==, 0);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  if (argc < 2)
    {
      g_printerr ("usage: %s PATH-TO-TESSEL\n", argv[0]);
      return 2;
    }
  tessel_path = argv[1];
#define ADD(path, fn)                                                       \
  g_test_add (path, Fixture, NULL, fixture_setup, fn, fixture_teardown)
  ADD ("/tessel/radio/listings-urls-and-cache", test_listings_urls_and_cache);
  ADD ("/tessel/radio/unreachable-service-shows-cache",
       test_unreachable_service_shows_cache);
  ADD ("/tessel/radio/nothing-shown-fails", test_nothing_shown_fails);
  ADD ("/tessel/radio/usage-mistakes", test_usage_mistakes);
  return g_test_run ();
}
