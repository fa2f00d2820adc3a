/* Albums and artists as a player lists them: one album per album artist
 * and title, one artist per name, whatever the spelling of case and
 * accents.  SQL groups the rows by their exact spellings; the spellings
 * that fold alike are merged here, which leaves far fewer values to fold
 * than there are rows. */
#include "mp_library_store_database.h"
#include "mp_library_store_database-private.h"
#include "mp_library_store_fold-private.h"
#include "metadata_storage-private.h"
#include "tessel-private.h"

#include <libmediaart/mediaart.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

struct SqlFree
{
  void operator() (char *p) const noexcept { sqlite3_free (p); }
};
using Sql = std::unique_ptr<char, SqlFree>;

/* The songs that make albums and artists: present audio files, neither
 * streams nor playlists.  A format: its percent sign is doubled. */
#define SONG_ROWS                                                             \
  "FROM Metadata WHERE Present = 1 AND ( isStream IS NULL OR isStream = 0 "   \
  ") AND MIME LIKE 'audio%%' AND (isPlaylist IS NULL OR isPlaylist = 0) "

const char album_spellings_fmt[]
    = "SELECT Album, %s AS AlbumArtist, Year, COUNT (*) AS Count, SUM "
      "(Length) AS Length " SONG_ROWS "AND Album IS NOT NULL AND Album <> '' "
      "GROUP BY 1, 2, 3";

const char artist_spellings_sql[]
    = "SELECT Artist, COUNT (*) AS Count, SUM (Length) AS Length " SONG_ROWS
      "AND Artist IS NOT NULL AND Artist <> '' GROUP BY 1";

/* Formatted with the album artist expression (three times), the disc
 * column, the album and the album artist test. */
const char album_songs_fmt[]
    = "SELECT Filename, Title, Artist, Album, %s AS AlbumArtist, Genre, "
      "Year, Track, %s AS Disc, Length, MIME, Bitrate " SONG_ROWS
      "AND Album IS NOT NULL AND Album <> '' AND tessel_fold (Album) = "
      "tessel_fold ('%q') AND %s ORDER BY Disc, Track, tessel_fold (Title), "
      "Title, Filename";

/* The connection a routine reads from: a reader, or for NULL the
 * library's own, used under the storage lock. */
sqlite3 *
connection (sqlite3 *db)
{
  return db != NULL ? db : storage_db;
}

/* Whether Metadata has the column name now.  Compiling a statement that
 * names it asks SQLite itself, which reads the schema again when another
 * connection changed it; the storage's column lookup would answer from
 * what this connection last read. */
bool
has_column (sqlite3 *db, const char *name)
{
  g_autofree gchar *sql = g_strdup_printf ("SELECT %s FROM Metadata", name);
  sqlite3_stmt *stmt = NULL;
  bool found = sqlite3_prepare_v2 (connection (db), sql, -1, &stmt, NULL)
               == SQLITE_OK;
  sqlite3_finalize (stmt);
  return found;
}

/* The album artist of a song: its AlbumArtist tag, else "Various Artists"
 * for a compilation, else its artist.  The first two columns exist only
 * once an extractor wrote them; an empty text counts as none. */
std::string
album_artist_expression (sqlite3 *db)
{
  std::vector<std::string> choices;
  if (has_column (db, "AlbumArtist"))
    choices.push_back ("NULLIF (AlbumArtist, '')");
  if (has_column (db, "Compilation"))
    choices.push_back ("CASE WHEN Compilation = 1 THEN 'Various Artists' END");
  choices.push_back ("NULLIF (Artist, '')");
  if (choices.size () == 1)
    return choices[0];
  std::string expression = "COALESCE (";
  for (size_t i = 0; i < choices.size (); i++)
    expression += (i > 0 ? ", " : "") + choices[i];
  return expression + ")";
}

/* tessel_fold (text) in SQL: the folded form of tessel_fold_name, NULL
 * for NULL. */
void
fold_function (sqlite3_context *context, int argc,
               sqlite3_value **argv) noexcept
{
  (void) argc;
  const char *text
      = reinterpret_cast<const char *> (sqlite3_value_text (argv[0]));
  if (text == NULL)
    {
      sqlite3_result_null (context);
      return;
    }
  sqlite3_result_text (context, tessel_fold_name (text), -1, g_free);
}

/* The connection tessel_fold is registered on.  SQLite calls the
 * function's destroy hook when that connection closes, which forgets it:
 * a later connection at the same address is not taken for it. */
sqlite3 *fold_connection;

