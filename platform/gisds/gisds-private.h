/* Internals of the directory client.  The browser object (gisds.c) uses
 * the HTTP backend (gisds-http.c); both build their trees from the node
 * records of gisds-nodes.c, which uses neither.  The backend never calls
 * the browser. */
#ifndef GISDS_PRIVATE_H
#define GISDS_PRIVATE_H

#include "gisds-testing.h"

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
