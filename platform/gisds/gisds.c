/* Station directory client: the browser object and the scripted mode for
 * tests (listings cached in memory, fresh listings delivered from the main
 * loop).  Browsers that are not scripted hand their work to the HTTP
 * backend of gisds-http.c; the trees both build are those of
 * gisds-nodes.c. */
#include "gisds.h"
#include "gisds-private.h"

#include <string.h>

struct _IsdsBrowser
{
  GObject parent_instance;

  gboolean scripted;
  IsdsHttp *http; /* the backend of a browser that is not scripted */

  gboolean connected;
  gchar *host;
  GHashTable *cache;   /* listing key -> tree */
  GHashTable *fresh;   /* listing key -> tree delivered by the next request */
  GHashTable *presets; /* channel id -> channel tree */
  GString *log;

  /* scripted behaviour */
  gboolean connect_refused;
  gint connect_error;
  gint cache_error;
  gint completion_error;
  gboolean completion_with_data;
  gboolean refuse_requests;
};

typedef struct
{
  GObjectClass parent_class;
} IsdsBrowserClass;

G_DEFINE_TYPE (IsdsBrowser, isds_browser, G_TYPE_OBJECT)

#define ISDS_IS_BROWSER(obj) (G_TYPE_CHECK_INSTANCE_TYPE ((obj), ISDS_TYPE_BROWSER))

static IsdsBrowser *last_created;
static gboolean scripted_mode;

/* The browser object */

static void
isds_browser_finalize (GObject *object)
{
  IsdsBrowser *b = (IsdsBrowser *) object;
  if (last_created == b)
    last_created = NULL;
  g_hash_table_destroy (b->cache);
  g_hash_table_destroy (b->fresh);
  g_hash_table_destroy (b->presets);
  g_string_free (b->log, TRUE);
  g_free (b->host);
  g_clear_pointer (&b->http, isds_http_free);
  G_OBJECT_CLASS (isds_browser_parent_class)->finalize (object);
}

static void
isds_browser_class_init (IsdsBrowserClass *klass)
{
  G_OBJECT_CLASS (klass)->finalize = isds_browser_finalize;
}

static void
isds_browser_init (IsdsBrowser *b)
{
  GDestroyNotify free_tree = (GDestroyNotify) isds_browser_free_nodes_tree;
  b->cache = g_hash_table_new_full (g_str_hash, g_str_equal, g_free,
                                    free_tree);
  b->fresh = g_hash_table_new_full (g_str_hash, g_str_equal, g_free,
                                    free_tree);
  b->presets = g_hash_table_new_full (g_str_hash, g_str_equal, g_free,
                                      free_tree);
  b->log = g_string_new (NULL);
  b->connect_error = -1;
  b->cache_error = -1;
  b->completion_error = -1;
  b->completion_with_data = TRUE;
  b->scripted = scripted_mode;
  if (!b->scripted)
    b->http = isds_http_new ();
  last_created = b;
}

IsdsBrowser *
isds_browser_new (void)
{
  return g_object_new (ISDS_TYPE_BROWSER, NULL);
}

static void
log_call (IsdsBrowser *b, const gchar *what, const gchar *arg)
{
  if (b->log->len > 0)
    g_string_append_c (b->log, ';');
  g_string_append (b->log, what);
  if (arg != NULL)
    {
      g_string_append_c (b->log, ':');
      g_string_append (b->log, arg);
    }
}

gboolean
isds_browser_connect (IsdsBrowser *b, GError **error)
{
  g_return_val_if_fail (ISDS_IS_BROWSER (b), FALSE);
  if (!b->scripted)
    return isds_http_connect (b->http, error);
  log_call (b, "connect", NULL);
  if (b->connect_refused)
    {
      b->connected = FALSE;
      if (b->connect_error >= 0)
        g_set_error (error, ISDS_ERROR, b->connect_error,
                     "Cannot connect to the directory service");
      return FALSE;
    }
  b->connected = TRUE;
  return TRUE;
}

void
isds_browser_set_host (IsdsBrowser *b, const gchar *host)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  if (!b->scripted)
    {
      isds_http_set_host (b->http, host);
      return;
    }
  log_call (b, "set_host", host);
  gchar *copy = g_strdup (host);
  g_free (b->host);
  b->host = copy;
}

