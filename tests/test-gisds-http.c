/* The directory client over HTTP, against a server on the loopback address
 * inside this process that serves small canned answers in the directory
 * API's format.  The cache lives in a temporary folder given as
 * XDG_CACHE_HOME; nothing but the loopback address is contacted. */
#include <string.h>

#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>

#include "conic-testing.h"
#include "gisds-testing.h"
#include "metadata.h"
#include "tessel-test.h"
#include "mp_library_store_isds.h"
#include "mp_media_resource.h"

static gchar *cache_home;

/* A parser that recursed once per level ran out of stack here. */
#define DEEP 60000

#define STATION(uuid, name, url, resolved, tags, home, bitrate)             \
  "{\"stationuuid\":\"" uuid "\",\"name\":\"" name "\",\"url\":\"" url       \
  "\",\"url_resolved\":\"" resolved "\",\"tags\":\"" tags                    \
  "\",\"homepage\":\"" home "\",\"bitrate\":" bitrate "}"

#define JAZZ_STATIONS                                                       \
  "[" STATION ("u-1", "Blue Note FM", "http://one/pls", "http://one/live",   \
               "jazz, bebop,", "http://one/", "128")                        \
  "," STATION ("u-2", "Late Night", "http://two/live", "", "",              \
               "http://two/", "64")                                         \
  ",{\"stationuuid\":\"u-3\",\"name\":\"no stream\"}"                       \
  ",{\"name\":\"no id\",\"url\":\"http://x/\"}, 17]"

typedef struct
{
  guint status;
  const gchar *body;
  const gchar *etag;
  const gchar *last_modified;
  gboolean chunked;
} Route;

typedef struct
{
  SoupServer *server;
  gchar *base;
  GHashTable *routes;   /* raw path and query -> Route * */
  GPtrArray *requests;  /* raw path and query of every request, in order */
  gchar *if_none_match; /* of the last request */
  gchar *if_modified_since;
  gchar *user_agent;
  IsdsBrowser *browser;
  gint nodes_before;
} Fixture;

static const Route genres_route
    = { 200,
        "[{\"name\":\"jazz\",\"stationcount\":120},"
        "{\"name\":\"rock & roll\",\"stationcount\":8e1},"
        "{\"stationcount\":3},\"junk\",{\"name\":\"AC/DC\"}]",
        "\"g1\"", NULL, FALSE };

static void
handle (SoupServer *server, SoupServerMessage *msg, const char *path,
        GHashTable *query, gpointer data)
{
  Fixture *fx = data;
  (void) server;
  (void) path;
  (void) query;
  GUri *uri = soup_server_message_get_uri (msg);
  g_autofree gchar *target
      = g_uri_get_query (uri) != NULL
            ? g_strconcat (g_uri_get_path (uri), "?", g_uri_get_query (uri),
                           NULL)
            : g_strdup (g_uri_get_path (uri));
  SoupMessageHeaders *in = soup_server_message_get_request_headers (msg);
  g_free (fx->if_none_match);
  fx->if_none_match = g_strdup (soup_message_headers_get_one (in,
                                                              "If-None-Match"));
  g_free (fx->if_modified_since);
  fx->if_modified_since
      = g_strdup (soup_message_headers_get_one (in, "If-Modified-Since"));
  g_free (fx->user_agent);
  fx->user_agent = g_strdup (soup_message_headers_get_one (in, "User-Agent"));
  g_ptr_array_add (fx->requests, g_strdup (target));

  const Route *route = g_hash_table_lookup (fx->routes, target);
  if (route == NULL)
    {
      soup_server_message_set_status (msg, 404, NULL);
      return;
    }
  SoupMessageHeaders *out = soup_server_message_get_response_headers (msg);
  if ((route->etag != NULL
       && g_strcmp0 (fx->if_none_match, route->etag) == 0)
      || (route->last_modified != NULL
          && g_strcmp0 (fx->if_modified_since, route->last_modified) == 0))
    {
      soup_server_message_set_status (msg, 304, NULL);
      return;
    }
  if (route->etag != NULL)
    soup_message_headers_replace (out, "ETag", route->etag);
  if (route->last_modified != NULL)
    soup_message_headers_replace (out, "Last-Modified", route->last_modified);
  soup_server_message_set_status (msg, route->status, NULL);
  if (route->chunked)
    {
      /* No length announced: only counting what arrives catches it. */
      soup_message_headers_set_encoding (out, SOUP_ENCODING_CHUNKED);
      SoupMessageBody *body = soup_server_message_get_response_body (msg);
      gsize len = strlen (route->body);
      for (gsize at = 0; at < len; at += 16)
        soup_message_body_append (body, SOUP_MEMORY_COPY, route->body + at,
                                  MIN (16, len - at));
      soup_message_body_complete (body);
    }
  else
    soup_server_message_set_response (msg, "application/json",
                                      SOUP_MEMORY_STATIC, route->body,
                                      strlen (route->body));
}

static void
route (Fixture *fx, const gchar *target, const Route *r)
{
  g_hash_table_replace (fx->routes, g_strdup (target), (gpointer) r);
}

static void
clear_cache (void)
{
  g_autofree gchar *dir = g_build_filename (cache_home, "tessel", "radio",
                                            NULL);
  GDir *d = g_dir_open (dir, 0, NULL);
  if (d == NULL)
    return;
  const gchar *name;
  while ((name = g_dir_read_name (d)) != NULL)
    {
      g_autofree gchar *path = g_build_filename (dir, name, NULL);
      g_assert_cmpint (g_unlink (path), ==, 0);
    }
  g_dir_close (d);
}

static IsdsBrowser *
browser_for (Fixture *fx)
{
  IsdsBrowser *b = isds_browser_new ();
  isds_browser_testing_set_base_url (b, fx->base);
  isds_browser_testing_set_limits (b, 5000, 0);
  return b;
}

static void
fixture_setup (Fixture *fx, gconstpointer data)
{
  (void) data;
  clear_cache ();
  fx->nodes_before = isds_browser_testing_live_nodes ();
  fx->routes = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, NULL);
  fx->requests = g_ptr_array_new_with_free_func (g_free);
  fx->server = soup_server_new (NULL, NULL);
  soup_server_add_handler (fx->server, NULL, handle, fx, NULL);
  GError *error = NULL;
  g_assert_true (soup_server_listen_local (fx->server, 0,
                                           SOUP_SERVER_LISTEN_IPV4_ONLY,
                                           &error));
  g_assert_no_error (error);
  GSList *uris = soup_server_get_uris (fx->server);
  g_assert_nonnull (uris);
  fx->base = g_strdup_printf ("http://127.0.0.1:%d",
                              g_uri_get_port (uris->data));
  g_slist_free_full (uris, (GDestroyNotify) g_uri_unref);
  fx->browser = browser_for (fx);
}

static gboolean
quit_loop (gpointer loop)
{
  g_main_loop_quit (loop);
  return G_SOURCE_REMOVE;
}