void
forget_fold_connection (void *data) noexcept
{
  if (fold_connection == data)
    fold_connection = NULL;
}

int
add_fold (sqlite3 *db, void (*destroy) (void *))
{
  return sqlite3_create_function_v2 (
      db, "tessel_fold", 1,
      SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, db,
      fold_function, NULL, NULL, destroy);
}

/* Makes tessel_fold known to the connection; for the library's, call
 * with the storage lock held.  A reader lives for one call on one thread
 * and gets the function each time, apart from what is remembered of the
 * library's connection, which other threads read. */
void
register_fold (sqlite3 *db)
{
  if (db != NULL)
    {
      add_fold (db, NULL);
      return;
    }
  if (storage_db == NULL || fold_connection == storage_db)
    return;
  if (add_fold (storage_db, forget_fold_connection) == SQLITE_OK)
    fold_connection = storage_db;
}

/* How often each spelling of a group occurs. */
class Tally
{
public:
  void
  add (const gchar *text, gint64 count)
  {
    if (text != NULL)
      counts[text] += count;
  }
  /* The most frequent spelling, the first in byte order among equals;
   * NULL when none was added. */
  const gchar *
  most_common () const
  {
    const std::string *best = NULL;
    gint64 best_count = 0;
    for (const auto &entry : counts)
      if (best == NULL || entry.second > best_count)
        {
          best = &entry.first;
          best_count = entry.second;
        }
    return best != NULL ? best->c_str () : NULL;
  }

private:
  std::map<std::string, gint64> counts;
};

/* One album or artist being gathered from the rows of its spellings. */
struct Group
{
  bool unnamed_artist = false; /* album artist unknown: listed last */
  std::string artist_key, album_key;
  Tally artist, album, year;
  gint64 count = 0, length = 0;
  bool length_known = false;

  void
  add_totals (MpMediaResource *row)
  {
    gint rows = MAX (mp_media_resource_get_count (row), 0);
    count += rows;
    gint seconds = mp_media_resource_get_length (row);
    if (seconds >= 0)
      {
        length += seconds;
        length_known = true;
      }
    year.add (mp_media_resource_get_year (row), rows);
  }

  bool
  operator< (const Group &other) const
  {
    if (unnamed_artist != other.unnamed_artist)
      return other.unnamed_artist;
    int order = artist_key.compare (other.artist_key);
    return order != 0 ? order < 0 : album_key < other.album_key;
  }
};

gint
clamp_int (gint64 value)
{
  return static_cast<gint> (MIN (value, static_cast<gint64> (G_MAXINT)));
}

std::string
folded (const gchar *text)
{
  g_autofree gchar *key = tessel_fold_name (text);
  return key != NULL ? key : "";
}

/* The groups of rows, each under the key that says which rows belong
 * together, in sort order. */
class Groups
{
public:
  Group &
  find (const std::string &key)
  {
    auto found = index.find (key);
    if (found != index.end ())
      return groups[found->second];
    index.emplace (key, groups.size ());
    groups.emplace_back ();
    return groups.back ();
  }

  std::vector<Group> &
  sorted ()
  {
    std::sort (groups.begin (), groups.end ());
    return groups;
  }

private:
  std::unordered_map<std::string, size_t> index;
  std::vector<Group> groups;
};

void
release_rows (GList *rows)
{
  g_list_free_full (rows, g_object_unref);
}

MpMediaResource *
group_resource (const Group &group)
{
  MpMediaResource *resource = mp_media_resource_new ();
  mp_media_resource_set_count (resource, clamp_int (group.count));
  mp_media_resource_set_length (resource, group.length_known
                                              ? clamp_int (group.length)
                                              : -1);
  return resource;
}

} // namespace

#define CHECK_STORE(value)                                                    \
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store),      \
                        (value))

/* Albums and artists, grouped ignoring case and accents */

