/* The database library store: fixed SQL texts run through the object
 * search of the storage layer, each row becoming a new MpMediaResource. */
#include "mp_library_store_database.h"
#include "mp_library_store_database-private.h"
#include "metadata_storage.h"
#include "metadata_storage-private.h"
#include "metadata_storage_fts-private.h"
#include "metadata_storage_reader-private.h"
#include "metadata_storage_search-private.h"
#include "tessel-private.h"

#include <limits.h>
#include <libintl.h>
#include <sqlite3.h>

#include <memory>
#include <string>

namespace
{
struct SqlFree
{
  void operator() (char *p) const noexcept { sqlite3_free (p); }
};
/* A text formatted with sqlite3_mprintf; NULL when allocation failed, which
 * the search step refuses with its critical. */
using Sql = std::unique_ptr<char, SqlFree>;
} // namespace

G_DEFINE_TYPE (MpLibraryStoreDatabase, mp_library_store_database,
               MP_TYPE_LIBRARY_STORE)

static void
_mp_library_store_database_finalize (GObject *object)
{
  g_assert (IS_MP_LIBRARY_STORE_DATABASE (object));
  G_OBJECT_CLASS (mp_library_store_database_parent_class)->finalize (object);
}

static void
mp_library_store_database_class_init (MpLibraryStoreDatabaseClass *klass)
{
  g_assert (IS_MP_LIBRARY_STORE_DATABASE_CLASS (klass));
  G_OBJECT_CLASS (klass)->finalize = _mp_library_store_database_finalize;
}

static void
mp_library_store_database_init (MpLibraryStoreDatabase *mp_library_store)
{
  g_assert (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store));
}

static gpointer
create_instance (gpointer data)
{
  (void) data;
  return g_object_new (MP_TYPE_LIBRARY_STORE_DATABASE, NULL);
}

/* g_once: threads asking first at the same time get the one store. */
extern "C" MpLibraryStoreDatabase *
mp_library_store_database_get_instance (void)
{
  static GOnce once = G_ONCE_INIT;
  return static_cast<MpLibraryStoreDatabase *> (
      g_once (&once, create_instance, NULL));
}

static void
free_resources (GList *list)
{
  for (GList *l = list; l != NULL; l = l->next)
    mp_media_resource_destroy (static_cast<MpMediaResource *> (l->data),
                               NULL);
  g_list_free (list);
}

/* The message doubles as the domain, both as the application's text
 * domain translates it. */
GQuark
_mp_library_store_database_error_quark (void)
{
  return g_quark_from_string (gettext ("Could not connect to media database"));
}

/* Stores the store's one error in error unless the caller gave no location
 * or an earlier query of the same call already stored one. */
static void
set_connect_error (GError **error)
{
  if (error == NULL || *error != NULL)
    return;
  g_set_error_literal (error, _mp_library_store_database_error_quark (),
                       MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE,
                       gettext ("Could not connect to media database"));
}

void
_mp_library_store_database_set_error (GError **error)
{
  set_connect_error (error);
}

/* Runs one text; its rows as a new list (NULL for none or on failure, when
 * the error is set). */
GList *
_mp_library_store_database_search_sync (MpLibraryStoreDatabase *store,
                                        const gchar *filter, GError **error)
{
  (void) store;
  return _mp_library_store_database_search_on (NULL, filter, error);
}

GList *
_mp_library_store_database_search_on (sqlite3 *db, const gchar *filter,
                                      GError **error)
{
  g_return_val_if_fail (filter != NULL, NULL);
  GList *objects_list = NULL;
  gboolean found
      = db != NULL ? storage_reader_objects_list (db, filter, &objects_list)
                   : storage_search_sync_objects_list (filter, &objects_list);
  if (!found)
    {
      /* The search leaves the list empty on failure; should a partial list
       * ever come back, it is released rather than returned or leaked. */
      free_resources (objects_list);
      set_connect_error (error);
      return NULL;
    }
  return objects_list;
}

/* What the store runs on db for text, a SELECT DISTINCT of the listings
 * of whole kinds: the text, without its DISTINCT where no two rows can be
 * alike. */
static std::string
distinct_text (sqlite3 *db, const gchar *text)
{
  if (!storage_file_names_unique (db))
    return text;
  return _mp_library_store_database_without_distinct (text);
}

GList *
_mp_library_store_database_distinct_on (sqlite3 *db, const gchar *text,
                                        GError **error)
{
  if (text == NULL)
    return _mp_library_store_database_search_on (db, text, error);
  return _mp_library_store_database_search_on (
      db, distinct_text (db, text).c_str (), error);
}

/* _mp_library_store_database_distinct_on on the library's connection. */
static GList *
search_distinct (const gchar *text, GError **error)
{
  return _mp_library_store_database_distinct_on (NULL, text, error);
}

