/* The directory client's HTTP backend: listings of the community station
 * directory's JSON API, fetched with libsoup on the thread-default main
 * context, turned into directory trees, and kept in an on-disk cache with
 * their validators so that the next fetch can be conditional. */
#include "gisds-private.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libsoup/soup.h>

#define DEFAULT_TIMEOUT_MS 15000
#define DEFAULT_MAX_BODY (4 * 1024 * 1024)
#define READ_CHUNK 16384

/* Set by an application to use another server of the same API (a mirror
 * or a local one), such as "http://127.0.0.1:8080"; it wins over the
 * host handed to isds_browser_set_host. */
#define SERVICE_URL_VARIABLE "GISDS_SERVICE_URL"
/* Set by an application to the number of seconds a request may take, when
 * the default does not suit it (a command told to wait longer, or less). */
#define TIMEOUT_VARIABLE "GISDS_TIMEOUT"

struct _IsdsHttp
{
  gchar *host;
  gchar *base_url;     /* testing override */
  gchar *mirror;       /* the server kept for this host's session */
  gboolean mirror_asked;
  SoupSession *session;
  guint timeout_ms;
  gsize max_body;
  gchar *cache_dir;
};

/* The listings the service is asked for: cache file stem, and the request
 * path ("%s": the escaped name of a channel listing, or the escaped ids). */
typedef struct
{
  const gchar *file;
  const gchar *path;
  const gchar *title;
} Listing;

static const Listing listings[] = {
  [ISDS_TESTING_ROOT] = { NULL, NULL, "root" },
  [ISDS_TESTING_GENRES]
  = { "genres",
      "/json/tags?order=stationcount&reverse=true&hidebroken=true&limit=200",
      "genres" },
  [ISDS_TESTING_LANGUAGES]
  = { "languages",
      "/json/languages?order=stationcount&reverse=true&hidebroken=true"
      "&limit=200",
      "languages" },
  [ISDS_TESTING_COUNTRIES]
  = { "countries",
      "/json/countries?order=stationcount&reverse=true&hidebroken=true"
      "&limit=200",
      "countries" },
  [ISDS_TESTING_HOTPICKS]
  = { "hotpicks", "/json/stations/topclick/50?hidebroken=true", "hotpicks" },
  [ISDS_TESTING_GENRE_CHANNELS]
  = { "genre",
      "/json/stations/bytagexact/%s?hidebroken=true&order=clickcount"
      "&reverse=true&limit=300",
      NULL },
  [ISDS_TESTING_LANGUAGE_CHANNELS]
  = { "language",
      "/json/stations/bylanguageexact/%s?hidebroken=true&order=clickcount"
      "&reverse=true&limit=300",
      NULL },
  [ISDS_TESTING_COUNTRY_CHANNELS]
  = { "country",
      "/json/stations/bycountryexact/%s?hidebroken=true&order=clickcount"
      "&reverse=true&limit=300",
      NULL },
};

#define PRESET_FILE "station"
#define PRESET_PATH "/json/stations/byuuid?uuids=%s"
#define SERVERS_PATH "/json/servers"

/* The backend */

/* The timeout the environment sets, in milliseconds, or the default when
 * it sets none that can be used. */
static guint
environment_timeout (void)
{
  const gchar *setting = g_getenv (TIMEOUT_VARIABLE);
  guint64 seconds = 0;
  if (setting == NULL
      || !g_ascii_string_to_unsigned (setting, 10, 1, G_MAXUINT64, &seconds,
                                      NULL))
    return DEFAULT_TIMEOUT_MS;
  return (guint) MIN (seconds, G_MAXUINT / 1000) * 1000;
}

IsdsHttp *
isds_http_new (void)
{
  IsdsHttp *h = g_new0 (IsdsHttp, 1);
  h->timeout_ms = environment_timeout ();
  h->max_body = DEFAULT_MAX_BODY;
  h->cache_dir = g_build_filename (g_get_user_cache_dir (), "tessel", "radio",
                                   NULL);
  return h;
}

void
isds_http_free (IsdsHttp *h)
{
  if (h == NULL)
    return;
  g_free (h->host);
  g_free (h->base_url);
  g_free (h->mirror);
  g_clear_object (&h->session);
  g_free (h->cache_dir);
  g_free (h);
}

void
isds_http_set_host (IsdsHttp *h, const gchar *host)
{
  if (g_strcmp0 (h->host, host) == 0)
    return;
  g_free (h->host);
  h->host = g_strdup (host);
  /* A mirror chosen for another host says nothing about this one. */
  g_clear_pointer (&h->mirror, g_free);
  h->mirror_asked = FALSE;
}

static gchar *
without_trailing_slashes (const gchar *url)
{
  gchar *copy = g_strdup (url);
  gsize len = strlen (copy);
  while (len > 0 && copy[len - 1] == '/')
    copy[--len] = '\0';
  return copy;
}

