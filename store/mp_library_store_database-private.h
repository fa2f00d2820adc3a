/* The SQL texts of the database store, shared with its benchmark so that
 * the bare queries measured there are exactly the store's own.  Not part of
 * the public ABI. */
#ifndef TESSEL_MP_LIBRARY_STORE_DATABASE_PRIVATE_H
#define TESSEL_MP_LIBRARY_STORE_DATABASE_PRIVATE_H

#include <string.h>

#include <string>

#include <sqlite3.h>

#include "metadata_storage_fts-private.h"
#include "mp_library_store_database.h"

/* The texts below are what the browsing screens have always run, spacing
 * and repeated tests included; results depend on every condition, so they
 * are kept exactly as they stand (a SELECT DISTINCT may run without its
 * DISTINCT where that drops nothing: see below).  Those holding %q or %ld
 * are formats for sqlite3_mprintf (a literal percent sign is %% there);
 * the others run unchanged, so their single % is the LIKE wildcard. */

#define ORDERED_SONGS_HEAD                                                    \
  "SELECT Filename, Title, Length, MIME, Artist, Album FROM Metadata "        \
  "WHERE Present = 1 AND (Length IS NOT NULL OR Length > 0) AND ( "           \
  "isStream IS NULL OR isStream = 0 ) AND  MIME LIKE 'audio%' AND  MIME "     \
  "NOT LIKE 'audio/x-scpls' AND  MIME NOT LIKE 'audio/x-mpegurl' AND  "       \
  "MIME NOT LIKE 'audio/x-pn-realaudio' AND  MIME NOT LIKE "                  \
  "'audio/x-pn-realaudio-plugin' AND  MIME NOT LIKE "                         \
  "'application/x-ms-asx' AND  MIME NOT LIKE 'audio/x-ms-wax' AND  MIME "     \
  "NOT LIKE 'video/x-ms-wvx' AND  MIME NOT LIKE 'video/x-ms-wvx' AND "        \
  "MIME NOT LIKE 'application/vnd.ms-wpl' AND "

static const char uri_sql[]
    = "SELECT Filename, Title, Length, MIME, Album, Artist, Track, "
      "Genre, Year, Bitrate, isPlaylist, isStream FROM Metadata WHERE "
      "Filename = '%q'";

static const char ordered_album_set[]
    = ORDERED_SONGS_HEAD
      "Album IS NOT NULL ORDER BY UPPER (Album), Track, UPPER (Title), "
      "UPPER (Filename)";

static const char ordered_album_null[]
    = ORDERED_SONGS_HEAD
      "Album IS NULL ORDER BY Track, UPPER (Title), UPPER (Filename)";

static const char ordered_genre_set[]
    = ORDERED_SONGS_HEAD
      "Genre IS NOT NULL ORDER BY UPPER (Genre), Track, UPPER (Title), "
      "UPPER (Filename)";

static const char ordered_genre_null[]
    = ORDERED_SONGS_HEAD
      "Genre IS NULL ORDER BY Track, UPPER (Title), UPPER (Filename)";

static const char ordered_artist_set[]
    = ORDERED_SONGS_HEAD
      "Artist IS NOT NULL ORDER BY UPPER (Artist), Track, UPPER (Title), "
      "UPPER (Filename)";

static const char ordered_artist_null[]
    = ORDERED_SONGS_HEAD
      "Artist IS NULL ORDER BY Track, UPPER (Title), UPPER (Filename)";

static const char songs_sql[]
    = "SELECT DISTINCT Filename, Title, Length, MIME, Album, Artist FROM "
      "Metadata WHERE Present = 1 AND MIME LIKE 'audio%' AND ( isStream "
      "IS NULL OR isStream = 0 ) AND MIME NOT LIKE 'audio/x-scpls' AND "
      "MIME NOT LIKE 'audio/x-mpegurl' AND MIME NOT LIKE "
      "'audio/x-pn-realaudio' AND MIME NOT LIKE "
      "'audio/x-pn-realaudio-plugin' AND MIME NOT LIKE "
      "'application/x-ms-asx' AND MIME NOT LIKE 'audio/x-ms-wax' AND "
      "MIME NOT LIKE 'video/x-ms-wvx' AND MIME NOT LIKE 'video/x-ms-wvx' "
      "AND MIME NOT LIKE 'application/vnd.ms-wpl' ORDER BY UPPER(Title), "
      "UPPER(Filename)";

