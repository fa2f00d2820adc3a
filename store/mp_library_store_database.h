/* MpLibraryStoreDatabase: the library store that answers a media player's
 * browse requests from the local Metadata table.
 *
 * Every call runs fixed SQL texts anew, synchronously in the caller's
 * thread, on the database that meta_init () opened; the store keeps no
 * state.  A list result is a GList of new MpMediaResource references owned
 * by the caller (release each with mp_media_resource_destroy, then the
 * list); an empty result is NULL.  A NULL artist, album or genre stands for
 * an empty column and selects the rows where that column is NULL.
 *
 * A store that is not an MpLibraryStoreDatabase gets a critical and NULL,
 * with the error left alone.  When a query fails, the error location (if
 * given and still empty) receives "Could not connect to media database",
 * code -1, in the domain of the quark of that text as translated by
 * gettext; a call that runs two queries reports the first failure only,
 * and returns NULL when either query fails: never rows and an error
 * together.
 * Periods are seconds back from the current wall-clock time. */
#ifndef TESSEL_MP_LIBRARY_STORE_DATABASE_H
#define TESSEL_MP_LIBRARY_STORE_DATABASE_H

#include <gio/gio.h>
#include <glib-object.h>

#include "metadata.h"
#include "mp_library_store.h"
#include "mp_media_resource.h"
#include "tessel_export.h"

G_BEGIN_DECLS

#define MP_TYPE_LIBRARY_STORE_DATABASE (mp_library_store_database_get_type ())
#define MP_LIBRARY_STORE_DATABASE(obj)                                        \
  (G_TYPE_CHECK_INSTANCE_CAST ((obj), MP_TYPE_LIBRARY_STORE_DATABASE,         \
                               MpLibraryStoreDatabase))
#define MP_LIBRARY_STORE_DATABASE_CLASS(klass)                                \
  (G_TYPE_CHECK_CLASS_CAST ((klass), MP_TYPE_LIBRARY_STORE_DATABASE,          \
                            MpLibraryStoreDatabaseClass))
#define IS_MP_LIBRARY_STORE_DATABASE(obj)                                     \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), MP_TYPE_LIBRARY_STORE_DATABASE))
#define IS_MP_LIBRARY_STORE_DATABASE_CLASS(klass)                             \
  (G_TYPE_CHECK_CLASS_TYPE ((klass), MP_TYPE_LIBRARY_STORE_DATABASE))
#define MP_LIBRARY_STORE_DATABASE_GET_CLASS(obj)                              \
  (G_TYPE_INSTANCE_GET_CLASS ((obj), MP_TYPE_LIBRARY_STORE_DATABASE,          \
                              MpLibraryStoreDatabaseClass))

typedef struct _MpLibraryStoreDatabase MpLibraryStoreDatabase;
typedef struct _MpLibraryStoreDatabaseClass MpLibraryStoreDatabaseClass;

struct _MpLibraryStoreDatabase
{
  MpLibraryStore parent;
};

struct _MpLibraryStoreDatabaseClass
{
  MpLibraryStoreClass parent_class;
};

TESSEL_API GType mp_library_store_database_get_type (void);

/**
 * mp_library_store_database_get_instance:
 *
 * Returns: (transfer none): the process-wide store
 */
/* The process-wide store, created on the first call.  No reference is
 * added for the caller: never unref it. */
TESSEL_API MpLibraryStoreDatabase *mp_library_store_database_get_instance (
    void);

/* Listings */

/**
 * mp_library_store_database_get_media_by_uri:
 * @uri: (nullable): the file name or URL
 *
 * Returns: (transfer full) (nullable): the row's resource, or %NULL
 */
/* The row of uri, present or not, or NULL when there is none (also for a
 * NULL uri).  Several rows for one uri give a critical and NULL. */
TESSEL_API MpMediaResource *mp_library_store_database_get_media_by_uri (
    MpLibraryStoreDatabase *mp_library_store, const gchar *uri,
    GError **error);

/**
 * mp_library_store_database_get_songs:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Present songs ordered by title. */
