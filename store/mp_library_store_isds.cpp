/* The station directory store: answers from the directory client's cache
 * at once, and passes the fresh data on when the client delivers it. */
#include "mp_library_store_isds.h"

#include <string.h>

#include "conic.h"
#include "gisds.h"
#include "metadata.h"
#include "mp_media_resource.h"
#include "tessel-private.h"

/* The directory service the browser is pointed at after every connect. */
#define DIRECTORY_HOST "all.api.radio-browser.info"

/* The caller's callback, travelling as user data of a client request. */
struct CallbackData
{
  MpLibraryStoreIsdsCallback callback;
  gpointer user_data;
};

typedef GNode *(*CachedListing) (IsdsBrowser *, GError **);
typedef GNode *(*CachedNamedListing) (IsdsBrowser *, const gchar *,
                                      GError **);
typedef gboolean (*AsyncListing) (IsdsBrowser *, IsdsBrowserCallback,
                                  gpointer);
typedef gboolean (*AsyncNamedListing) (IsdsBrowser *, IsdsBrowserCallback,
                                       gchar *, gpointer);
typedef gboolean (*AsyncPreset) (IsdsBrowser *, IsdsBrowserCallback,
                                 GSList *, gpointer);

/* One kind of directory request: how its cached answer is read and how its
 * fresh answer is asked for.  Exactly one of each pair is set, except for
 * presets, which have their own cache lookup. */
struct RequestKind
{
  CachedListing cached;
  CachedNamedListing cached_named;
  AsyncListing async;
  AsyncNamedListing async_named;
  AsyncPreset async_preset;
};

static const RequestKind request_root = {
  isds_browser_list_cached_root, NULL, isds_browser_async_list_root, NULL,
  NULL,
};
static const RequestKind request_genres = {
  isds_browser_list_cached_genres, NULL, isds_browser_async_list_genres,
  NULL, NULL,
};
static const RequestKind request_languages = {
  isds_browser_list_cached_languages, NULL,
  isds_browser_async_list_languages, NULL, NULL,
};
static const RequestKind request_countries = {
  isds_browser_list_cached_countries, NULL,
  isds_browser_async_list_countries, NULL, NULL,
};
static const RequestKind request_hotpicks = {
  isds_browser_list_cached_hotpicks, NULL, isds_browser_async_list_hotpicks,
  NULL, NULL,
};
static const RequestKind request_genre_channels = {
  NULL, isds_browser_list_cached_genre_channels, NULL,
  isds_browser_async_list_genre_channels, NULL,
};
static const RequestKind request_language_channels = {
  NULL, isds_browser_list_cached_language_channels, NULL,
  isds_browser_async_list_language_channels, NULL,
};
static const RequestKind request_country_channels = {
  NULL, isds_browser_list_cached_country_channels, NULL,
  isds_browser_async_list_country_channels, NULL,
};
static const RequestKind request_preset = {
  NULL, NULL, NULL, NULL, isds_browser_async_get_preset,
};

/* The waiting slot: at most one request waiting for the connection. */
struct PendingRequest
{
  const RequestKind *request;
  gchar *name;
  GSList *channels;
  CallbackData *callback_data;
  /* Set while the store is finalized: nothing may wait any more. */
  gboolean closed;
};

/* A connection event on its way to the idle handler. */
struct ConnectionEventData
{
  gint status;
  MpLibraryStoreIsds *store;
  guint source_id;
};

struct _MpLibraryStoreIsdsPrivate
{
  IsdsBrowser *browser;
  ConIcConnection *connection;
  gboolean connecting;
  gboolean connected;
  PendingRequest *pending;
  /* Events not applied yet; finalization removes their idle sources, so
   * none of them reaches a freed store. */
  GList *events;
};

enum RequestMode
{
  MODE_OFFLINE,
  MODE_ISSUE,
  MODE_DEFER
};

/* GLib's macro registers the type once, whichever threads ask first; the
 * private record is the type system's, zero-filled with the instance. */
G_DEFINE_TYPE_WITH_PRIVATE (MpLibraryStoreIsds, mp_library_store_isds,
                            MP_TYPE_LIBRARY_STORE)

static gboolean _on_request_done (IsdsBrowser *browser, GNode *tree,
                                  GSList *presets, GError *error,
                                  gpointer user_data) noexcept;

static CallbackData *
_callback_data_new (MpLibraryStoreIsdsCallback callback, gpointer user_data)
{
  CallbackData *data = g_new0 (CallbackData, 1);
  data->callback = callback;
  data->user_data = user_data;
  return data;
}

