/* Browsing the library the way a media player sees it: songs, albums,
 * artists, genres, videos, playlists and their entries, the played/added
 * windows and finding by words, all through the database store's calls. */
#include "tessel.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <json-glib/json-glib.h>

#include "metadata.h"
#include "mp_library_store_database.h"

namespace
{

struct Column
{
  const char *title;    /* table header */
  const char *json_key; /* key in --json output */
  bool numeric;         /* right-aligned */
};

/* One cell: its text in the table, and its value in JSON (a string, a
 * number, or null). */
struct Cell
{
  enum Kind
  {
    TEXT,
    NUMBER,
    NONE
  } kind;
  std::string text;
  gint64 number;
};

using Row = std::vector<Cell>;

Cell
text_cell (const gchar *text)
{
  if (text == NULL)
    return Cell{ Cell::NONE, "", 0 };
  return Cell{ Cell::TEXT, text, 0 };
}

/* A grouped value; NULL is the entry for the songs without one. */
Cell
name_cell (const gchar *name)
{
  if (name == NULL)
    return Cell{ Cell::NONE, "(unknown)", 0 };
  return Cell{ Cell::TEXT, name, 0 };
}

Cell
count_cell (gint count)
{
  return Cell{ Cell::NUMBER, std::to_string (count), count };
}

/* Seconds as h:mm:ss; a negative length is unknown and prints empty. */
Cell
length_cell (gint64 seconds)
{
  if (seconds < 0)
    return Cell{ Cell::NONE, "", 0 };
  g_autofree gchar *text = tessel_format_duration (seconds);
  return Cell{ Cell::NUMBER, text, seconds };
}

/* What a person calls the item: its title, else the file's name. */
Cell
title_cell (MpMediaResource *res)
{
  const gchar *title = mp_media_resource_get_title (res);
  if (title != NULL)
    return text_cell (title);
  const gchar *uri = mp_media_resource_get_uri (res);
  if (uri == NULL)
    return text_cell (NULL);
  g_autofree gchar *base = g_path_get_basename (uri);
  return text_cell (base);
}

void
print_table (const std::vector<Column> &columns,
             const std::vector<Row> &rows)
{
  std::vector<const char *> header;
  std::vector<gboolean> right;
  for (const Column &c : columns)
    {
      header.push_back (c.title);
      right.push_back (c.numeric);
    }
  /* The cells point into rows, which outlive the table. */
  g_autoptr (GPtrArray) cells = g_ptr_array_new_with_free_func (g_free);
  for (const Row &row : rows)
    {
      auto line = g_new (const char *, row.size ());
      for (gsize c = 0; c < row.size (); c++)
        line[c] = row[c].text.c_str ();
      g_ptr_array_add (cells, line);
    }
  tessel_print_table_aligned (stdout, header.data (), columns.size (), cells,
                              right.data ());
}

/* Adds the rows to builder as an array of objects. */
void
add_json_rows (JsonBuilder *builder, const std::vector<Column> &columns,
               const std::vector<Row> &rows)
{
  json_builder_begin_array (builder);
  for (const Row &row : rows)
    {
      json_builder_begin_object (builder);
      for (gsize c = 0; c < columns.size (); c++)
        {
          json_builder_set_member_name (builder, columns[c].json_key);
          switch (row[c].kind)
            {
            case Cell::TEXT:
              json_builder_add_string_value (builder, row[c].text.c_str ());
              break;
            case Cell::NUMBER:
              json_builder_add_int_value (builder, row[c].number);
              break;
            case Cell::NONE:
              json_builder_add_null_value (builder);
              break;
            }
        }
      json_builder_end_object (builder);
    }
  json_builder_end_array (builder);
}

void
print_json (const std::vector<Column> &columns, const std::vector<Row> &rows)
{
  g_autoptr (JsonBuilder) builder = json_builder_new ();
  add_json_rows (builder, columns, rows);
  tessel_print_json (builder);
}

void
free_resources (GList *list)
{
  g_list_foreach (list, reinterpret_cast<GFunc> (mp_media_resource_destroy),
                  NULL);
  g_list_free (list);
}

/* The store signals "no unknown entry" and a failed total with criticals
 * of its own; the tool reports through the error instead, so those two
 * are not shown to the user.  Anything else is logged as usual. */
void
quiet_store_criticals (const gchar *domain, GLogLevelFlags level,
                       const gchar *message, gpointer data)
{
  (void) data;
  if (message != NULL
      && (strstr (message, "objects_list_length == 1") != NULL
          || strstr (message, "objects_list != NULL") != NULL))
    return;
  g_log_default_handler (domain, level, message, NULL);
}

enum class Browse
{
  SONGS,
  ALBUMS,
  ARTISTS,
  GENRES,
  VIDEOS,
  PLAYLISTS,
  UNPLAYED,
  PLAYED,
  ADDED,
  STATS,
  FIND,
  PLAYLIST
};

struct Options
{
  gchar *artist = nullptr;
  gchar *album = nullptr;
  gchar *genre = nullptr;
  gchar *by = nullptr;
  gchar *since = nullptr;
  gchar *text = nullptr; /* find: the words given, joined by blanks;
                            playlist: the file */
  gboolean json = FALSE;
  ~Options ()
  {
    g_free (artist);
    g_free (album);
    g_free (genre);
    g_free (by);
    g_free (since);
    g_free (text);
  }
};

/* An option given as the empty string stands for the songs without that
 * value. */
const gchar *
key_or_unknown (const gchar *value)
{
  return value != NULL && *value != '\0' ? value : NULL;
}

struct Listing
{
  std::vector<Column> columns;
  std::vector<Row> rows;
  /* A playlist's entries, once read: how many, the sum of the lengths
   * known (-1 when none is) and the number of those unknown. */
  bool read = false;
  guint entries = 0;
  gint64 total = -1;
  guint unknown = 0;
};

/* Counts a playlist's entries and adds up their known lengths. */
void
sum_entries (Listing &out, GList *songs)
{
  out.read = true;
  for (GList *l = songs; l != NULL; l = l->next)
    {
      gint length = mp_media_resource_get_length (
          static_cast<MpMediaResource *> (l->data));
      out.entries++;
      if (length < 0)
        out.unknown++;
      else
        out.total = MAX (out.total, 0) + length;
    }
}

/* Reads the playlist at uri into out's sums.  Only a local playlist is
 * read, so that a listing never waits on the network.  A failed query sets
 * the error; a playlist that cannot be read is noted on stderr and left
 * without sums. */
void
sum_playlist (MpLibraryStoreDatabase *store, const gchar *uri, Listing &out,
              GError **error)
{
  if (uri == NULL
      || !(g_path_is_absolute (uri) || g_str_has_prefix (uri, "file:")))
    return;
  GError *failure = NULL;
  GList *songs
      = mp_library_store_database_get_playlist_songs (store, uri, &failure);
  if (failure == NULL)
    sum_entries (out, songs);
  else if (failure->code == MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE)
    g_propagate_error (error, g_steal_pointer (&failure));
  else
    tessel_error ("%s", failure->message);
  g_clear_error (&failure);
  free_resources (songs);
}

/* A playlist's entries, then the line "N entries, h:mm:ss" (with the
 * number of entries of unknown length, if any); in JSON an object with
 * the entries, their count, their total length and the number of entries
 * whose length is unknown. */
void
print_playlist (const Listing &out, gboolean json)
{
  if (json)
    {
      g_autoptr (JsonBuilder) builder = json_builder_new ();
      json_builder_begin_object (builder);
      json_builder_set_member_name (builder, "entries");
      add_json_rows (builder, out.columns, out.rows);
      json_builder_set_member_name (builder, "count");
      json_builder_add_int_value (builder, out.entries);
      json_builder_set_member_name (builder, "length");
      if (out.total >= 0)
        json_builder_add_int_value (builder, out.total);
      else
        json_builder_add_null_value (builder);
      json_builder_set_member_name (builder, "unknown_lengths");
      json_builder_add_int_value (builder, out.unknown);
      json_builder_end_object (builder);
      tessel_print_json (builder);
      return;
    }
  print_table (out.columns, out.rows);
  printf ("%u %s", out.entries, out.entries == 1 ? "entry" : "entries");
  g_autofree gchar *total = tessel_format_duration (out.total);
  if (out.total >= 0)
    printf (", %s", total);
  else if (out.entries > 0)
    printf (", length unknown");
  if (out.total >= 0 && out.unknown > 0)
    printf (" (%u of unknown length)", out.unknown);
  printf ("\n");
}

const std::vector<Column> song_columns
    = { { "TITLE", "title", false },  { "ARTIST", "artist", false },
        { "ALBUM", "album", false },  { "LENGTH", "length", true },
        { "FILE", "file", false } };

void
add_songs (Listing &out, GList *list)
{
  out.columns = song_columns;
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      out.rows.push_back ({ title_cell (res),
                            text_cell (mp_media_resource_get_artist (res)),
                            text_cell (mp_media_resource_get_album (res)),
                            length_cell (mp_media_resource_get_length (res)),
                            text_cell (mp_media_resource_get_uri (res)) });
    }
}