/* Runs the main loop for ms milliseconds. */
static void
run_for (guint ms)
{
  GMainLoop *loop = g_main_loop_new (NULL, FALSE);
  g_timeout_add (ms, quit_loop, loop);
  g_main_loop_run (loop);
  g_main_loop_unref (loop);
}

static void
fixture_teardown (Fixture *fx, gconstpointer data)
{
  (void) data;
  g_clear_object (&fx->browser);
  /* Let the server see the client's connections go. */
  run_for (20);
  g_assert_cmpint (isds_browser_testing_outstanding (), ==, 0);
  g_assert_cmpint (isds_browser_testing_live_nodes (), ==, fx->nodes_before);
  soup_server_disconnect (fx->server);
  g_object_unref (fx->server);
  g_hash_table_destroy (fx->routes);
  g_ptr_array_free (fx->requests, TRUE);
  g_free (fx->base);
  g_free (fx->if_none_match);
  g_free (fx->if_modified_since);
  g_free (fx->user_agent);
}

/* What the completion of one request received. */
typedef struct
{
  gint calls;
  gint code; /* -1: no error */
  gchar *message;
  GNode *tree;
  GSList *presets;
  GMainLoop *loop;
} Answer;

static gboolean
on_answer (IsdsBrowser *browser, GNode *tree, GSList *presets, GError *error,
           gpointer user_data)
{
  Answer *a = user_data;
  (void) browser;
  a->calls++;
  if (error != NULL)
    g_assert_true (error->domain == ISDS_ERROR);
  a->code = error != NULL ? error->code : -1;
  g_free (a->message);
  a->message = error != NULL ? g_strdup (error->message) : NULL;
  isds_browser_free_nodes_tree (a->tree);
  a->tree = isds_browser_copy_nodes_tree (tree);
  isds_browser_free_nodes_tree_slist (a->presets);
  a->presets = isds_browser_copy_nodes_tree_slist (presets);
  if (a->loop != NULL)
    g_main_loop_quit (a->loop);
  return FALSE;
}

static gboolean
give_up (gpointer loop)
{
  g_main_loop_quit (loop);
  return G_SOURCE_REMOVE;
}

/* Runs the main loop until the answer has come (at most 10 s). */
static void
wait_answer (Answer *a)
{
  if (a->calls > 0)
    return;
  a->loop = g_main_loop_new (NULL, FALSE);
  guint id = g_timeout_add_seconds (10, give_up, a->loop);
  g_main_loop_run (a->loop);
  g_source_remove (id);
  g_clear_pointer (&a->loop, g_main_loop_unref);
  g_assert_cmpint (a->calls, ==, 1);
}

static void
answer_clear (Answer *a)
{
  isds_browser_free_nodes_tree (a->tree);
  isds_browser_free_nodes_tree_slist (a->presets);
  g_free (a->message);
  memset (a, 0, sizeof *a);
}

static IsdsNode *
record (GNode *node)
{
  return node->data;
}

static IsdsNode *
child (GNode *tree, guint n)
{
  GNode *c = g_node_nth_child (tree, n);
  g_assert_nonnull (c);
  return c->data;
}

static gchar *
cache_file (Fixture *fx, const gchar *name)
{
  return g_build_filename (isds_browser_testing_get_cache_dir (fx->browser),
                           name, NULL);
}

static const Route jazz_route = { 200, JAZZ_STATIONS, NULL, NULL, FALSE };

/* Listings and their trees */