static void
_free_resource_list (GList *list)
{
  g_list_foreach (list, reinterpret_cast<GFunc> (mp_media_resource_destroy),
                  NULL);
  g_list_free (list);
}

/* Errors */

/* Tells the callback (if any) of an error without a finished request: a
 * copy of the error waiting in E when there is one, which wins over code
 * and detail. */
static void
_call_callback_with_error (MpLibraryStoreIsdsCallback callback,
                           gpointer user_data, gint code, const gchar *detail,
                           GError **E)
{
  if (callback == NULL)
    return;
  GError *error = (E != NULL && *E != NULL) ? g_error_copy (*E)
                                            : meta_error_new (code, "%s",
                                                              detail);
  callback (NULL, FALSE, error, user_data);
  g_error_free (error);
}

/* Records a client error in E as a library error, unless there is no error,
 * no location, or the location already holds one.  Client code 0 means
 * success and records nothing; codes without a meaning of their own here
 * become META_ERROR_FAILED with the client's message as the detail. */
static void
_map_isds_error (const GError *client_error, GError **E)
{
  if (client_error == NULL || E == NULL || *E != NULL)
    return;
  if (client_error->domain == isds_error_quark ())
    {
      switch (client_error->code)
        {
        case ISDS_ERROR_OK:
          return;
        case ISDS_ERROR_HTTP_ENV_NOT_SET:
          meta_set_error (E, META_ERROR_HTTP_ENV_NOT_SET, "%s",
                          "HTTP environment not set");
          return;
        case ISDS_ERROR_NO_UPDATED_DATA:
          meta_set_error (E, META_ERROR_NO_UPDATED_DATA, "%s",
                          "Not updated data available");
          return;
        default:
          break;
        }
    }
  /* The client's own message names the reason (no network, a name not
   * resolved, a refused connection, a timeout, an HTTP status), which is
   * what a user needs to hear; "Unknown error" only when it gives none. */
  const gchar *reason = client_error->message;
  meta_set_error (E, META_ERROR_FAILED, "%s",
                  reason != NULL && *reason != '\0' ? reason
                                                    : "Unknown error");
}

/* Conversions */

/* Visitor of the tree conversion: one resource for every node below the
 * top one (the walk stops at depth 2, so that means its children). */
static gboolean
_traverse_tree_node_to_media_resource_list (GNode *node,
                                            gpointer data) noexcept
{
  g_return_val_if_fail (node != NULL, FALSE);
  GList **list = static_cast<GList **> (data);
  const IsdsNode *record = static_cast<const IsdsNode *> (node->data);
  /* A node without a record has nothing to show; skip it rather than read
   * through a null pointer. */
  if (G_NODE_IS_ROOT (node) || record == NULL)
    return FALSE;

  MpMediaResource *resource = mp_media_resource_new ();
  mp_media_resource_set_count (resource, record->count);
  if (record->type == ISDS_NODE_CHANNEL)
    {
      if (record->servers != NULL && record->servers->data != NULL)
        {
          const IsdsServer *server = static_cast<const IsdsServer *> (
              record->servers->data);
          if (server->name != NULL)
            mp_media_resource_set_uri (resource, server->name);
          else if (server->url != NULL)
            mp_media_resource_set_uri (resource, server->url);
          else
            {
              g_autofree gchar *bitrate = g_strdup_printf ("%d",
                                                           server->bitrate);
              mp_media_resource_set_uri (resource, bitrate);
            }
        }
      if (mp_media_resource_get_uri (resource) == NULL)
        mp_media_resource_set_uri (resource, record->name);
    }
  mp_media_resource_set_title (resource, record->name);
  mp_media_resource_set_description (resource, record->description);
  mp_media_resource_set_id (resource, record->id);
  if (record->genres != NULL && record->genres->data != NULL)
    mp_media_resource_set_genre (
        resource, static_cast<const IsdsGenre *> (record->genres->data)->name);
  *list = g_list_prepend (*list, resource);
  return FALSE;
}

/* One resource per direct child of the tree's top node, in child order. */
static GList *
_tree_to_media_resource_list (GNode *tree)
{
  GList *list = NULL;
  g_node_traverse (tree, G_IN_ORDER, G_TRAVERSE_ALL, 2,
                   _traverse_tree_node_to_media_resource_list, &list);
  return g_list_reverse (list);
}