/* Groups with their song count and total length; the unknown entry is
 * shown only when it stands for at least one song. */
void
add_groups (Listing &out, GList *list, const char *title, const char *key,
            const gchar *(*name) (MpMediaResource *), bool with_artist)
{
  out.columns = { { title, key, false } };
  if (with_artist)
    out.columns.push_back ({ "ARTIST", "artist", false });
  out.columns.push_back ({ "SONGS", "count", true });
  out.columns.push_back ({ "LENGTH", "length", true });
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      if (name (res) == NULL && mp_media_resource_get_count (res) <= 0)
        continue;
      Row row = { name_cell (name (res)) };
      if (with_artist)
        row.push_back (text_cell (mp_media_resource_get_artist (res)));
      row.push_back (count_cell (mp_media_resource_get_count (res)));
      row.push_back (length_cell (mp_media_resource_get_length (res)));
      out.rows.push_back (row);
    }
}

void
add_items (Listing &out, GList *list, bool with_album)
{
  out.columns = { { "TITLE", "title", false } };
  if (with_album)
    out.columns.push_back ({ "ALBUM", "album", false });
  out.columns.push_back ({ "LENGTH", "length", true });
  out.columns.push_back ({ "TYPE", "mime", false });
  out.columns.push_back ({ "FILE", "file", false });
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      Row row = { title_cell (res) };
      if (with_album)
        row.push_back (text_cell (mp_media_resource_get_album (res)));
      row.push_back (length_cell (mp_media_resource_get_length (res)));
      row.push_back (text_cell (mp_media_resource_get_mime (res)));
      row.push_back (text_cell (mp_media_resource_get_uri (res)));
      out.rows.push_back (row);
    }
}