TESSEL_API GList *
mp_library_store_database_get_songs (MpLibraryStoreDatabase *mp_library_store,
                                     GError **error);

/**
 * mp_library_store_database_get_songs_columns:
 * @callback: (scope call) (closure user_data): called for the header, then
 *   for each song
 * @user_data: handed to @callback
 *
 * The songs of mp_library_store_database_get_songs as the columns of its
 * query (Filename, Title, Length, MIME, Album, Artist) rather than as
 * resources, handed to @callback as meta_search_columns() hands rows, in
 * no particular order: a listing of a large library without an object
 * made for each song, sorted once, by the caller, in the order it shows
 * them.  The values are the table's; a resource holds the same, except
 * that it takes an empty text as none, turns a number in a text column
 * into text of its own making, takes a text in the length as none (with
 * a warning), and no length below -1.  A blob fails the call, as it
 * fails the list.
 *
 * Returns: %TRUE after the header and the rows; %FALSE without any call
 *   when the query failed, with @error set as the list call sets it
 */
TESSEL_API gboolean mp_library_store_database_get_songs_columns (
    MpLibraryStoreDatabase *mp_library_store, MetaColumnsFunc callback,
    gpointer user_data, GError **error);

/**
 * mp_library_store_database_get_songs_ordered_by_album:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Present songs ordered by album, genre or artist ignoring ASCII case, then
 * track, title and file name; the songs without that key come last. */