static void
_foreach_server_to_media_resource_list (gpointer data,
                                        gpointer user_data) noexcept
{
  g_return_if_fail (data != NULL);
  g_return_if_fail (user_data != NULL);
  const IsdsServer *server = static_cast<const IsdsServer *> (data);
  GList **list = static_cast<GList **> (user_data);
  if (server->url == NULL)
    return;
  MpMediaResource *resource = mp_media_resource_new ();
  mp_media_resource_set_uri (resource, server->url);
  mp_media_resource_set_bitrate (resource, server->bitrate);
  mp_media_resource_set_is_stream (resource, TRUE);
  mp_media_resource_set_title (resource, server->name != NULL ? server->name
                                                              : server->url);
  *list = g_list_prepend (*list, resource);
}

/* The streams of a channel node as stream resources in server order;
 * empty for a node that is not a channel or has no servers. */
static GList *
_channel_node_to_media_resource_list (GNode *node)
{
  g_return_val_if_fail (node != NULL, NULL);
  const IsdsNode *record = static_cast<const IsdsNode *> (node->data);
  if (record == NULL || record->type != ISDS_NODE_CHANNEL
      || record->servers == NULL)
    return NULL;
  GList *list = NULL;
  g_slist_foreach (record->servers, _foreach_server_to_media_resource_list,
                   &list);
  return g_list_reverse (list);
}

/* Requests */

/* Hands a request to the client library; name and channels go with it.
 * A request the client refuses never completes, so its callback hears of
 * it here, and only here. */
static void
_issue_request (IsdsBrowser *browser, const RequestKind *kind, gchar *name,
                GSList *channels, CallbackData *callback_data)
{
  gboolean accepted;
  if (kind->async_preset != NULL)
    accepted = kind->async_preset (browser, _on_request_done, channels,
                                   callback_data);
  else if (kind->async_named != NULL)
    accepted = kind->async_named (browser, _on_request_done, name,
                                  callback_data);
  else
    accepted = kind->async (browser, _on_request_done, callback_data);
  if (!accepted)
    {
      _call_callback_with_error (callback_data->callback,
                                 callback_data->user_data, META_ERROR_FAILED,
                                 "Unknown error", NULL);
      g_free (callback_data);
    }
}

enum FlushAction
{
  FLUSH_ISSUE,
  FLUSH_CANCEL
};

/* Empties the waiting slot: issues its request, or cancels it (its
 * callback hears the error in E, else code 5). */
static void
_pending_request_flush (PendingRequest *slot, IsdsBrowser *browser,
                        FlushAction action, GError **E)
{
  /* The slot is cleared before anything is called: a callback may well
   * park a new request in it. */
  PendingRequest taken = *slot;
  gboolean closed = slot->closed;
  memset (slot, 0, sizeof *slot);
  slot->closed = closed;
  if (action == FLUSH_CANCEL)
    {
      if (taken.callback_data != NULL)
        _call_callback_with_error (taken.callback_data->callback,
                                   taken.callback_data->user_data,
                                   META_ERROR_NO_UPDATED_DATA,
                                   "Doesn't need to update", E);
      g_free (taken.callback_data);
      g_free (taken.name);
      isds_browser_free_nodes_tree_slist (taken.channels);
    }
  else if (taken.request != NULL)
    _issue_request (browser, taken.request, taken.name, taken.channels,
                    taken.callback_data);
}

/* Parks a request (name and channels go with it) in place of the one
 * waiting, whose callback then hears code 5.  The new request is in place
 * before that callback runs, so a request the callback parks in turn
 * replaces it instead of being overwritten and lost.  A closed slot takes
 * nothing: the request is cancelled at once. */
static void
_pending_request_park (PendingRequest *slot, IsdsBrowser *browser,
                       const RequestKind *kind, gchar *name, GSList *channels,
                       CallbackData *callback_data)
{
  PendingRequest parked = { kind, name, channels, callback_data, FALSE };
  if (slot->closed)
    {
      _pending_request_flush (&parked, browser, FLUSH_CANCEL, NULL);
      return;
    }
  PendingRequest replaced = *slot;
  replaced.closed = FALSE;
  *slot = parked;
  _pending_request_flush (&replaced, browser, FLUSH_CANCEL, NULL);
}

static RequestMode
_request_mode (GError **E)
{
  if (E == NULL)
    return MODE_OFFLINE;
  if (*E == NULL)
    return MODE_ISSUE;
  if (g_error_matches (*E, META_ERROR, META_ERROR_CONNECTING)
      || g_error_matches (*E, META_ERROR, META_ERROR_NO_CONNECTION))
    return MODE_DEFER;
  return MODE_OFFLINE;
}

/* The request step shared by the eight listings: returns the cached
 * listing as new resources owned by the caller, and issues or parks the
 * fresh request as E says. */