/* Runs a text expected to give exactly one row: that row as a one-element
 * list, otherwise (no row, several, failure) a critical and NULL, with
 * every row released. */
static GList *
_mp_library_store_database_search_sync_list_one_object (
    MpLibraryStoreDatabase *store, const gchar *filter, GError **error)
{
  GList *objects_list
      = _mp_library_store_database_search_sync (store, filter, error);
  guint objects_list_length = g_list_length (objects_list);
  if (objects_list_length > 1)
    {
      free_resources (objects_list);
      objects_list = NULL;
    }
  g_return_val_if_fail (objects_list_length == 1, NULL);
  return objects_list;
}

/* The one row of a text as a resource, or a critical and NULL. */
static MpMediaResource *
_mp_library_store_database_search_sync_one_object (
    MpLibraryStoreDatabase *store, const gchar *filter, GError **error)
{
  GList *objects_list = _mp_library_store_database_search_sync_list_one_object (
      store, filter, error);
  g_return_val_if_fail (objects_list != NULL, NULL);
  MpMediaResource *resource
      = static_cast<MpMediaResource *> (objects_list->data);
  g_list_free (objects_list);
  return resource;
}

/* The rows of a call's two queries, first then second.  A result and an
 * error never come together: when either query failed (own holds the
 * first failure) every row is released, and the error goes to the caller
 * unless it gave no location or one already holding an error. */
static GList *
rows_of_both (GList *first, GList *second, GError *own, GError **error)
{
  GList *list = g_list_concat (first, second);
  if (own == NULL)
    return list;
  free_resources (list);
  if (error != NULL && *error == NULL)
    g_propagate_error (error, own);
  else
    g_error_free (own);
  return NULL;
}

/* The named entries, followed by the unknown entry when asked for. */
static GList *
list_with_unknown_entry (MpLibraryStoreDatabase *store, const char *named,
                         const char *unknown, gboolean unknown_entry,
                         GError **error)
{
  GError *own = NULL;
  GList *list = _mp_library_store_database_search_sync (store, named, &own);
  if (!unknown_entry)
    return rows_of_both (list, NULL, own, error);
  GList *entry = _mp_library_store_database_search_sync_list_one_object (
      store, unknown, &own);
  return rows_of_both (list, entry, own, error);
}

/* Rows whose key column is set, then the rows where it is NULL. */
static GList *
songs_then_unkeyed (MpLibraryStoreDatabase *store, const char *keyed,
                    const char *unkeyed, GError **error)
{
  GError *own = NULL;
  GList *list = _mp_library_store_database_search_sync (store, keyed, &own);
  GList *rest = _mp_library_store_database_search_sync (store, unkeyed, &own);
  return rows_of_both (list, rest, own, error);
}

/* The start of a window reaching period seconds back from now.  A period
 * so large that the subtraction would overflow opens the window fully (or
 * closes it, for a negative one) instead of wrapping around. */
static long
window_start (long period)
{
  long now = static_cast<long> (g_get_real_time () / G_USEC_PER_SEC);
  long threshold;
  if (__builtin_sub_overflow (now, period, &threshold))
    threshold = period > 0 ? LONG_MIN : LONG_MAX;
  return threshold;
}

#define CHECK_STORE(value)                                                    \
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store),      \
                        (value))

/* Listings */

extern "C" MpMediaResource *
mp_library_store_database_get_media_by_uri (
    MpLibraryStoreDatabase *mp_library_store, const gchar *uri, GError **error)
{
  CHECK_STORE (NULL);
  /* The formatter would turn a NULL uri into the text "(NULL)" and could
   * match a row of that name. */
  if (uri == NULL)
    return NULL;
  GList *object_list = _mp_library_store_database_search_sync (
      mp_library_store, Sql (sqlite3_mprintf (uri_sql, uri)).get (), error);
  guint object_list_length = g_list_length (object_list);
  if (object_list_length > 1)
    {
      free_resources (object_list);
      object_list = NULL;
    }
  g_return_val_if_fail (object_list_length <= 1, NULL);
  if (object_list == NULL)
    return NULL;
  MpMediaResource *resource = static_cast<MpMediaResource *> (object_list->data);
  g_list_free (object_list);
  return resource;
}

extern "C" GList *
mp_library_store_database_get_songs (MpLibraryStoreDatabase *mp_library_store,
                                     GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (songs_sql, error);
}

extern "C" gboolean
mp_library_store_database_get_songs_columns (
    MpLibraryStoreDatabase *mp_library_store, MetaColumnsFunc callback,
    gpointer user_data, GError **error)
{
  CHECK_STORE (FALSE);
  g_return_val_if_fail (callback != NULL, FALSE);
  /* The list's order is a sort of its own, which the caller makes in the
   * order it shows: the text without it. */
  std::string text = distinct_text (NULL, songs_sql);
  text.erase (text.rfind (" ORDER BY "));
  if (storage_search_object_columns (text.c_str (), callback, user_data,
                                     NULL))
    return TRUE;
  set_connect_error (error);
  return FALSE;
}