GList *
_mp_library_store_database_album_list_on (sqlite3 *db, GError **error)
{
  GList *rows;
  {
    std::optional<StorageLock> lock;
    if (db == NULL)
      lock.emplace ();
    Sql sql (sqlite3_mprintf (album_spellings_fmt,
                              album_artist_expression (db).c_str ()));
    rows = _mp_library_store_database_search_on (db, sql.get (), error);
  }
  Groups groups;
  for (GList *l = rows; l != NULL; l = l->next)
    {
      auto row = static_cast<MpMediaResource *> (l->data);
      const gchar *artist = mp_media_resource_get_album_artist (row);
      const gchar *album = mp_media_resource_get_album (row);
      std::string artist_key = folded (artist);
      std::string album_key = folded (album);
      /* The NUL cannot occur in a name, so no two pairs make one key. */
      std::string key = (artist != NULL ? "+" : "-") + artist_key;
      key.push_back ('\0');
      key += album_key;
      Group &group = groups.find (key);
      group.unnamed_artist = artist == NULL;
      group.artist_key = artist_key;
      group.album_key = album_key;
      gint rows_here = MAX (mp_media_resource_get_count (row), 0);
      group.artist.add (artist, rows_here);
      group.album.add (album, rows_here);
      group.add_totals (row);
    }
  release_rows (rows);

  GList *albums = NULL;
  for (const Group &group : groups.sorted ())
    {
      MpMediaResource *resource = group_resource (group);
      mp_media_resource_set_album (resource, group.album.most_common ());
      mp_media_resource_set_album_artist (resource,
                                          group.artist.most_common ());
      mp_media_resource_set_year (resource, group.year.most_common ());
      albums = g_list_prepend (albums, resource);
    }
  return g_list_reverse (albums);
}

extern "C" GList *
mp_library_store_database_get_album_list (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_album_list_on (NULL, error);
}

GList *
_mp_library_store_database_artist_list_on (sqlite3 *db, GError **error)
{
  GList *rows
      = _mp_library_store_database_search_on (db, artist_spellings_sql, error);
  Groups groups;
  for (GList *l = rows; l != NULL; l = l->next)
    {
      auto row = static_cast<MpMediaResource *> (l->data);
      const gchar *artist = mp_media_resource_get_artist (row);
      std::string key = folded (artist);
      Group &group = groups.find (key);
      group.artist_key = key;
      group.artist.add (artist, MAX (mp_media_resource_get_count (row), 0));
      group.add_totals (row);
    }
  release_rows (rows);

  GList *artists = NULL;
  for (const Group &group : groups.sorted ())
    {
      MpMediaResource *resource = group_resource (group);
      mp_media_resource_set_artist (resource, group.artist.most_common ());
      artists = g_list_prepend (artists, resource);
    }
  return g_list_reverse (artists);
}

extern "C" GList *
mp_library_store_database_get_artist_list (
    MpLibraryStoreDatabase *mp_library_store, GError **error)
{
  CHECK_STORE (NULL);
  return _mp_library_store_database_artist_list_on (NULL, error);
}

GList *
_mp_library_store_database_album_songs_on (sqlite3 *db,
                                           const gchar *album_artist,
                                           const gchar *album, GError **error)
{
  std::optional<StorageLock> lock;
  if (db == NULL)
    lock.emplace ();
  /* Should registering fail, the query fails for want of the function and
   * the caller hears of it as of any query that failed. */
  register_fold (db);
  std::string artist = album_artist_expression (db);
  Sql artist_test (
      album_artist != NULL
          ? sqlite3_mprintf ("tessel_fold (%s) = tessel_fold ('%q')",
                             artist.c_str (), album_artist)
          : sqlite3_mprintf ("%s IS NULL", artist.c_str ()));
  const char *disc = has_column (db, "Disc") ? "Disc" : "NULL";
  Sql sql (sqlite3_mprintf (album_songs_fmt, artist.c_str (), disc, album,
                            artist_test.get ()));
  return _mp_library_store_database_search_on (db, sql.get (), error);
}

extern "C" GList *
mp_library_store_database_get_album_songs (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GError **error)
{
  CHECK_STORE (NULL);
  g_return_val_if_fail (album != NULL, NULL);
  return _mp_library_store_database_album_songs_on (NULL, album_artist, album,
                                                    error);
}

extern "C" gchar *
mp_library_store_database_get_album_art (
    MpLibraryStoreDatabase *mp_library_store, const gchar *album_artist,
    const gchar *album, GError **error)
{
  CHECK_STORE (NULL);
  g_return_val_if_fail (album != NULL, NULL);
  (void) error;
  /* libmediaart names covers after UTF-8 texts only: a name stored as
   * other bytes has none. */
  if (*album == '\0' || !g_utf8_validate (album, -1, NULL)
      || (album_artist != NULL && !g_utf8_validate (album_artist, -1, NULL)))
    return NULL;
  gchar *path = NULL;
  /* A link libmediaart made to another album's file counts when that
   * file is there. */
  if (!media_art_get_path (album_artist != NULL && *album_artist != '\0'
                               ? album_artist
                               : NULL,
                           album, "album", &path)
      || path == NULL || !g_file_test (path, G_FILE_TEST_IS_REGULAR))
    {
      g_free (path);
      return NULL;
    }
  return path;
}
