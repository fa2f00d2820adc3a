/* tessel radio, run against a directory server on the loopback address in
 * this process (--service), with the cache in a temporary folder. */
#include <string.h>

#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <libsoup/soup.h>

#include "tessel-test.h"

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
  GHashTable *answers; /* target -> Answer *, before the routes below */
} Fixture;

/* What a test makes the server say for one target. */
typedef struct
{
  guint status;
  gchar *reason; /* NULL: the usual one */
  gchar *body;   /* NULL: none */
} Answer;

static void
answer_free (gpointer data)
{
  Answer *a = data;
  g_free (a->reason);
  g_free (a->body);
  g_free (a);
}

static void
answer (Fixture *fx, const gchar *target, guint status, const gchar *reason,
        const gchar *body)
{
  Answer *a = g_new0 (Answer, 1);
  a->status = status;
  a->reason = g_strdup (reason);
  a->body = g_strdup (body);
  g_hash_table_replace (fx->answers, g_strdup (target), a);
}

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
  const Answer *a = g_hash_table_lookup (fx->answers, target);
  if (a != NULL)
    {
      soup_server_message_set_status (msg, a->status, a->reason);
      if (a->body != NULL)
        soup_server_message_set_response (msg, "application/json",
                                          SOUP_MEMORY_COPY, a->body,
                                          strlen (a->body));
      return;
    }
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
  fx->answers = g_hash_table_new_full (g_str_hash, g_str_equal, g_free,
                                       answer_free);
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
  g_hash_table_destroy (fx->answers);
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

#define RUN_BOUND_S 90