extern "C" GList *
mp_library_store_database_get_songs_ordered_by_album (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return songs_then_unkeyed (mp_library_store, ordered_album_set,
                             ordered_album_null, error);
}

extern "C" GList *
mp_library_store_database_get_songs_ordered_by_genre (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return songs_then_unkeyed (mp_library_store, ordered_genre_set,
                             ordered_genre_null, error);
}

extern "C" GList *
mp_library_store_database_get_songs_ordered_by_artist (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return songs_then_unkeyed (mp_library_store, ordered_artist_set,
                             ordered_artist_null, error);
}

/* Runs format with value, or the text for a NULL value unchanged. */
static GList *
search_by_value (MpLibraryStoreDatabase *store, const char *format,
                 const char *null_text, const gchar *value, GError **error)
{
  if (value == NULL)
    return _mp_library_store_database_search_sync (store, null_text, error);
  return _mp_library_store_database_search_sync (
      store, Sql (sqlite3_mprintf (format, value)).get (), error);
}

extern "C" GList *
mp_library_store_database_get_songs_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error)
{
  CHECK_STORE (NULL);
  return search_by_value (mp_library_store, songs_by_artist_fmt,
                          songs_by_artist_null, artist, error);
}

extern "C" GList *
mp_library_store_database_get_songs_by_album (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album,
    GError **error)
{
  CHECK_STORE (NULL);
  return search_by_value (mp_library_store, songs_by_album_fmt,
                          songs_by_album_null, album, error);
}

extern "C" GList *
mp_library_store_database_get_songs_by_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    GError **error)
{
  CHECK_STORE (NULL);
  return search_by_value (mp_library_store, songs_by_genre_fmt,
                          songs_by_genre_null, genre, error);
}

extern "C" GList *
mp_library_store_database_get_songs_by_artist_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    const gchar *genre, GError **error)
{
  CHECK_STORE (NULL);
  Sql sql;
  if (artist != NULL && genre != NULL)
    sql.reset (sqlite3_mprintf (songs_by_artist_genre_fmt, genre, artist));
  else if (artist != NULL)
    sql.reset (sqlite3_mprintf (songs_by_artist_genre_no_genre_fmt, artist));
  else if (genre != NULL)
    sql.reset (sqlite3_mprintf (songs_by_artist_genre_no_artist_fmt, genre));
  else
    return _mp_library_store_database_search_sync (
        mp_library_store, songs_by_artist_genre_null, error);
  return _mp_library_store_database_search_sync (mp_library_store, sql.get (),
                                                 error);
}

extern "C" GList *
mp_library_store_database_get_songs_by_artist_album (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    const gchar *album, GError **error)
{
  CHECK_STORE (NULL);
  g_return_val_if_fail ((artist != NULL) && (album != NULL), NULL);
  return _mp_library_store_database_search_sync (
      mp_library_store,
      Sql (sqlite3_mprintf (songs_by_artist_album_fmt, artist, album)).get (),
      error);
}

extern "C" GList *
mp_library_store_database_get_unknown_album_songs_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error)
{
  CHECK_STORE (NULL);
  return search_by_value (mp_library_store, unknown_album_songs_fmt,
                          unknown_album_songs_null, artist, error);
}

extern "C" GList *
mp_library_store_database_get_videos (MpLibraryStoreDatabase *mp_library_store,
                                      GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (videos_sql, error);
}

extern "C" GList *
mp_library_store_database_get_playlists (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (playlists_sql, error);
}

extern "C" GList *
mp_library_store_database_get_user_playlists (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (user_playlists_sql, error);
}

extern "C" GList *
mp_library_store_database_get_unplayed (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (unplayed_sql, error);
}

extern "C" GList *
mp_library_store_database_get_played (MpLibraryStoreDatabase *mp_library_store,
                                      long period, GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (
      Sql (sqlite3_mprintf (played_fmt, window_start (period))).get (), error);
}

extern "C" GList *
mp_library_store_database_get_added (MpLibraryStoreDatabase *mp_library_store,
                                     long period, GError **error)
{
  CHECK_STORE (NULL);
  return search_distinct (
      Sql (sqlite3_mprintf (added_fmt, window_start (period))).get (), error);
}

/* The index is repaired through the library's connection, the only one
 * that writes; a reader then searches again on the repaired file. */