/* Cached listings */

static const gchar *const listing_names[] = {
  "root", "genres", "languages", "countries", "hotpicks",
  "genre_channels", "language_channels", "country_channels",
};

static gchar *
listing_key (IsdsTestingListing kind, const gchar *name)
{
  return g_strdup_printf ("%d\n%s", (gint) kind, name != NULL ? name : "");
}

static GNode *
list_cached (IsdsBrowser *b, IsdsTestingListing kind, const gchar *name,
             GError **error)
{
  if (!b->scripted)
    return isds_http_list_cached (b->http, kind, name, error);
  g_autofree gchar *what = g_strconcat ("cached_", listing_names[kind], NULL);
  log_call (b, what, isds_listing_is_named (kind) ? (name != NULL ? name : "") : NULL);
  g_autofree gchar *key = listing_key (kind, name);
  GNode *tree = isds_browser_copy_nodes_tree (g_hash_table_lookup (b->cache,
                                                                   key));
  if (b->cache_error >= 0)
    g_set_error (error, ISDS_ERROR, b->cache_error,
                 "Cannot read the directory cache");
  return tree;
}

#define CACHED_LISTING(fn, kind)                                            \
  GNode *fn (IsdsBrowser *b, GError **error)                                \
  {                                                                         \
    g_return_val_if_fail (ISDS_IS_BROWSER (b), NULL);                       \
    return list_cached (b, kind, NULL, error);                              \
  }
#define CACHED_CHANNELS(fn, kind)                                           \
  GNode *fn (IsdsBrowser *b, const gchar *name, GError **error)             \
  {                                                                         \
    g_return_val_if_fail (ISDS_IS_BROWSER (b), NULL);                       \
    g_return_val_if_fail (name != NULL, NULL);                              \
    return list_cached (b, kind, name, error);                              \
  }

CACHED_LISTING (isds_browser_list_cached_root, ISDS_TESTING_ROOT)
CACHED_LISTING (isds_browser_list_cached_genres, ISDS_TESTING_GENRES)
CACHED_LISTING (isds_browser_list_cached_languages, ISDS_TESTING_LANGUAGES)
CACHED_LISTING (isds_browser_list_cached_countries, ISDS_TESTING_COUNTRIES)
CACHED_LISTING (isds_browser_list_cached_hotpicks, ISDS_TESTING_HOTPICKS)
CACHED_CHANNELS (isds_browser_list_cached_genre_channels,
                 ISDS_TESTING_GENRE_CHANNELS)
CACHED_CHANNELS (isds_browser_list_cached_language_channels,
                 ISDS_TESTING_LANGUAGE_CHANNELS)
CACHED_CHANNELS (isds_browser_list_cached_country_channels,
                 ISDS_TESTING_COUNTRY_CHANNELS)

typedef struct
{
  const gchar *id;
  GNode *found;
} FindInCache;

static void
find_in_listing (gpointer key, gpointer tree, gpointer data)
{
  FindInCache *find = data;
  (void) key;
  if (find->found == NULL)
    find->found = isds_browser_find_channel_node (tree, find->id);
}

/* A copy of the preset of the channel with this id: the preset kept for
 * it, else the channel as some cached listing holds it. */
static GNode *
preset_of (IsdsBrowser *b, const gchar *id)
{
  if (id == NULL)
    return NULL;
  GNode *preset = g_hash_table_lookup (b->presets, id);
  if (preset == NULL)
    {
      FindInCache find = { id, NULL };
      g_hash_table_foreach (b->cache, find_in_listing, &find);
      preset = find.found;
    }
  return isds_browser_copy_nodes_tree (preset);
}

static const gchar *
channel_id (GNode *channel)
{
  const IsdsNode *record = channel != NULL ? channel->data : NULL;
  return record != NULL ? record->id : NULL;
}

static GSList *
presets_of (IsdsBrowser *b, GSList *channels)
{
  GSList *presets = NULL;
  for (GSList *l = channels; l != NULL; l = l->next)
    {
      GNode *preset = preset_of (b, channel_id (l->data));
      if (preset != NULL)
        presets = g_slist_prepend (presets, preset);
    }
  return g_slist_reverse (presets);
}

