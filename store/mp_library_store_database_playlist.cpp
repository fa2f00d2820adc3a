/* Playlist contents: the entries of a playlist file as the playlist parser
 * reads them, each answered by its row of the table where there is one. */
#include "mp_library_store_database.h"
#include "mp_library_store_database-private.h"
#include "metadata_storage-private.h"

#include <memory>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sqlite3.h>
#include <totem-pl-parser.h>

namespace
{

/* A playlist larger than this is no list of songs; its #EXTINF lengths are
 * not looked for. */
constexpr gsize M3U_SCAN_LIMIT = 16 * 1024 * 1024;

/* The byte order mark some editors put at the start of a UTF-8 file. */
constexpr char BOM[] = "\xEF\xBB\xBF";

/* One entry as the playlist gives it. */
struct PlaylistEntry
{
  gchar *filename; /* resolved absolute path, or the URI as written */
  gchar *title;    /* NULL when the playlist gives none */
  gint length;     /* seconds, -1 when the playlist gives none */
};

void
playlist_entry_free (gpointer data)
{
  auto entry = static_cast<PlaylistEntry *> (data);
  g_free (entry->filename);
  g_free (entry->title);
  g_free (entry);
}

/* What the parser's callback fills in. */
struct Reading
{
  GPtrArray *entries; /* of PlaylistEntry, in the playlist's order */
  const gchar *folder; /* the local playlist's folder, or NULL */
};

/* The name an entry's row would have: a local entry's absolute path with
 * "." and ".." taken out, any other URI as written.  The parser resolves
 * relative paths itself; one it leaves relative is taken from folder. */
gchar *
entry_filename (const char *uri, const char *folder)
{
  if (g_path_is_absolute (uri))
    return g_canonicalize_filename (uri, NULL);
  g_autofree gchar *scheme = g_uri_parse_scheme (uri);
  if (scheme == NULL)
    return folder != NULL ? g_canonicalize_filename (uri, folder)
                          : g_strdup (uri);
  if (g_ascii_strcasecmp (scheme, "file") == 0)
    {
      /* NULL for a URI naming another host or badly escaped: that one is
       * kept as written. */
      g_autofree gchar *path = g_filename_from_uri (uri, NULL, NULL);
      if (path != NULL)
        return g_canonicalize_filename (path, NULL);
    }
  return g_strdup (uri);
}

gboolean
is_stream (const char *filename)
{
  static const char *const schemes[] = { "http", "https", "mms", "rtsp" };
  g_autofree gchar *scheme = g_uri_parse_scheme (filename);
  if (scheme == NULL)
    return FALSE;
  for (const char *s : schemes)
    if (g_ascii_strcasecmp (scheme, s) == 0)
      return TRUE;
  return FALSE;
}

/* Seconds clamped to the range of the Length property; -1 for none. */
gint
seconds_or_unknown (gint64 seconds)
{
  if (seconds < 0)
    return -1;
  return static_cast<gint> (MIN (seconds, static_cast<gint64> (G_MAXINT)));
}

/* The entry's length as the playlist states it: XSPF in milliseconds, the
 * other formats in seconds (PLS) or as a clock time (ASX). */
gint
entry_length (GHashTable *metadata)
{
  auto ms = static_cast<const char *> (
      g_hash_table_lookup (metadata, TOTEM_PL_PARSER_FIELD_DURATION_MS));
  gint64 value;
  if (ms != NULL)
    return g_ascii_string_to_signed (ms, 10, 0, G_MAXINT64, &value, NULL)
               ? seconds_or_unknown (value / 1000)
               : -1;
  auto duration = static_cast<const char *> (
      g_hash_table_lookup (metadata, TOTEM_PL_PARSER_FIELD_DURATION));
  if (duration == NULL)
    return -1;
  /* Plain seconds are read here: the parser's own reading takes a number
   * with a fraction for a clock time. */
  if (g_ascii_string_to_signed (duration, 10, G_MININT64, G_MAXINT64, &value,
                                NULL))
    return seconds_or_unknown (value);
  return seconds_or_unknown (totem_pl_parser_parse_duration (duration, FALSE));
}

void
on_entry_parsed (TotemPlParser *parser, const char *uri, GHashTable *metadata,
                 gpointer data) noexcept
{
  (void) parser;
  auto reading = static_cast<Reading *> (data);
  if (uri == NULL)
    return;
  g_autofree gchar *filename = entry_filename (uri, reading->folder);
  /* The parser takes an M3U's first line for a location when a byte order
   * mark precedes its "#EXTM3U"; no location line begins with "#". */
  g_autofree gchar *name = g_path_get_basename (filename);
  if (g_str_has_prefix (name, BOM) && name[strlen (BOM)] == '#')
    return;
  auto entry = g_new0 (PlaylistEntry, 1);
  entry->filename = g_steal_pointer (&filename);
  auto title = static_cast<const char *> (
      g_hash_table_lookup (metadata, TOTEM_PL_PARSER_FIELD_TITLE));
  if (title != NULL && *title != '\0' && g_utf8_validate (title, -1, NULL))
    entry->title = g_strdup (title);
  entry->length = entry_length (metadata);
  g_ptr_array_add (reading->entries, entry);
}

/* The seconds of an "#EXTINF:" line, -1 when it gives none. */
gint
extinf_seconds (const char *line)
{
  const char *start = line + strlen ("#EXTINF:");
  char *end = NULL;
  gint64 seconds = g_ascii_strtoll (start, &end, 10);
  if (end == start
      || (*end != ',' && *end != '.' && *end != '\0'
          && !g_ascii_isspace (*end)))
    return -1;
  return seconds_or_unknown (seconds);
}

/* The parser reads the title of an M3U's "#EXTINF:" line but not its
 * length.  This gives the lengths: one per location line, in order (-1
 * for a line without #EXTINF), or none at all for a file without an
 * #EXTINF line, as every other format is. */
GArray *
m3u_lengths (const char *path)
{
  GArray *lengths = g_array_new (FALSE, FALSE, sizeof (gint));
  GStatBuf st;
  g_autofree gchar *text = NULL;
  if (g_stat (path, &st) != 0
      || st.st_size > static_cast<goffset> (M3U_SCAN_LIMIT)
      || !g_file_get_contents (path, &text, NULL, NULL))
    return lengths;
  gboolean any = FALSE;
  gint pending = -1;
  const gchar *start = text;
  if (g_str_has_prefix (start, BOM))
    start += strlen (BOM);
  g_auto (GStrv) lines = g_strsplit (start, "\n", -1);
  for (gchar **l = lines; *l != NULL; l++)
    {
      gchar *line = g_strstrip (*l);
      if (g_str_has_prefix (line, "#EXTINF:"))
        {
          pending = extinf_seconds (line);
          any = TRUE;
        }
      else if (*line != '\0' && *line != '#')
        {
          g_array_append_val (lengths, pending);
          pending = -1;
        }
    }
  if (!any)
    g_array_set_size (lengths, 0);
  return lengths;
}

/* Adds the #EXTINF lengths to the entries that have no length of their
 * own.  Only when every location line gave an entry can line and entry be
 * paired; otherwise the lengths stay unknown. */
void
add_m3u_lengths (const char *path, GPtrArray *entries)
{
  g_autoptr (GArray) lengths = m3u_lengths (path);
  if (lengths->len != entries->len)
    return;
  for (guint i = 0; i < entries->len; i++)
    {
      auto entry
          = static_cast<PlaylistEntry *> (g_ptr_array_index (entries, i));
      if (entry->length < 0)
        entry->length = g_array_index (lengths, gint, i);
    }
}

void
set_playlist_error (GError **error, const char *playlist,
                    MpLibraryStoreDatabaseError code, const char *reason)
{
  g_autofree gchar *shown = g_utf8_make_valid (playlist, -1);
  g_set_error (error, _mp_library_store_database_error_quark (), code,
               "Cannot read playlist '%s': %s", shown, reason);
}

/* TRUE when path is a file that can be opened for reading; otherwise FALSE
 * with the error set.  The parser would read a folder's files as a
 * playlist, and could wait forever on a pipe. */
gboolean
check_local_playlist (const char *path, const char *playlist, GError **error)
{
  GStatBuf st;
  int failure = 0;
  if (g_stat (path, &st) != 0)
    failure = errno;
  else if (S_ISDIR (st.st_mode))
    failure = EISDIR;
  else if (!S_ISREG (st.st_mode))
    {
      set_playlist_error (error, playlist,
                          MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE,
                          "not a regular file");
      return FALSE;
    }
  else if (g_access (path, R_OK) != 0)
    failure = errno;
  if (failure == 0)
    return TRUE;
  set_playlist_error (error, playlist,
                      MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE,
                      g_strerror (failure));
  return FALSE;
}

/* A text naming a scheme before "://" (or "file:") is a URI; anything
 * else a path, so that a file name with a colon is still a file. */
GFile *
playlist_file (const char *playlist)
{
  g_autofree gchar *scheme = g_uri_parse_scheme (playlist);
  if (scheme != NULL
      && (g_str_has_prefix (playlist + strlen (scheme), "://")
          || g_ascii_strcasecmp (scheme, "file") == 0))
    return g_file_new_for_uri (playlist);
  return g_file_new_for_path (playlist);
}

/* Reads the playlist's entries into entries; FALSE with the error set when
 * it cannot be read or is in no known format. */
gboolean
read_playlist (const char *playlist, GPtrArray *entries, GError **error)
{
  g_autoptr (GFile) file = playlist_file (playlist);
  g_autofree gchar *path = g_file_get_path (file);
  if (path != NULL && !check_local_playlist (path, playlist, error))
    return FALSE;
  g_autofree gchar *folder = path != NULL ? g_path_get_dirname (path) : NULL;
  g_autofree gchar *uri = g_file_get_uri (file);

  Reading reading = { entries, folder };
  g_autoptr (TotemPlParser) parser = totem_pl_parser_new ();
  /* Playlists named by this one are entries, not read in turn: a remote
   * one would be fetched.  A remote playlist may not name local files or
   * devices. */
  g_object_set (parser, "recurse", FALSE, "disable-unsafe", path == NULL,
                NULL);
  g_signal_connect (parser, "entry-parsed", G_CALLBACK (on_entry_parsed),
                    &reading);
  switch (totem_pl_parser_parse (parser, uri, FALSE))
    {
    case TOTEM_PL_PARSER_RESULT_SUCCESS:
      if (path != NULL)
        add_m3u_lengths (path, entries);
      return TRUE;
    case TOTEM_PL_PARSER_RESULT_UNHANDLED:
    case TOTEM_PL_PARSER_RESULT_IGNORED:
      set_playlist_error (error, playlist,
                          MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_FORMAT,
                          "not in a known playlist format");
      return FALSE;
    default:
      set_playlist_error (error, playlist,
                          MP_LIBRARY_STORE_DATABASE_ERROR_PLAYLIST_UNREADABLE,
                          "the playlist parser could not read it");
      return FALSE;
    }
}

/* The lookup of one entry's row: every column of the table that a
 * property of a resource is named after (ignoring case, as SQL does), each
 * under the property's name, which is how the storage search applies it.
 * A format for sqlite3_mprintf taking the file name.  The columns are
 * those of the table as it is now: a statement that runs sees a column
 * another connection has added since.  When the table cannot be read, the
 * lookup asks for the file name only, and fails as the table does. */
gchar *
row_format (sqlite3 *db)
{
  GString *sql = g_string_new ("SELECT Filename AS Filename");
  static const char all_columns[] = "SELECT * FROM Metadata LIMIT 0";
  sqlite3_stmt *columns = NULL;
  int rc = db != NULL
               ? sqlite3_prepare_v2 (db, all_columns, -1, &columns, NULL)
               : storage_query_rows (all_columns, &columns);
  StorageStmt stmt (columns);
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    columns = NULL;
  GObjectClass *klass
      = G_OBJECT_CLASS (g_type_class_ref (MP_TYPE_MEDIA_RESOURCE));
  guint count = 0;
  GParamSpec **specs = g_object_class_list_properties (klass, &count);
  /* A column that equals a property's name is an identifier, fit to
   * enter the statement bare. */
  for (int c = 0; columns != NULL && c < sqlite3_column_count (columns); c++)
    {
      const char *column = sqlite3_column_name (columns, c);
      for (guint i = 0; i < count; i++)
        if ((specs[i]->flags & G_PARAM_WRITABLE) && column != NULL
            && strcmp (specs[i]->name, "Filename") != 0
            && g_ascii_strcasecmp (column, specs[i]->name) == 0)
          g_string_append_printf (sql, ", %s AS %s", column, specs[i]->name);
    }
  g_free (specs);
  g_type_class_unref (klass);
  g_string_append (sql, " FROM Metadata WHERE Filename = '%q'");
  return g_string_free (sql, FALSE);
}

/* The resource of an entry the table has no row for. */
MpMediaResource *
entry_resource (const PlaylistEntry *entry)
{
  MpMediaResource *resource = mp_media_resource_new ();
  mp_media_resource_set_uri (resource, entry->filename);
  mp_media_resource_set_title (resource, entry->title);
  mp_media_resource_set_length (resource, entry->length);
  mp_media_resource_set_is_stream (resource, is_stream (entry->filename));
  return resource;
}

void
free_resources (GList *list)
{
  g_list_free_full (list, g_object_unref);
}

/* Hands failure to the caller unless it gave no location or one that
 * holds an error already; NULL, the call's result. */
GList *
fail (GError *failure, GError **error)
{
  if (error != NULL && *error == NULL)
    g_propagate_error (error, failure);
  else
    g_error_free (failure);
  return NULL;
}

} // namespace