static void
test_category_listings (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route languages
      = { 200, "[{\"name\":\"english\",\"iso_639\":\"en\",\"stationcount\":900}]",
          NULL, "Mon, 07 Dec 2026 10:00:00 GMT", FALSE };
  static const Route countries
      = { 200, "[{\"name\":\"Chile\",\"iso_3166_1\":\"CL\",\"stationcount\":"
               "12},{\"name\":\"Peru\",\"stationcount\":99999999999}]",
          NULL, NULL, FALSE };
  route (fx, "/json/tags?order=stationcount&reverse=true&hidebroken=true"
             "&limit=200", &genres_route);
  route (fx, "/json/languages?order=stationcount&reverse=true&hidebroken=true"
             "&limit=200", &languages);
  route (fx, "/json/countries?order=stationcount&reverse=true&hidebroken=true"
             "&limit=200", &countries);

  /* Nothing cached yet: the root still lists the four categories. */
  GNode *root = isds_browser_list_cached_root (fx->browser, NULL);
  g_assert_cmpuint (g_node_n_children (root), ==, 4);
  g_assert_cmpstr (child (root, 0)->name, ==, "genres");
  g_assert_cmpstr (child (root, 3)->id, ==, "hotpicks");
  g_assert_cmpint (child (root, 0)->count, ==, 0);
  isds_browser_free_nodes_tree (root);
  g_assert_null (isds_browser_list_cached_genres (fx->browser, NULL));

  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  g_assert_cmpint (a.calls, ==, 0);
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  /* Entries without a name and elements that are no objects are left out. */
  g_assert_cmpuint (g_node_n_children (a.tree), ==, 3);
  g_assert_cmpint (child (a.tree, 0)->type, !=, ISDS_NODE_CHANNEL);
  g_assert_cmpstr (child (a.tree, 0)->name, ==, "jazz");
  g_assert_cmpstr (child (a.tree, 0)->id, ==, "jazz");
  g_assert_cmpint (child (a.tree, 0)->count, ==, 120);
  g_assert_cmpstr (child (a.tree, 1)->name, ==, "rock & roll");
  g_assert_cmpint (child (a.tree, 1)->count, ==, 80);
  g_assert_cmpint (child (a.tree, 2)->count, ==, 0);
  g_assert_true (g_str_has_prefix (fx->user_agent, "Tessel/"));
  answer_clear (&a);

  g_assert_true (isds_browser_async_list_languages (fx->browser, on_answer,
                                                    &a));
  wait_answer (&a);
  g_assert_cmpstr (child (a.tree, 0)->name, ==, "english");
  g_assert_cmpint (child (a.tree, 0)->count, ==, 900);
  answer_clear (&a);
  g_assert_true (isds_browser_async_list_countries (fx->browser, on_answer,
                                                    &a));
  wait_answer (&a);
  g_assert_cmpuint (g_node_n_children (a.tree), ==, 2);
  /* A count beyond an int is clamped, not wrapped. */
  g_assert_cmpint (child (a.tree, 1)->count, ==, G_MAXINT);
  answer_clear (&a);

  /* The root counts what the cache now holds, and answers fresh alike. */
  g_assert_true (isds_browser_async_list_root (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  g_assert_cmpint (child (a.tree, 0)->count, ==, 3);
  g_assert_cmpint (child (a.tree, 1)->count, ==, 1);
  g_assert_cmpint (child (a.tree, 2)->count, ==, 2);
  g_assert_cmpint (child (a.tree, 3)->count, ==, 0);
  answer_clear (&a);
}

static void
check_stations (GNode *tree)
{
  /* Stations without an id or without a stream are left out. */
  g_assert_cmpuint (g_node_n_children (tree), ==, 2);
  IsdsNode *one = child (tree, 0);
  g_assert_cmpint (one->type, ==, ISDS_NODE_CHANNEL);
  g_assert_cmpstr (one->name, ==, "Blue Note FM");
  g_assert_cmpstr (one->id, ==, "u-1");
  g_assert_cmpstr (one->description, ==, "jazz, bebop,");
  g_assert_cmpint (g_slist_length (one->genres), ==, 2);
  g_assert_cmpstr (((IsdsGenre *) one->genres->data)->name, ==, "jazz");
  g_assert_cmpstr (((IsdsGenre *) one->genres->next->data)->name, ==, "bebop");
  g_assert_cmpint (g_slist_length (one->servers), ==, 1);
  IsdsServer *s = one->servers->data;
  g_assert_cmpstr (s->url, ==, "http://one/live");
  g_assert_cmpint (s->bitrate, ==, 128);
  /* No resolved URL: the given one; no tags: the home page. */
  IsdsNode *two = child (tree, 1);
  g_assert_cmpstr (((IsdsServer *) two->servers->data)->url, ==,
                   "http://two/live");
  g_assert_cmpstr (two->description, ==, "http://two/");
  g_assert_null (two->genres);
}

/* A server on its own thread that answers every request with the same
 * body and keeps each request line as it came over the wire (the HTTP
 * server of the fixture hands out paths already unescaped). */
typedef struct
{
  GSocket *socket;
  guint port;
  guint expected;
  const gchar *body;
  GAsyncQueue *lines;
  GThread *thread;
} RawServer;

static gpointer
raw_serve (gpointer data)
{
  RawServer *rs = data;
  for (guint i = 0; i < rs->expected; i++)
    {
      GSocket *c = g_socket_accept (rs->socket, NULL, NULL);
      if (c == NULL)
        break;
      GString *request = g_string_new (NULL);
      gchar buf[1024];
      while (strstr (request->str, "\r\n\r\n") == NULL)
        {
          gssize n = g_socket_receive (c, buf, sizeof buf, NULL, NULL);
          if (n <= 0)
            break;
          g_string_append_len (request, buf, n);
        }
      const gchar *eol = strstr (request->str, "\r\n");
      g_async_queue_push (rs->lines,
                          g_strndup (request->str,
                                     eol != NULL ? (gsize) (eol - request->str)
                                                 : request->len));
      g_autofree gchar *answer = g_strdup_printf (
          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
          "Content-Length: %" G_GSIZE_FORMAT "\r\nConnection: close\r\n\r\n%s",
          strlen (rs->body), rs->body);
      gsize sent = 0, len = strlen (answer);
      while (sent < len)
        {
          gssize n = g_socket_send (c, answer + sent, len - sent, NULL, NULL);
          if (n <= 0)
            break;
          sent += (gsize) n;
        }
      g_socket_close (c, NULL);
      g_object_unref (c);
      g_string_free (request, TRUE);
    }
  return NULL;
}

static void
raw_server_start (RawServer *rs, guint expected, const gchar *body)
{
  GError *error = NULL;
  rs->socket = g_socket_new (G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM,
                             G_SOCKET_PROTOCOL_TCP, &error);
  g_assert_no_error (error);
  g_autoptr (GInetAddress) loopback
      = g_inet_address_new_loopback (G_SOCKET_FAMILY_IPV4);
  g_autoptr (GSocketAddress) any = g_inet_socket_address_new (loopback, 0);
  g_assert_true (g_socket_bind (rs->socket, any, TRUE, &error));
  g_assert_true (g_socket_listen (rs->socket, &error));
  g_assert_no_error (error);
  g_autoptr (GSocketAddress) bound = g_socket_get_local_address (rs->socket,
                                                                 &error);
  rs->port = g_inet_socket_address_get_port (G_INET_SOCKET_ADDRESS (bound));
  rs->expected = expected;
  rs->body = body;
  rs->lines = g_async_queue_new_full (g_free);
  rs->thread = g_thread_new ("raw-server", raw_serve, rs);
}

static void
raw_server_stop (RawServer *rs)
{
  g_thread_join (rs->thread);
  g_socket_close (rs->socket, NULL);
  g_object_unref (rs->socket);
  g_async_queue_unref (rs->lines);
}

static void
test_channel_listings_escape_names (Fixture *fx, gconstpointer data)
{
  (void) data;
  RawServer rs = { 0 };
  raw_server_start (&rs, 3, JAZZ_STATIONS);
  g_autofree gchar *base = g_strdup_printf ("http://127.0.0.1:%u", rs.port);
  isds_browser_testing_set_base_url (fx->browser, base);

  static const struct
  {
    gboolean (*request) (IsdsBrowser *, IsdsBrowserCallback, gchar *,
                         gpointer);
    GNode *(*cached) (IsdsBrowser *, const gchar *, GError **);
    const gchar *name;
    const gchar *line;
  } cases[] = {
    { isds_browser_async_list_genre_channels,
      isds_browser_list_cached_genre_channels, "rock & roll?",
      "GET /json/stations/bytagexact/rock%20%26%20roll%3F" },
    { isds_browser_async_list_language_channels,
      isds_browser_list_cached_language_channels, "AC/DC",
      "GET /json/stations/bylanguageexact/AC%2FDC" },
    { isds_browser_async_list_country_channels,
      isds_browser_list_cached_country_channels, "C\xc3\xb4te d'Ivoire",
      "GET /json/stations/bycountryexact/C%C3%B4te%20d%27Ivoire" },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      Answer a = { 0 };
      g_assert_true (cases[i].request (fx->browser, on_answer,
                                       g_strdup (cases[i].name), &a));
      wait_answer (&a);
      g_assert_cmpint (a.code, ==, -1);
      check_stations (a.tree);
      /* A listing's stream has no name of its own, so that a player takes
       * its URL as the channel's address. */
      g_assert_null (((IsdsServer *) child (a.tree, 0)->servers->data)->name);
      answer_clear (&a);
      g_autofree gchar *line = g_async_queue_pop (rs.lines);
      g_autofree gchar *expected = g_strconcat (
          cases[i].line,
          "?hidebroken=true&order=clickcount&reverse=true&limit=300 HTTP/1.1",
          NULL);
      g_assert_cmpstr (line, ==, expected);

      /* Each listing is cached under its own name. */
      GNode *cached = cases[i].cached (fx->browser, cases[i].name, NULL);
      check_stations (cached);
      isds_browser_free_nodes_tree (cached);
    }
  raw_server_stop (&rs);
  g_assert_null (isds_browser_list_cached_genre_channels (fx->browser, "rock",
                                                          NULL));
  g_assert_null (isds_browser_list_cached_language_channels (
      fx->browser, "rock & roll?", NULL));
}

static void
test_hotpicks_and_mirror (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route servers
      = { 200, "[{\"name\":\"bad/host\"},"
               "{\"name\":\"de1.example.org\",\"ip\":\"10.0.0.1\"}]",
          NULL, NULL, FALSE };
  route (fx, "/json/stations/topclick/50?hidebroken=true", &jazz_route);
  route (fx, "/json/servers", &servers);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_hotpicks (fx->browser, on_answer,
                                                   &a));
  wait_answer (&a);
  check_stations (a.tree);
  answer_clear (&a);

  /* The id request picks a usable server of the service's list, one
   * under the directory host's own domain. */
  isds_browser_set_host (fx->browser, "all.example.org");
  g_assert_true (isds_browser_async_get_ir_id (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpstr (record (a.tree)->name, ==, "de1.example.org");
  answer_clear (&a);
  g_assert_cmpuint (fx->requests->len, ==, 2);
}

static void
test_presets (Fixture *fx, gconstpointer data)
{
  (void) data;
  route (fx, "/json/stations/byuuid?uuids=u-2,u-1", &jazz_route);
  static const Route one
      = { 200, "[" STATION ("u-1", "Blue Note FM", "http://one/pls",
                            "http://one/new", "", "", "256") "]",
          "\"p1\"", NULL, FALSE };
  route (fx, "/json/stations/byuuid?uuids=u-1", &one);

  GSList *ask = NULL;
  ask = g_slist_append (ask, isds_browser_testing_node_new (
                                 ISDS_NODE_CHANNEL, "b", "u-2", 0, NULL, NULL));
  ask = g_slist_append (ask, isds_browser_testing_node_new (
                                 ISDS_NODE_CHANNEL, "a", "u-1", 0, NULL, NULL));
  Answer a = { 0 };
  g_assert_true (isds_browser_async_get_preset (fx->browser, on_answer, ask,
                                                &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  g_assert_null (a.tree);
  g_assert_cmpint (g_slist_length (a.presets), ==, 2);
  /* A preset's stream is named after its station. */
  IsdsServer *s = record (a.presets->data)->servers->data;
  g_assert_cmpstr (s->name, ==, "Blue Note FM");
  g_assert_cmpstr (s->url, ==, "http://one/live");
  answer_clear (&a);

  /* Nothing cached for the channel: its own streams stand for it. */
  GNode *listed = isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "Blue",
                                                 "u-1", 1, NULL, NULL);
  isds_browser_testing_node_add_server (listed, NULL, "http://one/live", 128);
  GSList *channels = g_slist_append (NULL, listed);
  GSList *presets = isds_browser_get_cached_preset (fx->browser, channels,
                                                    NULL);
  g_assert_cmpint (g_slist_length (presets), ==, 1);
  g_assert_cmpint (((IsdsServer *) record (presets->data)->servers->data)
                       ->bitrate, ==, 128);
  isds_browser_free_nodes_tree_slist (presets);

  /* The preset of one channel is cached, and preferred once it is. */
  g_assert_true (isds_browser_async_get_preset (
      fx->browser, on_answer, isds_browser_copy_nodes_tree_slist (channels),
      &a));
  wait_answer (&a);
  answer_clear (&a);
  presets = isds_browser_get_cached_preset (fx->browser, channels, NULL);
  s = record (presets->data)->servers->data;
  g_assert_cmpstr (s->url, ==, "http://one/new");
  g_assert_cmpint (s->bitrate, ==, 256);
  isds_browser_free_nodes_tree_slist (presets);
  isds_browser_free_nodes_tree_slist (channels);
}

/* What a hostile server sends */

#define GENRES_TARGET                                                       \
  "/json/tags?order=stationcount&reverse=true&hidebroken=true&limit=200"

static void
test_nul_escape_kept_visibly (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route nul
      = { 200, "[{\"name\":\"a\\u0000b\"},{\"name\":\"c\\\\u0000d\"}]", NULL,
          NULL, FALSE };
  route (fx, GENRES_TARGET, &nul);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  /* Not cut at the NUL: the replacement character stands for it.  An
   * escaped backslash before "u0000" is no escape of a NUL. */
  g_assert_cmpstr (child (a.tree, 0)->name, ==, "a\xef\xbf\xbd" "b");
  g_assert_cmpstr (child (a.tree, 1)->name, ==, "c\\u0000d");
  answer_clear (&a);
  GNode *cached = isds_browser_list_cached_genres (fx->browser, NULL);
  g_assert_cmpstr (child (cached, 0)->name, ==, "a\xef\xbf\xbd" "b");
  isds_browser_free_nodes_tree (cached);
}

/* The documented cap: a listing of 5000 entries is read whole, one more
 * is refused. */
static void
test_entry_cap (Fixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *at_cap = tessel_test_genres_json (5000);
  g_autofree gchar *over = tessel_test_genres_json (5001);
  Route r = { 200, at_cap, NULL, NULL, FALSE };
  route (fx, GENRES_TARGET, &r);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  g_assert_cmpuint (g_node_n_children (a.tree), ==, 5000);
  g_assert_cmpstr (child (a.tree, 4999)->name, ==, "g4999");
  answer_clear (&a);

  r.body = over;
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_TOO_LARGE);
  answer_clear (&a);
  GNode *cached = isds_browser_list_cached_genres (fx->browser, NULL);
  g_assert_cmpuint (g_node_n_children (cached), ==, 5000);
  isds_browser_free_nodes_tree (cached);
}

static GSList *
one_channel (const gchar *id)
{
  return g_slist_append (NULL, isds_browser_testing_node_new (
                                   ISDS_NODE_CHANNEL, "asked", id, 0, NULL,
                                   NULL));
}

static void
test_presets_match_asked_ids (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route other
      = { 200, "[" STATION ("u-9", "Other", "http://nine/pls", "http://nine/",
                            "", "", "32") "]",
          NULL, NULL, FALSE };
  route (fx, "/json/stations/byuuid?uuids=u-1", &other);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_get_preset (fx->browser, on_answer,
                                                one_channel ("u-1"), &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_NO_UPDATED_DATA);
  g_assert_null (a.presets);
  answer_clear (&a);
  /* Nor cached as the preset of the channel asked for. */
  GSList *asked = one_channel ("u-1");
  g_assert_null (isds_browser_get_cached_preset (fx->browser, asked, NULL));

  /* Among others, and twice, the station asked for is taken once. */
  static const Route mixed
      = { 200, "[" STATION ("u-9", "Other", "http://nine/pls", "http://nine/",
                            "", "", "32") ","
               STATION ("u-1", "Blue", "http://one/pls", "http://one/", "",
                        "", "128") ","
               STATION ("u-1", "Blue again", "http://one/pls",
                        "http://one/2", "", "", "128") "]",
          NULL, NULL, FALSE };
  route (fx, "/json/stations/byuuid?uuids=u-1", &mixed);
  g_assert_true (isds_browser_async_get_preset (fx->browser, on_answer,
                                                one_channel ("u-1"), &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  g_assert_cmpint (g_slist_length (a.presets), ==, 1);
  g_assert_cmpstr (record (a.presets->data)->id, ==, "u-1");
  g_assert_cmpstr (record (a.presets->data)->name, ==, "Blue");
  answer_clear (&a);
  GSList *presets = isds_browser_get_cached_preset (fx->browser, asked, NULL);
  g_assert_cmpint (g_slist_length (presets), ==, 1);
  g_assert_cmpstr (record (presets->data)->id, ==, "u-1");
  isds_browser_free_nodes_tree_slist (presets);
  isds_browser_free_nodes_tree_slist (asked);
}

/* Names that would be path steps in the request URL are not asked for,
 * nor looked up in the cache. */
static void
test_unusable_channel_names (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const gchar *const names[] = { ".", "..", "" };
  route (fx, "/json/stations/bytagexact/?hidebroken=true&order=clickcount"
             "&reverse=true&limit=300", &jazz_route);
  route (fx, "/json/stations/?hidebroken=true&order=clickcount"
             "&reverse=true&limit=300", &jazz_route);
  for (gsize i = 0; i < G_N_ELEMENTS (names); i++)
    {
      Answer a = { 0 };
      g_assert_true (isds_browser_async_list_genre_channels (
          fx->browser, on_answer, g_strdup (names[i]), &a));
      wait_answer (&a);
      g_assert_cmpint (a.code, ==, ISDS_ERROR_FAILED);
      g_assert_null (a.tree);
      answer_clear (&a);
      g_assert_null (isds_browser_list_cached_genre_channels (fx->browser,
                                                              names[i], NULL));
    }
  g_assert_cmpuint (fx->requests->len, ==, 0);
}

typedef struct
{
  const gchar *name;
  gboolean taken;
} MirrorCase;

static void
test_mirror_under_own_domain (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const MirrorCase cases[] = {
    { "de1.api.example.org", TRUE },
    { "NL1.API.Example.ORG", TRUE },
    { "a-b.c.api.example.org", TRUE },
    { "api.example.org", FALSE },
    { "xapi.example.org", FALSE },
    { "de1.api.example.org.evil.net", FALSE },
    { "evil.net", FALSE },
    { "127.0.0.1", FALSE },
    { "127.0.0.1:8080", FALSE },
    { "[::1]", FALSE },
    { "de1.api.example.org:8080", FALSE },
    { "-de1.api.example.org", FALSE },
    { "de1-.api.example.org", FALSE },
    { "de1..api.example.org", FALSE },
  };
  isds_browser_set_host (fx->browser, "all.api.example.org");
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      g_autofree gchar *body = g_strdup_printf ("[{\"name\":\"%s\"}]",
                                                cases[i].name);
      Route servers = { 200, body, NULL, NULL, FALSE };
      route (fx, "/json/servers", &servers);
      Answer a = { 0 };
      g_assert_true (isds_browser_async_get_ir_id (fx->browser, on_answer,
                                                   &a));
      wait_answer (&a);
      g_test_message ("%s: code %d", cases[i].name, a.code);
      if (cases[i].taken)
        g_assert_cmpstr (record (a.tree)->name, ==, cases[i].name);
      else
        {
          g_assert_cmpint (a.code, ==, ISDS_ERROR_MALFORMED);
          g_assert_null (a.tree);
        }
      answer_clear (&a);
    }
}

/* Conditional requests and the cache */

static void
test_conditional_not_modified (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route dated
      = { 200, "[{\"name\":\"english\",\"stationcount\":9}]", NULL,
          "Mon, 07 Dec 2026 10:00:00 GMT", FALSE };
  route (fx, "/json/tags?order=stationcount&reverse=true&hidebroken=true"
             "&limit=200", &genres_route);
  route (fx, "/json/languages?order=stationcount&reverse=true"
             "&hidebroken=true&limit=200", &dated);

  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_null (fx->if_none_match);
  answer_clear (&a);
  g_autofree gchar *path = cache_file (fx, "genres.json");
  g_autofree gchar *before = NULL;
  g_assert_true (g_file_get_contents (path, &before, NULL, NULL));

  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpstr (fx->if_none_match, ==, "\"g1\"");
  g_assert_cmpint (a.code, ==, ISDS_ERROR_NO_UPDATED_DATA);
  g_assert_null (a.tree);
  answer_clear (&a);
  g_autofree gchar *after = NULL;
  g_assert_true (g_file_get_contents (path, &after, NULL, NULL));
  g_assert_cmpstr (after, ==, before);
  GNode *cached = isds_browser_list_cached_genres (fx->browser, NULL);
  g_assert_cmpuint (g_node_n_children (cached), ==, 3);
  isds_browser_free_nodes_tree (cached);

  /* A service that dates its answers is asked whether they changed. */
  g_assert_true (isds_browser_async_list_languages (fx->browser, on_answer,
                                                    &a));
  wait_answer (&a);
  answer_clear (&a);
  g_assert_true (isds_browser_async_list_languages (fx->browser, on_answer,
                                                    &a));
  wait_answer (&a);
  g_assert_cmpstr (fx->if_modified_since, ==, "Mon, 07 Dec 2026 10:00:00 GMT");
  g_assert_cmpint (a.code, ==, ISDS_ERROR_NO_UPDATED_DATA);
  answer_clear (&a);
}

static void
test_cache_outlives_browser (Fixture *fx, gconstpointer data)
{
  (void) data;
  route (fx, "/json/stations/topclick/50?hidebroken=true", &jazz_route);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_hotpicks (fx->browser, on_answer,
                                                   &a));
  /* The request keeps its browser alive after the caller lets it go. */
  g_clear_object (&fx->browser);
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  answer_clear (&a);

  fx->browser = browser_for (fx);
  GNode *cached = isds_browser_list_cached_hotpicks (fx->browser, NULL);
  g_assert_nonnull (cached);
  check_stations (cached);
  isds_browser_free_nodes_tree (cached);
  g_assert_cmpuint (fx->requests->len, ==, 1);

  /* A damaged cache file is reported, not trusted. */
  g_autofree gchar *path = cache_file (fx, "hotpicks.json");
  g_assert_true (g_file_set_contents (path, "{\"data\": 3}", -1, NULL));
  GError *error = NULL;
  g_assert_null (isds_browser_list_cached_hotpicks (fx->browser, &error));
  g_assert_error (error, ISDS_ERROR, ISDS_ERROR_MALFORMED);
  g_clear_error (&error);
}

/* A cache file that is no regular file, or too large, or too deep, is
 * reported as unreadable, not waited on or read whole; the next good
 * answer replaces it. */
typedef struct
{
  const gchar *name;
  void (*make) (const gchar *path);
  gboolean replaced;
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
make_directory (const gchar *path)
{
  g_assert_cmpint (g_mkdir (path, 0700), ==, 0);
}

/* Valid, but larger than any answer may be. */
static void
make_oversized (const gchar *path)
{
  gsize size = 5 * 1024 * 1024;
  gchar *text = g_malloc (size);
  memset (text, ' ', size);
  const gchar head[] = "{\"data\":[{\"name\":\"huge\"}]";
  memcpy (text, head, strlen (head));
  text[size - 1] = '}';
  g_assert_true (g_file_set_contents (path, text, (gssize) size, NULL));
  g_free (text);
}

static void
make_deep (const gchar *path)
{
  g_autofree gchar *text = tessel_test_nested_json ("{\"data\":", DEEP, "}");
  g_assert_true (g_file_set_contents (path, text, -1, NULL));
}

static void
make_many_entries (const gchar *path)
{
  g_autofree gchar *genres = tessel_test_genres_json (60000);
  g_autofree gchar *text = g_strconcat ("{\"data\":", genres, "}", NULL);
  g_assert_true (g_file_set_contents (path, text, -1, NULL));
}

static void
make_junk_entries (const gchar *path)
{
  g_assert_true (g_file_set_contents (path, "{\"data\":[null,{},3]}", -1,
                                      NULL));
}

static const CacheCase cache_cases[] = {
  { "fifo", make_fifo, TRUE },
  { "link-to-dev-zero", make_link_to_zero, TRUE },
  { "directory", make_directory, FALSE },
  { "oversized", make_oversized, TRUE },
  { "deep-nesting", make_deep, TRUE },
  { "60000-entries", make_many_entries, TRUE },
  { "junk-entries", make_junk_entries, TRUE },
};

static void
test_unreadable_cache (Fixture *fx, gconstpointer data)
{
  const CacheCase *c = data;
  g_autofree gchar *path = cache_file (fx, "genres.json");
  g_assert_cmpint (g_mkdir_with_parents (
                       isds_browser_testing_get_cache_dir (fx->browser), 0700),
                   ==, 0);
  c->make (path);
  GError *error = NULL;
  g_assert_null (isds_browser_list_cached_genres (fx->browser, &error));
  g_assert_error (error, ISDS_ERROR, ISDS_ERROR_MALFORMED);
  g_assert_nonnull (strstr (error->message, "Unreadable cache file"));
  g_clear_error (&error);
  /* The root counts nothing for it. */
  GNode *root = isds_browser_list_cached_root (fx->browser, NULL);
  g_assert_cmpint (child (root, 0)->count, ==, 0);
  isds_browser_free_nodes_tree (root);

  route (fx, GENRES_TARGET, &genres_route);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, -1);
  answer_clear (&a);
  GNode *cached = isds_browser_list_cached_genres (fx->browser, &error);
  if (c->replaced)
    {
      g_assert_no_error (error);
      g_assert_cmpuint (g_node_n_children (cached), ==, 3);
    }
  else
    {
      g_assert_null (cached);
      g_assert_error (error, ISDS_ERROR, ISDS_ERROR_MALFORMED);
      g_clear_error (&error);
      g_assert_cmpint (g_rmdir (path), ==, 0);
    }
  isds_browser_free_nodes_tree (cached);
}

/* Failures: the completion carries a client error, once, and the cached
 * copy stays as it was. */

typedef struct
{
  const gchar *name;
  Route route;
  gsize max_body;
  gint code;
  gchar *(*make_body) (void); /* a body too large to write out */
} FailureCase;

static gchar *
deep_body (void)
{
  return tessel_test_nested_json ("", DEEP, "");
}

/* Brackets inside a single-quoted string or a comment, which the JSON
 * parser takes too, must not slip past the depth bound. */
static gchar *
quoted_deep_body (void)
{
  return tessel_test_nested_json ("['\"',", DEEP, ",'\"']");
}

static gchar *
comment_deep_body (void)
{
  return tessel_test_nested_json ("[1/*\"*/,", DEEP, ",\"\"]");
}

static gchar *
many_entries_body (void)
{
  return tessel_test_genres_json (60000);
}

/* Few entries, each with many values: 60 arrays of 5000 numbers. */
static gchar *
many_values_body (void)
{
  GString *text = g_string_new ("[");
  for (guint i = 0; i < 60; i++)
    {
      g_string_append (text, i > 0 ? ",[0" : "[0");
      for (guint j = 1; j < 5000; j++)
        g_string_append (text, ",0");
      g_string_append_c (text, ']');
    }
  g_string_append_c (text, ']');
  return g_string_free (text, FALSE);
}

#define BIG_BODY                                                            \
  "[{\"name\":\"a-name-long-enough-to-pass-the-cap\",\"stationcount\":1}," \
  "{\"name\":\"another-name-long-enough-as-well\",\"stationcount\":2}]"

static const FailureCase failure_cases[] = {
  { "http-500", { 500, "[]", NULL, NULL, FALSE }, 0, ISDS_ERROR_HTTP, NULL },
  { "malformed-json", { 200, "[{\"name\": \"x\",", NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, NULL },
  { "not-an-array", { 200, "{\"name\": \"x\"}", NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, NULL },
  { "over-cap-announced", { 200, BIG_BODY, NULL, NULL, FALSE }, 64,
    ISDS_ERROR_TOO_LARGE, NULL },
  { "over-cap-chunked", { 200, BIG_BODY, NULL, NULL, TRUE }, 64,
    ISDS_ERROR_TOO_LARGE, NULL },
  { "empty-body", { 200, "", NULL, NULL, FALSE }, 0, ISDS_ERROR_MALFORMED,
    NULL },
  { "blank-body", { 200, " \n", NULL, NULL, FALSE }, 0, ISDS_ERROR_MALFORMED,
    NULL },
  { "wrong-element-shape",
    { 200, "[null, null, {\"name\": null}]", NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, NULL },
  { "empty-objects", { 200, "[{},{},{}]", NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, NULL },
  { "deep-nesting", { 200, NULL, NULL, NULL, FALSE }, 0, ISDS_ERROR_MALFORMED,
    deep_body },
  { "deep-nesting-in-quotes", { 200, NULL, NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, quoted_deep_body },
  { "deep-nesting-after-comment", { 200, NULL, NULL, NULL, FALSE }, 0,
    ISDS_ERROR_MALFORMED, comment_deep_body },
  { "60000-entries", { 200, NULL, NULL, NULL, FALSE }, 0, ISDS_ERROR_TOO_LARGE,
    many_entries_body },
  { "300000-values", { 200, NULL, NULL, NULL, FALSE }, 0, ISDS_ERROR_TOO_LARGE,
    many_values_body },
};

static void
test_failure_keeps_cache (Fixture *fx, gconstpointer data)
{
  const FailureCase *c = data;
  const gchar *target = "/json/tags?order=stationcount&reverse=true"
                        "&hidebroken=true&limit=200";
  static const Route first = { 200, "[{\"name\":\"kept\"}]", NULL, NULL,
                               FALSE };
  route (fx, target, &first);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  answer_clear (&a);
  g_autofree gchar *path = cache_file (fx, "genres.json");
  g_autofree gchar *before = NULL;
  g_assert_true (g_file_get_contents (path, &before, NULL, NULL));

  Route hostile = c->route;
  g_autofree gchar *made = c->make_body != NULL ? c->make_body () : NULL;
  if (made != NULL)
    hostile.body = made;
  route (fx, target, &hostile);
  isds_browser_testing_set_limits (fx->browser, 5000, c->max_body);
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, c->code);
  g_assert_null (a.tree);
  answer_clear (&a);
  run_for (50);
  g_assert_cmpint (a.calls, ==, 0);

  g_autofree gchar *after = NULL;
  g_assert_true (g_file_get_contents (path, &after, NULL, NULL));
  g_assert_cmpstr (after, ==, before);
  GNode *cached = isds_browser_list_cached_genres (fx->browser, NULL);
  g_assert_cmpstr (child (cached, 0)->name, ==, "kept");
  isds_browser_free_nodes_tree (cached);
}

/* A server on the loopback address that accepts connections (the kernel
 * does) but never reads or answers; its URL goes to *base. */
static GSocketListener *
silent_server (gchar **base)
{
  GSocketListener *listener = g_socket_listener_new ();
  g_autoptr (GInetAddress) loopback
      = g_inet_address_new_loopback (G_SOCKET_FAMILY_IPV4);
  g_autoptr (GSocketAddress) any = g_inet_socket_address_new (loopback, 0);
  GSocketAddress *bound = NULL;
  GError *error = NULL;
  g_assert_true (g_socket_listener_add_address (
      listener, any, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, NULL,
      &bound, &error));
  g_assert_no_error (error);
  *base = g_strdup_printf (
      "http://127.0.0.1:%u",
      g_inet_socket_address_get_port (G_INET_SOCKET_ADDRESS (bound)));
  g_object_unref (bound);
  return listener;
}

static void
test_silent_server_times_out_once (Fixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *base = NULL;
  GSocketListener *listener = silent_server (&base);
  isds_browser_testing_set_base_url (fx->browser, base);
  isds_browser_testing_set_limits (fx->browser, 300, 0);
  Answer a = { 0 };
  gint64 start = g_get_monotonic_time ();
  g_assert_true (isds_browser_async_list_genres (fx->browser, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (g_get_monotonic_time () - start, >=, 300 * 1000);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_TIMED_OUT);
  g_assert_null (a.tree);
  /* And never again. */
  run_for (400);
  g_assert_cmpint (a.calls, ==, 1);
  answer_clear (&a);
  g_socket_listener_close (listener);
  g_object_unref (listener);
}

/* GISDS_TIMEOUT, in seconds, is the timeout of browsers made after it is
 * set. */
static void
test_timeout_from_environment (Fixture *fx, gconstpointer data)
{
  (void) fx;
  (void) data;
  g_autofree gchar *base = NULL;
  GSocketListener *listener = silent_server (&base);
  g_setenv ("GISDS_TIMEOUT", "1", TRUE);
  IsdsBrowser *b = isds_browser_new ();
  g_unsetenv ("GISDS_TIMEOUT");
  isds_browser_testing_set_base_url (b, base);
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (b, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_TIMED_OUT);
  g_assert_nonnull (strstr (a.message, "within 1000 ms"));
  answer_clear (&a);
  g_object_unref (b);
  g_socket_listener_close (listener);
  g_object_unref (listener);
}

/* The HTTP environment */

static void
test_http_environment (Fixture *fx, gconstpointer data)
{
  (void) data;
  /* No host and no other base: code 8, still from the main loop. */
  IsdsBrowser *b = isds_browser_new ();
  g_assert_true (isds_browser_connect (b, NULL));
  Answer a = { 0 };
  g_assert_true (isds_browser_async_list_genres (b, on_answer, &a));
  g_assert_cmpint (a.calls, ==, 0);
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_HTTP_ENV_NOT_SET);
  answer_clear (&a);
  /* A host that is no host name is not put into a URL. */
  isds_browser_set_host (b, "evil.example/../x?");
  g_assert_true (isds_browser_async_list_languages (b, on_answer, &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_HTTP_ENV_NOT_SET);
  answer_clear (&a);

  /* A proxy setting that cannot be parsed. */
  g_setenv ("https_proxy", "http://[::1", TRUE);
  GError *error = NULL;
  g_assert_false (isds_browser_connect (fx->browser, &error));
  g_assert_error (error, ISDS_ERROR, ISDS_ERROR_HTTP_ENV_NOT_SET);
  g_clear_error (&error);
  g_assert_true (isds_browser_async_list_countries (fx->browser, on_answer,
                                                    &a));
  wait_answer (&a);
  g_assert_cmpint (a.code, ==, ISDS_ERROR_HTTP_ENV_NOT_SET);
  answer_clear (&a);
  g_unsetenv ("https_proxy");
  g_assert_true (isds_browser_connect (fx->browser, &error));
  g_assert_no_error (error);
  g_object_unref (b);
  g_assert_cmpuint (fx->requests->len, ==, 0);
}

/* The store over the real client */

typedef struct
{
  gint calls;
  gint code;
  gboolean completed;
  GPtrArray *titles;
  GPtrArray *uris;
  gint bitrate;
  GMainLoop *loop;
} Heard;

static void
on_store (GList *resources, gboolean completed, GError *error,
          gpointer user_data)
{
  Heard *h = user_data;
  h->calls++;
  h->code = error->code;
  h->completed = completed;
  g_ptr_array_set_size (h->titles, 0);
  g_ptr_array_set_size (h->uris, 0);
  for (GList *l = resources; l != NULL; l = l->next)
    {
      g_ptr_array_add (h->titles,
                       g_strdup (mp_media_resource_get_title (l->data)));
      g_ptr_array_add (h->uris, g_strdup (mp_media_resource_get_uri (l->data)));
      h->bitrate = mp_media_resource_get_bitrate (l->data);
    }
  if (h->loop != NULL)
    g_main_loop_quit (h->loop);
}

static void
heard_wait (Heard *h)
{
  if (h->calls > 0)
    return;
  h->loop = g_main_loop_new (NULL, FALSE);
  guint id = g_timeout_add_seconds (10, give_up, h->loop);
  g_main_loop_run (h->loop);
  g_source_remove (id);
  g_clear_pointer (&h->loop, g_main_loop_unref);
  g_assert_cmpint (h->calls, ==, 1);
}

static GList *
get_path (MpLibraryStoreIsds *store, const gchar *path, Heard *h)
{
  h->calls = 0;
  GError *error = NULL;
  GList *cached = mp_library_store_isds_get_path (store, path, on_store, h,
                                                  &error);
  g_assert_error (error, meta_error_quark (), 0);
  g_clear_error (&error);
  heard_wait (h);
  g_assert_true (h->completed);
  return cached;
}

static void
free_resources (GList *list)
{
  for (GList *l = list; l != NULL; l = l->next)
    mp_media_resource_destroy (l->data, NULL);
  g_list_free (list);
}

static void
test_store_end_to_end (Fixture *fx, gconstpointer data)
{
  (void) data;
  static const Route servers = { 200, "[]", NULL, NULL, FALSE };
  route (fx, "/json/servers", &servers);
  route (fx, "/json/tags?order=stationcount&reverse=true&hidebroken=true"
             "&limit=200", &genres_route);
  route (fx, "/json/stations/bytagexact/jazz?hidebroken=true"
             "&order=clickcount&reverse=true&limit=300", &jazz_route);
  static const Route preset
      = { 200, "[" STATION ("u-2", "Late Night", "http://two/live", "", "",
                            "http://two/", "64") "]",
          NULL, NULL, FALSE };
  route (fx, "/json/stations/byuuid?uuids=u-2", &preset);

  MpLibraryStoreIsds *store = g_object_new (MP_TYPE_LIBRARY_STORE_ISDS, NULL);
  IsdsBrowser *browser = isds_browser_testing_last_created ();
  isds_browser_testing_set_base_url (browser, fx->base);
  ConIcConnection *connection = con_ic_connection_testing_last_created ();
  con_ic_connection_testing_script (connection);
  con_ic_connection_testing_emit (connection, CON_IC_STATUS_CONNECTED);
  run_for (10);

  Heard h = { 0 };
  h.titles = g_ptr_array_new_with_free_func (g_free);
  h.uris = g_ptr_array_new_with_free_func (g_free);

  GList *cached = get_path (store, "radio\n", &h);
  g_assert_cmpint (g_list_length (cached), ==, 4);
  free_resources (cached);
  g_assert_cmpint (h.code, ==, 0);
  g_assert_cmpuint (h.titles->len, ==, 4);
  g_assert_cmpstr (g_ptr_array_index (h.titles, 0), ==, "genres");

  cached = get_path (store, "radio\ngenres\n", &h);
  g_assert_null (cached);
  g_assert_cmpuint (h.titles->len, ==, 3);
  g_assert_cmpstr (g_ptr_array_index (h.titles, 1), ==, "rock & roll");

  cached = get_path (store, "radio\ngenres\njazz\n", &h);
  g_assert_null (cached);
  g_assert_cmpint (h.code, ==, 0);
  g_assert_cmpuint (h.titles->len, ==, 2);
  g_assert_cmpstr (g_ptr_array_index (h.titles, 0), ==, "Blue Note FM");
  g_assert_cmpstr (g_ptr_array_index (h.uris, 0), ==, "http://one/live");

  /* Asked again, the cache answers at once. */
  cached = get_path (store, "radio\ngenres\njazz\n", &h);
  g_assert_cmpint (g_list_length (cached), ==, 2);
  free_resources (cached);

  cached = get_path (store, "radio\ngenres\njazz\nu-2\n", &h);
  g_assert_cmpint (g_list_length (cached), ==, 1);
  g_assert_cmpstr (mp_media_resource_get_uri (cached->data), ==,
                   "http://two/live");
  free_resources (cached);
  g_assert_cmpint (h.code, ==, 0);
  g_assert_cmpuint (h.titles->len, ==, 1);
  g_assert_cmpstr (g_ptr_array_index (h.titles, 0), ==, "Late Night");
  g_assert_cmpstr (g_ptr_array_index (h.uris, 0), ==, "http://two/live");
  g_assert_cmpint (h.bitrate, ==, 64);

  g_object_unref (store);
  run_for (20);
  g_ptr_array_free (h.titles, TRUE);
  g_ptr_array_free (h.uris, TRUE);
}

int
main (int argc, char **argv)
{
  /* Before anything asks GLib for the cache folder: it reads it once. */
  GError *error = NULL;
  cache_home = g_dir_make_tmp ("tessel-gisds-XXXXXX", &error);
  g_assert_no_error (error);
  g_setenv ("XDG_CACHE_HOME", cache_home, TRUE);
  const gchar *proxies[] = { "all_proxy", "ALL_PROXY", "http_proxy",
                             "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                             "GISDS_SERVICE_URL" };
  for (gsize i = 0; i < G_N_ELEMENTS (proxies); i++)
    g_unsetenv (proxies[i]);

  g_test_init (&argc, &argv, NULL);
#define ADD(path, fn)                                                       \
  g_test_add (path, Fixture, NULL, fixture_setup, fn, fixture_teardown)
  ADD ("/gisds/http/category-listings", test_category_listings);
  ADD ("/gisds/http/channel-listings-escape-names",
       test_channel_listings_escape_names);
  ADD ("/gisds/http/hotpicks-and-mirror", test_hotpicks_and_mirror);
  ADD ("/gisds/http/presets-by-id", test_presets);
  ADD ("/gisds/http/conditional-not-modified", test_conditional_not_modified);
  ADD ("/gisds/http/cache-outlives-browser", test_cache_outlives_browser);
  for (gsize i = 0; i < G_N_ELEMENTS (failure_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/gisds/http/failure-keeps-cache/%s", failure_cases[i].name);
      g_test_add (path, Fixture, &failure_cases[i], fixture_setup,
                  test_failure_keeps_cache, fixture_teardown);
    }
  ADD ("/gisds/http/silent-server-times-out-once",
       test_silent_server_times_out_once);
  ADD ("/gisds/http/timeout-from-environment", test_timeout_from_environment);
  ADD ("/gisds/http/hostile/nul-escape-kept-visibly",
       test_nul_escape_kept_visibly);
  ADD ("/gisds/http/hostile/entry-cap", test_entry_cap);
  ADD ("/gisds/http/hostile/presets-match-asked-ids",
       test_presets_match_asked_ids);
  ADD ("/gisds/http/hostile/unusable-channel-names",
       test_unusable_channel_names);
  ADD ("/gisds/http/hostile/mirror-under-own-domain",
       test_mirror_under_own_domain);
  for (gsize i = 0; i < G_N_ELEMENTS (cache_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/gisds/http/unreadable-cache/%s", cache_cases[i].name);
      g_test_add (path, Fixture, &cache_cases[i], fixture_setup,
                  test_unreadable_cache, fixture_teardown);
    }
  ADD ("/gisds/http/environment-unusable", test_http_environment);
  ADD ("/gisds/http/store-end-to-end", test_store_end_to_end);
  int status = g_test_run ();
  clear_cache ();
  g_autofree gchar *radio = g_build_filename (cache_home, "tessel", "radio",
                                              NULL);
  g_autofree gchar *tessel = g_build_filename (cache_home, "tessel", NULL);
  g_rmdir (radio);
  g_rmdir (tessel);
  g_rmdir (cache_home);
  g_free (cache_home);
  return status;
}
