/* MpLibraryStoreIsds: the library store of an internet radio station
 * directory.
 *
 * Every browsing call answers at once from the directory client's cache,
 * as a list of new MpMediaResource references owned by the caller (release
 * each with mp_media_resource_destroy, then free the list; NULL when the
 * answer is empty), and delivers fresh data later through the caller's
 * callback.  The store runs on the thread of the GLib main loop, which must
 * be running for connection events and fresh data to arrive.
 *
 * Error locations may be NULL and must be empty on entry.  A given location
 * always holds an error of the domain meta_error_quark () afterwards: code
 * META_ERROR_SUCCESS with the detail "OK" on success, META_ERROR_CONNECTING
 * while the internet connection is being brought up (the fresh request then
 * waits for it), or the mapped error of the directory client.
 *
 * Each browsing call makes at most one request, and the callback of every
 * request is called exactly once: with the fresh data, or with an error
 * when the request fails, cannot be made, or is cancelled (a newer request
 * waiting for the connection replaces an older one, the connection goes
 * down, or the store is finalized). */
#ifndef TESSEL_MP_LIBRARY_STORE_ISDS_H
#define TESSEL_MP_LIBRARY_STORE_ISDS_H

#include <glib-object.h>

#include "mp_library_store.h"
#include "tessel_export.h"

G_BEGIN_DECLS

#define MP_TYPE_LIBRARY_STORE_ISDS (mp_library_store_isds_get_type ())
#define MP_LIBRARY_STORE_ISDS(obj)                                            \
  (G_TYPE_CHECK_INSTANCE_CAST ((obj), MP_TYPE_LIBRARY_STORE_ISDS,             \
                               MpLibraryStoreIsds))
#define MP_LIBRARY_STORE_ISDS_CLASS(klass)                                    \
  (G_TYPE_CHECK_CLASS_CAST ((klass), MP_TYPE_LIBRARY_STORE_ISDS,              \
                            MpLibraryStoreIsdsClass))
#define IS_MP_LIBRARY_STORE_ISDS(obj)                                         \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), MP_TYPE_LIBRARY_STORE_ISDS))
#define IS_MP_LIBRARY_STORE_ISDS_CLASS(klass)                                 \
  (G_TYPE_CHECK_CLASS_TYPE ((klass), MP_TYPE_LIBRARY_STORE_ISDS))

typedef struct _MpLibraryStoreIsds MpLibraryStoreIsds;
typedef struct _MpLibraryStoreIsdsClass MpLibraryStoreIsdsClass;
typedef struct _MpLibraryStoreIsdsPrivate MpLibraryStoreIsdsPrivate;

struct _MpLibraryStoreIsds
{
  MpLibraryStore parent;
  MpLibraryStoreIsdsPrivate *priv;
};

struct _MpLibraryStoreIsdsClass
{
  MpLibraryStoreClass parent_class;
};

/**
 * MpLibraryStoreIsdsCallback:
 * @resources: (nullable) (element-type MpMediaResource) (transfer none):
 *   the fresh listing, lent for the call
 * @completed: TRUE when a directory request finished
 * @error: (not nullable) (transfer none): the outcome, code
 *   %META_ERROR_SUCCESS on success
 * @user_data: (closure): the data given with the callback
 */
/* The fresh answer of a request.  resources (may be NULL) and error (never
 * NULL; code 0 "OK" on success) are lent for the call: keep a resource with
 * a reference or a copy of your own.  completed is TRUE when the call
 * reports a finished directory request, FALSE when the store reports an
 * error without having made or finished one. */
typedef void (*MpLibraryStoreIsdsCallback) (GList *resources,
                                            gboolean completed,
                                            GError *error,
                                            gpointer user_data);

TESSEL_API GType mp_library_store_isds_get_type (void);
/**
 * mp_library_store_isds_get_instance:
 *
 * Returns: (transfer none): the process-wide store
 */
/* The process-wide store, created on the first call; the caller gets no
 * reference of its own and must not release it. */
TESSEL_API MpLibraryStoreIsds *mp_library_store_isds_get_instance (void);

/* The browsing calls below always fill a given error location, with code
 * META_ERROR_SUCCESS on success, which bindings would raise as an
 * exception; they use mp_library_store_isds_browse () instead, which
 * reaches every listing. */
/**
 * mp_library_store_isds_get_root: (skip)
 */
/**
 * mp_library_store_isds_get_genres: (skip)
 */
/**
 * mp_library_store_isds_get_languages: (skip)
 */
/**
 * mp_library_store_isds_get_countries: (skip)
 */
/**
 * mp_library_store_isds_get_hotpicks: (skip)
 */
/**
 * mp_library_store_isds_get_genre_channels: (skip)
 */
/**
 * mp_library_store_isds_get_language_channels: (skip)
 */
/**
 * mp_library_store_isds_get_country_channels: (skip)
 */