static GList *
_request_listing (IsdsBrowser *browser, const RequestKind *kind,
                  const gchar *name, MpLibraryStoreIsdsCallback callback,
                  PendingRequest *pending, gpointer user_data, GError **E)
{
  RequestMode mode = _request_mode (E);
  if (mode == MODE_OFFLINE)
    {
      _call_callback_with_error (callback, user_data,
                                 META_ERROR_NO_CONNECTION,
                                 "There's no internet connection", E);
      return NULL;
    }

  CallbackData *callback_data = _callback_data_new (callback, user_data);
  GError *cache_error = NULL;
  GNode *tree = kind->cached_named != NULL
                    ? kind->cached_named (browser, name, &cache_error)
                    : kind->cached (browser, &cache_error);
  if (mode == MODE_DEFER)
    _pending_request_park (pending, browser, kind, g_strdup (name), NULL,
                           callback_data);
  else
    _issue_request (browser, kind, g_strdup (name), NULL, callback_data);

  GList *list = NULL;
  if (tree != NULL)
    {
      list = _tree_to_media_resource_list (tree);
      isds_browser_free_nodes_tree (tree);
    }
  if (cache_error != NULL)
    {
      _map_isds_error (cache_error, E);
      g_error_free (cache_error);
    }
  return list;
}

#define REQUEST_STEP(fn, kind)                                              \
  static GList *fn (IsdsBrowser *browser,                                   \
                    MpLibraryStoreIsdsCallback callback,                    \
                    PendingRequest *pending, gpointer user_data, GError **E) \
  {                                                                         \
    return _request_listing (browser, &kind, NULL, callback, pending,       \
                             user_data, E);                                 \
  }
#define REQUEST_NAMED_STEP(fn, kind)                                        \
  static GList *fn (IsdsBrowser *browser, const gchar *name,                \
                    MpLibraryStoreIsdsCallback callback,                    \
                    PendingRequest *pending, gpointer user_data, GError **E) \
  {                                                                         \
    return _request_listing (browser, &kind, name, callback, pending,       \
                             user_data, E);                                 \
  }

REQUEST_STEP (_request_root, request_root)
REQUEST_STEP (_request_genres, request_genres)
REQUEST_STEP (_request_languages, request_languages)
REQUEST_STEP (_request_countries, request_countries)
REQUEST_STEP (_request_hotpicks, request_hotpicks)
REQUEST_NAMED_STEP (_request_genre_channels, request_genre_channels)
REQUEST_NAMED_STEP (_request_language_channels, request_language_channels)
REQUEST_NAMED_STEP (_request_country_channels, request_country_channels)

/* The completion of every client request: hands the fresh answer to the
 * caller's callback, then releases it and the callback data.  Touches
 * nothing of the store, which may be gone by now. */
static gboolean
_on_request_done (IsdsBrowser *browser, GNode *tree, GSList *presets,
                  GError *error, gpointer user_data) noexcept
{
  (void) browser;
  CallbackData *callback_data = static_cast<CallbackData *> (user_data);
  GError *local = NULL;
  GList *list = NULL;

  if (error != NULL)
    _map_isds_error (error, &local);
  if (tree != NULL)
    list = _tree_to_media_resource_list (tree);
  else if (presets != NULL && presets->data != NULL)
    list = _channel_node_to_media_resource_list (
        static_cast<GNode *> (presets->data));
  if (local == NULL)
    local = meta_error_new (META_ERROR_SUCCESS, "%s", "OK");
  if (callback_data != NULL && callback_data->callback != NULL)
    callback_data->callback (list, TRUE, local, callback_data->user_data);

  _free_resource_list (list);
  g_error_free (local);
  g_free (callback_data);
  return FALSE;
}

/* Presets */

static gboolean
_is (const gchar *text, const gchar *keyword)
{
  return text != NULL && strcmp (text, keyword) == 0;
}

/* An independent copy of the tree of the channel with this id as the cache
 * lists it under the category (and subcategory), or NULL. */
