/* Scripting hooks of the station directory client, for test programs only.
 * Nothing here is part of the client's interface to applications. */
#ifndef GISDS_TESTING_H
#define GISDS_TESTING_H

#include "gisds.h"

G_BEGIN_DECLS

/* The listings a browser caches. */
typedef enum
{
  ISDS_TESTING_ROOT,
  ISDS_TESTING_GENRES,
  ISDS_TESTING_LANGUAGES,
  ISDS_TESTING_COUNTRIES,
  ISDS_TESTING_HOTPICKS,
  ISDS_TESTING_GENRE_CHANNELS,
  ISDS_TESTING_LANGUAGE_CHANNELS,
  ISDS_TESTING_COUNTRY_CHANNELS
} IsdsTestingListing;

/* Browsers made from now on keep their listings in memory, complete their
 * requests from the main loop and obey the hooks below, instead of asking
 * the directory service over HTTP and caching on disk.  Call it before the
 * first isds_browser_new of a test program that scripts the client. */
void isds_browser_testing_set_scripted (gboolean scripted);

/* Codes of the client's errors besides those of gisds.h. */
enum
{
  ISDS_ERROR_FAILED = 1,     /* network failure, or request refused */
  ISDS_ERROR_HTTP = 2,       /* an HTTP status other than 200 or 304 */
  ISDS_ERROR_MALFORMED = 3,  /* a body or cache file that is not the JSON expected */
  ISDS_ERROR_TOO_LARGE = 5,  /* a body over the size cap */
  ISDS_ERROR_TIMED_OUT = 6   /* no complete answer within the timeout */
};

/* HTTP browsers: send requests to base_url (such as "http://127.0.0.1:PORT",
 * no trailing path) instead of https://HOST; NULL returns to the host. */
void isds_browser_testing_set_base_url (IsdsBrowser *b, const gchar *base_url);
/* HTTP browsers: the time a request may take, and the largest body taken. */
void isds_browser_testing_set_limits (IsdsBrowser *b, guint timeout_ms,
                                      gsize max_body);
/* HTTP browsers: the folder of the on-disk cache (borrowed). */
const gchar *isds_browser_testing_get_cache_dir (IsdsBrowser *b);

/* The browser most recently made by isds_browser_new (borrowed), or NULL
 * once it has been finalized. */
IsdsBrowser *isds_browser_testing_last_created (void);

/* Node records and trees made by the client and not yet freed: a test that
 * ends with the count it started with leaked no tree. */
gint isds_browser_testing_live_nodes (void);
/* Accepted asynchronous requests whose completion has not run yet. */
gint isds_browser_testing_outstanding (void);

/* A new one-node tree; genre may be NULL. */
GNode *isds_browser_testing_node_new (gint type, const gchar *name,
                                      const gchar *id, gint count,
                                      const gchar *description,
                                      const gchar *genre);
/* Appends a child to parent and returns it. */
GNode *isds_browser_testing_node_append (GNode *parent, GNode *child);
/* Appends a stream to a channel node; name and url may be NULL. */
void isds_browser_testing_node_add_server (GNode *channel, const gchar *name,
                                           const gchar *url, gint bitrate);

/* Replaces a cached listing (name only for the three channel listings);
 * the tree is taken over, NULL removes the listing. */
void isds_browser_testing_set_cached (IsdsBrowser *b, IsdsTestingListing kind,
                                      const gchar *name, GNode *tree);
/* The listing the next fresh request of that kind delivers instead of the
 * cached one; taken over; it becomes the cached listing once delivered. */
void isds_browser_testing_set_fresh (IsdsBrowser *b, IsdsTestingListing kind,
                                     const gchar *name, GNode *tree);
/* Keeps a channel tree (taken over) as the cached preset of its id. */
void isds_browser_testing_set_preset (IsdsBrowser *b, GNode *channel);

/* isds_browser_connect fails from now on, with an error of this code, or
 * with no error for a negative code; isds_browser_testing_allow_connect
 * lets it succeed again. */
void isds_browser_testing_refuse_connect (IsdsBrowser *b, gint code);
void isds_browser_testing_allow_connect (IsdsBrowser *b);
/* Cache reads set an error of this code (negative: none), still returning
 * the cached tree when there is one. */
void isds_browser_testing_set_cache_error (IsdsBrowser *b, gint code);
/* Completions from now on carry an error of this code (negative: none)
 * and, when with_data is FALSE, no tree and no presets. */
void isds_browser_testing_script_completion (IsdsBrowser *b, gint code,
                                             gboolean with_data);
/* Asynchronous requests are refused (FALSE) while refuse is TRUE. */
void isds_browser_testing_refuse_requests (IsdsBrowser *b, gboolean refuse);

/* What the browser has been asked since the last call, one entry per
 * call, separated by ";", such as
 * "connect;set_host:h;get_ir_id;cached_genres;list_genre_channels:Jazz".
 * Newly allocated; the log is emptied. */
gchar *isds_browser_testing_take_log (IsdsBrowser *b);
/* The host last set, or NULL (borrowed). */
const gchar *isds_browser_testing_get_host (IsdsBrowser *b);

G_END_DECLS

#endif /* GISDS_TESTING_H */
