/* Browsing the library the way a media player sees it: songs, albums,
 * artists, genres, videos, playlists and their entries, the played/added
 * windows and finding by words, all through the database store's calls. */
#include "tessel.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metadata.h"
#include "mp_library_store_database.h"
#include "mp_library_store_fold-private.h"

namespace
{

struct Column
{
  const char *title;    /* table header */
  const char *json_key; /* key in --json output; NULL: in the table only */
  bool numeric;         /* right-aligned */
  bool json_only = false; /* given in --json only, not in the table */
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

/* The rows of a listing, kept compactly, since a listing of the whole
 * library holds 100,000 of them: the cells one after the other, their
 * texts one after the other in one block. */
class Rows
{
public:
  void
  push_back (const Row &row)
  {
    width = row.size ();
    for (const Cell &cell : row)
      {
        cells.push_back ({ cell.kind, cell.number, texts.size () });
        texts.append (cell.text.c_str (), cell.text.size () + 1);
      }
  }

  /* Room for rows of width cells and text_bytes of their texts, to be
   * taken at once rather than grown to. */
  void
  reserve (gsize rows, gsize width, gsize text_bytes)
  {
    cells.reserve (rows * width);
    texts.reserve (text_bytes);
  }

  gsize
  size () const
  {
    return width > 0 ? cells.size () / width : 0;
  }

  Cell::Kind
  kind (gsize row, gsize column) const
  {
    return cells[row * width + column].kind;
  }

  gint64
  number (gsize row, gsize column) const
  {
    return cells[row * width + column].number;
  }

  /* Valid until the next push_back. */
  const char *
  text (gsize row, gsize column) const
  {
    return texts.data () + cells[row * width + column].text;
  }

private:
  struct Kept
  {
    Cell::Kind kind;
    gint64 number;
    gsize text;
  };
  gsize width = 0;
  std::vector<Kept> cells;
  std::string texts;
};

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
  return Cell{ Cell::NUMBER, tessel_duration_text (seconds), seconds };
}

/* What a person calls an item: its title, else its file's name. */
Cell
title_text_cell (const gchar *title, const gchar *uri)
{
  if (title != NULL)
    return text_cell (title);
  if (uri == NULL)
    return text_cell (NULL);
  g_autofree gchar *base = g_path_get_basename (uri);
  return text_cell (base);
}

Cell
title_cell (MpMediaResource *res)
{
  return title_text_cell (mp_media_resource_get_title (res),
                          mp_media_resource_get_uri (res));
}

void
print_table (const std::vector<Column> &columns, const Rows &rows)
{
  std::vector<const char *> header;
  std::vector<gboolean> right;
  for (const Column &c : columns)
    if (!c.json_only)
      {
        header.push_back (c.title);
        right.push_back (c.numeric);
      }
  /* The cells point into rows, which outlive the table. */
  std::vector<const char *> texts;
  texts.reserve (rows.size () * header.size ());
  for (gsize r = 0; r < rows.size (); r++)
    for (gsize c = 0; c < columns.size (); c++)
      if (!columns[c].json_only)
        texts.push_back (rows.text (r, c));
  g_autoptr (GPtrArray) cells = g_ptr_array_sized_new (rows.size ());
  for (gsize r = 0; r < rows.size (); r++)
    g_ptr_array_add (cells, &texts[r * header.size ()]);
  tessel_print_table_aligned (stdout, header.data (), header.size (), cells,
                              right.data ());
}

/* Writes the rows as an array of objects. */
void
write_json_rows (TesselJsonWriter &json, const std::vector<Column> &columns,
                 const Rows &rows)
{
  json.begin_array ();
  for (gsize r = 0; r < rows.size (); r++)
    {
      json.begin_object ();
      for (gsize c = 0; c < columns.size (); c++)
        {
          if (columns[c].json_key == NULL)
            continue;
          json.member (columns[c].json_key);
          switch (rows.kind (r, c))
            {
            case Cell::TEXT:
              json.text (rows.text (r, c));
              break;
            case Cell::NUMBER:
              json.integer (rows.number (r, c));
              break;
            case Cell::NONE:
              json.null ();
              break;
            }
        }
      json.end_object ();
    }
  json.end_array ();
}

void
print_json (const std::vector<Column> &columns, const Rows &rows)
{
  TesselJsonWriter json (stdout);
  write_json_rows (json, columns, rows);
  json.finish ();
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
  Rows rows;
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
      TesselJsonWriter writer (stdout);
      writer.begin_object ();
      writer.member ("entries");
      write_json_rows (writer, out.columns, out.rows);
      writer.member ("count");
      writer.integer (out.entries);
      writer.member ("length");
      if (out.total >= 0)
        writer.integer (out.total);
      else
        writer.null ();
      writer.member ("unknown_lengths");
      writer.integer (out.unknown);
      writer.end_object ();
      writer.finish ();
      return;
    }
  print_table (out.columns, out.rows);
  printf ("%u %s", out.entries, out.entries == 1 ? "entry" : "entries");
  if (out.total >= 0)
    printf (", %s", tessel_duration_text (out.total).c_str ());
  else if (out.entries > 0)
    printf (", length unknown");
  if (out.total >= 0 && out.unknown > 0)
    printf (" (%u of unknown length)", out.unknown);
  printf ("\n");
}

