/* How long each browse call of the database store takes on a generated
 * library, beside the bare query (the same SQL stepped through with no
 * objects made), what candidate indexes would change, and what they cost
 * the storing of new rows; and how long finding by words takes, and what
 * the word index costs the storing.
 *
 * Usage: bench-library-store [--rows N]... [--repeat R] [--quick]
 *                            [--only TEXT]
 * Without --rows it measures libraries of 5000 and 100000 rows; --quick
 * leaves out the index and storing measurements; --only measures the calls
 * whose name contains TEXT. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#include "mp_library_store_database-private.h"
#include "mp_library_store_database.h"

namespace
{

/* The library the benchmark browses; names chosen so that the one-artist,
 * one-album and one-genre calls hit a typical group. */
const char bench_artist[] = "Artist 0007";
const char bench_album[] = "Album 0029";
const char bench_genre[] = "Genre 07";
const long bench_period = 30L * 86400;

std::string
sql_text (char *formatted)
{
  std::string s (formatted != NULL ? formatted : "");
  sqlite3_free (formatted);
  return s;
}

/* CPU time of the process, so that other work on a busy machine does not
 * count; on an idle machine it matches the wall clock for these calls,
 * which wait for nothing but the page cache. */
double
now_ms ()
{
  struct timespec ts;
  clock_gettime (CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double
median (std::vector<double> v)
{
  std::sort (v.begin (), v.end ());
  size_t n = v.size ();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Generates a library of rows rows: about 12 songs an album, 4 albums an
 * artist, 40 genres; some songs without album, artist or genre or length;
 * videos, playlists, streams and a few absent rows.  Deterministic. */
void
generate (const char *db_path, int rows)
{
  sqlite3 *db = NULL;
  if (sqlite3_open (db_path, &db) != SQLITE_OK)
    g_error ("cannot open %s", db_path);
  sqlite3_exec (db, "BEGIN", NULL, NULL, NULL);
  sqlite3_stmt *ins = NULL;
  sqlite3_prepare_v2 (
      db,
      "INSERT INTO Metadata (Filename, Title, Artist, Album, Genre, Track, "
      "Length, MIME, Bitrate, Year, Present, AddedTime, AccessTime, "
      "isPlaylist, isStream, Filesize, LastModification) VALUES (?, ?, ?, "
      "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      -1, &ins, NULL);
  GRand *rand = g_rand_new_with_seed (20261207);
  gint64 now = g_get_real_time () / G_USEC_PER_SEC;
  static const char *audio_mimes[]
      = { "audio/mpeg", "audio/mpeg", "audio/mpeg", "audio/x-ms-wma",
          "audio/mp4", "audio/x-vorbis+ogg", "audio/flac" };
  static const char *video_mimes[]
      = { "video/mp4", "video/x-msvideo", "video/3gpp", "video/mpeg" };
  static const char *playlist_mimes[]
      = { "audio/x-mpegurl", "audio/x-scpls", "application/vnd.ms-wpl" };
  /* Rows arrive in no particular order, as a library grows over time:
   * rowid order says nothing about artist, album or genre. */
  std::vector<int> order (rows);
  for (int i = 0; i < rows; i++)
    order[i] = i;
  for (int i = rows - 1; i > 0; i--)
    std::swap (order[i], order[g_rand_int_range (rand, 0, i + 1)]);
  for (int n = 0; n < rows; n++)
    {
      int i = order[n];
      int kind = g_rand_int_range (rand, 0, 1000);
      int song = i;
      int album = song / 12, artist = album / 4;
      char filename[160], title[64], artist_name[32], album_name[32],
          genre_name[32];
      g_snprintf (title, sizeof title, "%s %d",
                  (const char *[]){ "love", "Night", "blue", "Road", "fire",
                                    "Rain", "gold", "Home" }[i % 8],
                  g_rand_int_range (rand, 1, 5000));
      g_snprintf (artist_name, sizeof artist_name, "Artist %04d", artist);
      g_snprintf (album_name, sizeof album_name, "Album %04d", album);
      g_snprintf (genre_name, sizeof genre_name, "Genre %02d",
                  (artist * 7) % 40);
      const char *mime;
      int is_playlist = 0, is_stream = 0;
      bool with_tags = true;
      if (kind < 50) /* 5% videos */
        {
          mime = video_mimes[i % 4];
          g_snprintf (filename, sizeof filename,
                      "/media/mmc1/Videos/clip %06d.mp4", i);
          with_tags = false;
        }
      else if (kind < 70) /* 2% playlists */
        {
          mime = playlist_mimes[i % 3];
          is_playlist = 1;
          g_snprintf (filename, sizeof filename,
                      "/media/mmc1/Playlists/list %06d.m3u", i);
          with_tags = false;
        }
      else if (kind < 80) /* 1% streams */
        {
          mime = "audio/mpeg";
          is_stream = 1;
          g_snprintf (filename, sizeof filename,
                      "http://radio.example/stream/%06d", i);
          with_tags = false;
        }
      else
        {
          mime = audio_mimes[i % 7];
          g_snprintf (filename, sizeof filename,
                      "/media/mmc1/Music/%s/%s/%02d %s.mp3", artist_name,
                      album_name, song % 12 + 1, title);
        }
      sqlite3_reset (ins);
      sqlite3_clear_bindings (ins);
      sqlite3_bind_text (ins, 1, filename, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text (ins, 2, title, -1, SQLITE_TRANSIENT);
      if (with_tags)
        {
          if (g_rand_int_range (rand, 0, 100) >= 3)
            sqlite3_bind_text (ins, 3, artist_name, -1, SQLITE_TRANSIENT);
          if (g_rand_int_range (rand, 0, 100) >= 5)
            sqlite3_bind_text (ins, 4, album_name, -1, SQLITE_TRANSIENT);
          if (g_rand_int_range (rand, 0, 100) >= 5)
            sqlite3_bind_text (ins, 5, genre_name, -1, SQLITE_TRANSIENT);
          sqlite3_bind_int (ins, 6, song % 12 + 1);
          sqlite3_bind_int (ins, 9, 128000 + 64000 * (i % 3));
          sqlite3_bind_text (ins, 10, "2004", -1, SQLITE_STATIC);
        }
      if (!is_playlist && g_rand_int_range (rand, 0, 100) >= 1)
        sqlite3_bind_int (ins, 7, g_rand_int_range (rand, 90, 600));
      sqlite3_bind_text (ins, 8, mime, -1, SQLITE_STATIC);
      /* A few rows on a card that is not inserted. */
      sqlite3_bind_int (ins, 11, g_rand_int_range (rand, 0, 100) >= 2);
      sqlite3_bind_int64 (ins, 12,
                          now - g_rand_int_range (rand, 0, 365 * 86400));
      if (g_rand_int_range (rand, 0, 100) < 30)
        sqlite3_bind_int64 (ins, 13,
                            now - g_rand_int_range (rand, 0, 60 * 86400));
      if (is_playlist)
        sqlite3_bind_int (ins, 14, 1);
      if (is_stream)
        sqlite3_bind_int (ins, 15, 1);
      sqlite3_bind_int (ins, 16, g_rand_int_range (rand, 1000000, 9000000));
      sqlite3_bind_int64 (ins, 17, now - 400 * 86400);
      if (sqlite3_step (ins) != SQLITE_DONE)
        g_error ("generation failed: %s", sqlite3_errmsg (db));
    }
  sqlite3_finalize (ins);
  sqlite3_exec (db, "COMMIT", NULL, NULL, NULL);
  sqlite3_close (db);
  g_rand_free (rand);
}

struct Call
{
  std::string name;
  std::function<GList *()> store; /* the store call; a total as a list */
  std::vector<std::string> texts; /* the SQL it runs, already formatted */
};

void
release (GList *list)
{
  g_list_foreach (list, (GFunc) mp_media_resource_destroy, NULL);
  g_list_free (list);
}

GList *
as_list (MpMediaResource *res)
{
  return res != NULL ? g_list_prepend (NULL, res) : NULL;
}

/* Every call of the store with the texts it runs.  The played and added
 * windows are formatted once here; the seconds a run takes do not change
 * what they select enough to matter. */
std::vector<Call>
all_calls (const std::string &uri)
{
  MpLibraryStoreDatabase *s = mp_library_store_database_get_instance ();
  long threshold = static_cast<long> (g_get_real_time () / G_USEC_PER_SEC)
                   - bench_period;
  auto q = [] (const char *fmt, const char *arg) {
    return sql_text (sqlite3_mprintf (fmt, arg));
  };
  auto ld = [threshold] (const char *fmt) {
    return sql_text (sqlite3_mprintf (fmt, threshold));
  };
  const char *a = bench_artist, *b = bench_album, *g = bench_genre;
  std::string u = uri;
  return {
    { "get_media_by_uri",
      [s, u] {
        return as_list (mp_library_store_database_get_media_by_uri (
            s, u.c_str (), NULL));
      },
      { q (uri_sql, uri.c_str ()) } },
    { "get_songs",
      [s] { return (mp_library_store_database_get_songs (s, NULL)); },
      { songs_sql } },
    { "get_songs_ordered_by_album",
      [s] {
        return (mp_library_store_database_get_songs_ordered_by_album (s,
                                                                     NULL));
      },
      { ordered_album_set, ordered_album_null } },
    { "get_songs_ordered_by_genre",
      [s] {
        return (mp_library_store_database_get_songs_ordered_by_genre (s,
                                                                     NULL));
      },
      { ordered_genre_set, ordered_genre_null } },
    { "get_songs_ordered_by_artist",
      [s] {
        return (mp_library_store_database_get_songs_ordered_by_artist (
            s, NULL));
      },
      { ordered_artist_set, ordered_artist_null } },
    { "get_songs_by_artist",
      [s, a] {
        return (mp_library_store_database_get_songs_by_artist (s, a, NULL));
      },
      { q (songs_by_artist_fmt, a) } },
    { "get_songs_by_artist(NULL)",
      [s] {
        return (
            mp_library_store_database_get_songs_by_artist (s, NULL, NULL));
      },
      { songs_by_artist_null } },
    { "get_songs_by_album",
      [s, b] {
        return (mp_library_store_database_get_songs_by_album (s, b, NULL));
      },
      { q (songs_by_album_fmt, b) } },
    { "get_songs_by_album(NULL)",
      [s] {
        return (mp_library_store_database_get_songs_by_album (s, NULL, NULL));
      },
      { songs_by_album_null } },
    { "get_songs_by_genre",
      [s, g] {
        return (mp_library_store_database_get_songs_by_genre (s, g, NULL));
      },
      { q (songs_by_genre_fmt, g) } },
    { "get_songs_by_genre(NULL)",
      [s] {
        return (mp_library_store_database_get_songs_by_genre (s, NULL, NULL));
      },
      { songs_by_genre_null } },
    { "get_songs_by_artist_genre",
      [s, a, g] {
        return (mp_library_store_database_get_songs_by_artist_genre (s, a, g,
                                                                    NULL));
      },
      { sql_text (sqlite3_mprintf (songs_by_artist_genre_fmt, g, a)) } },
    { "get_songs_by_artist_album",
      [s, a, b] {
        return (mp_library_store_database_get_songs_by_artist_album (s, a, b,
                                                                    NULL));
      },
      { sql_text (sqlite3_mprintf (songs_by_artist_album_fmt, a, b)) } },
    { "get_unknown_album_songs_by_artist",
      [s, a] {
        return (mp_library_store_database_get_unknown_album_songs_by_artist (
            s, a, NULL));
      },
      { q (unknown_album_songs_fmt, a) } },
    { "get_videos",
      [s] { return (mp_library_store_database_get_videos (s, NULL)); },
      { videos_sql } },
    { "get_playlists",
      [s] { return (mp_library_store_database_get_playlists (s, NULL)); },
      { playlists_sql } },
    { "get_user_playlists",
      [s] {
        return (mp_library_store_database_get_user_playlists (s, NULL));
      },
      { user_playlists_sql } },
    { "get_unplayed",
      [s] { return (mp_library_store_database_get_unplayed (s, NULL)); },
      { unplayed_sql } },
    { "get_played",
      [s] {
        return (mp_library_store_database_get_played (s, bench_period, NULL));
      },
      { ld (played_fmt) } },
    { "get_added",
      [s] {
        return (mp_library_store_database_get_added (s, bench_period, NULL));
      },
      { ld (added_fmt) } },
    { "get_genres",
      [s] { return (mp_library_store_database_get_genres (s, TRUE, NULL)); },
      { genres_sql, genres_unknown_sql } },
    { "get_artists",
      [s] {
        return (mp_library_store_database_get_artists (s, TRUE, NULL));
      },
      { artists_sql, artists_unknown_sql } },
    { "get_albums",
      [s] { return (mp_library_store_database_get_albums (s, TRUE, NULL)); },
      { albums_sql, albums_unknown_sql } },
    { "get_albums_by_artist",
      [s, a] {
        return (mp_library_store_database_get_albums_by_artist (s, a, TRUE,
                                                               NULL));
      },
      { q (albums_by_artist_fmt, a), q (albums_by_artist_unknown_fmt, a) } },
    { "get_artists_by_genre",
      [s, g] {
        return (mp_library_store_database_get_artists_by_genre (s, g, TRUE,
                                                               NULL));
      },
      { q (artists_by_genre_fmt, g), q (artists_by_genre_unknown_fmt, g) } },
    { "get_genres_length",
      [s] {
        return as_list (mp_library_store_database_get_genres_length (s, NULL));
      },
      { genres_length_sql } },
    { "get_artists_length",
      [s] {
        return as_list (mp_library_store_database_get_artists_length (s, NULL));
      },
      { artists_length_sql } },
    { "get_albums_length",
      [s] {
        return as_list (mp_library_store_database_get_albums_length (s, NULL));
      },
      { albums_length_sql } },
    { "get_artist_length",
      [s, a] {
        return as_list (mp_library_store_database_get_artist_length (s, a, NULL));
      },
      { q (artist_length_fmt, a) } },
    { "get_genre_length",
      [s, g] {
        return as_list (mp_library_store_database_get_genre_length (s, g, NULL));
      },
      { q (genre_length_fmt, g) } },
    { "get_album_length",
      [s, b] {
        return as_list (mp_library_store_database_get_album_length (s, b, NULL));
      },
      { q (album_length_fmt, b) } },
    { "get_songs_length",
      [s] {
        return as_list (mp_library_store_database_get_songs_length (s, NULL));
      },
      { songs_length_sql } },
    { "get_videos_length",
      [s] {
        return as_list (mp_library_store_database_get_videos_length (s, NULL));
      },
      { videos_length_sql } },
    { "get_playlist_unplayed_length",
      [s] {
        return as_list (
            mp_library_store_database_get_playlist_unplayed_length (s, NULL));
      },
      { unplayed_length_sql } },
    { "get_playlist_played_length",
      [s] {
        return as_list (mp_library_store_database_get_playlist_played_length (
            s, bench_period, NULL));
      },
      { ld (played_length_fmt) } },
    { "get_playlist_added_length",
      [s] {
        return as_list (mp_library_store_database_get_playlist_added_length (
            s, bench_period, NULL));
      },
      { ld (added_length_fmt) } },
  };
}

/* The floor: prepare and step every text, reading nothing. */
void
run_bare (sqlite3 *db, const std::vector<std::string> &texts)
{
  for (const std::string &t : texts)
    {
      sqlite3_stmt *stmt = NULL;
      if (sqlite3_prepare_v2 (db, t.c_str (), -1, &stmt, NULL) != SQLITE_OK)
        g_error ("bare query failed: %s", sqlite3_errmsg (db));
      while (sqlite3_step (stmt) == SQLITE_ROW)
        ;
      sqlite3_finalize (stmt);
    }
}

struct Timing
{
  double store, bare; /* medians */
  double release;     /* median time the caller takes to release the result */
  double store_min;   /* fastest store run: the least disturbed by other
                         work on the machine, used to compare indexes */
};

Timing
measure (const Call &call, sqlite3 *bare_db, int repeat)
{
  std::vector<double> store, bare, freeing;
  release (call.store ()); /* warm the caches */
  run_bare (bare_db, call.texts);
  for (int r = 0; r < repeat; r++)
    {
      double t0 = now_ms ();
      GList *result = call.store ();
      double t1 = now_ms ();
      release (result);
      double t2 = now_ms ();
      run_bare (bare_db, call.texts);
      double t3 = now_ms ();
      store.push_back (t1 - t0);
      freeing.push_back (t2 - t1);
      bare.push_back (t3 - t2);
    }
  return { median (store), median (bare), median (freeing),
           *std::min_element (store.begin (), store.end ()) };
}

/* Rows stored a second through storage_store, as indexing stores them:
 * one statement (and one commit) per file. */
double
storing_rate (int count, int seed)
{
  double t0 = now_ms ();
  for (int i = 0; i < count; i++)
    {
      char name[96], title[32], artist[32], album[32];
      g_snprintf (name, sizeof name, "/media/mmc2/New/%d/%05d.mp3", seed, i);
      g_snprintf (title, sizeof title, "New %d", i);
      g_snprintf (artist, sizeof artist, "Artist %04d", i % 500);
      g_snprintf (album, sizeof album, "Album %04d", i % 2000);
      MetaItem *list = meta_list_append_text ("Title", title, NULL);
      list = meta_list_append_text ("Artist", artist, list);
      list = meta_list_append_text ("Album", album, list);
      list = meta_list_append_text ("Genre", "Genre 03", list);
      list = meta_list_append_text ("MIME", "audio/mpeg", list);
      list = meta_list_append_int ("Length", 200 + i % 100, list);
      list = meta_list_append_int ("Track", i % 12 + 1, list);
      list = meta_list_append_int ("Bitrate", 128000, list);
      if (!storage_store (list, name, 1))
        g_error ("storage_store failed");
      meta_free_list (&list);
    }
  return count / ((now_ms () - t0) / 1000.0);
}

bool
mentions (const Call &call, const char *column)
{
  for (const std::string &t : call.texts)
    if (t.find (column) != std::string::npos)
      return true;
  return false;
}

void
exec_or_die (sqlite3 *db, const char *sql)
{
  char *msg = NULL;
  if (sqlite3_exec (db, sql, NULL, NULL, &msg) != SQLITE_OK)
    g_error ("%s: %s", sql, msg);
}

const char *only_calls; /* --only */

/* Wall-clock milliseconds: storing waits for the disk, which CPU time
 * leaves out. */
double
wall_ms ()
{
  return g_get_monotonic_time () / 1000.0;
}

/* Removes the word index and its triggers, as a database that never had
 * them; the next storage_init builds them again from the rows. */
void
drop_word_index (sqlite3 *db)
{
  exec_or_die (db, "DROP TRIGGER MetadataSearchInsert");
  exec_or_die (db, "DROP TRIGGER MetadataSearchDelete");
  exec_or_die (db, "DROP TRIGGER MetadataSearchUpdate");
  exec_or_die (db, "DROP TABLE MetadataSearch");
}

sqlite3_int64
query_int (sqlite3 *db, const char *sql)
{
  sqlite3_stmt *stmt = NULL;
  sqlite3_int64 value = -1;
  if (sqlite3_prepare_v2 (db, sql, -1, &stmt, NULL) == SQLITE_OK
      && sqlite3_step (stmt) == SQLITE_ROW)
    value = sqlite3_column_int64 (stmt, 0);
  sqlite3_finalize (stmt);
  return value;
}

/* Finding by words: the store's find call for texts from narrow to the
 * broadest a player meets while the user types (one letter), and then
 * storing with and without the word index, alternating, in one run. */
void
bench_find (sqlite3 *bare_db, int rows, int repeat, int store_count)
{
  MpLibraryStoreDatabase *s = mp_library_store_database_get_instance ();
  static const char *texts[] = { "night 1234",  "Artist 0007", "album 0029 love",
                                 "blüe 12",     "rain",        "r" };
  printf ("\n-- find at %d rows (median of %d runs, CPU ms; the list "
          "released)\n",
          rows, repeat);
  printf ("   %-24s %10s %8s\n", "text", "find", "rows");
  for (const char *text : texts)
    {
      Call call{ text,
                 [s, text] {
                   return mp_library_store_database_find (s, text, NULL);
                 },
                 {} };
      GList *found = call.store ();
      guint count = g_list_length (found);
      release (found);
      Timing t = measure (call, bare_db, repeat);
      printf ("   %-24s %10.3f %8u\n", text, t.store, count);
    }
  sqlite3_int64 page = query_int (bare_db, "PRAGMA page_size");
  sqlite3_int64 pages = query_int (bare_db, "PRAGMA page_count");
  sqlite3_int64 words = query_int (
      bare_db, "SELECT sum(length(block)) FROM MetadataSearch_data");
  printf ("   word index: %.1f MB of a %.1f MB file\n", words / 1e6,
          page * pages / 1e6);
  fflush (stdout);
  if (store_count <= 0)
    return;

  /* Rounds of storing with the index, then without; each round stores new
   * names, so every store is an insertion. */
  std::vector<double> cpu_with, cpu_without, wall_with, wall_without;
  for (int round = 0; round < 3; round++)
    for (int with = 1; with >= 0; with--)
      {
        if (with)
          {
            /* Opening builds the index again from the rows. */
            storage_close ();
            if (!storage_init ())
              g_error ("storage_init failed");
          }
        else
          drop_word_index (bare_db);
        double w0 = wall_ms ();
        double rate = storing_rate (store_count, 10 + round * 2 + with);
        double wall_rate = store_count / ((wall_ms () - w0) / 1000.0);
        (with ? cpu_with : cpu_without).push_back (rate);
        (with ? wall_with : wall_without).push_back (wall_rate);
      }
  double cw = median (cpu_with), co = median (cpu_without);
  double ww = median (wall_with), wo = median (wall_without);
  printf ("\nstoring %d new rows into %d rows through storage_store, "
          "median of 3 rounds (rows/s)\n",
          store_count, rows);
  printf ("   %-22s %12s %12s %8s\n", "", "with index", "without",
          "ratio");
  printf ("   %-22s %12.0f %12.0f %8.2f\n", "CPU time", cw, co, cw / co);
  printf ("   %-22s %12.0f %12.0f %8.2f\n", "wall clock", ww, wo, ww / wo);
  /* Leave the database as storage_init makes it. */
  storage_close ();
  if (!storage_init ())
    g_error ("storage_init failed");
  fflush (stdout);
}

void
bench_library (int rows, int repeat, bool indexes, int store_count)
{
  g_autoptr (GError) error = NULL;
  g_autofree gchar *dir = g_dir_make_tmp ("tessel-bench-XXXXXX", &error);
  g_assert_no_error (error);
  g_autofree gchar *db_path = g_build_filename (dir, "meta_storage", NULL);
  storage_set_path (db_path);
  config.max_storage_limit = INT_MAX; /* no trimming while storing */
  if (!storage_init ())
    g_error ("storage_init failed");
  storage_close ();
  generate (db_path, rows);
  if (!storage_init ())
    g_error ("storage_init failed");
  sqlite3 *bare_db = NULL;
  sqlite3_open (db_path, &bare_db);

  char uri[160];
  g_snprintf (uri, sizeof uri, "/media/mmc1/Music/%s/%s/", bench_artist,
              bench_album);
  /* A real uri from the middle of the table. */
  {
    sqlite3_stmt *stmt = NULL;
    sqlite3_prepare_v2 (bare_db,
                        "SELECT Filename FROM Metadata WHERE rowid = "
                        "(SELECT count(*) / 2 FROM Metadata)",
                        -1, &stmt, NULL);
    if (sqlite3_step (stmt) == SQLITE_ROW)
      g_strlcpy (uri, (const char *) sqlite3_column_text (stmt, 0),
                 sizeof uri);
    sqlite3_finalize (stmt);
  }
  std::vector<Call> calls = all_calls (uri);
  if (only_calls != NULL)
    calls.erase (std::remove_if (calls.begin (), calls.end (),
                                 [] (const Call &c) {
                                   return c.name.find (only_calls)
                                          == std::string::npos;
                                 }),
                 calls.end ());

  printf ("\n== %d rows (median of %d runs, CPU milliseconds)\n", rows,
          repeat);
  printf ("%-36s %10s %10s %7s %10s\n", "call", "store", "bare", "ratio",
          "release");
  std::vector<Timing> base;
  for (const Call &c : calls)
    {
      Timing t = measure (c, bare_db, repeat);
      base.push_back (t);
      printf ("%-36s %10.3f %10.3f %7.2f %10.3f\n", c.name.c_str (),
              t.store, t.bare, t.bare > 0 ? t.store / t.bare : 0.0,
              t.release);
    }
  fflush (stdout);
  if (only_calls == NULL || strstr ("find", only_calls) != NULL)
    bench_find (bare_db, rows, repeat, store_count);

  /* Each candidate index alone: the calls whose text names the column are
   * measured without it and with it, back to back. */
  std::vector<const char *> worth;
  if (indexes)
    {
      static const char *candidates[]
          = { "Artist", "Album", "Genre", "AccessTime", "AddedTime" };
      for (const char *column : candidates)
        {
          std::vector<size_t> affected;
          std::vector<double> before;
          for (size_t i = 0; i < calls.size (); i++)
            if (mentions (calls[i], column))
              {
                affected.push_back (i);
                before.push_back (measure (calls[i], bare_db, repeat)
                                      .store_min);
              }
          g_autofree gchar *create = g_strdup_printf (
              "CREATE INDEX bench_idx ON Metadata (%s)", column);
          exec_or_die (bare_db, create);
          printf ("\n-- index on %s: calls whose text names it (fastest "
                  "store run, ms, without -> with)\n",
                  column);
          int wins = 0, losses = 0;
          for (size_t k = 0; k < affected.size (); k++)
            {
              const Call &c = calls[affected[k]];
              double after = measure (c, bare_db, repeat).store_min;
              const char *verdict = "equal";
              /* Within 10% or 0.1 ms counts as equal. */
              if (after < before[k] * 0.9 && before[k] - after > 0.1)
                verdict = "wins", wins++;
              else if (after > before[k] * 1.1 && after - before[k] > 0.1)
                verdict = "LOSES", losses++;
              printf ("   %-36s %10.3f -> %10.3f  %s\n", c.name.c_str (),
                      before[k], after, verdict);
            }
          bool good = losses == 0 && wins > 0;
          printf ("   verdict: %d win, %d lose -> %s\n", wins, losses,
                  good ? "every affected call wins or stays equal"
                       : "not worth it");
          if (good)
            worth.push_back (column);
          exec_or_die (bare_db, "DROP INDEX bench_idx");
          fflush (stdout);
        }
    }

  /* Storing without extra indexes, with the ones that passed (if any),
   * and with all five candidates, the most any of them could cost. */
  if (store_count > 0)
    {
      static const char *all[]
          = { "Artist", "Album", "Genre", "AccessTime", "AddedTime" };
      printf ("\nstoring %d new rows into %d rows through storage_store "
              "(rows/s):\n",
              store_count, rows);
      printf ("   %-44s %8.0f\n", "without extra indexes",
              storing_rate (store_count, 1));
      std::string names;
      for (const char *column : worth)
        {
          g_autofree gchar *create = g_strdup_printf (
              "CREATE INDEX bench_%s ON Metadata (%s)", column, column);
          exec_or_die (bare_db, create);
          names += names.empty () ? column : std::string (", ") + column;
        }
      if (!worth.empty ())
        {
          std::string label = "with the passing ones (" + names + ")";
          printf ("   %-44s %8.0f\n", label.c_str (),
                  storing_rate (store_count, 2));
        }
      for (const char *column : all)
        {
          g_autofree gchar *create = g_strdup_printf (
              "CREATE INDEX IF NOT EXISTS bench_%s ON Metadata (%s)", column,
              column);
          exec_or_die (bare_db, create);
        }
      printf ("   %-44s %8.0f\n", "with all five candidates",
              storing_rate (store_count, 3));
    }

  sqlite3_close (bare_db);
  storage_close ();
  g_unlink (db_path);
  g_autofree gchar *journal = g_strconcat (db_path, "-journal", NULL);
  g_unlink (journal);
  g_rmdir (dir);
}

} // namespace

int
main (int argc, char **argv)
{
  std::vector<int> sizes;
  int repeat = 0;
  bool quick = false;
  for (int i = 1; i < argc; i++)
    {
      if (strcmp (argv[i], "--rows") == 0 && i + 1 < argc)
        sizes.push_back (atoi (argv[++i]));
      else if (strcmp (argv[i], "--repeat") == 0 && i + 1 < argc)
        repeat = atoi (argv[++i]);
      else if (strcmp (argv[i], "--quick") == 0)
        quick = true;
      else if (strcmp (argv[i], "--only") == 0 && i + 1 < argc)
        only_calls = argv[++i];
      else
        {
          fprintf (stderr,
                   "usage: %s [--rows N]... [--repeat R] [--quick] "
                   "[--only TEXT]\n",
                   argv[0]);
          return 2;
        }
    }
  if (sizes.empty ())
    sizes = { 5000, 100000 };
  for (int rows : sizes)
    {
      if (rows <= 0)
        {
          fprintf (stderr, "bench-library-store: --rows must be positive\n");
          return 2;
        }
      int r = repeat > 0 ? repeat : rows <= 20000 ? 21 : 7;
      bench_library (rows, r, !quick, quick ? 0 : 500);
    }
  return 0;
}