static GNode *
_get_cached_channel (IsdsBrowser *browser, const gchar *category,
                     const gchar *subcategory, const gchar *id, GError **E)
{
  g_return_val_if_fail (category != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);

  CachedNamedListing named = NULL;
  if (_is (category, "genres"))
    named = isds_browser_list_cached_genre_channels;
  else if (_is (category, "languages"))
    named = isds_browser_list_cached_language_channels;
  else if (_is (category, "countries"))
    named = isds_browser_list_cached_country_channels;

  GError *cache_error = NULL;
  GNode *tree = NULL;
  if (named != NULL)
    {
      g_return_val_if_fail (subcategory != NULL, NULL);
      tree = named (browser, subcategory, &cache_error);
    }
  else if (_is (category, "hotpicks"))
    tree = isds_browser_list_cached_hotpicks (browser, &cache_error);

  GNode *channel = NULL;
  if (tree != NULL)
    {
      GNode *node = isds_browser_find_channel_node (tree, id);
      if (node != NULL)
        channel = isds_browser_copy_nodes_tree (node);
      isds_browser_free_nodes_tree (tree);
    }
  if (cache_error != NULL)
    {
      _map_isds_error (cache_error, E);
      g_error_free (cache_error);
    }
  return channel;
}

/* The request step of a channel's streams: the cached preset as stream
 * resources, and the fresh one issued or parked as E says. */
static GList *
_request_preset (IsdsBrowser *browser, const gchar *category,
                 const gchar *subcategory, const gchar *id,
                 MpLibraryStoreIsdsCallback callback, PendingRequest *pending,
                 gpointer user_data, GError **E)
{
  RequestMode mode = _request_mode (E);
  if (mode == MODE_OFFLINE)
    {
      _call_callback_with_error (callback, user_data,
                                 META_ERROR_NO_CONNECTION,
                                 "There's no internet connection", E);
      return NULL;
    }

  GNode *channel = _get_cached_channel (browser, category, subcategory, id, E);
  if (channel == NULL)
    {
      _call_callback_with_error (callback, user_data,
                                 META_ERROR_NO_UPDATED_DATA,
                                 "Root node doesn't need to update", E);
      return NULL;
    }

  CallbackData *callback_data = _callback_data_new (callback, user_data);
  GSList *channels = g_slist_append (NULL, channel);
  GError *preset_error = NULL;
  GSList *presets = isds_browser_get_cached_preset (browser, channels,
                                                    &preset_error);
  if (mode == MODE_DEFER)
    _pending_request_park (pending, browser, &request_preset, NULL,
                           isds_browser_copy_nodes_tree_slist (channels),
                           callback_data);
  else
    _issue_request (browser, &request_preset, NULL,
                    isds_browser_copy_nodes_tree_slist (channels),
                    callback_data);
  isds_browser_free_nodes_tree_slist (channels);

  GList *result = NULL;
  if (presets != NULL)
    {
      if (presets->data != NULL)
        result = _channel_node_to_media_resource_list (
            static_cast<GNode *> (presets->data));
      isds_browser_free_nodes_tree_slist (presets);
    }
  if (preset_error != NULL)
    {
      _map_isds_error (preset_error, E);
      g_error_free (preset_error);
    }
  return result;
}

/* Connection */

static gboolean
_browser_connect (IsdsBrowser *browser, GError **error)
{
  gboolean ok = isds_browser_connect (browser, error);
  if (ok)
    {
      isds_browser_set_host (browser, DIRECTORY_HOST);
      isds_browser_async_get_ir_id (browser, NULL, NULL);
    }
  return ok;
}

static gboolean
_browser_connect_and_resume (MpLibraryStoreIsds *store, IsdsBrowser *browser,
                             GError **error)
{
  gboolean ok = _browser_connect (browser, error);
  if (ok)
    _pending_request_flush (store->priv->pending, browser, FLUSH_ISSUE, NULL);
  return ok;
}

/* The first step of every browsing operation: connects the browser again
 * while the connection is up, else puts code 2 into E and asks for the
 * connection unless a request is already outstanding. */
static void
_ensure_connection (MpLibraryStoreIsds *store, GError **E)
{
  MpLibraryStoreIsdsPrivate *priv = store->priv;
  if (priv->connected)
    {
      GError *local = NULL;
      _browser_connect (priv->browser, &local);
      if (local != NULL)
        {
          _map_isds_error (local, E);
          g_error_free (local);
        }
      return;
    }
  if (E != NULL && *E == NULL)
    meta_set_error (E, META_ERROR_CONNECTING, "%s",
                    "Trying to stablish inet connection");
  if (!priv->connecting)
    priv->connecting = con_ic_connection_connect (priv->connection, 0);
}