/* A column of the JSON rows of songs and albums only. */
Cell
number_or_unknown_cell (gint number)
{
  if (number < 0)
    return Cell{ Cell::NONE, "", 0 };
  return Cell{ Cell::NUMBER, std::to_string (number), number };
}

const std::vector<Column> song_columns
    = { { "TITLE", "title", false, false },
        { "ARTIST", "artist", false, false },
        { "ALBUM", "album", false, false },
        { "LENGTH", "length", true, false },
        { "FILE", "file", false, false },
        { "ALBUM ARTIST", "album_artist", false, true },
        { "DISC", "disc", true, true },
        { "TRACK", "track", true, true } };

/* A row of song_columns; an unknown length, disc or track is -1. */
Row
song_row (const gchar *title, const gchar *artist, const gchar *album,
          gint length, const gchar *uri, const gchar *album_artist, gint disc,
          gint track)
{
  Row row;
  row.reserve (song_columns.size ());
  row.push_back (title_text_cell (title, uri));
  row.push_back (text_cell (artist));
  row.push_back (text_cell (album));
  row.push_back (length_cell (length));
  row.push_back (text_cell (uri));
  row.push_back (text_cell (album_artist));
  row.push_back (number_or_unknown_cell (disc));
  row.push_back (number_or_unknown_cell (track));
  return row;
}

void
add_songs (Listing &out, GList *list)
{
  out.columns = song_columns;
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      out.rows.push_back (song_row (
          mp_media_resource_get_title (res),
          mp_media_resource_get_artist (res),
          mp_media_resource_get_album (res),
          mp_media_resource_get_length (res), mp_media_resource_get_uri (res),
          mp_media_resource_get_album_artist (res),
          mp_media_resource_get_disc (res),
          mp_media_resource_get_track (res)));
    }
}

/* Whether a name equals the one the user asked for, ignoring case and
 * accents as the library groups names; folded is the asked name folded. */
bool
same_name (const gchar *name, const std::string &folded)
{
  g_autofree gchar *key = tessel_fold_name (name);
  return key != NULL && folded == key;
}

std::string
fold (const gchar *name)
{
  g_autofree gchar *key = tessel_fold_name (name);
  return key != NULL ? key : "";
}

/* The resources of list (released) whose keep () holds, in order. */
template <typename Keep>
GList *
filter (GList *list, Keep keep)
{
  GList *kept = NULL;
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      if (keep (res))
        kept = g_list_prepend (kept, g_object_ref (res));
    }
  free_resources (list);
  return g_list_reverse (kept);
}