static gchar *
channel_ids (GSList *channels)
{
  GString *ids = g_string_new (NULL);
  for (GSList *l = channels; l != NULL; l = l->next)
    {
      const gchar *id = channel_id (l->data);
      if (l != channels)
        g_string_append_c (ids, ',');
      g_string_append (ids, id != NULL ? id : "");
    }
  return g_string_free (ids, FALSE);
}

GSList *
isds_browser_get_cached_preset (IsdsBrowser *b, GSList *channels,
                                GError **error)
{
  g_return_val_if_fail (ISDS_IS_BROWSER (b), NULL);
  if (!b->scripted)
    return isds_http_cached_preset (b->http, channels, error);
  g_autofree gchar *ids = channel_ids (channels);
  log_call (b, "cached_preset", ids);
  GSList *presets = presets_of (b, channels);
  if (b->cache_error >= 0)
    g_set_error (error, ISDS_ERROR, b->cache_error,
                 "Cannot read the directory cache");
  return presets;
}

/* Asynchronous requests */

typedef IsdsRequestType RequestType;
#define REQUEST_LISTING ISDS_REQUEST_LISTING
#define REQUEST_PRESET ISDS_REQUEST_PRESET
#define REQUEST_IR_ID ISDS_REQUEST_IR_ID

typedef struct
{
  IsdsBrowser *browser; /* a reference, so the browser outlives the request */
  RequestType type;
  IsdsTestingListing kind;
  gchar *name;
  GSList *channels;
  IsdsBrowserCallback cb;
  gpointer user_data;
} Request;

static void
request_free (Request *r)
{
  g_object_unref (r->browser);
  g_free (r->name);
  isds_browser_free_nodes_tree_slist (r->channels);
  g_free (r);
}

/* The fresh listing for a request: the scripted fresh one (which then
 * becomes the cached one), else a copy of the cached one. */
static GNode *
fresh_listing (IsdsBrowser *b, IsdsTestingListing kind, const gchar *name)
{
  g_autofree gchar *key = listing_key (kind, name);
  gpointer stolen_key = NULL, tree = NULL;
  if (g_hash_table_steal_extended (b->fresh, key, &stolen_key, &tree))
    {
      g_hash_table_replace (b->cache, stolen_key,
                            isds_browser_copy_nodes_tree (tree));
      return tree;
    }
  return isds_browser_copy_nodes_tree (g_hash_table_lookup (b->cache, key));
}

static gboolean
request_complete (gpointer data)
{
  Request *r = data;
  IsdsBrowser *b = r->browser;
  GNode *tree = NULL;
  GSList *presets = NULL;
  GError *error = NULL;

  if (r->type != REQUEST_IR_ID)
    {
      if (!b->connected)
        g_set_error (&error, ISDS_ERROR, 1,
                     "Not connected to the directory service");
      else if (b->completion_error >= 0)
        g_set_error (&error, ISDS_ERROR, b->completion_error,
                     "Scripted directory error");
      if (b->connected && b->completion_with_data)
        {
          if (r->type == REQUEST_LISTING)
            tree = fresh_listing (b, r->kind, r->name);
          else
            presets = presets_of (b, r->channels);
        }
      if (error == NULL && tree == NULL && presets == NULL)
        g_set_error (&error, ISDS_ERROR, ISDS_ERROR_NO_UPDATED_DATA,
                     "No updated data");
    }

  if (r->cb != NULL)
    r->cb (b, tree, presets, error, r->user_data);

  isds_browser_free_nodes_tree (tree);
  isds_browser_free_nodes_tree_slist (presets);
  g_clear_error (&error);
  request_free (r);
  isds_outstanding_add (-1);
  return G_SOURCE_REMOVE;
}