/* Chooses the songs call for the options; NULL list with *usage set for
 * a combination the library offers no listing for. */
GList *
query_songs (MpLibraryStoreDatabase *store, const Options &o,
             const char **usage, GError **error)
{
  const gchar *artist = key_or_unknown (o.artist);
  const gchar *album = key_or_unknown (o.album);
  const gchar *genre = key_or_unknown (o.genre);
  if (o.by != NULL)
    {
      if (o.artist != NULL || o.album != NULL || o.genre != NULL)
        *usage = "--by cannot be combined with --artist, --album or --genre";
      else if (strcmp (o.by, "album") == 0)
        return mp_library_store_database_get_songs_ordered_by_album (store,
                                                                     error);
      else if (strcmp (o.by, "artist") == 0)
        return mp_library_store_database_get_songs_ordered_by_artist (store,
                                                                      error);
      else if (strcmp (o.by, "genre") == 0)
        return mp_library_store_database_get_songs_ordered_by_genre (store,
                                                                     error);
      else
        *usage = "--by takes album, artist or genre";
      return NULL;
    }
  if (o.album != NULL && o.genre != NULL)
    {
      *usage = "--album cannot be combined with --genre";
      return NULL;
    }
  if (o.artist != NULL && o.album != NULL)
    {
      /* The store's listing of songs without album for the songs without
       * artist does not look at the album, so only a named artist is
       * offered here. */
      if (artist == NULL)
        {
          *usage = "--album needs a named --artist";
          return NULL;
        }
      if (album == NULL)
        return mp_library_store_database_get_unknown_album_songs_by_artist (
            store, artist, error);
      return mp_library_store_database_get_songs_by_artist_album (
          store, artist, album, error);
    }
  if (o.artist != NULL && o.genre != NULL)
    return mp_library_store_database_get_songs_by_artist_genre (store, artist,
                                                                genre, error);
  if (o.artist != NULL)
    return mp_library_store_database_get_songs_by_artist (store, artist,
                                                          error);
  if (o.album != NULL)
    return mp_library_store_database_get_songs_by_album (store, album, error);
  if (o.genre != NULL)
    return mp_library_store_database_get_songs_by_genre (store, genre, error);
  return mp_library_store_database_get_songs (store, error);
}