static gboolean
kill_run (gpointer child)
{
  g_test_message ("tessel radio still runs after %d s: killed", RUN_BOUND_S);
  g_subprocess_force_exit (child);
  return G_SOURCE_CONTINUE;
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
  /* No critical may reach the user, whatever the server says. */
  g_subprocess_launcher_setenv (launcher, "G_DEBUG",
                                "fatal-criticals,gc-friendly", TRUE);
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
  /* A run that hangs (or works for ever) is killed, which fails the test:
   * a bound on the whole run, far above what any run here needs. */
  guint watchdog = g_timeout_add_seconds (RUN_BOUND_S, kill_run, child);
  while (!run.done)
    g_main_context_iteration (NULL, TRUE);
  g_source_remove (watchdog);
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
    { "genres", ".", NULL },
    { "genres", "..", NULL },
    { "genres", "jazz", ".." },
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

/* A hostile directory */

#define GENRES_TARGET                                                       \
  "/json/tags?order=stationcount&reverse=true&hidebroken=true&limit=200"
#define JAZZ_TARGET                                                         \
  "/json/stations/bytagexact/jazz?hidebroken=true&order=clickcount"         \
  "&reverse=true&limit=300"

/* Nothing in text acts on a terminal: no control character but the ends
 * of lines, none of C1 either (U+0080 to U+009F in UTF-8). */
static void
assert_no_controls (const gchar *text)
{
  for (const guchar *p = (const guchar *) text; *p != '\0'; p++)
    {
      g_assert_true (*p >= 0x20 || *p == '\n');
      g_assert_cmpint (*p, !=, 0x7f);
      if (*p == 0xc2)
        g_assert_false (p[1] >= 0x80 && p[1] <= 0x9f);
    }
}

static guint
count_lines (const gchar *text)
{
  guint n = 0;
  for (const gchar *p = text; *p != '\0'; p++)
    n += *p == '\n';
  return n;
}

static void
test_control_characters_escaped (Fixture *fx, gconstpointer data)
{
  (void) data;
  answer (fx, GENRES_TARGET, 200, NULL,
          "[{\"name\":\"\\u001b]0;owned\\u0007\",\"stationcount\":1},"
          "{\"name\":\"clear\\u001b[2J\\r\",\"stationcount\":2},"
          "{\"name\":\"c1\\u009b31m\\u007f\"}]");
  answer (fx, JAZZ_TARGET, 200, NULL,
          "[" STATION ("u-1", "Blue\\u001b[31m", "http://one/live\\nEVIL ROW",
                       "a\\u0007b", "128") "]");
  answer (fx, "/json/languages?order=stationcount&reverse=true"
              "&hidebroken=true&limit=200",
          500, "Bad\033[2J\033]52;c;cm0gLXJmIH4=\007", "[]");

  Run run = radio (fx, fx->service, "genres", NULL);
  g_assert_cmpint (run.status, ==, 0);
  assert_no_controls (run.out);
  g_assert_cmpuint (count_lines (run.out), ==, 4);
  g_assert_nonnull (strstr (run.out, "\\x1b]0;owned\\x07"));
  g_assert_nonnull (strstr (run.out, "clear\\x1b[2J\\r"));
  g_assert_nonnull (strstr (run.out, "c1\\u009b31m\\x7f"));
  run_clear (&run);

  /* A newline in a URL does not split the station's row. */
  run = radio (fx, fx->service, "genres", "jazz", NULL);
  g_assert_cmpint (run.status, ==, 0);
  assert_no_controls (run.out);
  g_assert_cmpuint (count_lines (run.out), ==, 2);
  g_assert_nonnull (strstr (run.out, "http://one/live\\nEVIL ROW"));
  run_clear (&run);

  /* Nor does the server's reason phrase reach the terminal raw. */
  run = radio (fx, fx->service, "languages", NULL);
  g_assert_cmpint (run.status, ==, 1);
  assert_no_controls (run.err);
  g_assert_cmpuint (count_lines (run.err), ==, 1);
  g_assert_nonnull (strstr (run.err, "HTTP status 500"));
  run_clear (&run);
}

/* --urls | xargs PLAYER: only http and https URLs that stay one argument
 * and cannot be taken for an option. */
static void
test_urls_safe_for_a_player (Fixture *fx, gconstpointer data)
{
  (void) data;
  answer (fx, JAZZ_TARGET, 200, NULL,
          "[" STATION ("u-1", "a", "--script=/tmp/evil.lua http://x/live", "",
                       "128")
          "," STATION ("u-2", "b", "-http://x/", "", "1")
          "," STATION ("u-3", "c", "http://ok/live", "", "1")
          "," STATION ("u-4", "d", "ftp://x/y", "", "1")
          "," STATION ("u-5", "e", "http://a b/", "", "1")
          "," STATION ("u-6", "f", "http://x/'q'", "", "1")
          "," STATION ("u-7", "g", "http://x/\\u001b[2J", "", "1")
          "," STATION ("u-8", "h", "HTTPS://ok2/live", "", "1") "]");
  Run run = radio (fx, fx->service, "genres", "jazz", "--urls", NULL);
  g_assert_cmpint (run.status, ==, 0);
  g_assert_cmpstr (run.out, ==, "http://ok/live\nHTTPS://ok2/live\n");
  g_assert_true (g_str_has_prefix (run.err, "tessel: radio: 6 stream URLs "
                                            "left out"));
  g_assert_cmpuint (count_lines (run.err), ==, 1);
  run_clear (&run);
}

/* A hostile answer after a good one: refused with a reason, and the
 * cached listing stays and answers. */
typedef struct
{
  const gchar *name;
  gchar *(*make) (void);
  const gchar *reason;
} HostileCase;

static gchar *
empty_body (void)
{
  return g_strdup ("");
}

static gchar *
deep_body (void)
{
  return tessel_test_nested_json ("", 60000, "");
}

static gchar *
many_entries_body (void)
{
  return tessel_test_genres_json (60000);
}

static gchar *
wrong_shape_body (void)
{
  return g_strdup ("[null, null, {\"name\": null}]");
}

static gchar *
empty_objects_body (void)
{
  return g_strdup ("[{},{},{}]");
}

static const HostileCase hostile_cases[] = {
  { "empty-body", empty_body, "no JSON text" },
  { "deep-nesting", deep_body, "nested deeper" },
  { "60000-entries", many_entries_body, "more entries" },
  { "wrong-element-shape", wrong_shape_body, "none of the 3 elements" },
  { "empty-objects", empty_objects_body, "none of the 3 elements" },
};

static void
check_good_genres (const gchar *json)
{
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, json, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 2);
  g_assert_cmpstr (json_object_get_string_member (
                       json_array_get_object_element (rows, 0), "title"),
                   ==, "jazz");
}