void
isds_http_set_base_url (IsdsHttp *h, const gchar *url)
{
  g_free (h->base_url);
  h->base_url = url != NULL ? without_trailing_slashes (url) : NULL;
}

void
isds_http_set_limits (IsdsHttp *h, guint timeout_ms, gsize max_body)
{
  h->timeout_ms = timeout_ms > 0 ? timeout_ms : DEFAULT_TIMEOUT_MS;
  h->max_body = max_body > 0 ? max_body : DEFAULT_MAX_BODY;
  if (h->session != NULL)
    soup_session_set_timeout (h->session, (h->timeout_ms + 999) / 1000);
}

const gchar *
isds_http_cache_dir (IsdsHttp *h)
{
  return h->cache_dir;
}

/* The HTTP environment */

/* A proxy setting as the environment gives it ("host:port" or a URL), as
 * a URL; NULL when it cannot be parsed. */
static gchar *
proxy_url (const gchar *setting)
{
  g_autofree gchar *url = strstr (setting, "://") != NULL
                              ? g_strdup (setting)
                              : g_strconcat ("http://", setting, NULL);
  g_autoptr (GUri) uri = g_uri_parse (url, G_URI_FLAGS_NONE, NULL);
  if (uri == NULL || g_uri_get_host (uri) == NULL
      || *g_uri_get_host (uri) == '\0')
    return NULL;
  return g_steal_pointer (&url);
}

static const gchar *
env_setting (const gchar *lower, const gchar *upper)
{
  const gchar *value = g_getenv (lower);
  if (value == NULL || *value == '\0')
    value = g_getenv (upper);
  return value != NULL && *value != '\0' ? value : NULL;
}

/* A resolver for the proxies the environment sets, or NULL for none (the
 * session then uses GIO's default).  FALSE with code 8 when a setting
 * cannot be parsed. */
static gboolean
environment_proxy (GProxyResolver **resolver, GError **error)
{
  static const gchar *const names[][3] = {
    { "all_proxy", "ALL_PROXY", NULL },
    { "http_proxy", "HTTP_PROXY", "http" },
    { "https_proxy", "HTTPS_PROXY", "https" },
  };
  *resolver = NULL;
  g_autofree gchar *urls[G_N_ELEMENTS (names)] = { NULL };
  gboolean any = FALSE;
  for (gsize i = 0; i < G_N_ELEMENTS (names); i++)
    {
      const gchar *setting = env_setting (names[i][0], names[i][1]);
      if (setting == NULL)
        continue;
      urls[i] = proxy_url (setting);
      if (urls[i] == NULL)
        {
          g_set_error (error, ISDS_ERROR, ISDS_ERROR_HTTP_ENV_NOT_SET,
                       "Cannot parse the proxy setting %s", names[i][0]);
          for (gsize j = 0; j < G_N_ELEMENTS (names); j++)
            g_clear_pointer (&urls[j], g_free);
          return FALSE;
        }
      any = TRUE;
    }
  if (any)
    {
      const gchar *no_proxy = env_setting ("no_proxy", "NO_PROXY");
      g_auto (GStrv) ignore = g_strsplit (no_proxy != NULL ? no_proxy : "",
                                          ",", -1);
      for (gchar **i = ignore; *i != NULL; i++)
        g_strstrip (*i);
      *resolver = g_simple_proxy_resolver_new (urls[0], ignore);
      for (gsize i = 1; i < G_N_ELEMENTS (names); i++)
        if (urls[i] != NULL)
          g_simple_proxy_resolver_set_uri_proxy (
              G_SIMPLE_PROXY_RESOLVER (*resolver), names[i][2], urls[i]);
    }
  for (gsize j = 0; j < G_N_ELEMENTS (names); j++)
    g_clear_pointer (&urls[j], g_free);
  return TRUE;
}

/* Makes the session on first use; FALSE with code 8 when the environment
 * makes HTTP unusable. */
static gboolean
ensure_session (IsdsHttp *h, GError **error)
{
  GProxyResolver *resolver = NULL;
  if (!environment_proxy (&resolver, error))
    return FALSE;
  if (h->session == NULL)
    {
      h->session = soup_session_new_with_options (
          "user-agent", "Tessel/" GISDS_VERSION, "timeout",
          (h->timeout_ms + 999) / 1000, "max-conns-per-host", 4, NULL);
      if (resolver != NULL)
        soup_session_set_proxy_resolver (h->session, resolver);
    }
  g_clear_object (&resolver);
  return TRUE;
}

gboolean
isds_http_connect (IsdsHttp *h, GError **error)
{
  return ensure_session (h, error);
}

/* Host names the service may hand out or be given: letters, digits, dots,
 * dashes, and the brackets and colons of an address with a port. */
static gboolean
host_usable (const gchar *host)
{
  if (host == NULL || *host == '\0')
    return FALSE;
  for (const gchar *c = host; *c != '\0'; c++)
    if (!g_ascii_isalnum (*c) && strchr (".-:[]", *c) == NULL)
      return FALSE;
  return TRUE;
}