/* Appends one stats row; FALSE when the total could not be read. */
gboolean
add_total (Listing &out, const char *category, MpMediaResource *res)
{
  if (res == NULL)
    return FALSE;
  out.rows.push_back ({ text_cell (category),
                        count_cell (mp_media_resource_get_count (res)),
                        length_cell (mp_media_resource_get_length (res)) });
  mp_media_resource_destroy (res, NULL);
  return TRUE;
}

/* Runs the listing; 0, or 1 after printing why it failed (2 for a usage
 * mistake). */
int
run_listing (Browse what, const Options &o, Listing &out)
{
  MpLibraryStoreDatabase *store = mp_library_store_database_get_instance ();
  g_autoptr (GError) error = NULL;
  GList *list = NULL;
  switch (what)
    {
    case Browse::SONGS:
      {
        const char *usage = NULL;
        list = query_songs (store, o, &usage, &error);
        if (usage != NULL)
          {
            tessel_error ("%s", usage);
            return 2;
          }
        add_songs (out, list);
        break;
      }
    case Browse::ALBUMS:
      list = o.artist != NULL
                 ? mp_library_store_database_get_albums_by_artist (
                     store, key_or_unknown (o.artist), TRUE, &error)
                 : mp_library_store_database_get_albums (store, TRUE, &error);
      add_groups (out, list, "ALBUM", "album", mp_media_resource_get_album,
                  true);
      break;
    case Browse::ARTISTS:
      list = o.genre != NULL
                 ? mp_library_store_database_get_artists_by_genre (
                     store, key_or_unknown (o.genre), TRUE, &error)
                 : mp_library_store_database_get_artists (store, TRUE,
                                                          &error);
      add_groups (out, list, "ARTIST", "artist", mp_media_resource_get_artist,
                  false);
      break;
    case Browse::GENRES:
      list = mp_library_store_database_get_genres (store, TRUE, &error);
      add_groups (out, list, "GENRE", "genre", mp_media_resource_get_genre,
                  false);
      break;
    case Browse::VIDEOS:
      list = mp_library_store_database_get_videos (store, &error);
      add_items (out, list, false);
      break;
    case Browse::PLAYLISTS:
      {
        /* Files of a playlist format, then those only flagged as one. */
        list = mp_library_store_database_get_user_playlists (store, &error);
        GList *flagged
            = mp_library_store_database_get_playlists (store, &error);
        for (GList *l = flagged; l != NULL; l = l->next)
          {
            const gchar *uri = mp_media_resource_get_uri (
                static_cast<MpMediaResource *> (l->data));
            bool seen = false;
            for (GList *k = list; k != NULL && !seen; k = k->next)
              seen = g_strcmp0 (uri, mp_media_resource_get_uri (
                                         static_cast<MpMediaResource *> (
                                             k->data)))
                     == 0;
            if (!seen)
              list = g_list_append (list, g_object_ref (l->data));
          }
        free_resources (flagged);
        out.columns = { { "FILE", "file", false },
                        { "TYPE", "mime", false },
                        { "ENTRIES", "entries", true },
                        { "LENGTH", "length", true } };
        for (GList *l = list; l != NULL && error == NULL; l = l->next)
          {
            auto res = static_cast<MpMediaResource *> (l->data);
            Listing sums;
            sum_playlist (store, mp_media_resource_get_uri (res), sums,
                          &error);
            out.rows.push_back (
                { text_cell (mp_media_resource_get_uri (res)),
                  text_cell (mp_media_resource_get_mime (res)),
                  sums.read ? count_cell (sums.entries) : text_cell (NULL),
                  length_cell (sums.total) });
          }
        break;
      }
    case Browse::PLAYLIST:
      {
        list = mp_library_store_database_get_playlist_songs (store, o.text,
                                                              &error);
        if (error != NULL
            && error->code != MP_LIBRARY_STORE_DATABASE_ERROR_DATABASE)
          {
            tessel_error ("%s", error->message);
            return 1;
          }
        out.columns = { { "#", "position", true },
                        { "TITLE", "title", false },
                        { "ARTIST", "artist", false },
                        { "LENGTH", "length", true },
                        { "FILE", "file", false } };
        gint position = 0;
        for (GList *l = list; l != NULL; l = l->next)
          {
            auto res = static_cast<MpMediaResource *> (l->data);
            out.rows.push_back (
                { count_cell (++position), title_cell (res),
                  text_cell (mp_media_resource_get_artist (res)),
                  length_cell (mp_media_resource_get_length (res)),
                  text_cell (mp_media_resource_get_uri (res)) });
          }
        sum_entries (out, list);
        break;
      }
    case Browse::FIND:
      list = mp_library_store_database_find (store, o.text, &error);
      add_songs (out, list);
      break;
    case Browse::UNPLAYED:
      list = mp_library_store_database_get_unplayed (store, &error);
      add_items (out, list, true);
      break;
    case Browse::PLAYED:
    case Browse::ADDED:
      {
        long period = 0;
        const gchar *since
            = o.since != NULL ? o.since : what == Browse::PLAYED ? "1d" : "7d";
        if (!tessel_parse_period (since, &period))
          return 2;
        list = what == Browse::PLAYED
                   ? mp_library_store_database_get_played (store, period,
                                                           &error)
                   : mp_library_store_database_get_added (store, period,
                                                          &error);
        add_items (out, list, true);
        break;
      }
    case Browse::STATS:
      out.columns = { { "CATEGORY", "category", false },
                      { "COUNT", "count", true },
                      { "LENGTH", "length", true } };
      if (add_total (out, "songs",
                     mp_library_store_database_get_songs_length (store,
                                                                 &error))
          && add_total (out, "videos",
                        mp_library_store_database_get_videos_length (store,
                                                                     &error))
          && add_total (out, "artists",
                        mp_library_store_database_get_artists_length (store,
                                                                      &error))
          && add_total (out, "albums",
                        mp_library_store_database_get_albums_length (store,
                                                                     &error))
          && add_total (out, "genres",
                        mp_library_store_database_get_genres_length (store,
                                                                     &error)))
        break;
      if (error == NULL)
        {
          tessel_error ("cannot read the library totals");
          return 1;
        }
      break;
    }
  free_resources (list);
  if (error != NULL)
    {
      tessel_error ("cannot read the library: %s", error->message);
      return 1;
    }
  return 0;
}