extern "C" GList *
mp_library_store_database_get_playlist_songs (
    MpLibraryStoreDatabase *mp_library_store, const gchar *playlist,
    GError **error)
{
  g_return_val_if_fail (IS_MP_LIBRARY_STORE_DATABASE (mp_library_store),
                        NULL);
  if (playlist == NULL)
    return NULL;
  return _mp_library_store_database_playlist_songs_on (NULL, playlist, error);
}

GList *
_mp_library_store_database_playlist_songs_on (sqlite3 *db,
                                              const gchar *playlist,
                                              GError **error)
{
  g_autoptr (GPtrArray) entries
      = g_ptr_array_new_with_free_func (playlist_entry_free);
  GError *failure = NULL;
  if (!read_playlist (playlist, entries, &failure))
    return fail (failure, error);
  if (entries->len == 0)
    return NULL;

  /* One picture of the table for the whole playlist, taken after the file
   * was read, so no other thread waits on the reading. */
  std::unique_ptr<StorageLock> lock (db == NULL ? new StorageLock ()
                                                : nullptr);
  g_autofree gchar *format = row_format (db);
  GList *songs = NULL;
  for (guint i = 0; i < entries->len && failure == NULL; i++)
    {
      auto entry = static_cast<const PlaylistEntry *> (
          g_ptr_array_index (entries, i));
      char *sql = sqlite3_mprintf (format, entry->filename);
      GList *rows = _mp_library_store_database_search_on (db, sql, &failure);
      sqlite3_free (sql);
      if (rows != NULL)
        {
          songs = g_list_prepend (songs, rows->data);
          /* A file name is the table's key; a table without that key could
           * hold it twice, and the first row answers. */
          free_resources (g_list_delete_link (rows, rows));
        }
      else if (failure == NULL)
        songs = g_list_prepend (songs, entry_resource (entry));
    }
  if (failure != NULL)
    {
      free_resources (songs);
      return fail (failure, error);
    }
  return g_list_reverse (songs);
}
