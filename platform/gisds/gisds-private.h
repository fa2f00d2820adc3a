/* Internals of the directory client.  The browser object (gisds.c) uses
 * the HTTP backend (gisds-http.c); both build their trees from the node
 * records of gisds-nodes.c, which uses neither.  The backend never calls
 * the browser. */
#ifndef GISDS_PRIVATE_H
#define GISDS_PRIVATE_H

#include "gisds-testing.h"

#include <json-glib/json-glib.h>

G_BEGIN_DECLS

/* What an asynchronous request asks for. */
typedef enum
{
  ISDS_REQUEST_LISTING,
  ISDS_REQUEST_PRESET,
  ISDS_REQUEST_IR_ID
} IsdsRequestType;

/* Node types of the trees the HTTP backend builds, besides
 * ISDS_NODE_CHANNEL. */
enum
{
  ISDS_NODE_DIRECTORY = 1, /* the top node of a listing */
  ISDS_NODE_ENTRY = 2      /* an entry of the root or a category listing */
};

typedef struct _IsdsHttp IsdsHttp;

/* The listings of a genre, language or country, which carry its name. */
static inline gboolean
isds_listing_is_named (IsdsTestingListing kind)
{
  return kind >= ISDS_TESTING_GENRE_CHANNELS;
}

/* gisds-json.c: the bounds of every JSON text the client reads.  An
 * answer is an array of flat objects; two more levels leave room for
 * fields the client does not read, and a cache file wraps an answer in
 * one more object. */
enum
{
  ISDS_JSON_ANSWER_DEPTH = 4,
  ISDS_JSON_CACHE_DEPTH = ISDS_JSON_ANSWER_DEPTH + 1,
  ISDS_JSON_MAX_ENTRIES = 5000,   /* elements of one array or object */
  ISDS_JSON_MAX_VALUES = 250000   /* values of the whole text */
};

/* TRUE when text (len bytes, no terminator needed) is one JSON array or
 * object of strict JSON tokens within the bounds above, nested at most
 * max_depth deep; FALSE with code 3 (malformed, too deep) or 5 (too many
 * entries or values).  Each \u0000 escape is rewritten to \uFFFD in place. */
G_GNUC_INTERNAL gboolean isds_json_scan (gchar *text, gsize len,
                                         guint max_depth, GError **error);
/* The scanned and parsed text as a new node, or NULL with the scan's
 * error or code 3. */
G_GNUC_INTERNAL JsonNode *isds_json_parse (gchar *text, gsize len,
                                           guint max_depth, GError **error);
/* A member's text, or NULL when it is missing, empty or not a string. */
G_GNUC_INTERNAL const gchar *isds_json_member_string (JsonObject *o,
                                                      const gchar *name);
G_GNUC_INTERNAL GNode *isds_json_node_new (gint type, const gchar *name,
                                           const gchar *id, gint count);
/* The tree of a listing, titled title, from the service's array (elements
 * of another shape are left out); NULL with code 3 when the array has
 * elements but none of the listing's shape. */
G_GNUC_INTERNAL GNode *isds_json_listing (IsdsTestingListing kind,
                                          const gchar *title,
                                          JsonArray *array, GError **error);
/* The stations of the array that channels (read only) asks for, each
 * once, as channel trees in the array's order; NULL for none. */
G_GNUC_INTERNAL GSList *isds_json_presets (JsonArray *array,
                                           GSList *channels);

/* gisds-nodes.c: a zero-filled node record, counted by
 * isds_browser_testing_live_nodes. */
G_GNUC_INTERNAL IsdsNode *isds_node_record_new (void);
/* Counts of accepted requests whose completion has not run yet. */
G_GNUC_INTERNAL void isds_outstanding_add (gint delta);

/* gisds-http.c */
G_GNUC_INTERNAL IsdsHttp *isds_http_new (void);
G_GNUC_INTERNAL void isds_http_free (IsdsHttp *h);
/* TRUE when requests can be made: FALSE with ISDS_ERROR_HTTP_ENV_NOT_SET
 * when a proxy setting of the environment cannot be parsed. */
G_GNUC_INTERNAL gboolean isds_http_connect (IsdsHttp *h, GError **error);
G_GNUC_INTERNAL void isds_http_set_host (IsdsHttp *h, const gchar *host);
G_GNUC_INTERNAL void isds_http_set_base_url (IsdsHttp *h, const gchar *url);
G_GNUC_INTERNAL void isds_http_set_limits (IsdsHttp *h, guint timeout_ms,
                                           gsize max_body);
G_GNUC_INTERNAL const gchar *isds_http_cache_dir (IsdsHttp *h);
/* The cached listing as a new tree, or NULL. */
G_GNUC_INTERNAL GNode *isds_http_list_cached (IsdsHttp *h,
                                              IsdsTestingListing kind,
                                              const gchar *name,
                                              GError **error);
G_GNUC_INTERNAL GSList *isds_http_cached_preset (IsdsHttp *h,
                                                 GSList *channels,
                                                 GError **error);
/* Starts a request; takes over name and channels.  cb is called exactly
 * once, later, from the thread-default main context; b is kept alive until
 * then. */
G_GNUC_INTERNAL gboolean isds_http_request (IsdsBrowser *b, IsdsHttp *h,
                                            IsdsRequestType type,
                                            IsdsTestingListing kind,
                                            gchar *name, GSList *channels,
                                            IsdsBrowserCallback cb,
                                            gpointer user_data);

G_END_DECLS

#endif /* GISDS_PRIVATE_H */