static const char videos_sql[]
    = "SELECT DISTINCT Filename, Title, Length, MIME FROM Metadata WHERE "
      "Present = 1 AND ((MIME LIKE 'video%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0)) OR isStream = 1) ORDER BY UPPER(Title), "
      "UPPER(Filename)";

static const char playlists_sql[]
    = "SELECT DISTINCT Filename, MIME FROM Metadata WHERE Present = 1 "
      "AND isPlaylist = '1'";

static const char user_playlists_sql[]
    = "SELECT DISTINCT Filename,MIME FROM Metadata WHERE Present = 1 AND "
      "(MIME LIKE 'audio/x-scpls' OR MIME LIKE 'audio/x-mpegurl' OR MIME "
      "LIKE 'audio/x-pn-realaudio' OR MIME LIKE "
      "'audio/x-pn-realaudio-plugin' OR (MIME LIKE "
      "'application/x-ms-asx' AND isPlaylist = 1) OR MIME LIKE "
      "'audio/x-ms-wax' OR MIME LIKE 'video/x-ms-wvx' OR MIME LIKE "
      "'video/x-ms-wvx' OR MIME LIKE 'application/vnd.ms-wpl') ORDER BY "
      "UPPER(Title), UPPER(Filename)";

static const char unplayed_sql[]
    = "SELECT DISTINCT Filename,Title, MIME, Length, Album FROM Metadata "
      "WHERE Present = 1 AND AccessTime IS NULL AND isPlaylist IS NULL "
      "AND MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg' ORDER BY UPPER(Title), UPPER(Filename)";

static const char songs_by_artist_fmt[]
    = "SELECT Filename, Title, Length, MIME, Artist FROM Metadata WHERE "
      "Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND MIME "
      "LIKE 'audio%%' AND Artist = '%q' ORDER BY Track, UPPER(Title)";

static const char songs_by_artist_null[]
    = "SELECT Filename,Title, Length, MIME FROM Metadata WHERE Present = "
      "1 AND ( isStream IS NULL OR isStream = 0 ) AND Artist IS NULL AND "
      "MIME LIKE 'audio%' AND isPlaylist IS NULL ORDER BY Track, "
      "UPPER(Title)";

static const char songs_by_album_fmt[]
    = "SELECT Filename, Title, Length, Album, MIME, Artist FROM Metadata "
      "WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND "
      "Album = '%q' ORDER BY Track, UPPER(Title)";

static const char songs_by_album_null[]
    = "SELECT Filename,Title, Length, MIME, Artist FROM Metadata WHERE "
      "Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND Album IS "
      "NULL AND MIME LIKE 'audio%' AND isPlaylist IS NULL ORDER BY "
      "Track, UPPER(Title)";

static const char songs_by_genre_fmt[]
    = "SELECT Filename, Title, Length, Album, Artist, MIME FROM Metadata "
      "WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND "
      "Genre = '%q' ORDER BY Track, UPPER(Title)";

static const char songs_by_genre_null[]
    = "SELECT Filename,Title, Length, MIME, Artist FROM Metadata WHERE "
      "Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND Genre IS "
      "NULL AND MIME LIKE 'audio%' AND isPlaylist IS NULL ORDER BY "
      "Track, UPPER(Title)";

static const char unknown_album_songs_fmt[]
    = "SELECT Filename, Title, MIME, Length FROM Metadata WHERE Present "
      "= 1 AND ( isStream IS NULL OR isStream = 0 ) AND Artist = '%q' "
      "AND Album IS NULL ORDER BY UPPER(Title), UPPER(Filename)";

static const char unknown_album_songs_null[]
    = "SELECT Filename, Title, MIME, Length FROM Metadata WHERE Present "
      "= 1 AND ( isStream IS NULL OR isStream = 0 ) AND Artist IS NULL "
      "AND MIME LIKE 'audio%' AND isPlaylist IS NULL ORDER BY "
      "UPPER(Title), UPPER(Filename)";