static gboolean
_on_connection_event_idle (gpointer user_data) noexcept
{
  ConnectionEventData *data = static_cast<ConnectionEventData *> (user_data);
  /* A cancelled callback may drop what may be the last reference. */
  MpLibraryStoreIsds *store = MP_LIBRARY_STORE_ISDS (
      g_object_ref (data->store));
  MpLibraryStoreIsdsPrivate *priv = store->priv;
  priv->events = g_list_remove (priv->events, data);

  if (data->status == CON_IC_STATUS_CONNECTED)
    {
      GError *local = NULL;
      if (!_browser_connect_and_resume (store, priv->browser, &local))
        {
          GError *mapped = NULL;
          _map_isds_error (local, &mapped);
          _pending_request_flush (priv->pending, priv->browser, FLUSH_CANCEL,
                                  &mapped);
          g_clear_error (&mapped);
        }
      g_clear_error (&local);
      priv->connected = TRUE;
    }
  else
    {
      _pending_request_flush (priv->pending, priv->browser, FLUSH_CANCEL,
                              NULL);
      priv->connected = FALSE;
    }
  priv->connecting = FALSE;
  g_free (data);
  g_object_unref (store);
  return FALSE;
}

/* Only records the event: it is applied from the main loop. */
static void
_on_connection_event (ConIcConnection *connection, ConIcConnectionEvent *event,
                      gpointer user_data) noexcept
{
  (void) connection;
  MpLibraryStoreIsds *store = static_cast<MpLibraryStoreIsds *> (user_data);
  ConnectionEventData *data = g_new0 (ConnectionEventData, 1);
  data->status = con_ic_connection_event_get_status (event);
  data->store = store;
  data->source_id = g_idle_add_full (G_PRIORITY_HIGH_IDLE,
                                     _on_connection_event_idle, data, NULL);
  store->priv->events = g_list_prepend (store->priv->events, data);
}

/* The type */

static void
_mp_library_store_isds_finalize (GObject *object)
{
  g_assert (IS_MP_LIBRARY_STORE_ISDS (object));
  MpLibraryStoreIsds *store = MP_LIBRARY_STORE_ISDS (object);
  MpLibraryStoreIsdsPrivate *priv = store->priv;

  /* The connection may outlive us in other hands: nothing of it may call
   * back into this store any more, and events already on their way are
   * dropped with it. */
  g_signal_handlers_disconnect_by_data (priv->connection, store);
  for (GList *l = priv->events; l != NULL; l = l->next)
    {
      ConnectionEventData *data = static_cast<ConnectionEventData *> (l->data);
      g_source_remove (data->source_id);
      g_free (data);
    }
  g_list_free (priv->events);

  /* A callback that asks again from its cancellation is cancelled too,
   * rather than left in a slot about to be freed. */
  priv->pending->closed = TRUE;
  _pending_request_flush (priv->pending, priv->browser, FLUSH_CANCEL, NULL);
  g_free (priv->pending);
  g_object_unref (priv->connection);
  g_object_unref (priv->browser);
  store->priv = NULL;

  G_OBJECT_CLASS (mp_library_store_isds_parent_class)->finalize (object);
}

static void
mp_library_store_isds_class_init (MpLibraryStoreIsdsClass *klass)
{
  g_assert (IS_MP_LIBRARY_STORE_ISDS_CLASS (klass));
  G_OBJECT_CLASS (klass)->finalize = _mp_library_store_isds_finalize;
}

static void
mp_library_store_isds_init (MpLibraryStoreIsds *mp_library_store_isds)
{
  g_assert (IS_MP_LIBRARY_STORE_ISDS (mp_library_store_isds));

  MpLibraryStoreIsdsPrivate *priv
      = static_cast<MpLibraryStoreIsdsPrivate *> (
          mp_library_store_isds_get_instance_private (mp_library_store_isds));
  mp_library_store_isds->priv = priv;
  priv->browser = isds_browser_new ();
  priv->connection = con_ic_connection_new ();
  priv->pending = g_new0 (PendingRequest, 1);
  g_signal_connect_data (priv->connection, "connection-event",
                         G_CALLBACK (_on_connection_event),
                         mp_library_store_isds, NULL,
                         static_cast<GConnectFlags> (0));
}

static gpointer
create_instance (gpointer data)
{
  (void) data;
  return g_object_new (MP_TYPE_LIBRARY_STORE_ISDS, NULL);
}

/* g_once: threads asking first at the same time get the one store, which
 * lives as long as the process (callers never drop its reference). */
extern "C" MpLibraryStoreIsds *
mp_library_store_isds_get_instance (void)
{
  static GOnce once = G_ONCE_INIT;
  return static_cast<MpLibraryStoreIsds *> (
      g_once (&once, create_instance, NULL));
}

/* Browsing operations */

/* Ends an operation that worked on a location of its own: the caller's
 * location (if given and empty) gets its outcome, or "OK". */