/* The base of every request URL, with no trailing slash. */
static gchar *
base_url (IsdsHttp *h, GError **error)
{
  if (h->base_url != NULL)
    return g_strdup (h->base_url);
  const gchar *service = g_getenv (SERVICE_URL_VARIABLE);
  if (service != NULL && *service != '\0')
    return without_trailing_slashes (service);
  if (!host_usable (h->host))
    {
      g_set_error (error, ISDS_ERROR, ISDS_ERROR_HTTP_ENV_NOT_SET,
                   h->host == NULL ? "No directory service host set"
                                   : "Unusable directory service host");
      return NULL;
    }
  return g_strdup_printf ("https://%s", h->mirror != NULL ? h->mirror
                                                          : h->host);
}

static gboolean
base_overridden (IsdsHttp *h)
{
  const gchar *service = g_getenv (SERVICE_URL_VARIABLE);
  return h->base_url != NULL || (service != NULL && *service != '\0');
}

/* The cache: one JSON file per listing, {"url", "etag", "last-modified",
 * "data"}, replaced whole by a rename. */

static gchar *
name_digest (const gchar *name)
{
  return g_compute_checksum_for_string (G_CHECKSUM_SHA1, name, -1);
}

/* The cache file of a listing (name: of a channel listing), or of the
 * preset of one channel id. */
static gchar *
cache_path (IsdsHttp *h, const gchar *stem, const gchar *name)
{
  g_autofree gchar *file = NULL;
  if (name != NULL)
    {
      g_autofree gchar *digest = name_digest (name);
      file = g_strdup_printf ("%s-%s.json", stem, digest);
    }
  else
    file = g_strdup_printf ("%s.json", stem);
  return g_build_filename (h->cache_dir, file, NULL);
}

/* A cache file is never larger than an answer may be, give or take its
 * own few fields. */
#define MAX_CACHE_FILE (DEFAULT_MAX_BODY + 64 * 1024)

static JsonObject *
cache_unreadable (const gchar *path, const gchar *reason, GError **error)
{
  g_set_error (error, ISDS_ERROR, ISDS_ERROR_MALFORMED,
               "Unreadable cache file %s: %s", path, reason);
  return NULL;
}

/* The bytes of the cache file at path, opened only when it is a regular
 * file (not a link, a FIFO or a device) of at most MAX_CACHE_FILE bytes;
 * NULL with *missing TRUE when there is no such file, else NULL with
 * code 3. */