/* What song and item lists sort by: a text ignoring case and accents,
 * then the file name. */
struct SortKey
{
  std::string text;
  const gchar *uri;

  bool
  operator< (const SortKey &other) const
  {
    int order = text.compare (other.text);
    if (order != 0)
      return order < 0;
    return strcmp (uri != NULL ? uri : "",
                   other.uri != NULL ? other.uri : "")
           < 0;
  }
};

/* The order of keys, the positions of the first key to the last; equal
 * keys keep their order. */
std::vector<gsize>
sorted_order (const std::vector<SortKey> &keys)
{
  std::vector<gsize> order (keys.size ());
  for (gsize i = 0; i < order.size (); i++)
    order[i] = i;
  std::stable_sort (order.begin (), order.end (),
                    [&keys] (gsize a, gsize b) { return keys[a] < keys[b]; });
  return order;
}

/* Sorts list by the key () of each resource; equal keys keep their
 * order. */
template <typename Key>
GList *
sort_by (GList *list, Key key)
{
  std::vector<SortKey> keys;
  std::vector<gpointer> resources;
  for (GList *l = list; l != NULL; l = l->next)
    {
      keys.push_back (key (static_cast<MpMediaResource *> (l->data)));
      resources.push_back (l->data);
    }
  GList *l = list;
  for (gsize i : sorted_order (keys))
    {
      l->data = resources[i];
      l = l->next;
    }
  return list;
}

/* Folded title, else file name, then the file name: the order of song and
 * item lists. */
SortKey
song_key (const gchar *title, const gchar *uri)
{
  std::string key = fold (title);
  if (key.empty () && uri != NULL)
    {
      g_autofree gchar *base = g_path_get_basename (uri);
      key = fold (base);
    }
  return { std::move (key), uri };
}

SortKey
title_key (MpMediaResource *res)
{
  return song_key (mp_media_resource_get_title (res),
                   mp_media_resource_get_uri (res));
}

/* Track, then title: the order of the songs of an artist or a genre. */
SortKey
track_key (MpMediaResource *res)
{
  /* Unknown tracks (-1) first, then by number. */
  char number[16];
  g_snprintf (number, sizeof number, "%011d",
              mp_media_resource_get_track (res) + 1);
  SortKey key = title_key (res);
  key.text.insert (0, number);
  return key;
}

/* The stored spellings of a name: the names of the groups (artists or
 * genres, listed by the store without unknown entry) that equal wanted
 * ignoring case and accents. */
std::vector<std::string>
spellings (GList *groups, const gchar *(*name) (MpMediaResource *),
           const gchar *wanted)
{
  std::string folded = fold (wanted);
  std::vector<std::string> found;
  for (GList *l = groups; l != NULL; l = l->next)
    {
      const gchar *spelling = name (static_cast<MpMediaResource *> (l->data));
      if (spelling != NULL && same_name (spelling, folded))
        found.emplace_back (spelling);
    }
  free_resources (groups);
  return found;
}

/* The songs of every album whose title equals album ignoring case and
 * accents, album by album in the album list's order. */
GList *
songs_of_albums (MpLibraryStoreDatabase *store, const gchar *album,
                 GError **error)
{
  std::string folded = fold (album);
  GList *albums = mp_library_store_database_get_album_list (store, error);
  GList *songs = NULL;
  for (GList *l = albums; l != NULL && *error == NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      if (same_name (mp_media_resource_get_album (res), folded))
        songs = g_list_concat (
            songs, mp_library_store_database_get_album_songs (
                       store, mp_media_resource_get_album_artist (res),
                       mp_media_resource_get_album (res), error));
    }
  free_resources (albums);
  return songs;
}

/* The store's songs lists of an artist have no album; each song's own row
 * gives it, with the track. */