int
browse (Browse what, int argc, char **argv, const char *summary)
{
  Options o;
  std::vector<GOptionEntry> entries;
  auto add = [&] (const char *name, gchar **target, const char *text,
                  const char *arg) {
    entries.push_back ({ name, 0, 0, G_OPTION_ARG_STRING, target, text, arg });
  };
  if (what == Browse::SONGS || what == Browse::ALBUMS)
    add ("artist", &o.artist,
         "Only this artist (\"\" for songs without artist)", "A");
  if (what == Browse::SONGS)
    add ("album", &o.album, "Only this album (\"\" for songs without album)",
         "B");
  if (what == Browse::SONGS || what == Browse::ARTISTS)
    add ("genre", &o.genre, "Only this genre (\"\" for songs without genre)",
         "G");
  if (what == Browse::SONGS)
    add ("by", &o.by, "Order by album, artist or genre, songs without it last",
         "KEY");
  if (what == Browse::PLAYED || what == Browse::ADDED)
    add ("since", &o.since,
         what == Browse::PLAYED ? "Period to look back (default 1d)"
                                : "Period to look back (default 7d)",
         "PERIOD");
  entries.push_back ({ "json", 0, 0, G_OPTION_ARG_NONE, &o.json,
                       "Print the rows as a JSON array", NULL });
  entries.push_back ({ NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL });

  TesselCommonOptions common;
  if (what != Browse::FIND && what != Browse::PLAYLIST)
    {
      if (int status = tessel_parse_and_open (&argc, &argv, entries.data (),
                                              summary, &common))
        return status;
    }
  else
    {
      bool find = what == Browse::FIND;
      if (!tessel_parse (&argc, &argv, entries.data (),
                         find ? "TEXT..." : "FILE", summary, &common))
        return 2;
      if (argc < 2)
        {
          tessel_error ("no %s given (see 'tessel %s --help')",
                        find ? "TEXT" : "FILE", find ? "find" : "playlist");
          return 2;
        }
      if (!find && argc > 2)
        {
          tessel_error ("unexpected argument '%s'", argv[2]);
          return 2;
        }
      o.text = find ? g_strjoinv (" ", argv + 1) : g_strdup (argv[1]);
      if (!tessel_open (&common))
        return 1;
    }

  guint handler = g_log_set_handler (
      G_LOG_DOMAIN, static_cast<GLogLevelFlags> (G_LOG_LEVEL_CRITICAL),
      quiet_store_criticals, NULL);
  Listing out;
  int status = run_listing (what, o, out);
  g_log_remove_handler (G_LOG_DOMAIN, handler);
  meta_destruct ();
  if (status != 0)
    return status;
  if (what == Browse::PLAYLIST)
    print_playlist (out, o.json);
  else if (o.json)
    print_json (out.columns, out.rows);
  else
    print_table (out.columns, out.rows);
  return 0;
}

} // namespace