/**
 * mp_library_store_isds_get_preset: (skip)
 */
/**
 * mp_library_store_isds_get_path: (skip)
 */

/* The directory's root listing and its four category listings.  The root,
 * genres and languages work the same with or without an error location;
 * countries and hot picks need one to make a request (without one the
 * callback hears META_ERROR_NO_CONNECTION and NULL is returned). */
TESSEL_API GList *
mp_library_store_isds_get_root (MpLibraryStoreIsds *mp_library_store,
                                MpLibraryStoreIsdsCallback callback,
                                gpointer user_data, GError **error);
TESSEL_API GList *
mp_library_store_isds_get_genres (MpLibraryStoreIsds *mp_library_store,
                                  MpLibraryStoreIsdsCallback callback,
                                  gpointer user_data, GError **error);
TESSEL_API GList *
mp_library_store_isds_get_languages (MpLibraryStoreIsds *mp_library_store,
                                     MpLibraryStoreIsdsCallback callback,
                                     gpointer user_data, GError **error);
TESSEL_API GList *
mp_library_store_isds_get_countries (MpLibraryStoreIsds *mp_library_store,
                                     MpLibraryStoreIsdsCallback callback,
                                     gpointer user_data, GError **error);
TESSEL_API GList *
mp_library_store_isds_get_hotpicks (MpLibraryStoreIsds *mp_library_store,
                                    MpLibraryStoreIsdsCallback callback,
                                    gpointer user_data, GError **error);

/* The channels of one genre, language or country; need an error location
 * to make a request, like the countries.  A NULL name is refused with a
 * critical warning, NULL and no callback. */
TESSEL_API GList *mp_library_store_isds_get_genre_channels (
    MpLibraryStoreIsds *mp_library_store, const gchar *genre,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error);
TESSEL_API GList *mp_library_store_isds_get_language_channels (
    MpLibraryStoreIsds *mp_library_store, const gchar *language,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error);
TESSEL_API GList *mp_library_store_isds_get_country_channels (
    MpLibraryStoreIsds *mp_library_store, const gchar *country,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error);

/* The streams of the channel with this id, as the cache lists it under
 * category ("genres", "languages", "countries" with a subcategory naming
 * the genre, language or country; "hotpicks" without one), one stream
 * resource per stream, in the channel's order.  A channel the cache does
 * not list gives NULL and the callback hears META_ERROR_NO_UPDATED_DATA. */
TESSEL_API GList *mp_library_store_isds_get_preset (
    MpLibraryStoreIsds *mp_library_store, const gchar *category,
    const gchar *subcategory, const gchar *id,
    MpLibraryStoreIsdsCallback callback, gpointer user_data, GError **error);

/* Any of the above by a path of newline-separated pieces whose first piece
 * is not looked at: two pieces give the root; a category keyword as second
 * piece gives its listing (three pieces), the channels of the third piece
 * (four pieces; for "hotpicks" the streams of the channel with that id);
 * five pieces give the streams of the channel with id p3 in category p1,
 * subcategory p2.  Three or four pieces with another second piece give NULL
 * and no callback; any other number of pieces gives NULL and the callback
 * hears META_ERROR_PATH_UNKNOWN. */
TESSEL_API GList *
mp_library_store_isds_get_path (MpLibraryStoreIsds *mp_library_store,
                                const gchar *path,
                                MpLibraryStoreIsdsCallback callback,
                                gpointer user_data, GError **error);

/**
 * mp_library_store_isds_browse:
 * @mp_library_store: the store
 * @pieces: (nullable) (array zero-terminated=1): the path below the root:
 *   none for the root listing; a category keyword for its listing; the
 *   keyword and a genre, language or country for its channels; "hotpicks"
 *   and a channel id, or a category, its name and a channel id, for the
 *   channel's streams
 * @callback: (nullable) (scope async) (closure user_data): receives the
 *   fresh answer, or the error that stopped it
 * @user_data: handed to @callback
 * @connecting: (out) (optional): TRUE when the fresh request waits for the
 *   internet connection to come up
 * @error: the error location, filled only on failure
 *
 * mp_library_store_isds_get_path () for language bindings, whose
 * conventions it follows: the error location stays empty on success and
 * while the connection comes up (@connecting tells that), and the callback
 * is called exactly once, also for a path naming no category (with
 * META_ERROR_PATH_UNKNOWN), where the path call makes no call.  A piece
 * holding a newline is such a path too.
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   cached answer; %NULL when it is empty or on failure
 */
TESSEL_API GList *mp_library_store_isds_browse (
    MpLibraryStoreIsds *mp_library_store, const gchar *const *pieces,
    MpLibraryStoreIsdsCallback callback, gpointer user_data,
    gboolean *connecting, GError **error);

G_END_DECLS

#endif /* TESSEL_MP_LIBRARY_STORE_ISDS_H */