/* Takes over name and channels in every case. */
static gboolean
request_start (IsdsBrowser *b, RequestType type, IsdsTestingListing kind,
               gchar *name, GSList *channels, IsdsBrowserCallback cb,
               gpointer user_data)
{
  if (!ISDS_IS_BROWSER (b) || (type != REQUEST_IR_ID && cb == NULL))
    {
      g_free (name);
      isds_browser_free_nodes_tree_slist (channels);
      g_return_val_if_fail (ISDS_IS_BROWSER (b), FALSE);
      g_return_val_if_fail (cb != NULL, FALSE);
      return FALSE;
    }

  if (!b->scripted)
    return isds_http_request (b, b->http, type, kind, name, channels, cb,
                              user_data);

  if (type == REQUEST_IR_ID)
    log_call (b, "get_ir_id", NULL);
  else if (type == REQUEST_PRESET)
    {
      g_autofree gchar *ids = channel_ids (channels);
      log_call (b, "get_preset", ids);
    }
  else
    {
      g_autofree gchar *what = g_strconcat ("list_", listing_names[kind], NULL);
      log_call (b, what, isds_listing_is_named (kind) ? (name != NULL ? name : "") : NULL);
    }

  if (b->refuse_requests || (isds_listing_is_named (kind) && type == REQUEST_LISTING
                             && name == NULL))
    {
      g_free (name);
      isds_browser_free_nodes_tree_slist (channels);
      return FALSE;
    }

  Request *r = g_new0 (Request, 1);
  r->browser = g_object_ref (b);
  r->type = type;
  r->kind = kind;
  r->name = name;
  r->channels = channels;
  r->cb = cb;
  r->user_data = user_data;
  isds_outstanding_add (1);

  GSource *source = g_idle_source_new ();
  g_source_set_priority (source, G_PRIORITY_DEFAULT);
  g_source_set_callback (source, request_complete, r, NULL);
  g_source_attach (source, g_main_context_get_thread_default ());
  g_source_unref (source);
  return TRUE;
}

gboolean
isds_browser_async_get_ir_id (IsdsBrowser *b, IsdsBrowserCallback cb,
                              gpointer user_data)
{
  return request_start (b, REQUEST_IR_ID, ISDS_TESTING_ROOT, NULL, NULL, cb,
                        user_data);
}

#define ASYNC_LISTING(fn, kind)                                             \
  gboolean fn (IsdsBrowser *b, IsdsBrowserCallback cb, gpointer user_data)  \
  {                                                                         \
    return request_start (b, REQUEST_LISTING, kind, NULL, NULL, cb,         \
                          user_data);                                       \
  }
#define ASYNC_CHANNELS(fn, kind)                                            \
  gboolean fn (IsdsBrowser *b, IsdsBrowserCallback cb, gchar *name,         \
               gpointer user_data)                                          \
  {                                                                         \
    return request_start (b, REQUEST_LISTING, kind, name, NULL, cb,         \
                          user_data);                                       \
  }

ASYNC_LISTING (isds_browser_async_list_root, ISDS_TESTING_ROOT)
ASYNC_LISTING (isds_browser_async_list_genres, ISDS_TESTING_GENRES)
ASYNC_LISTING (isds_browser_async_list_languages, ISDS_TESTING_LANGUAGES)
ASYNC_LISTING (isds_browser_async_list_countries, ISDS_TESTING_COUNTRIES)
ASYNC_LISTING (isds_browser_async_list_hotpicks, ISDS_TESTING_HOTPICKS)
ASYNC_CHANNELS (isds_browser_async_list_genre_channels,
                ISDS_TESTING_GENRE_CHANNELS)
ASYNC_CHANNELS (isds_browser_async_list_language_channels,
                ISDS_TESTING_LANGUAGE_CHANNELS)
ASYNC_CHANNELS (isds_browser_async_list_country_channels,
                ISDS_TESTING_COUNTRY_CHANNELS)

gboolean
isds_browser_async_get_preset (IsdsBrowser *b, IsdsBrowserCallback cb,
                               GSList *channels, gpointer user_data)
{
  return request_start (b, REQUEST_PRESET, ISDS_TESTING_ROOT, NULL, channels,
                        cb, user_data);
}

/* Testing hooks */

void
isds_browser_testing_set_scripted (gboolean scripted)
{
  scripted_mode = scripted;
}

void
isds_browser_testing_set_base_url (IsdsBrowser *b, const gchar *base_url)
{
  g_return_if_fail (ISDS_IS_BROWSER (b) && !b->scripted);
  isds_http_set_base_url (b->http, base_url);
}