static void
test_hostile_answer_keeps_cache (Fixture *fx, gconstpointer data)
{
  const HostileCase *c = data;
  Run run = radio (fx, fx->service, "genres", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  run_clear (&run);

  g_autofree gchar *body = c->make ();
  answer (fx, GENRES_TARGET, 200, NULL, body);
  run = radio (fx, fx->service, "genres", "--json", "--timeout", "2", NULL);
  g_test_message ("%d %s", run.status, run.err);
  g_assert_cmpint (run.status, ==, 0);
  check_good_genres (run.out);
  g_assert_nonnull (strstr (run.err, c->reason));
  g_assert_nonnull (strstr (run.err, "showing the cache"));
  run_clear (&run);

  run = radio (fx, fx->service, "--cached", "genres", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  check_good_genres (run.out);
  run_clear (&run);
}

/* A cache file that is no regular file, or too large: said to be
 * unreadable at once (not waited on, not read whole), and replaced by the
 * next answer. */
typedef struct
{
  const gchar *name;
  void (*make) (const gchar *path);
} CacheCase;

static void
make_fifo (const gchar *path)
{
  g_assert_cmpint (mkfifo (path, 0600), ==, 0);
}

static void
make_link_to_zero (const gchar *path)
{
  g_assert_cmpint (symlink ("/dev/zero", path), ==, 0);
}

static void
make_oversized (const gchar *path)
{
  FILE *f = fopen (path, "w");
  g_assert_nonnull (f);
  fputs ("{\"data\":[{\"name\":\"huge\"}]", f);
  for (guint i = 0; i < 5 * 1024; i++)
    fprintf (f, "%1024s", "");
  fputs ("}", f);
  g_assert_cmpint (fclose (f), ==, 0);
}

static const CacheCase cache_cases[] = {
  { "fifo", make_fifo },
  { "link-to-dev-zero", make_link_to_zero },
  { "oversized", make_oversized },
};

static void
test_unreadable_cache (Fixture *fx, gconstpointer data)
{
  const CacheCase *c = data;
  g_autofree gchar *dir = g_build_filename (fx->home, "tessel", "radio",
                                            NULL);
  g_assert_cmpint (g_mkdir_with_parents (dir, 0700), ==, 0);
  g_autofree gchar *path = g_build_filename (dir, "genres.json", NULL);
  c->make (path);

  Run run = radio (fx, fx->service, "--cached", "genres", NULL);
  g_test_message ("%d %s", run.status, run.err);
  g_assert_cmpint (run.status, ==, 1);
  g_assert_nonnull (strstr (run.err, "the cache is unreadable"));
  g_assert_cmpuint (count_lines (run.err), ==, 1);
  run_clear (&run);

  run = radio (fx, fx->service, "genres", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  check_good_genres (run.out);
  run_clear (&run);
  run = radio (fx, fx->service, "--cached", "genres", "--json", NULL);
  g_assert_cmpint (run.status, ==, 0);
  check_good_genres (run.out);
  run_clear (&run);
}

/* "Not modified" to a request that had nothing to compare with. */
static void
test_not_modified_with_nothing_cached (Fixture *fx, gconstpointer data)
{
  (void) data;
  answer (fx, GENRES_TARGET, 304, NULL, NULL);
  Run run = radio (fx, fx->service, "genres", NULL);
  g_assert_cmpint (run.status, ==, 1);
  g_assert_cmpstr (run.out, ==, "");
  g_assert_true (g_str_has_prefix (run.err, "tessel: radio: "));
  g_assert_nonnull (strstr (run.err, "nothing cached"));
  run_clear (&run);
}

/* A --timeout above the directory client's default of 15 s is waited out
 * in full: the wait ends on its own timer, not on the client's. */
static void
test_long_timeout_waits (Fixture *fx, gconstpointer data)
{
  (void) data;
  GSocket *socket = g_socket_new (G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM,
                                  G_SOCKET_PROTOCOL_TCP, NULL);
  g_autoptr (GInetAddress) loopback
      = g_inet_address_new_loopback (G_SOCKET_FAMILY_IPV4);
  g_autoptr (GSocketAddress) any = g_inet_socket_address_new (loopback, 0);
  g_assert_true (g_socket_bind (socket, any, TRUE, NULL));
  g_assert_true (g_socket_listen (socket, NULL));
  g_autoptr (GSocketAddress) bound = g_socket_get_local_address (socket,
                                                                 NULL);
  g_autofree gchar *silent = g_strdup_printf (
      "http://127.0.0.1:%u",
      g_inet_socket_address_get_port (G_INET_SOCKET_ADDRESS (bound)));
  Run run = radio (fx, silent, "genres", "--timeout", "16", NULL);
  g_assert_cmpint (run.status, ==, 1);
  g_assert_nonnull (strstr (run.err, "within 16 s"));
  run_clear (&run);
  g_socket_close (socket, NULL);
  g_object_unref (socket);
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
  ADD ("/tessel/radio/hostile/control-characters-escaped",
       test_control_characters_escaped);
  ADD ("/tessel/radio/hostile/urls-safe-for-a-player",
       test_urls_safe_for_a_player);
  ADD ("/tessel/radio/hostile/not-modified-with-nothing-cached",
       test_not_modified_with_nothing_cached);
  for (gsize i = 0; i < G_N_ELEMENTS (hostile_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tessel/radio/hostile/answer-keeps-cache/%s", hostile_cases[i].name);
      g_test_add (path, Fixture, &hostile_cases[i], fixture_setup,
                  test_hostile_answer_keeps_cache, fixture_teardown);
    }
  for (gsize i = 0; i < G_N_ELEMENTS (cache_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tessel/radio/unreadable-cache/%s", cache_cases[i].name);
      g_test_add (path, Fixture, &cache_cases[i], fixture_setup,
                  test_unreadable_cache, fixture_teardown);
    }
  ADD ("/tessel/radio/timeout-above-client-default", test_long_timeout_waits);
  return g_test_run ();
}