GList *
_mp_library_store_database_find_on (sqlite3 *db, const gchar *text,
                                    GError **error)
{
  g_autofree gchar *match = storage_search_match_expression (text);
  if (match == NULL)
    return NULL;
  Sql sql (sqlite3_mprintf (find_fmt, match));
  GError *failure = NULL;
  GList *found
      = _mp_library_store_database_search_on (db, sql.get (), &failure);
  gboolean repaired = FALSE;
  if (found == NULL)
    {
      StorageLock lock;
      repaired = storage_search_index_repair (failure != NULL);
    }
  if (repaired)
    {
      g_clear_error (&failure);
      found = _mp_library_store_database_search_on (db, sql.get (), &failure);
    }
  if (failure != NULL)
    g_propagate_error (error, failure);
  return found;
}

extern "C" GList *
mp_library_store_database_find (MpLibraryStoreDatabase *mp_library_store,
                                const gchar *text, GError **error)
{
  CHECK_STORE (NULL);
  StorageLock lock;
  return _mp_library_store_database_find_on (NULL, text, error);
}

/* Aggregates */

extern "C" GList *
mp_library_store_database_get_genres (MpLibraryStoreDatabase *mp_library_store,
                                      gboolean unknown_entry, GError **error)
{
  CHECK_STORE (NULL);
  return list_with_unknown_entry (mp_library_store, genres_sql,
                                  genres_unknown_sql, unknown_entry, error);
}

extern "C" GList *
mp_library_store_database_get_artists (
    MpLibraryStoreDatabase *mp_library_store, gboolean unknown_entry,
    GError **error)
{
  CHECK_STORE (NULL);
  return list_with_unknown_entry (mp_library_store, artists_sql,
                                  artists_unknown_sql, unknown_entry, error);
}

extern "C" GList *
mp_library_store_database_get_albums (MpLibraryStoreDatabase *mp_library_store,
                                      gboolean unknown_entry, GError **error)
{
  CHECK_STORE (NULL);
  return list_with_unknown_entry (mp_library_store, albums_sql,
                                  albums_unknown_sql, unknown_entry, error);
}

extern "C" GList *
mp_library_store_database_get_albums_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    gboolean unknown_entry, GError **error)
{
  CHECK_STORE (NULL);
  if (artist == NULL)
    return list_with_unknown_entry (mp_library_store, albums_by_artist_null,
                                    albums_by_artist_null_unknown,
                                    unknown_entry, error);
  Sql named (sqlite3_mprintf (albums_by_artist_fmt, artist));
  Sql unknown (sqlite3_mprintf (albums_by_artist_unknown_fmt, artist));
  return list_with_unknown_entry (mp_library_store, named.get (),
                                  unknown.get (), unknown_entry, error);
}

extern "C" GList *
mp_library_store_database_get_artists_by_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    gboolean unknown_entry, GError **error)
{
  CHECK_STORE (NULL);
  if (genre == NULL)
    return list_with_unknown_entry (mp_library_store, artists_by_genre_null,
                                    artists_by_genre_null_unknown,
                                    unknown_entry, error);
  Sql named (sqlite3_mprintf (artists_by_genre_fmt, genre));
  Sql unknown (sqlite3_mprintf (artists_by_genre_unknown_fmt, genre));
  return list_with_unknown_entry (mp_library_store, named.get (),
                                  unknown.get (), unknown_entry, error);
}

/* Totals */

/* The total of format with value, or of the NULL-value text. */
static MpMediaResource *
total_by_value (MpLibraryStoreDatabase *store, const char *format,
                const char *null_text, const gchar *value, GError **error)
{
  if (value == NULL)
    return _mp_library_store_database_search_sync_one_object (store, null_text,
                                                              error);
  return _mp_library_store_database_search_sync_one_object (
      store, Sql (sqlite3_mprintf (format, value)).get (), error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_genres_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, genres_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_artists_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, artists_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_albums_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, albums_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_artist_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error)
{
  CHECK_STORE (NULL);
  return total_by_value (mp_library_store, artist_length_fmt,
                         artist_length_null, artist, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_genre_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    GError **error)
{
  CHECK_STORE (NULL);
  return total_by_value (mp_library_store, genre_length_fmt,
                         genre_length_null, genre, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_album_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album,
    GError **error)
{
  CHECK_STORE (NULL);
  return total_by_value (mp_library_store, album_length_fmt,
                         album_length_null, album, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_songs_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, songs_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_videos_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, videos_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_playlist_unplayed_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store, unplayed_length_sql, error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_playlist_played_length (
    MpLibraryStoreDatabase *mp_library_store, long period, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store,
      Sql (sqlite3_mprintf (played_length_fmt, window_start (period))).get (),
      error);
}

extern "C" MpMediaResource *
mp_library_store_database_get_playlist_added_length (
    MpLibraryStoreDatabase *mp_library_store, long period, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_search_sync_one_object (
      mp_library_store,
      Sql (sqlite3_mprintf (added_length_fmt, window_start (period))).get (),
      error);
}