void
isds_browser_testing_set_limits (IsdsBrowser *b, guint timeout_ms,
                                 gsize max_body)
{
  g_return_if_fail (ISDS_IS_BROWSER (b) && !b->scripted);
  isds_http_set_limits (b->http, timeout_ms, max_body);
}

const gchar *
isds_browser_testing_get_cache_dir (IsdsBrowser *b)
{
  g_return_val_if_fail (ISDS_IS_BROWSER (b) && !b->scripted, NULL);
  return isds_http_cache_dir (b->http);
}

IsdsBrowser *
isds_browser_testing_last_created (void)
{
  return last_created;
}

GNode *
isds_browser_testing_node_new (gint type, const gchar *name, const gchar *id,
                               gint count, const gchar *description,
                               const gchar *genre)
{
  IsdsNode *record = isds_node_record_new ();
  record->type = type;
  record->name = g_strdup (name);
  record->id = g_strdup (id);
  record->count = count;
  record->description = g_strdup (description);
  if (genre != NULL)
    {
      IsdsGenre *g = g_new0 (IsdsGenre, 1);
      g->name = g_strdup (genre);
      record->genres = g_slist_append (NULL, g);
    }
  return g_node_new (record);
}

GNode *
isds_browser_testing_node_append (GNode *parent, GNode *child)
{
  return g_node_append (parent, child);
}

void
isds_browser_testing_node_add_server (GNode *channel, const gchar *name,
                                      const gchar *url, gint bitrate)
{
  g_return_if_fail (channel != NULL && channel->data != NULL);
  IsdsNode *record = channel->data;
  IsdsServer *s = g_new0 (IsdsServer, 1);
  s->name = g_strdup (name);
  s->url = g_strdup (url);
  s->bitrate = bitrate;
  record->servers = g_slist_append (record->servers, s);
}

static void
set_listing (GHashTable *table, IsdsTestingListing kind, const gchar *name,
             GNode *tree)
{
  gchar *key = listing_key (kind, name);
  if (tree != NULL)
    g_hash_table_replace (table, key, tree);
  else
    {
      g_hash_table_remove (table, key);
      g_free (key);
    }
}

void
isds_browser_testing_set_cached (IsdsBrowser *b, IsdsTestingListing kind,
                                 const gchar *name, GNode *tree)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  set_listing (b->cache, kind, name, tree);
}

void
isds_browser_testing_set_fresh (IsdsBrowser *b, IsdsTestingListing kind,
                                const gchar *name, GNode *tree)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  set_listing (b->fresh, kind, name, tree);
}

void
isds_browser_testing_set_preset (IsdsBrowser *b, GNode *channel)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  const gchar *id = channel_id (channel);
  g_return_if_fail (id != NULL);
  g_hash_table_replace (b->presets, g_strdup (id), channel);
}

void
isds_browser_testing_refuse_connect (IsdsBrowser *b, gint code)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  b->connect_refused = TRUE;
  b->connect_error = code;
}

void
isds_browser_testing_allow_connect (IsdsBrowser *b)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  b->connect_refused = FALSE;
  b->connect_error = -1;
}

void
isds_browser_testing_set_cache_error (IsdsBrowser *b, gint code)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  b->cache_error = code;
}

void
isds_browser_testing_script_completion (IsdsBrowser *b, gint code,
                                        gboolean with_data)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  b->completion_error = code;
  b->completion_with_data = with_data;
}

void
isds_browser_testing_refuse_requests (IsdsBrowser *b, gboolean refuse)
{
  g_return_if_fail (ISDS_IS_BROWSER (b));
  b->refuse_requests = refuse;
}

gchar *
isds_browser_testing_take_log (IsdsBrowser *b)
{
  g_return_val_if_fail (ISDS_IS_BROWSER (b), NULL);
  gchar *log = g_strdup (b->log->str);
  g_string_truncate (b->log, 0);
  return log;
}

const gchar *
isds_browser_testing_get_host (IsdsBrowser *b)
{
  g_return_val_if_fail (ISDS_IS_BROWSER (b), NULL);
  return b->host;
}