static void
_finish_own_location (GError **error, GError **own)
{
  if (error != NULL && *error == NULL)
    *error = *own != NULL ? g_error_copy (*own)
                          : meta_error_new (META_ERROR_SUCCESS, "%s", "OK");
  g_clear_error (own);
}

static void
_finish_caller_location (GError **error)
{
  if (error != NULL && *error == NULL)
    *error = meta_error_new (META_ERROR_SUCCESS, "%s", "OK");
}

typedef GList *(*ListingStep) (IsdsBrowser *, MpLibraryStoreIsdsCallback,
                               PendingRequest *, gpointer, GError **);
typedef GList *(*NamedListingStep) (IsdsBrowser *, const gchar *,
                                    MpLibraryStoreIsdsCallback,
                                    PendingRequest *, gpointer, GError **);

static GList *
_browse_own (MpLibraryStoreIsds *store, ListingStep step,
             MpLibraryStoreIsdsCallback callback, gpointer user_data,
             GError **error)
{
  GError *own = NULL;
  _ensure_connection (store, &own);
  GList *list = step (store->priv->browser, callback, store->priv->pending,
                      user_data, &own);
  _finish_own_location (error, &own);
  return list;
}

static GList *
_browse_caller (MpLibraryStoreIsds *store, ListingStep step,
                MpLibraryStoreIsdsCallback callback, gpointer user_data,
                GError **error)
{
  _ensure_connection (store, error);
  GList *list = step (store->priv->browser, callback, store->priv->pending,
                      user_data, error);
  _finish_caller_location (error);
  return list;
}

static GList *
_browse_named (MpLibraryStoreIsds *store, NamedListingStep step,
               const gchar *name, MpLibraryStoreIsdsCallback callback,
               gpointer user_data, GError **error)
{
  _ensure_connection (store, error);
  GList *list = step (store->priv->browser, name, callback,
                      store->priv->pending, user_data, error);
  _finish_caller_location (error);
  return list;
}

extern "C" GList *
mp_library_store_isds_get_root (MpLibraryStoreIsds *mp_library_store,
                                MpLibraryStoreIsdsCallback callback,
                                gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  return _browse_own (mp_library_store, _request_root, callback, user_data,
                      error);
}

extern "C" GList *
mp_library_store_isds_get_genres (MpLibraryStoreIsds *mp_library_store,
                                  MpLibraryStoreIsdsCallback callback,
                                  gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  return _browse_own (mp_library_store, _request_genres, callback, user_data,
                      error);
}

