/* The generated library the benchmarks browse and store into. */
#include "bench-library.h"

#include <algorithm>
#include <vector>

#include <glib.h>
#include <sqlite3.h>

#include "metadata.h"
#include "metadata_storage.h"

/* Generates a library of rows rows: about 12 songs an album, 4 albums an
 * artist, 40 genres; some songs without album, artist or genre or length;
 * album artists, discs and compilations; videos, playlists, streams and a
 * few absent rows.  Deterministic. */
void
bench_generate_library (const char *db_path, int rows)
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
  /* The tags that group albums, as the extractors write them: an album
   * artist on a fifth of the songs, discs on a third, a tenth of the
   * albums compilations, and a tenth of the titles spelt in lower case. */
  static const char *grouping[]
      = { "ALTER TABLE Metadata ADD COLUMN AlbumArtist text",
          "ALTER TABLE Metadata ADD COLUMN Disc int(12)",
          "ALTER TABLE Metadata ADD COLUMN Compilation int(12)",
          "UPDATE Metadata SET AlbumArtist = Artist WHERE rowid % 5 = 0 AND "
          "Album IS NOT NULL",
          "UPDATE Metadata SET Disc = 1 + (Track > 6) WHERE rowid % 3 = 0",
          "UPDATE Metadata SET Compilation = 1 WHERE Album LIKE '%5'",
          "UPDATE Metadata SET Album = lower (Album) WHERE rowid % 10 = 0" };
  for (const char *sql : grouping)
    /* A column that exists already is fine. */
    sqlite3_exec (db, sql, NULL, NULL, NULL);
  sqlite3_exec (db, "COMMIT", NULL, NULL, NULL);
  sqlite3_close (db);
  g_rand_free (rand);
}


void
bench_store_new_rows (int count, const char *folder)
{
  for (int i = 0; i < count; i++)
    {
      char name[160], title[32], artist[32], album[32];
      g_snprintf (name, sizeof name, "%s/%05d.mp3", folder, i);
      g_snprintf (title, sizeof title, "New %d", i);
      g_snprintf (artist, sizeof artist, "Artist %04d", i % 500);
      g_snprintf (album, sizeof album, "Album %04d", i % 2000);
      MetaItem *list = meta_list_append_text ("Filename", name, NULL);
      list = meta_list_append_text ("Title", title, list);
      list = meta_list_append_text ("Artist", artist, list);
      list = meta_list_append_text ("Album", album, list);
      list = meta_list_append_text ("Genre", "Genre 03", list);
      list = meta_list_append_text ("MIME", "audio/mpeg", list);
      list = meta_list_append_int ("Length", 200 + i % 100, list);
      list = meta_list_append_int ("Track", i % 12 + 1, list);
      list = meta_list_append_int ("Bitrate", 128000, list);
      list = meta_list_append_int ("Filesize", 4000000 + i, list);
      list = meta_list_append_int ("LastModification", 1700000000, list);
      if (!storage_store (list, name, 1))
        g_error ("storage_store failed for %s", name);
      meta_free_list (&list);
    }
}
