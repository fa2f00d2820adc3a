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

#include "bench-library.h"
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
  /* The listings of whole kinds run without their DISTINCT on a library
   * the storage made, as the store runs them. */
  auto plain = [] (const std::string &text) {
    return _mp_library_store_database_without_distinct (text.c_str ());
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
      { plain (songs_sql) } },
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
      { plain (videos_sql) } },
    { "get_playlists",
      [s] { return (mp_library_store_database_get_playlists (s, NULL)); },
      { plain (playlists_sql) } },
    { "get_user_playlists",
      [s] {
        return (mp_library_store_database_get_user_playlists (s, NULL));
      },
      { plain (user_playlists_sql) } },
    { "get_unplayed",
      [s] { return (mp_library_store_database_get_unplayed (s, NULL)); },
      { plain (unplayed_sql) } },
    { "get_played",
      [s] {
        return (mp_library_store_database_get_played (s, bench_period, NULL));
      },
      { plain (ld (played_fmt)) } },
    { "get_added",
      [s] {
        return (mp_library_store_database_get_added (s, bench_period, NULL));
      },
      { plain (ld (added_fmt)) } },
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
    /* The grouped lists beside the aggregates they replace.  They build
     * their SQL from the columns the table has and fold in C++, so there
     * is no bare text to set beside them. */
    { "get_album_list",
      [s] { return (mp_library_store_database_get_album_list (s, NULL)); },
      {} },
    { "get_artist_list",
      [s] { return (mp_library_store_database_get_artist_list (s, NULL)); },
      {} },
    { "get_album_songs",
      [s, a, b] {
        return (mp_library_store_database_get_album_songs (s, a, b, NULL));
      },
      {} },
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
  g_autofree gchar *folder = g_strdup_printf ("/media/mmc2/New/%d", seed);
  bench_store_new_rows (count, folder);
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
  bench_generate_library (db_path, rows);
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
      if (c.texts.empty ())
        printf ("%-36s %10.3f %10s %7s %10.3f\n", c.name.c_str (), t.store,
                "-", "-", t.release);
      else
        printf ("%-36s %10.3f %10.3f %7.2f %10.3f\n", c.name.c_str (),
                t.store, t.bare, t.bare > 0 ? t.store / t.bare : 0.0,
                t.release);
    }
  /* The grouped lists against the calls a player used before them. */
  static const char *const replaces[][2]
      = { { "get_album_list", "get_albums" },
          { "get_artist_list", "get_artists" },
          { "get_album_songs", "get_songs_by_artist_album" } };
  bool heading = false;
  for (const auto &pair : replaces)
    {
      auto at = [&calls] (const char *name) {
        for (size_t i = 0; i < calls.size (); i++)
          if (calls[i].name == name)
            return static_cast<long> (i);
        return -1L;
      };
      long now = at (pair[0]), before = at (pair[1]);
      if (now < 0 || before < 0)
        continue;
      if (!heading)
        printf ("\n-- grouped lists against the calls they replace (store "
                "ms)\n");
      heading = true;
      printf ("   %-20s %10.3f  %-26s %10.3f  x%.2f\n", pair[0],
              base[now].store, pair[1], base[before].store,
              base[now].store / base[before].store);
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
  for (const char *suffix : { "-journal", "-wal", "-shm" })
    {
      g_autofree gchar *side = g_strconcat (db_path, suffix, NULL);
      g_unlink (side);
    }
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