static const char songs_by_artist_genre_fmt[]
    = "SELECT Filename, Title, MIME, Length, Artist, Album FROM Metadata "
      "WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND "
      "Genre = '%q' AND Artist = '%q' ORDER BY UPPER(Title)";

static const char songs_by_artist_genre_no_genre_fmt[]
    = "SELECT Filename, Title, MIME, Album, Artist, Length FROM Metadata "
      "WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND "
      "Genre IS NULL AND Artist = '%q' ORDER BY UPPER(Title)";

static const char songs_by_artist_genre_no_artist_fmt[]
    = "SELECT Filename, Title, MIME, Length, Album FROM Metadata WHERE "
      "Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND Genre = "
      "'%q' AND Artist IS NULL ORDER BY UPPER(Title)";

static const char songs_by_artist_genre_null[]
    = "SELECT Filename, Title, MIME, Album, Length FROM Metadata WHERE "
      "Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND Genre IS "
      "NULL AND Artist IS NULL AND MIME LIKE 'audio%' AND isPlaylist IS "
      "NULL ORDER BY UPPER(Title)";

static const char songs_by_artist_album_fmt[]
    = "SELECT Artist, Album, Filename, Title, MIME, Length FROM Metadata "
      "WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 ) AND "
      "Artist = '%q' AND Album = '%q' ORDER BY Track, UPPER(Title)";

static const char played_fmt[]
    = "SELECT DISTINCT Filename,Title, MIME, Length, Album FROM Metadata "
      "WHERE Present = 1 AND AccessTime > %ld AND isPlaylist IS NULL AND "
      "MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg' ORDER BY AccessTime DESC";

static const char added_fmt[]
    = "SELECT DISTINCT Filename, Title, MIME, Length, Album FROM "
      "Metadata WHERE Present = 1 AND AddedTime > %ld AND isPlaylist IS "
      "NULL AND MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg' ORDER BY AddedTime DESC";

static const char genres_sql[]
    = "SELECT Genre, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND ( isStream IS NULL OR "
      "isStream = 0 ) AND MIME LIKE 'audio%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0) AND Genre IS NOT NULL GROUP BY Genre ORDER BY "
      "UPPER(Genre)";

static const char genres_unknown_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Genre IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char artists_sql[]
    = "SELECT Artist, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND ( isStream IS NULL OR "
      "isStream = 0 ) AND MIME LIKE 'audio%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0) AND Artist IS NOT NULL GROUP BY Artist ORDER BY "
      "UPPER(Artist)";

static const char artists_unknown_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Artist IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char albums_sql[]
    = "SELECT Album, Artist, COUNT(Filename) AS Count, SUM(Length) AS "
      "Length FROM Metadata WHERE Present = 1 AND ( isStream IS NULL OR "
      "isStream = 0 ) AND MIME LIKE 'audio%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0) AND Album IS NOT NULL GROUP BY Album ORDER BY "
      "UPPER(Album)";

static const char albums_unknown_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Album IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char albums_by_artist_fmt[]
    = "SELECT Album, Artist, COUNT(Filename) AS Count, SUM(Length) AS "
      "Length FROM Metadata WHERE Present = 1 AND Artist = '%q' AND "
      "Album IS NOT NULL GROUP BY Album ORDER BY UPPER(Album)";

static const char albums_by_artist_unknown_fmt[]
    = "SELECT Artist, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND Artist = '%q' AND Album IS "
      "NULL GROUP BY Album";

static const char albums_by_artist_null[]
    = "SELECT Album, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND Artist IS NULL AND Album IS "
      "NOT NULL GROUP BY Album ORDER BY UPPER(Album)";