TESSEL_API GList *mp_library_store_database_get_songs_ordered_by_album (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_songs_ordered_by_genre:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_ordered_by_genre (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_songs_ordered_by_artist:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_ordered_by_artist (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_songs_by_artist:
 * @artist: (nullable): the artist, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error);

/**
 * mp_library_store_database_get_songs_by_album:
 * @album: (nullable): the album, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_by_album (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album,
    GError **error);

/**
 * mp_library_store_database_get_songs_by_genre:
 * @genre: (nullable): the genre, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_by_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    GError **error);

/**
 * mp_library_store_database_get_songs_by_artist_genre:
 * @artist: (nullable): the artist, %NULL for the songs without one
 * @genre: (nullable): the genre, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_songs_by_artist_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    const gchar *genre, GError **error);

/**
 * mp_library_store_database_get_songs_by_artist_album:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Both artist and album are required (critical and NULL otherwise). */
TESSEL_API GList *mp_library_store_database_get_songs_by_artist_album (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    const gchar *album, GError **error);

/**
 * mp_library_store_database_get_unknown_album_songs_by_artist:
 * @artist: (nullable): the artist, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *
mp_library_store_database_get_unknown_album_songs_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error);

/**
 * mp_library_store_database_get_videos:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Present videos that are not playlists, and every present stream. */
TESSEL_API GList *
mp_library_store_database_get_videos (MpLibraryStoreDatabase *mp_library_store,
                                      GError **error);

/**
 * mp_library_store_database_get_playlists:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Rows flagged as playlists, in the database's own order. */
TESSEL_API GList *mp_library_store_database_get_playlists (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_user_playlists:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Rows whose MIME type is a playlist format. */
TESSEL_API GList *mp_library_store_database_get_user_playlists (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/* Playlist contents */

/**
 * MpLibraryStoreDatabaseError:
 * @MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE: a query failed ("Could not
 *   connect to media database")
 * @MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE: the playlist file
 *   is missing, cannot be read, or is not a file
 * @MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT: the file is in no
 *   playlist format the parser knows
 *
 * The codes of the store's errors.  Their domain is the store's one domain,
 * the quark of "Could not connect to media database" as the application's
 * text domain translates it.
 */
typedef enum
{
  MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE = -1,
  MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE = 1,
  MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT = 2
} MpLibraryStoreDatabaseError;

/**
 * mp_library_store_database_get_playlist_songs:
 * @mp_library_store: the store
 * @playlist: (type filename): the playlist file: a path (absolute, or
 *   relative to the working directory) or a URI such as file:///m/a.m3u
 * @error: the place for the error of an unreadable playlist or a failed
 *   query
 *
 * Reads a playlist (M3U and M3U8, PLS, XSPF, ASX, WPL and the other
 * formats the playlist parser knows, in their character sets) and returns
 * one new resource per entry, in the playlist's order; an entry listed
 * twice gives two resources.
 *
 * An entry is first resolved: a relative path against the playlist's
 * folder, a file:// URI to its path (%20 and the like decoded), "." and
 * ".." taken out.  When the table has a row of that name (present or not),
 * the entry's resource carries the row's values of every resource property
 * the table has a column for (Filename, Title, Artist, Album, Genre, Year,
 * Track, Length, MIME, Bitrate, isPlaylist, isStream and any further).  Any
 * other entry gets Filename (the resolved absolute path, or the URI as
 * written for any scheme but file), Title and Length when the playlist
 * gives them (M3U EXTINF lines, PLS TitleN and LengthN, XSPF title and
 * duration; Length in whole seconds, -1 when unknown), and isStream 1 for
 * http, https, mms and rtsp URIs.
 *
 * The playlist is read synchronously in the caller's thread, without the
 * main loop.  Playlists that it names are entries, not read in turn; a
 * local playlist is read without the network.  A remote playlist is
 * fetched through GIO (blocking), and may not name local files.
 *
 * A playlist that does not exist, cannot be read or is not a file gives
 * %NULL and %MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE; one in no
 * known format, %NULL and %MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT;
 * both messages name the file ("Cannot read playlist 'FILE': reason").  A
 * failed query gives %NULL and "Could not connect to media database" as
 * the other calls do.  A playlist without entries gives %NULL without an
 * error, as does a %NULL @playlist.
 *
 * Returns: (transfer full) (element-type MpMediaResource) (nullable): the
 *   entries, each a new resource; %NULL for none or on failure
 */
TESSEL_API GList *mp_library_store_database_get_playlist_songs (
    MpLibraryStoreDatabase *mp_library_store, const gchar *playlist,
    GError **error);

/**
 * mp_library_store_database_get_unplayed:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Rows never played (AccessTime unset). */
TESSEL_API GList *mp_library_store_database_get_unplayed (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_played:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* Rows played (or added) during the last period seconds, most recent
 * first. */
TESSEL_API GList *
mp_library_store_database_get_played (MpLibraryStoreDatabase *mp_library_store,
                                      long period, GError **error);

/**
 * mp_library_store_database_get_added:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *
mp_library_store_database_get_added (MpLibraryStoreDatabase *mp_library_store,
                                     long period, GError **error);

/**
 * mp_library_store_database_find:
 * @mp_library_store: the store
 * @text: (nullable): what the user typed, UTF-8
 * @error: the place for the error of a failed search
 *
 * Finds the present rows (songs, videos, streams and playlists alike)
 * whose title, artist, album, genre or file name (the last component of
 * the path or URL) hold every word of @text, so that a player can search
 * as the user types.  A word is a run of letters and digits; each word of
 * @text matches the words of a row that begin with it, without regard to
 * case or accents: "cafe" finds "Café", "harb lig" finds "Harbour
 * Lights".  Every other character only separates words and has no
 * meaning of its own: quotes, operators and the like are never a query
 * syntax.  Best matches come first: a word found in the title counts most,
 * then in the artist, album, genre and file name; among equal matches a
 * shorter title comes first, then title and file name order.
 * The resources carry the same properties as those of
 * mp_library_store_database_get_media_by_uri().
 *
 * @text that holds no word (%NULL, empty, blanks or only punctuation)
 * finds nothing: %NULL without an error.  When the search cannot run (the
 * database lacks the word index: it is read-only and was made before the
 * index existed, or this SQLite has no FTS5; or it stays locked), the
 * result is %NULL and @error, if given and still empty, receives "Could
 * not connect to media database", code -1, as for the other listings.
 * A damaged word index met by the search is built anew from the rows,
 * with a GLib warning, and the search runs again.
 *
 * Returns: (transfer full) (element-type MpMediaResource) (nullable): the
 *   rows found, best first, each a new resource; %NULL for none.
 */
TESSEL_API GList *
mp_library_store_database_find (MpLibraryStoreDatabase *mp_library_store,
                                const gchar *text, GError **error);

/* Albums and artists grouped as a player lists them.
 *
 * The album artist of a song is its AlbumArtist tag; else "Various
 * Artists" when its Compilation flag is 1; else its Artist.  Two songs are
 * on the same album when their album artists and their album titles are
 * equal ignoring case and accents (Unicode case folding, then the
 * canonical decomposition without combining marks: "Café Society" equals
 * "CAFE SOCIETY"); two artists are one when their names are.  Lists are
 * sorted the same way, ignoring case and accents.  Only present songs
 * count: audio files that are neither streams nor playlists.  An empty
 * text counts as no value. */

/**
 * mp_library_store_database_get_album_list:
 * @mp_library_store: the store
 * @error: the place for the error of a failed query
 *
 * One resource per album of the songs that have an album title, with
 * Album and AlbumArtist (each the spelling most of the album's songs use;
 * among equally common spellings the first in byte order), Count (songs),
 * Length (their total seconds, -1 when none is known) and Year (the most
 * common year of its songs).  Sorted by album artist, then album; albums
 * whose album artist is unknown (no tag, no artist) come last, with
 * AlbumArtist unset.
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   albums; %NULL when there are none or the query failed
 */
TESSEL_API GList *mp_library_store_database_get_album_list (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_album_songs:
 * @mp_library_store: the store
 * @album_artist: (nullable): the album artist, %NULL for the album whose
 *   album artist is unknown
 * @album: the album title
 * @error: the place for the error of a failed query
 *
 * The songs of one album, matched ignoring case and accents as the album
 * list groups them, ordered by Disc (unknown first), then Track (unknown
 * first), then title.  Each carries every property its row has:
 * Filename, Title, Artist, Album, AlbumArtist (the album artist used for
 * grouping), Genre, Year, Track, Disc, Length, MIME and Bitrate.  A %NULL
 * @album gets a critical and %NULL: songs without album are on no album.
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   songs; %NULL when there are none or the query failed
 */
TESSEL_API GList *mp_library_store_database_get_album_songs (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GError **error);

/**
 * mp_library_store_database_get_album_art:
 * @mp_library_store: the store
 * @album_artist: (nullable): the album artist as the album list gives it,
 *   %NULL for an album whose album artist is unknown
 * @album: the album title as the album list gives it
 * @error: the place for an error; no error is set today (a missing cover
 *   is none)
 *
 * The cover of one album in the desktop's shared media-art cache, where
 * the extractor plug-ins put the covers they find while indexing: the
 * file libmediaart names for the album (media_art_get_path() with the
 * album artist, the album and "album"), when it exists.  The cache lives
 * under $XDG_CACHE_HOME/media-art; names are compared as libmediaart
 * compares them, which ignores case.  A %NULL @album gets a critical and
 * %NULL.
 *
 * Returns: (transfer full) (nullable) (type filename): the path of the
 *   cover, or %NULL when the album has none
 */
TESSEL_API gchar *mp_library_store_database_get_album_art (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GError **error);

/**
 * mp_library_store_database_get_artist_list:
 * @mp_library_store: the store
 * @error: the place for the error of a failed query
 *
 * One resource per artist of the present songs (the Artist tag, not the
 * album artist), with Artist (the spelling most of its songs use), Count
 * and Length.  Songs without artist are left out.  Sorted by artist.
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   artists; %NULL when there are none or the query failed
 */
TESSEL_API GList *mp_library_store_database_get_artist_list (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/* Asynchronous calls, in the manner of GIO: each _async call takes the
 * arguments of its synchronous call, then a #GCancellable and the
 * callback, and returns at once.  The work runs on a thread of GLib's
 * pool with a read-only connection of its own to the database file, which
 * reads beside the library's connection without holding it (in
 * write-ahead logging a long listing and the writer never wait for each
 * other); the resources are made there too.  The callback runs on the
 * thread-default main context of the thread that called _async, in a
 * later iteration of it, never inside the _async call; it calls the
 * matching _finish with the result, which gives what the synchronous call
 * gives: the list (%NULL for none, without an error), or %NULL and the
 * error.
 *
 * A call cancelled before or during its work finishes with
 * %G_IO_ERROR_CANCELLED; a running query stops within a moment.  A call
 * made while no database is open (before meta_init() or after
 * meta_destruct()) finishes with the store's error "Could not connect to
 * media database", code -1.  A call already under way when
 * meta_destruct() runs reads the file it started on to the end on its own
 * connection and finishes as usual (or with the store's error, when the
 * file is gone).  A database without a file (":memory:") has no second
 * connection: there the work runs on the library's connection, under its
 * lock.
 *
 * A store that is not an MpLibraryStoreDatabase gets the critical of the
 * synchronous call, and the callback is never called; a %NULL @album of
 * mp_library_store_database_get_album_songs_async() gets its critical, and
 * the callback gets %NULL without an error. */

/**
 * mp_library_store_database_get_songs_async:
 * @mp_library_store: the store
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_get_songs() off the caller's thread.
 */
TESSEL_API void mp_library_store_database_get_songs_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data);

/**
 * mp_library_store_database_get_songs_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of a failed or cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   songs, as mp_library_store_database_get_songs() returns them
 */
TESSEL_API GList *mp_library_store_database_get_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/**
 * mp_library_store_database_get_album_list_async:
 * @mp_library_store: the store
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_get_album_list() off the caller's
 * thread.
 */
TESSEL_API void mp_library_store_database_get_album_list_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data);

/**
 * mp_library_store_database_get_album_list_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of a failed or cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   albums, as mp_library_store_database_get_album_list() returns them
 */
TESSEL_API GList *mp_library_store_database_get_album_list_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/**
 * mp_library_store_database_get_album_songs_async:
 * @mp_library_store: the store
 * @album_artist: (nullable): the album artist, %NULL for the album whose
 *   album artist is unknown
 * @album: the album title
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_get_album_songs() off the caller's
 * thread.  The texts are copied.
 */
TESSEL_API void mp_library_store_database_get_album_songs_async (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data);

/**
 * mp_library_store_database_get_album_songs_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of a failed or cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   songs, as mp_library_store_database_get_album_songs() returns them
 */
TESSEL_API GList *mp_library_store_database_get_album_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/**
 * mp_library_store_database_get_artist_list_async:
 * @mp_library_store: the store
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_get_artist_list() off the caller's
 * thread.
 */
TESSEL_API void mp_library_store_database_get_artist_list_async (
    MpLibraryStoreDatabase *mp_library_store, GCancellable *cancellable,
    GAsyncReadyCallback callback, gpointer user_data);

/**
 * mp_library_store_database_get_artist_list_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of a failed or cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   artists, as mp_library_store_database_get_artist_list() returns them
 */
TESSEL_API GList *mp_library_store_database_get_artist_list_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/**
 * mp_library_store_database_find_async:
 * @mp_library_store: the store
 * @text: (nullable): what the user typed, UTF-8
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_find() off the caller's thread, so
 * that a player can search as the user types: cancel the search of the
 * previous text when a key is pressed.  The text is copied.
 */
TESSEL_API void mp_library_store_database_find_async (
    MpLibraryStoreDatabase *mp_library_store, const gchar *text,
    GCancellable *cancellable, GAsyncReadyCallback callback,
    gpointer user_data);

/**
 * mp_library_store_database_find_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of a failed or cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   rows found, as mp_library_store_database_find() returns them
 */
TESSEL_API GList *mp_library_store_database_find_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/**
 * mp_library_store_database_get_playlist_songs_async:
 * @mp_library_store: the store
 * @playlist: (type filename): the playlist file, a path or a URI
 * @cancellable: (nullable): to cancel the call, or %NULL
 * @callback: (scope async) (nullable): called with the result on the
 *   caller's thread-default main context
 * @user_data: (closure): data for @callback
 *
 * Starts mp_library_store_database_get_playlist_songs() off the caller's
 * thread: the playlist is read and its entries looked up there.  The text
 * is copied; a relative path is taken against the working directory when
 * the work runs.  A %NULL @playlist finishes with %NULL and no error.
 */
TESSEL_API void mp_library_store_database_get_playlist_songs_async (
    MpLibraryStoreDatabase *mp_library_store, const gchar *playlist,
    GCancellable *cancellable, GAsyncReadyCallback callback,
    gpointer user_data);

/**
 * mp_library_store_database_get_playlist_songs_finish:
 * @mp_library_store: the store
 * @result: the result handed to the callback
 * @error: the place for the error of an unreadable playlist, a failed
 *   query or a cancelled call
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   entries, as mp_library_store_database_get_playlist_songs() returns
 *   them
 */
TESSEL_API GList *mp_library_store_database_get_playlist_songs_finish (
    MpLibraryStoreDatabase *mp_library_store, GAsyncResult *result,
    GError **error);

/* Aggregates: one resource per genre, artist or album with Count (songs)
 * and Length (their total seconds, -1 when none is known).  A non-zero
 * unknown_entry appends one resource for the songs without that value. */

/**
 * mp_library_store_database_get_genres:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *
mp_library_store_database_get_genres (MpLibraryStoreDatabase *mp_library_store,
                                      gboolean unknown_entry, GError **error);

/**
 * mp_library_store_database_get_artists:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_artists (
    MpLibraryStoreDatabase *mp_library_store, gboolean unknown_entry,
    GError **error);

/**
 * mp_library_store_database_get_albums:
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *
mp_library_store_database_get_albums (MpLibraryStoreDatabase *mp_library_store,
                                      gboolean unknown_entry, GError **error);

/**
 * mp_library_store_database_get_albums_by_artist:
 * @artist: (nullable): the artist, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
/* The unknown entry exists only when the artist has songs without album;
 * otherwise it is left out with a critical. */
TESSEL_API GList *mp_library_store_database_get_albums_by_artist (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    gboolean unknown_entry, GError **error);

/**
 * mp_library_store_database_get_artists_by_genre:
 * @genre: (nullable): the genre, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   resources; %NULL when there are none or a query failed
 */
TESSEL_API GList *mp_library_store_database_get_artists_by_genre (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    gboolean unknown_entry, GError **error);

/**
 * mp_library_store_database_get_genres_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
/* Totals: one new resource with Count and Length, NULL on failure.  The
 * genres, artists and albums totals count distinct values. */
TESSEL_API MpMediaResource *mp_library_store_database_get_genres_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_artists_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_artists_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_albums_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_albums_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_artist_length:
 * @artist: (nullable): the artist, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_artist_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *artist,
    GError **error);

/**
 * mp_library_store_database_get_genre_length:
 * @genre: (nullable): the genre, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_genre_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *genre,
    GError **error);

/**
 * mp_library_store_database_get_album_length:
 * @album: (nullable): the album, %NULL for the songs without one
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_album_length (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album,
    GError **error);

/**
 * mp_library_store_database_get_songs_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_songs_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_videos_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *mp_library_store_database_get_videos_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_playlist_unplayed_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *
mp_library_store_database_get_playlist_unplayed_length (
    MpLibraryStoreDatabase *mp_library_store, GError **error);

/**
 * mp_library_store_database_get_playlist_played_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *
mp_library_store_database_get_playlist_played_length (
    MpLibraryStoreDatabase *mp_library_store, long period, GError **error);

/**
 * mp_library_store_database_get_playlist_added_length:
 *
 * Returns: (transfer full) (nullable): a resource with Count and Length, or
 *   %NULL on failure
 */
TESSEL_API MpMediaResource *
mp_library_store_database_get_playlist_added_length (
    MpLibraryStoreDatabase *mp_library_store, long period, GError **error);

G_END_DECLS

#endif /* TESSEL_MP_LIBRARY_STORE_DATABASE_H */