static gchar *
cache_read (const gchar *path, gsize *length, gboolean *missing,
            GError **error)
{
  *missing = FALSE;
  int fd = open (path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    {
      int saved = errno;
      *missing = saved == ENOENT;
      if (!*missing)
        cache_unreadable (path, g_strerror (saved), error);
      return NULL;
    }
  struct stat st;
  if (fstat (fd, &st) != 0 || !S_ISREG (st.st_mode))
    {
      close (fd);
      cache_unreadable (path, "not a regular file", error);
      return NULL;
    }
  if (st.st_size > MAX_CACHE_FILE)
    {
      close (fd);
      cache_unreadable (path, "larger than an answer may be", error);
      return NULL;
    }
  /* One byte more than the size, to see a file that grew meanwhile. */
  gsize want = (gsize) st.st_size + 1;
  g_autofree gchar *text = g_malloc (want);
  gsize got = 0;
  while (got < want)
    {
      ssize_t n = read (fd, text + got, want - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        {
          int saved = errno;
          close (fd);
          cache_unreadable (path, g_strerror (saved), error);
          return NULL;
        }
      if (n == 0)
        break;
      got += (gsize) n;
    }
  close (fd);
  if (got > MAX_CACHE_FILE)
    {
      cache_unreadable (path, "larger than an answer may be", error);
      return NULL;
    }
  *length = got;
  return g_steal_pointer (&text);
}

/* The cache entry's object (a new reference), or NULL when there is no
 * such file; a file that cannot be read as a cache entry gives NULL and
 * code 3. */
static JsonObject *
cache_load (const gchar *path, GError **error)
{
  gsize length = 0;
  gboolean missing;
  g_autofree gchar *text = cache_read (path, &length, &missing, error);
  if (text == NULL)
    return NULL;
  g_autoptr (GError) local = NULL;
  g_autoptr (JsonNode) root = isds_json_parse (text, length,
                                               ISDS_JSON_CACHE_DEPTH, &local);
  if (root == NULL)
    return cache_unreadable (path, local->message, error);
  JsonObject *entry = JSON_NODE_HOLDS_OBJECT (root)
                          ? json_node_get_object (root)
                          : NULL;
  JsonNode *data = entry != NULL ? json_object_get_member (entry, "data")
                                 : NULL;
  if (data == NULL || !JSON_NODE_HOLDS_ARRAY (data))
    return cache_unreadable (path, "no listing in it", error);
  return json_object_ref (entry);
}

/* Writes the entry through a temporary file and a rename, so that a reader
 * or a crash sees the old entry or the new one, never a part; the rename
 * also replaces whatever unreadable thing had the name. */
static void
cache_store (IsdsHttp *h, const gchar *path, const gchar *url,
             const gchar *etag, const gchar *last_modified, JsonNode *data)
{
  if (g_mkdir_with_parents (h->cache_dir, 0700) != 0)
    return;
  g_autoptr (JsonBuilder) builder = json_builder_new ();
  json_builder_begin_object (builder);
  json_builder_set_member_name (builder, "url");
  json_builder_add_string_value (builder, url);
  if (etag != NULL)
    {
      json_builder_set_member_name (builder, "etag");
      json_builder_add_string_value (builder, etag);
    }
  if (last_modified != NULL)
    {
      json_builder_set_member_name (builder, "last-modified");
      json_builder_add_string_value (builder, last_modified);
    }
  json_builder_set_member_name (builder, "data");
  json_builder_add_value (builder, json_node_copy (data));
  json_builder_end_object (builder);
  g_autoptr (JsonNode) root = json_builder_get_root (builder);
  g_autoptr (JsonGenerator) generator = json_generator_new ();
  json_generator_set_root (generator, root);
  gsize length = 0;
  g_autofree gchar *text = json_generator_to_data (generator, &length);
  /* Numbers can come out longer than they went in; a file the next read
   * would refuse is not written.  A cache that cannot be written only
   * costs the next fetch. */
  if (length > MAX_CACHE_FILE)
    return;
  g_file_set_contents_full (path, text, (gssize) length,
                            G_FILE_SET_CONTENTS_CONSISTENT, 0600, NULL);
}

static const gchar *
listing_title (IsdsTestingListing kind, const gchar *name)
{
  return listings[kind].title != NULL ? listings[kind].title : name;
}

/* A name of a channel listing that can be put into a request path: "."
 * and ".." would be taken as path steps by the server and name another
 * listing, which would then be cached under this name. */
static gboolean
listing_name_usable (const gchar *name)
{
  return name != NULL && *name != '\0' && strcmp (name, ".") != 0
         && strcmp (name, "..") != 0;
}

static GNode *
cached_category_tree (IsdsHttp *h, IsdsTestingListing kind, const gchar *name,
                      GError **error)
{
  if (isds_listing_is_named (kind) && !listing_name_usable (name))
    return NULL;
  g_autofree gchar *path = cache_path (h, listings[kind].file, name);
  JsonObject *entry = cache_load (path, error);
  if (entry == NULL)
    return NULL;
  g_autoptr (GError) local = NULL;
  GNode *tree = isds_json_listing (
      kind, listing_title (kind, name),
      json_object_get_array_member (entry, "data"), &local);
  json_object_unref (entry);
  if (tree == NULL)
    cache_unreadable (path, local->message, error);
  return tree;
}

/* The root: the four category listings, each counted when its listing is
 * cached.  It needs no request and is always there. */
static GNode *
root_tree (IsdsHttp *h)
{
  static const IsdsTestingListing categories[] = {
    ISDS_TESTING_GENRES, ISDS_TESTING_LANGUAGES, ISDS_TESTING_COUNTRIES,
    ISDS_TESTING_HOTPICKS,
  };
  GNode *top = isds_json_node_new (ISDS_NODE_DIRECTORY, "root", "root",
                                   G_N_ELEMENTS (categories));
  for (gsize i = 0; i < G_N_ELEMENTS (categories); i++)
    {
      GNode *tree = cached_category_tree (h, categories[i], NULL, NULL);
      gint count = tree != NULL ? (gint) g_node_n_children (tree) : 0;
      isds_browser_free_nodes_tree (tree);
      const gchar *title = listings[categories[i]].title;
      g_node_append (top, isds_json_node_new (ISDS_NODE_ENTRY, title, title,
                                              count));
    }
  return top;
}

GNode *
isds_http_list_cached (IsdsHttp *h, IsdsTestingListing kind,
                       const gchar *name, GError **error)
{
  if (kind == ISDS_TESTING_ROOT)
    return root_tree (h);
  return cached_category_tree (h, kind,
                               isds_listing_is_named (kind) ? name : NULL,
                               error);
}

static const gchar *
channel_id (GNode *channel)
{
  const IsdsNode *record = channel != NULL ? channel->data : NULL;
  return record != NULL ? record->id : NULL;
}

/* Each channel's preset as the last preset fetch for that channel left it
 * in the cache; else the channel itself, when it carries streams (it was
 * read from a cached listing). */
GSList *
isds_http_cached_preset (IsdsHttp *h, GSList *channels, GError **error)
{
  GSList *presets = NULL;
  for (GSList *l = channels; l != NULL; l = l->next)
    {
      const gchar *id = channel_id (l->data);
      if (id == NULL)
        continue;
      g_autofree gchar *path = cache_path (h, PRESET_FILE, id);
      GError *local = NULL;
      JsonObject *entry = cache_load (path, &local);
      GNode *preset = NULL;
      if (entry != NULL)
        {
          GSList only = { l->data, NULL };
          GSList *found = isds_json_presets (
              json_object_get_array_member (entry, "data"), &only);
          if (found != NULL)
            {
              preset = found->data;
              found = g_slist_delete_link (found, found);
              isds_browser_free_nodes_tree_slist (found);
            }
          json_object_unref (entry);
        }
      if (local != NULL && (error == NULL || *error == NULL))
        g_propagate_error (error, local);
      else
        g_clear_error (&local);
      const IsdsNode *record = ((GNode *) l->data)->data;
      if (preset == NULL && record->type == ISDS_NODE_CHANNEL
          && record->servers != NULL)
        preset = isds_browser_copy_nodes_tree (l->data);
      if (preset != NULL)
        presets = g_slist_prepend (presets, preset);
    }
  return g_slist_reverse (presets);
}

/* Requests */

typedef struct
{
  IsdsBrowser *browser; /* a reference, so the browser outlives the request */
  IsdsHttp *http;
  IsdsRequestType type;
  IsdsTestingListing kind;
  gchar *name;
  GSList *channels;
  IsdsBrowserCallback cb;
  gpointer user_data;

  gchar *url;
  gchar *cache_file; /* NULL: the answer is not cached */
  gchar *host;       /* for the id request: the host it chooses a mirror for */
  SoupMessage *message;
  GCancellable *cancellable;
  GSource *deadline;
  gboolean timed_out;
  GInputStream *stream;
  GByteArray *body;
} Request;

static void
request_free (Request *r)
{
  if (r->deadline != NULL)
    {
      g_source_destroy (r->deadline);
      g_source_unref (r->deadline);
    }
  g_clear_object (&r->stream);
  g_clear_object (&r->message);
  g_clear_object (&r->cancellable);
  if (r->body != NULL)
    g_byte_array_unref (r->body);
  g_free (r->url);
  g_free (r->cache_file);
  g_free (r->host);
  g_free (r->name);
  isds_browser_free_nodes_tree_slist (r->channels);
  g_object_unref (r->browser);
  g_free (r);
}

/* The one completion of a request: calls back, then frees everything. */
static void
request_finish (Request *r, GNode *tree, GSList *presets, GError *error)
{
  /* No late deadline may cancel what is already answered. */
  if (r->deadline != NULL)
    {
      g_source_destroy (r->deadline);
      g_clear_pointer (&r->deadline, g_source_unref);
    }
  if (r->cb != NULL)
    r->cb (r->browser, tree, presets, error, r->user_data);
  isds_browser_free_nodes_tree (tree);
  isds_browser_free_nodes_tree_slist (presets);
  g_clear_error (&error);
  request_free (r);
  isds_outstanding_add (-1);
}

static void
request_fail (Request *r, gint code, const gchar *format, ...)
    G_GNUC_PRINTF (3, 4);

static void
request_fail (Request *r, gint code, const gchar *format, ...)
{
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  request_finish (r, NULL, NULL,
                  g_error_new_literal (ISDS_ERROR, code, message));
}

/* A request answered without the network (the root, a known mirror, or a
 * request that cannot be made) completes from the main loop as well. */
typedef struct
{
  Request *request;
  GNode *tree;
  GError *error;
} Immediate;

static gboolean
immediate_complete (gpointer data)
{
  Immediate *im = data;
  request_finish (im->request, im->tree, NULL, im->error);
  g_free (im);
  return G_SOURCE_REMOVE;
}

static void
complete_later (Request *r, GNode *tree, GError *error)
{
  Immediate *im = g_new0 (Immediate, 1);
  im->request = r;
  im->tree = tree;
  im->error = error;
  GSource *source = g_idle_source_new ();
  g_source_set_priority (source, G_PRIORITY_DEFAULT);
  g_source_set_callback (source, immediate_complete, im, NULL);
  g_source_attach (source, g_main_context_get_thread_default ());
  g_source_unref (source);
}

static GNode *
mirror_tree (const gchar *server)
{
  return isds_json_node_new (ISDS_NODE_DIRECTORY, server, server, 0);
}

/* TRUE when the len bytes at name are a host name of letters, digits and
 * inner dashes in dot-separated labels, whose last label is not a number:
 * no address, no port. */
static gboolean
dns_name (const gchar *name, gsize len)
{
  gsize label = 0;
  gboolean numeric = TRUE;
  if (len == 0 || len > 253)
    return FALSE;
  for (gsize i = 0; i <= len; i++)
    {
      gchar c = i < len ? name[i] : '.';
      if (c == '.')
        {
          if (label == 0 || name[i - 1] == '-')
            return FALSE;
          if (i == len && numeric)
            return FALSE;
          label = 0;
          numeric = TRUE;
        }
      else if (g_ascii_isalnum (c) || (c == '-' && label > 0))
        {
          numeric = numeric && g_ascii_isdigit (c);
          if (++label > 63)
            return FALSE;
        }
      else
        return FALSE;
    }
  return TRUE;
}

/* A server of the service's list may take the requests meant for host
 * only when it is named under the host's own domain (the host without its
 * first label, or the host itself when that would leave a bare top-level
 * domain): a list that named any address could steer them anywhere. */
static gboolean
mirror_usable (const gchar *name, const gchar *host)
{
  if (name == NULL || host == NULL)
    return FALSE;
  const gchar *dot = strchr (host, '.');
  const gchar *domain = dot != NULL && strchr (dot + 1, '.') != NULL
                            ? dot + 1
                            : host;
  gsize n = strlen (name), d = strlen (domain);
  return dns_name (domain, d) && dns_name (name, n) && n > d + 1
         && name[n - d - 1] == '.'
         && g_ascii_strcasecmp (name + n - d, domain) == 0;
}

/* Picks one of the servers the service lists for host; NULL when none is
 * usable. */
static gchar *
choose_mirror (JsonArray *array, const gchar *host)
{
  g_autoptr (GPtrArray) names = g_ptr_array_new ();
  guint n = json_array_get_length (array);
  for (guint i = 0; i < n; i++)
    {
      JsonNode *element = json_array_get_element (array, i);
      if (!JSON_NODE_HOLDS_OBJECT (element))
        continue;
      const gchar *name = isds_json_member_string (
          json_node_get_object (element), "name");
      if (mirror_usable (name, host))
        g_ptr_array_add (names, (gpointer) name);
    }
  if (names->len == 0)
    return NULL;
  return g_strdup (g_ptr_array_index (
      names, (guint) g_random_int_range (0, (gint32) names->len)));
}

static void
request_deliver (Request *r)
{
  g_autoptr (GError) error = NULL;
  g_autoptr (JsonNode) root = isds_json_parse (
      (gchar *) r->body->data, r->body->len, ISDS_JSON_ANSWER_DEPTH, &error);
  if (root != NULL && !JSON_NODE_HOLDS_ARRAY (root))
    g_set_error_literal (&error, ISDS_ERROR, ISDS_ERROR_MALFORMED,
                         "not a JSON array");
  if (error != NULL)
    {
      request_fail (r, error->code, "Malformed answer from %s: %s", r->url,
                    error->message);
      return;
    }
  JsonArray *array = json_node_get_array (root);

  if (r->type == ISDS_REQUEST_IR_ID)
    {
      g_autofree gchar *mirror = choose_mirror (array, r->host);
      if (mirror == NULL)
        {
          request_fail (r, ISDS_ERROR_MALFORMED, "No server listed by %s",
                        r->url);
          return;
        }
      IsdsHttp *h = r->http;
      if (!base_overridden (h) && g_strcmp0 (h->host, r->host) == 0)
        {
          g_free (h->mirror);
          h->mirror = g_strdup (mirror);
        }
      request_finish (r, mirror_tree (mirror), NULL, NULL);
      return;
    }

  GNode *tree = NULL;
  GSList *presets = NULL;
  if (r->type == ISDS_REQUEST_PRESET)
    presets = isds_json_presets (array, r->channels);
  else
    tree = isds_json_listing (r->kind, listing_title (r->kind, r->name),
                              array, &error);
  /* Only an answer that gave something replaces the cached one. */
  if (tree == NULL && presets == NULL)
    {
      if (error != NULL)
        request_fail (r, error->code, "Malformed answer from %s: %s", r->url,
                      error->message);
      else
        request_fail (r, ISDS_ERROR_NO_UPDATED_DATA,
                      "None of the stations asked for is listed");
      return;
    }
  if (r->cache_file != NULL)
    {
      SoupMessageHeaders *headers
          = soup_message_get_response_headers (r->message);
      cache_store (r->http, r->cache_file, r->url,
                   soup_message_headers_get_one (headers, "ETag"),
                   soup_message_headers_get_one (headers, "Last-Modified"),
                   root);
    }
  request_finish (r, tree, presets, NULL);
}

/* The failure of a request that got no answer, named for the user: the
 * message begins with the reason ("Timeout", "No network", "Name not
 * resolved", "Connection refused"), then the details. */
static void
request_failed_io (Request *r, GError *error)
{
  g_autoptr (GUri) uri = g_uri_parse (r->url, SOUP_HTTP_URI_FLAGS, NULL);
  const gchar *host = uri != NULL && g_uri_get_host (uri) != NULL
                          ? g_uri_get_host (uri)
                          : r->url;
  if (r->timed_out)
    request_fail (r, ISDS_ERROR_TIMED_OUT,
                  "Timeout: no answer from %s within %u ms", r->url,
                  r->http->timeout_ms);
  else if (g_error_matches (error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
    request_fail (r, ISDS_ERROR_TIMED_OUT, "Timeout: no answer from %s: %s",
                  r->url, error->message);
  else if (error->domain == G_RESOLVER_ERROR)
    request_fail (r, ISDS_ERROR_FAILED, "Name not resolved: %s (%s)", host,
                  error->message);
  else if (g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED))
    {
      gint port = uri != NULL ? g_uri_get_port (uri) : -1;
      if (port < 0)
        port = uri != NULL && g_strcmp0 (g_uri_get_scheme (uri), "http") == 0
                   ? 80
                   : 443;
      request_fail (r, ISDS_ERROR_FAILED, "Connection refused by %s:%d", host,
                    port);
    }
  else if (g_error_matches (error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE)
           || g_error_matches (error, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE))
    request_fail (r, ISDS_ERROR_FAILED, "No network: %s cannot be reached (%s)",
                  host, error->message);
  else
    request_fail (r, ISDS_ERROR_FAILED, "Cannot fetch %s: %s", r->url,
                  error->message);
}

static void on_read (GObject *source, GAsyncResult *result, gpointer data);

static void
read_more (Request *r)
{
  g_input_stream_read_bytes_async (r->stream, READ_CHUNK, G_PRIORITY_DEFAULT,
                                   r->cancellable, on_read, r);
}

static void
on_read (GObject *source, GAsyncResult *result, gpointer data)
{
  Request *r = data;
  g_autoptr (GError) error = NULL;
  g_autoptr (GBytes) bytes = g_input_stream_read_bytes_finish (
      G_INPUT_STREAM (source), result, &error);
  if (bytes == NULL)
    {
      request_failed_io (r, error);
      return;
    }
  gsize size = g_bytes_get_size (bytes);
  if (size == 0)
    {
      request_deliver (r);
      return;
    }
  if (r->body->len + size > r->http->max_body)
    {
      request_fail (r, ISDS_ERROR_TOO_LARGE,
                    "The answer from %s is larger than %" G_GSIZE_FORMAT
                    " bytes",
                    r->url, r->http->max_body);
      return;
    }
  g_byte_array_append (r->body, g_bytes_get_data (bytes, NULL), (guint) size);
  read_more (r);
}

static void
on_sent (GObject *source, GAsyncResult *result, gpointer data)
{
  Request *r = data;
  g_autoptr (GError) error = NULL;
  r->stream = soup_session_send_finish (SOUP_SESSION (source), result,
                                        &error);
  if (r->stream == NULL)
    {
      request_failed_io (r, error);
      return;
    }
  guint status = soup_message_get_status (r->message);
  if (status == SOUP_STATUS_NOT_MODIFIED)
    {
      request_fail (r, ISDS_ERROR_NO_UPDATED_DATA,
                    "The listing at %s has not changed", r->url);
      return;
    }
  if (status != SOUP_STATUS_OK)
    {
      request_fail (r, ISDS_ERROR_HTTP, "HTTP status %u %s from %s", status,
                    soup_message_get_reason_phrase (r->message), r->url);
      return;
    }
  goffset announced = soup_message_headers_get_content_length (
      soup_message_get_response_headers (r->message));
  if (announced > 0 && (guint64) announced > r->http->max_body)
    {
      request_fail (r, ISDS_ERROR_TOO_LARGE,
                    "The answer from %s is larger than %" G_GSIZE_FORMAT
                    " bytes",
                    r->url, r->http->max_body);
      return;
    }
  r->body = g_byte_array_new ();
  read_more (r);
}

static gboolean
on_deadline (gpointer data)
{
  Request *r = data;
  r->timed_out = TRUE;
  g_cancellable_cancel (r->cancellable);
  g_clear_pointer (&r->deadline, g_source_unref);
  return G_SOURCE_REMOVE;
}

static gchar *
escaped_ids (GSList *channels)
{
  GString *ids = g_string_new (NULL);
  for (GSList *l = channels; l != NULL; l = l->next)
    {
      const gchar *id = channel_id (l->data);
      if (id == NULL)
        continue;
      g_autofree gchar *escaped = g_uri_escape_string (id, NULL, FALSE);
      if (ids->len > 0)
        g_string_append_c (ids, ',');
      g_string_append (ids, escaped);
    }
  return g_string_free (ids, FALSE);
}

/* The request's path below the base URL, and its cache file; FALSE when
 * there is nothing to ask for. */
static gboolean
request_target (Request *r, gchar **path, gchar **cache_file)
{
  IsdsHttp *h = r->http;
  *cache_file = NULL;
  if (r->type == ISDS_REQUEST_IR_ID)
    {
      *path = g_strdup (SERVERS_PATH);
      return TRUE;
    }
  if (r->type == ISDS_REQUEST_PRESET)
    {
      g_autofree gchar *ids = escaped_ids (r->channels);
      if (*ids == '\0')
        return FALSE;
      *path = g_strdup_printf (PRESET_PATH, ids);
      /* The preset of one channel is what the cache keeps. */
      if (r->channels->next == NULL)
        *cache_file = cache_path (h, PRESET_FILE, channel_id (r->channels->data));
      return TRUE;
    }
  const Listing *listing = &listings[r->kind];
  if (isds_listing_is_named (r->kind))
    {
      g_autofree gchar *escaped = g_uri_escape_string (r->name, NULL, FALSE);
      *path = g_strdup_printf (listing->path, escaped);
      *cache_file = cache_path (h, listing->file, r->name);
    }
  else
    {
      *path = g_strdup (listing->path);
      *cache_file = cache_path (h, listing->file, NULL);
    }
  return TRUE;
}

static void
request_send (Request *r)
{
  IsdsHttp *h = r->http;
  GError *error = NULL;
  if (!ensure_session (h, &error))
    {
      complete_later (r, NULL, error);
      return;
    }
  g_autofree gchar *base = base_url (h, &error);
  if (base == NULL)
    {
      complete_later (r, NULL, error);
      return;
    }
  g_autofree gchar *path = NULL;
  if (!request_target (r, &path, &r->cache_file))
    {
      complete_later (r, NULL,
                      g_error_new_literal (ISDS_ERROR, ISDS_ERROR_FAILED,
                                           "No channel to ask for"));
      return;
    }
  r->url = g_strconcat (base, path, NULL);
  g_autoptr (GUri) uri = g_uri_parse (r->url, SOUP_HTTP_URI_FLAGS, NULL);
  if (uri == NULL
      || (g_strcmp0 (g_uri_get_scheme (uri), "http") != 0
          && g_strcmp0 (g_uri_get_scheme (uri), "https") != 0))
    {
      complete_later (r, NULL,
                      g_error_new (ISDS_ERROR, ISDS_ERROR_HTTP_ENV_NOT_SET,
                                   "Unusable service URL %s", r->url));
      return;
    }
  r->message = soup_message_new_from_uri ("GET", uri);
  SoupMessageHeaders *headers = soup_message_get_request_headers (r->message);
  soup_message_headers_replace (headers, "Accept", "application/json");

  if (r->cache_file != NULL)
    {
      JsonObject *entry = cache_load (r->cache_file, NULL);
      if (entry != NULL)
        {
          const gchar *etag = isds_json_member_string (entry, "etag");
          const gchar *modified = isds_json_member_string (entry,
                                                           "last-modified");
          if (etag != NULL)
            soup_message_headers_replace (headers, "If-None-Match", etag);
          if (modified != NULL)
            soup_message_headers_replace (headers, "If-Modified-Since",
                                          modified);
          json_object_unref (entry);
        }
    }

  r->cancellable = g_cancellable_new ();
  r->deadline = g_timeout_source_new (h->timeout_ms);
  g_source_set_callback (r->deadline, on_deadline, r, NULL);
  g_source_attach (r->deadline, g_main_context_get_thread_default ());
  soup_session_send_async (h->session, r->message, G_PRIORITY_DEFAULT,
                           r->cancellable, on_sent, r);
}

gboolean
isds_http_request (IsdsBrowser *b, IsdsHttp *h, IsdsRequestType type,
                   IsdsTestingListing kind, gchar *name, GSList *channels,
                   IsdsBrowserCallback cb, gpointer user_data)
{
  if ((type == ISDS_REQUEST_LISTING && isds_listing_is_named (kind)
       && name == NULL)
      || (type == ISDS_REQUEST_PRESET && channels == NULL))
    {
      g_free (name);
      isds_browser_free_nodes_tree_slist (channels);
      return FALSE;
    }
  /* The store asks for the id on every browsing operation; the mirror is
   * chosen once per host. */
  if (type == ISDS_REQUEST_IR_ID && cb == NULL
      && (h->mirror_asked || base_overridden (h)))
    return TRUE;

  Request *r = g_new0 (Request, 1);
  r->browser = g_object_ref (b);
  r->http = h;
  r->type = type;
  r->kind = kind;
  r->name = name;
  r->channels = channels;
  r->cb = cb;
  r->user_data = user_data;
  isds_outstanding_add (1);

  if (type == ISDS_REQUEST_LISTING && kind == ISDS_TESTING_ROOT)
    complete_later (r, root_tree (h), NULL);
  else if (type == ISDS_REQUEST_LISTING && isds_listing_is_named (kind)
           && !listing_name_usable (name))
    complete_later (r, NULL,
                    g_error_new (ISDS_ERROR, ISDS_ERROR_FAILED,
                                 "No listing can be named \"%s\"", name));
  else if (type == ISDS_REQUEST_IR_ID && h->mirror != NULL)
    complete_later (r, mirror_tree (h->mirror), NULL);
  else
    {
      if (type == ISDS_REQUEST_IR_ID)
        {
          h->mirror_asked = TRUE;
          r->host = g_strdup (h->host);
        }
      request_send (r);
    }
  return TRUE;
}
