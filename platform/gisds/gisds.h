/* Station directory client.
 *
 * A browser keeps listings of the station directory (the root, the four
 * categories, the channels of a genre, language or country, and channel
 * presets) in a cache of its own and fetches fresh listings asynchronously.
 * Every asynchronous request that the browser accepts ends in exactly one
 * call of its completion function, made from the main loop of the thread
 * that made the request; the tree, preset list and error given to that
 * call are lent for the duration of the call only.
 *
 * The browser asks the directory service named by isds_browser_set_host at
 * https://HOST/json/..., or the server of the same API that the environment
 * variable GISDS_SERVICE_URL names (such as "http://127.0.0.1:8080").  Its
 * cache is kept in g_get_user_cache_dir ()/tessel/radio. */
#ifndef GISDS_H
#define GISDS_H

#include <glib-object.h>

G_BEGIN_DECLS

typedef struct _IsdsBrowser IsdsBrowser;

enum
{
  ISDS_NODE_CHANNEL = 10
};

/* The data of every GNode of a directory tree. */
typedef struct
{
  gint type; /* ISDS_NODE_CHANNEL for a station; any other value: a listing entry */
  gchar *name;
  gchar *id;
  gint count;
  gchar *description;
  GSList *genres;  /* of IsdsGenre * */
  GSList *servers; /* of IsdsServer *: a station's streams */
  /* the client may add fields after these */
} IsdsNode;

typedef struct
{
  gchar *name;
  /* more fields may follow */
} IsdsGenre;

typedef struct
{
  gchar *name;
  gchar *url;
  gint bitrate;
  /* more fields may follow */
} IsdsServer;

typedef gboolean (*IsdsBrowserCallback) (IsdsBrowser *browser, GNode *tree,
                                         GSList *presets, GError *error,
                                         gpointer user_data);

enum
{
  ISDS_ERROR_OK = 0,
  ISDS_ERROR_NO_UPDATED_DATA = 4,
  ISDS_ERROR_HTTP_ENV_NOT_SET = 8
};

#define ISDS_ERROR (isds_error_quark ())
#define ISDS_TYPE_BROWSER (isds_browser_get_type ())

GType isds_browser_get_type (void);
GQuark isds_error_quark (void);

/* A new browser, not yet connected; release it with g_object_unref. */
IsdsBrowser *isds_browser_new (void);
/* TRUE when the browser is connected to the directory service. */
gboolean isds_browser_connect (IsdsBrowser *b, GError **error);
void isds_browser_set_host (IsdsBrowser *b, const gchar *host);
/* Asks for the receiver's id; cb may be NULL. */
gboolean isds_browser_async_get_ir_id (IsdsBrowser *b, IsdsBrowserCallback cb,
                                       gpointer user_data);

/* The cached listing as a new tree owned by the caller, or NULL when the
 * cache holds none. */
GNode *isds_browser_list_cached_root (IsdsBrowser *b, GError **error);
GNode *isds_browser_list_cached_genres (IsdsBrowser *b, GError **error);
GNode *isds_browser_list_cached_languages (IsdsBrowser *b, GError **error);
GNode *isds_browser_list_cached_countries (IsdsBrowser *b, GError **error);
GNode *isds_browser_list_cached_hotpicks (IsdsBrowser *b, GError **error);
GNode *isds_browser_list_cached_genre_channels (IsdsBrowser *b,
                                                const gchar *name,
                                                GError **error);
GNode *isds_browser_list_cached_language_channels (IsdsBrowser *b,
                                                   const gchar *name,
                                                   GError **error);
GNode *isds_browser_list_cached_country_channels (IsdsBrowser *b,
                                                  const gchar *name,
                                                  GError **error);

/* Fresh listings.  TRUE when the request was accepted: cb is then called
 * exactly once.  A name or channel list handed over is the browser's from
 * the call on, also when the request is refused. */
gboolean isds_browser_async_list_root (IsdsBrowser *b, IsdsBrowserCallback cb,
                                       gpointer user_data);
gboolean isds_browser_async_list_genres (IsdsBrowser *b,
                                         IsdsBrowserCallback cb,
                                         gpointer user_data);
gboolean isds_browser_async_list_languages (IsdsBrowser *b,
                                            IsdsBrowserCallback cb,
                                            gpointer user_data);
gboolean isds_browser_async_list_countries (IsdsBrowser *b,
                                            IsdsBrowserCallback cb,
                                            gpointer user_data);
gboolean isds_browser_async_list_hotpicks (IsdsBrowser *b,
                                           IsdsBrowserCallback cb,
                                           gpointer user_data);
gboolean isds_browser_async_list_genre_channels (IsdsBrowser *b,
                                                 IsdsBrowserCallback cb,
                                                 gchar *name,
                                                 gpointer user_data);
gboolean isds_browser_async_list_language_channels (IsdsBrowser *b,
                                                    IsdsBrowserCallback cb,
                                                    gchar *name,
                                                    gpointer user_data);
gboolean isds_browser_async_list_country_channels (IsdsBrowser *b,
                                                   IsdsBrowserCallback cb,
                                                   gchar *name,
                                                   gpointer user_data);
gboolean isds_browser_async_get_preset (IsdsBrowser *b, IsdsBrowserCallback cb,
                                        GSList *channels, gpointer user_data);
/* The cached presets of the listed channel trees (read only) as a new list
 * of channel trees owned by the caller, or NULL. */
GSList *isds_browser_get_cached_preset (IsdsBrowser *b, GSList *channels,
                                        GError **error);

/* Tree helpers.  find returns a node inside tree (not a copy). */
GNode *isds_browser_find_channel_node (GNode *tree, const gchar *id);
GNode *isds_browser_copy_nodes_tree (GNode *node);
GSList *isds_browser_copy_nodes_tree_slist (GSList *trees);
void isds_browser_free_nodes_tree (GNode *tree);
void isds_browser_free_nodes_tree_slist (GSList *trees);

G_END_DECLS

#endif /* GISDS_H */