GList *
with_album (MpLibraryStoreDatabase *store, GList *songs, GError **error)
{
  for (GList *l = songs; l != NULL && *error == NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      MpMediaResource *row = mp_library_store_database_get_media_by_uri (
          store, mp_media_resource_get_uri (res), error);
      if (row == NULL)
        continue;
      mp_media_resource_set_album (res, mp_media_resource_get_album (row));
      mp_media_resource_set_track (res, mp_media_resource_get_track (row));
      mp_media_resource_destroy (row, NULL);
    }
  return songs;
}

/* The songs of a named artist, of a named genre, or of both: every stored
 * spelling of each name, merged. */
GList *
songs_by_names (MpLibraryStoreDatabase *store, const gchar *artist,
                const gchar *genre, GError **error)
{
  std::vector<std::string> artists, genres;
  if (artist != NULL)
    artists = spellings (
        mp_library_store_database_get_artists (store, FALSE, error),
        mp_media_resource_get_artist, artist);
  if (genre != NULL)
    genres = spellings (
        mp_library_store_database_get_genres (store, FALSE, error),
        mp_media_resource_get_genre, genre);
  GList *songs = NULL;
  if (artist != NULL && genre != NULL)
    {
      for (const std::string &a : artists)
        for (const std::string &g : genres)
          songs = g_list_concat (
              songs, mp_library_store_database_get_songs_by_artist_genre (
                         store, a.c_str (), g.c_str (), error));
      return sort_by (songs, title_key);
    }
  if (artist != NULL)
    {
      for (const std::string &a : artists)
        songs = g_list_concat (songs,
                               mp_library_store_database_get_songs_by_artist (
                                   store, a.c_str (), error));
      songs = with_album (store, songs, error);
    }
  for (const std::string &g : genres)
    songs = g_list_concat (songs, mp_library_store_database_get_songs_by_genre (
                                      store, g.c_str (), error));
  return sort_by (songs, track_key);
}

/* Chooses the songs calls for the options; NULL list with *usage set for
 * a combination the library offers no listing for.  Names match ignoring
 * case and accents; an empty one stands for the songs without a value. */
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
        {
          GList *songs = NULL;
          for (const std::string &a : spellings (
                   mp_library_store_database_get_artists (store, FALSE,
                                                          error),
                   mp_media_resource_get_artist, artist))
            songs = g_list_concat (
                songs,
                mp_library_store_database_get_unknown_album_songs_by_artist (
                    store, a.c_str (), error));
          return sort_by (songs, title_key);
        }
      /* The album of that album artist, or the songs of that artist on
       * albums of that title (a compilation's). */
      std::string folded = fold (artist);
      return filter (songs_of_albums (store, album, error),
                     [&folded] (MpMediaResource *res) {
                       return same_name (
                                  mp_media_resource_get_album_artist (res),
                                  folded)
                              || same_name (mp_media_resource_get_artist (res),
                                            folded);
                     });
    }
  if (o.album != NULL)
    return album != NULL
               ? songs_of_albums (store, album, error)
               : mp_library_store_database_get_songs_by_album (store, NULL,
                                                               error);
  if ((o.artist != NULL && artist == NULL) || (o.genre != NULL && genre == NULL))
    {
      /* The songs without artist or genre: no names to match. */
      if (o.artist != NULL && o.genre != NULL)
        return mp_library_store_database_get_songs_by_artist_genre (
            store, artist, genre, error);
      if (o.artist != NULL)
        return mp_library_store_database_get_songs_by_artist (store, artist,
                                                              error);
      return mp_library_store_database_get_songs_by_genre (store, genre, error);
    }
  if (o.artist != NULL || o.genre != NULL)
    return songs_by_names (store, artist, genre, error);
  return sort_by (mp_library_store_database_get_songs (store, error),
                  title_key);
}