static const char albums_by_artist_null_unknown[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Artist IS NULL AND Album IS NULL "
      "GROUP BY Album";

static const char artists_by_genre_fmt[]
    = "SELECT Artist, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND Artist IS NOT NULL AND Genre "
      "= '%q' AND MIME LIKE 'audio%%' AND isPlaylist IS NULL GROUP BY "
      "Artist ORDER BY UPPER(Artist)";

static const char artists_by_genre_unknown_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Artist IS NULL AND Genre = '%q' "
      "AND MIME LIKE 'audio%%' AND isPlaylist IS NULL";

static const char artists_by_genre_null[]
    = "SELECT Artist, COUNT(Filename) AS Count, SUM(Length) AS Length "
      "FROM Metadata WHERE Present = 1 AND Artist IS NOT NULL AND Genre "
      "IS NULL AND MIME LIKE 'audio%%' AND isPlaylist IS NULL GROUP BY "
      "Artist ORDER BY UPPER(Artist)";

static const char artists_by_genre_null_unknown[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Genre IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL AND Artist IS NULL";

static const char genres_length_sql[]
    = "SELECT Count, Length FROM (SELECT COUNT (DistinctStuff) AS Count "
      "FROM (SELECT DISTINCT(Genre) AS DistinctStuff FROM Metadata WHERE "
      "Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0) AND Genre IS NOT NULL AND ( isStream IS NULL OR "
      "isStream = 0 ))), (SELECT SUM(Length) AS Length FROM Metadata "
      "WHERE Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL "
      "OR isPlaylist = 0) AND Genre IS NOT NULL)";

static const char albums_length_sql[]
    = "SELECT Count, Length FROM (SELECT COUNT (DistinctStuff) AS Count "
      "FROM (SELECT DISTINCT(Album) AS DistinctStuff FROM Metadata WHERE "
      "Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL OR "
      "isPlaylist = 0) AND Album IS NOT NULL AND ( isStream IS NULL OR "
      "isStream = 0 ))), (SELECT SUM(Length) AS Length FROM Metadata "
      "WHERE Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL "
      "OR isPlaylist = 0) AND Album IS NOT NULL)";

static const char artists_length_sql[]
    = "SELECT Count, Length FROM (SELECT COUNT (DistinctStuff) AS Count "
      "FROM (SELECT DISTINCT(Artist) AS DistinctStuff FROM Metadata "
      "WHERE Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL "
      "OR isPlaylist = 0) AND Artist IS NOT NULL AND ( isStream IS NULL "
      "OR isStream = 0 ))), (SELECT SUM(Length) AS Length FROM Metadata "
      "WHERE Present = 1 AND MIME LIKE 'audio%' AND (isPlaylist IS NULL "
      "OR isPlaylist = 0) AND Artist IS NOT NULL)";

static const char artist_length_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Artist = '%q'";

static const char artist_length_null[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Artist IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char genre_length_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Genre = '%q'";

static const char genre_length_null[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Genre IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char album_length_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Album = '%q'";

static const char album_length_null[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND Album IS NULL AND MIME LIKE "
      "'audio%' AND isPlaylist IS NULL";

static const char songs_length_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND MIME LIKE 'audio%' AND isPlaylist "
      "IS NULL";

static const char videos_length_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND ((MIME LIKE 'video%' AND "
      "(isPlaylist IS NULL OR isPlaylist = 0)) OR isStream = 1)";

static const char unplayed_length_sql[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND AccessTime IS NULL AND isPlaylist "
      "IS NULL AND MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg'";

static const char played_length_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND AccessTime > %ld AND isPlaylist "
      "IS NULL AND MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg'";

static const char added_length_fmt[]
    = "SELECT SUM (Length) as Length,COUNT (Filename) as Count FROM "
      "Metadata WHERE Present = 1  AND AddedTime > %ld AND isPlaylist IS "
      "NULL AND MIME NOT LIKE 'video/x-msvideo' AND MIME NOT LIKE "
      "'video/x-ms-wmv' AND MIME NOT LIKE 'video/x-ms-wm' AND MIME NOT "
      "LIKE 'video/x-ms-asf' AND MIME NOT LIKE 'video/x-real' AND MIME "
      "NOT LIKE 'video/x-mp4' AND MIME NOT LIKE 'video/3gpp' AND MIME "
      "NOT LIKE 'video/mpeg'";

/* Finding by words: the rows whose title, artist, album, genre or file
 * name hold every word of the match expression (%q), present rows only,
 * best first by the index's rank function; among equal matches a shorter
 * title first (the title that is only the word), then by title and file
 * name. */
static const char find_fmt[]
    = "SELECT Metadata.Filename AS Filename, Metadata.Title AS Title, "
      "Metadata.Length AS Length, Metadata.MIME AS MIME, Metadata.Album AS "
      "Album, Metadata.Artist AS Artist, Metadata.Track AS Track, "
      "Metadata.Genre AS Genre, Metadata.Year AS Year, Metadata.Bitrate AS "
      "Bitrate, Metadata.isPlaylist AS isPlaylist, Metadata.isStream AS "
      "isStream FROM " STORAGE_SEARCH_TABLE " JOIN Metadata ON "
      "Metadata.rowid = " STORAGE_SEARCH_TABLE ".rowid WHERE "
      STORAGE_SEARCH_TABLE " MATCH '%q' AND Metadata.Present = 1 ORDER BY "
      STORAGE_SEARCH_RANK " (" STORAGE_SEARCH_TABLE "), length "
      "(Metadata.Title), UPPER (Metadata.Title), UPPER (Metadata.Filename)";

/* The listings of whole kinds of rows (songs, videos, playlists, the
 * unplayed, played and added items) are SELECT DISTINCT texts whose rows
 * hold the file name.  Where no two rows can be alike
 * (storage_file_names_unique), DISTINCT drops nothing, yet SQLite would
 * still build a temporary index of every row listed: at 100,000 rows
 * most of the time of the songs, spilled to temporary files.  The store
 * runs such a text without it; this gives that text. */
static inline std::string
_mp_library_store_database_without_distinct (const char *text)
{
  static const char distinct[] = "SELECT DISTINCT ";
  if (strncmp (text, distinct, strlen (distinct)) != 0)
    return text;
  return std::string ("SELECT ") + (text + strlen (distinct));
}

/* Runs text, a SELECT DISTINCT of the listings above, on db as
 * _mp_library_store_database_search_on does, without the DISTINCT where
 * it would drop nothing. */
G_GNUC_INTERNAL GList *_mp_library_store_database_distinct_on (
    sqlite3 *db, const gchar *text, GError **error);

/* The store's search step: the rows of filter as new resources, NULL for
 * none or on failure, when error (if given and still empty) receives the
 * store's error. */
G_GNUC_INTERNAL GList *
_mp_library_store_database_search_sync (MpLibraryStoreDatabase *store,
                                        const gchar *filter, GError **error);

/* Stores the store's error ("Could not connect to media database") in
 * error, if given and still empty. */
G_GNUC_INTERNAL void _mp_library_store_database_set_error (GError **error);

/* The domain of the store's errors. */
G_GNUC_INTERNAL GQuark _mp_library_store_database_error_quark (void);

/* The work of the calls that also have an asynchronous form, on the
 * connection db: a reader connection of the calling thread
 * (metadata_storage_reader-private.h), or NULL for the library's own,
 * which they use under the storage lock.  Each returns what its
 * synchronous call returns; the arguments are checked already. */
G_GNUC_INTERNAL GList *_mp_library_store_database_search_on (
    sqlite3 *db, const gchar *filter, GError **error);
G_GNUC_INTERNAL GList *_mp_library_store_database_find_on (sqlite3 *db,
                                                           const gchar *text,
                                                           GError **error);
G_GNUC_INTERNAL GList *
_mp_library_store_database_album_list_on (sqlite3 *db, GError **error);
G_GNUC_INTERNAL GList *
_mp_library_store_database_artist_list_on (sqlite3 *db, GError **error);
G_GNUC_INTERNAL GList *_mp_library_store_database_album_songs_on (
    sqlite3 *db, const gchar *album_artist, const gchar *album,
    GError **error);
G_GNUC_INTERNAL GList *_mp_library_store_database_playlist_songs_on (
    sqlite3 *db, const gchar *playlist, GError **error);

#endif /* TESSEL_MP_LIBRARY_STORE_DATABASE_PRIVATE_H */