int
tessel_cmd_songs (int argc, char **argv)
{
  return browse (Browse::SONGS, argc, argv,
                 "List songs: all, or of one artist, album or genre.");
}

int
tessel_cmd_albums (int argc, char **argv)
{
  return browse (Browse::ALBUMS, argc, argv,
                 "List albums with their song count and total length.");
}

int
tessel_cmd_artists (int argc, char **argv)
{
  return browse (Browse::ARTISTS, argc, argv,
                 "List artists with their song count and total length.");
}

int
tessel_cmd_genres (int argc, char **argv)
{
  return browse (Browse::GENRES, argc, argv,
                 "List genres with their song count and total length.");
}

int
tessel_cmd_videos (int argc, char **argv)
{
  return browse (Browse::VIDEOS, argc, argv, "List videos and streams.");
}

int
tessel_cmd_playlists (int argc, char **argv)
{
  return browse (Browse::PLAYLISTS, argc, argv,
                 "List playlists with their number of entries and the total "
                 "length of those\nwhose length is known.");
}

int
tessel_cmd_playlist (int argc, char **argv)
{
  return browse (Browse::PLAYLIST, argc, argv,
                 "List the entries of a playlist file (M3U, PLS, XSPF, ASX, "
                 "WPL, ...) in order,\nwith the values of their rows where "
                 "the library has them, then their\ncount and total length. "
                 "FILE is a path or a file:// URI.");
}

int
tessel_cmd_unplayed (int argc, char **argv)
{
  return browse (Browse::UNPLAYED, argc, argv,
                 "List items that were never played.");
}

int
tessel_cmd_played (int argc, char **argv)
{
  return browse (Browse::PLAYED, argc, argv,
                 "List items played recently, most recent first.");
}

int
tessel_cmd_added (int argc, char **argv)
{
  return browse (Browse::ADDED, argc, argv,
                 "List items added recently, most recent first.");
}

int
tessel_cmd_find (int argc, char **argv)
{
  return browse (Browse::FIND, argc, argv,
                 "List the present items whose title, artist, album, genre "
                 "or file name\nhold every word of TEXT, best matches first. "
                 "Each word matches the\nwords that begin with it, without "
                 "regard to case or accents.");
}

int
tessel_cmd_stats (int argc, char **argv)
{
  return browse (Browse::STATS, argc, argv,
                 "Count songs, videos, artists, albums and genres, with "
                 "their total length.");
}