/* Adds the count and length of res to those of group. */
void
add_totals (MpMediaResource *group, MpMediaResource *res)
{
  mp_media_resource_set_count (group, mp_media_resource_get_count (group)
                                          + MAX (mp_media_resource_get_count (
                                                     res),
                                                 0));
  gint seconds = mp_media_resource_get_length (res);
  if (seconds >= 0)
    mp_media_resource_set_length (
        group, MAX (mp_media_resource_get_length (group), 0) + seconds);
}

/* Groups of the store merged when their names are equal ignoring case
 * and accents (counts and lengths added, the first spelling kept), sorted
 * so; the unknown entries (no name) become one, last. */
GList *
merge_groups (GList *list, const gchar *(*name) (MpMediaResource *),
              void (*set_name) (MpMediaResource *, const gchar *))
{
  std::vector<std::pair<std::string, MpMediaResource *>> merged;
  MpMediaResource *unknown = NULL;
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      MpMediaResource **group = &unknown;
      if (name (res) != NULL)
        {
          std::string key = fold (name (res));
          auto same = std::find_if (merged.begin (), merged.end (),
                                    [&key] (const auto &m) {
                                      return m.first == key;
                                    });
          if (same == merged.end ())
            same = merged.insert (merged.end (), { key, NULL });
          group = &same->second;
        }
      if (*group == NULL)
        {
          *group = mp_media_resource_new ();
          set_name (*group, name (res));
          mp_media_resource_set_count (*group, 0);
        }
      add_totals (*group, res);
    }
  free_resources (list);
  std::stable_sort (merged.begin (), merged.end (),
                    [] (const auto &a, const auto &b) {
                      return a.first < b.first;
                    });
  GList *result = NULL;
  for (auto &m : merged)
    result = g_list_prepend (result, m.second);
  if (unknown != NULL)
    result = g_list_prepend (result, unknown);
  return g_list_reverse (result);
}

/* The album list, of one album artist if artist is given ("" for the
 * albums whose album artist is unknown).  The table marks the albums with
 * a cover in the media-art cache; JSON gives the cover's path. */
void
add_albums (Listing &out, MpLibraryStoreDatabase *store, GList *list,
            const gchar *artist)
{
  out.columns = { { "ALBUM ARTIST", "album_artist", false, false },
                  { "ALBUM", "album", false, false },
                  { "SONGS", "count", true, false },
                  { "LENGTH", "length", true, false },
                  { "ART", NULL, false, false },
                  { "YEAR", "year", false, true },
                  { "ART", "art", false, true } };
  std::string folded = fold (key_or_unknown (artist));
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      const gchar *album_artist = mp_media_resource_get_album_artist (res);
      if (artist != NULL
          && (*artist == '\0' ? album_artist != NULL
                              : !same_name (album_artist, folded)))
        continue;
      g_autofree gchar *art = mp_library_store_database_get_album_art (
          store, album_artist, mp_media_resource_get_album (res), NULL);
      out.rows.push_back (
          { name_cell (album_artist),
            text_cell (mp_media_resource_get_album (res)),
            count_cell (mp_media_resource_get_count (res)),
            length_cell (mp_media_resource_get_length (res)),
            text_cell (art != NULL ? "*" : NULL),
            text_cell (mp_media_resource_get_year (res)), text_cell (art) });
    }
}

/* Groups with their song count and total length; the unknown entry is
 * shown only when it stands for at least one song. */