extern "C" GList *
mp_library_store_isds_get_languages (MpLibraryStoreIsds *mp_library_store,
                                     MpLibraryStoreIsdsCallback callback,
                                     gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  return _browse_own (mp_library_store, _request_languages, callback,
                      user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_countries (MpLibraryStoreIsds *mp_library_store,
                                     MpLibraryStoreIsdsCallback callback,
                                     gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  return _browse_caller (mp_library_store, _request_countries, callback,
                         user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_hotpicks (MpLibraryStoreIsds *mp_library_store,
                                    MpLibraryStoreIsdsCallback callback,
                                    gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  return _browse_caller (mp_library_store, _request_hotpicks, callback,
                         user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_genre_channels (MpLibraryStoreIsds *mp_library_store,
                                          const gchar *genre,
                                          MpLibraryStoreIsdsCallback callback,
                                          gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  g_return_val_if_fail (genre != NULL, NULL);
  return _browse_named (mp_library_store, _request_genre_channels, genre,
                        callback, user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_language_channels (
    MpLibraryStoreIsds *mp_library_store, const gchar *language,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  g_return_val_if_fail (language != NULL, NULL);
  return _browse_named (mp_library_store, _request_language_channels,
                        language, callback, user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_country_channels (
    MpLibraryStoreIsds *mp_library_store, const gchar *country,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  g_return_val_if_fail (country != NULL, NULL);
  return _browse_named (mp_library_store, _request_country_channels, country,
                        callback, user_data, error);
}

extern "C" GList *
mp_library_store_isds_get_preset (MpLibraryStoreIsds *mp_library_store,
                                  const gchar *category,
                                  const gchar *subcategory, const gchar *id,
                                  MpLibraryStoreIsdsCallback callback,
                                  gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  MpLibraryStoreIsdsPrivate *priv = mp_library_store->priv;
  _ensure_connection (mp_library_store, error);
  GList *list = _request_preset (priv->browser, category, subcategory, id,
                                 callback, priv->pending, user_data, error);
  _finish_caller_location (error);
  return list;
}

static const RequestKind *
_category_listing (const gchar *keyword)
{
  if (_is (keyword, "genres"))
    return &request_genres;
  if (_is (keyword, "languages"))
    return &request_languages;
  if (_is (keyword, "countries"))
    return &request_countries;
  if (_is (keyword, "hotpicks"))
    return &request_hotpicks;
  return NULL;
}

static const RequestKind *
_category_channels (const gchar *keyword)
{
  if (_is (keyword, "genres"))
    return &request_genre_channels;
  if (_is (keyword, "languages"))
    return &request_language_channels;
  if (_is (keyword, "countries"))
    return &request_country_channels;
  return NULL;
}

extern "C" GList *
mp_library_store_isds_get_path (MpLibraryStoreIsds *mp_library_store,
                                const gchar *path,
                                MpLibraryStoreIsdsCallback callback,
                                gpointer user_data, GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);
  MpLibraryStoreIsdsPrivate *priv = mp_library_store->priv;
  IsdsBrowser *browser = priv->browser;
  PendingRequest *pending = priv->pending;

  /* Empty pieces count: a trailing newline adds one. */
  gchar **pieces = path != NULL ? g_strsplit (path, "\n", -1)
                                : g_new0 (gchar *, 1);
  guint n = g_strv_length (pieces);

  GError *own = NULL;
  _ensure_connection (mp_library_store, &own);

  GList *list = NULL;
  const RequestKind *kind;
  switch (n)
    {
    case 2:
      list = _request_root (browser, callback, pending, user_data, &own);
      break;
    case 3:
      kind = _category_listing (pieces[1]);
      if (kind != NULL)
        list = _request_listing (browser, kind, NULL, callback, pending,
                                 user_data, &own);
      break;
    case 4:
      kind = _category_channels (pieces[1]);
      if (kind != NULL)
        list = _request_listing (browser, kind, pieces[2], callback, pending,
                                 user_data, &own);
      else if (_is (pieces[1], "hotpicks"))
        list = _request_preset (browser, "hotpicks", NULL, pieces[2],
                                callback, pending, user_data, &own);
      break;
    case 5:
      list = _request_preset (browser, pieces[1], pieces[2], pieces[3],
                              callback, pending, user_data, &own);
      break;
    default:
      _call_callback_with_error (callback, user_data, META_ERROR_PATH_UNKNOWN,
                                 "Path not recognized", &own);
      break;
    }

  _finish_own_location (error, &own);
  g_strfreev (pieces);
  return list;
}

/* A path that mp_library_store_isds_get_path would leave without any call:
 * a listing or the channels of a word that is no category, or a piece that
 * would split into several. */
static gboolean
_browse_path_unknown (const gchar *const *pieces, guint n)
{
  for (guint i = 0; i < n; i++)
    if (strchr (pieces[i], '\n') != NULL)
      return TRUE;
  if (n == 1)
    return _category_listing (pieces[0]) == NULL;
  if (n == 2)
    return _category_channels (pieces[0]) == NULL
           && !_is (pieces[0], "hotpicks");
  return FALSE;
}

extern "C" GList *
mp_library_store_isds_browse (MpLibraryStoreIsds *mp_library_store,
                              const gchar *const *pieces,
                              MpLibraryStoreIsdsCallback callback,
                              gpointer user_data, gboolean *connecting,
                              GError **error)
{
  if (connecting != NULL)
    *connecting = FALSE;
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_ISDS (mp_library_store), NULL);

  guint n = pieces != NULL ? g_strv_length (const_cast<gchar **> (pieces)) : 0;
  if (_browse_path_unknown (pieces, n))
    {
      _call_callback_with_error (callback, user_data, META_ERROR_PATH_UNKNOWN,
                                 "Path not recognized", NULL);
      return NULL;
    }

  /* The path's first piece is never looked at, and every piece after it
   * ends with a newline, so that n pieces make a path of n + 2. */
  g_autoptr (GString) path = g_string_new ("\n");
  for (guint i = 0; i < n; i++)
    g_string_append_printf (path, "%s\n", pieces[i]);

  GError *outcome = NULL;
  GList *list = mp_library_store_isds_get_path (mp_library_store, path->str,
                                                callback, user_data, &outcome);
  if (g_error_matches (outcome, META_ERROR, META_ERROR_SUCCESS))
    g_clear_error (&outcome);
  else if (g_error_matches (outcome, META_ERROR, META_ERROR_CONNECTING))
    {
      if (connecting != NULL)
        *connecting = TRUE;
      g_clear_error (&outcome);
    }
  if (outcome != NULL)
    {
      _free_resource_list (list);
      g_propagate_error (error, outcome);
      return NULL;
    }
  return list;
}