void
add_groups (Listing &out, GList *list, const char *title, const char *key,
            const gchar *(*name) (MpMediaResource *))
{
  out.columns = { { title, key, false },
                  { "SONGS", "count", true },
                  { "LENGTH", "length", true } };
  for (GList *l = list; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      if (name (res) == NULL && mp_media_resource_get_count (res) <= 0)
        continue;
      out.rows.push_back ({ name_cell (name (res)),
                            count_cell (mp_media_resource_get_count (res)),
                            length_cell (mp_media_resource_get_length (res)) });
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

/* A song as read_song_columns keeps it until every song is in: its texts
 * (NULL for none), in SongColumns::texts, and its length. */
struct SongText
{
  const gchar *uri, *title, *album, *artist;
  gint length;
};

/* What read_song_columns gathers. */
struct SongColumns
{
  /* Where Filename, Title, Length, Album and Artist stand; -1 while not
   * found. */
  int at[5] = { -1, -1, -1, -1, -1 };
  bool plain = true;
  /* The texts of every song.  The songs come in the table's order; their
   * rows are made once they are sorted, so that each row's cells lie near
   * the next row's when the rows are printed. */
  GStringChunk *texts = g_string_chunk_new (65536);
  gsize text_bytes = 0;
  std::vector<SongText> songs;
  std::vector<SortKey> keys;

  SongColumns () = default;
  SongColumns (const SongColumns &) = delete;
  SongColumns &operator= (const SongColumns &) = delete;
  ~SongColumns () { g_string_chunk_free (texts); }

  const gchar *
  keep (const gchar *text)
  {
    if (text == NULL)
      return NULL;
    text_bytes += strlen (text) + 1;
    return g_string_chunk_insert (texts, text);
  }
};

/* A text column's value as a resource holds it: TRUE with *text the text
 * or NULL for none, FALSE for a number, which a resource would hold as
 * text of its own making. */
bool
plain_text (const gint *types, const gchar *const *values, int at,
            const gchar **text)
{
  *text = values[at] != NULL && *values[at] != '\0' ? values[at] : NULL;
  return *text == NULL || types[at] == META_TYPE_TEXT;
}

void
add_song_columns (gint columns, const gchar *const *names, const gint *types,
                  const gchar *const *values, gpointer user_data) noexcept
{
  auto songs = static_cast<SongColumns *> (user_data);
  static const char *const wanted[]
      = { "Filename", "Title", "Length", "Album", "Artist" };
  if (values == NULL)
    {
      for (gint c = 0; c < columns; c++)
        for (int w = 0; w < 5; w++)
          if (g_strcmp0 (names[c], wanted[w]) == 0)
            songs->at[w] = c;
      for (int w = 0; w < 5; w++)
        songs->plain = songs->plain && songs->at[w] >= 0;
      return;
    }
  if (!songs->plain)
    return;
  const gchar *uri, *title, *album, *artist;
  gint length = -1;
  int at_length = songs->at[2];
  if (values[at_length] != NULL && *values[at_length] != '\0')
    {
      gint64 number = g_ascii_strtoll (values[at_length], NULL, 10);
      /* A resource clamps a length to the range of an int, then keeps
       * it when it is -1 or more. */
      songs->plain = types[at_length] == META_TYPE_INTEGER && number >= -1;
      length = static_cast<gint> (MIN (number, G_MAXINT));
    }
  songs->plain = songs->plain
                 && plain_text (types, values, songs->at[0], &uri)
                 && plain_text (types, values, songs->at[1], &title)
                 && plain_text (types, values, songs->at[3], &album)
                 && plain_text (types, values, songs->at[4], &artist);
  if (!songs->plain)
    return;
  songs->songs.push_back ({ songs->keep (uri), songs->keep (title),
                            songs->keep (album), songs->keep (artist),
                            length });
  /* The key takes its file name once every text is in: see below. */
  songs->keys.push_back (song_key (title, uri));
}

/* The songs of the store's list into out, sorted by title_key, read as the
 * columns of its query: a library of 100,000 songs without an object for
 * each.  The values are those the list's resources would hold as long as
 * each is one a resource takes as it is; the order is the list's as long
 * as no two songs have the same key, when only the list's own order tells
 * which comes first.  FALSE, with out left alone, when a value is not so
 * (a number in a text column, a text or a length below -1 in the length,
 * which a resource converts or refuses with a warning), when two keys are
 * the same (songs without a file name, or a table without the key that
 * keeps names unique), or when the query failed: the caller then reads
 * the list, which does as it does for a player. */
bool
read_song_columns (MpLibraryStoreDatabase *store, Listing &out)
{
  SongColumns songs;
  if (!mp_library_store_database_get_songs_columns (store, add_song_columns,
                                                    &songs, NULL)
      || !songs.plain)
    return false;
  for (gsize r = 0; r < songs.songs.size (); r++)
    songs.keys[r].uri = songs.songs[r].uri;
  std::vector<gsize> order = sorted_order (songs.keys);
  for (gsize i = 1; i < order.size (); i++)
    if (!(songs.keys[order[i - 1]] < songs.keys[order[i]]))
      return false;
  out.columns = song_columns;
  /* The texts once more, with a title for each song and its length as
   * shown. */
  out.rows.reserve (order.size (), song_columns.size (),
                    songs.text_bytes + order.size () * 32);
  for (gsize r : order)
    {
      const SongText &song = songs.songs[r];
      out.rows.push_back (song_row (song.title, song.artist, song.album,
                                    song.length, song.uri, NULL, -1, -1));
    }
  return true;
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
        if (o.artist == NULL && o.album == NULL && o.genre == NULL
            && o.by == NULL && read_song_columns (store, out))
          break;
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
      list = mp_library_store_database_get_album_list (store, &error);
      add_albums (out, store, list, o.artist);
      break;
    case Browse::ARTISTS:
      {
        const gchar *genre = key_or_unknown (o.genre);
        if (o.genre == NULL)
          list = mp_library_store_database_get_artist_list (store, &error);
        else if (genre == NULL)
          list = mp_library_store_database_get_artists_by_genre (
              store, NULL, TRUE, &error);
        else
          for (const std::string &g : spellings (
                   mp_library_store_database_get_genres (store, FALSE,
                                                         &error),
                   mp_media_resource_get_genre, genre))
            list = g_list_concat (
                list, mp_library_store_database_get_artists_by_genre (
                          store, g.c_str (), TRUE, &error));
        if (o.genre != NULL)
          list = merge_groups (list, mp_media_resource_get_artist,
                               mp_media_resource_set_artist);
        add_groups (out, list, "ARTIST", "artist",
                    mp_media_resource_get_artist);
        break;
      }
    case Browse::GENRES:
      list = merge_groups (
          mp_library_store_database_get_genres (store, TRUE, &error),
          mp_media_resource_get_genre, mp_media_resource_set_genre);
      add_groups (out, list, "GENRE", "genre", mp_media_resource_get_genre);
      break;
    case Browse::VIDEOS:
      list = sort_by (mp_library_store_database_get_videos (store, &error),
                      title_key);
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
      list = sort_by (mp_library_store_database_get_unplayed (store, &error),
                      title_key);
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

/* An option's value as UTF-8 text: as given when it is UTF-8 already,
 * whatever the locale (terminals and scripts mostly send it), else
 * converted from the locale's character set.  FALSE after one line on
 * stderr for a value that is neither. */
gboolean
option_text (const char *option, gchar **value)
{
  if (*value == NULL || g_utf8_validate (*value, -1, NULL))
    return TRUE;
  g_autoptr (GError) error = NULL;
  gchar *text = g_locale_to_utf8 (*value, -1, NULL, NULL, &error);
  if (text == NULL)
    {
      tessel_error ("--%s: %s", option, error->message);
      return FALSE;
    }
  g_free (*value);
  *value = text;
  return TRUE;
}

int
browse (Browse what, int argc, char **argv, const char *summary)
{
  Options o;
  std::vector<GOptionEntry> entries;
  auto add = [&] (const char *name, gchar **target, const char *text,
                  const char *arg) {
    /* Taken as bytes and made text below, which a locale that is not
     * UTF-8 would otherwise refuse. */
    entries.push_back (
        { name, 0, 0, G_OPTION_ARG_FILENAME, target, text, arg });
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

  if (!option_text ("artist", &o.artist) || !option_text ("album", &o.album)
      || !option_text ("genre", &o.genre))
    {
      meta_destruct ();
      return 2;
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
