/* Album covers: both extractor plug-ins put the cover of a song's album
 * into the media-art cache while indexing (embedded pictures, else an
 * image beside the song), never a damaged or oversized one, and read it
 * once per album; the store finds it, `tessel albums` shows it and
 * `tessel prune --yes` removes the covers of albums gone.  Every test has
 * a cache of its own (isolated XDG folders); the cache files are found by
 * libmediaart's own names and decoded with gdk-pixbuf. */
#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <libmediaart/mediaart.h>

#include "metadata_conf.h"
#include "mp_library_store_database.h"
#include "tessel-media.h"
#include "tessel-tag-write.h"
#include "tessel-test.h"

static gchar *media_dir;
static MetaExtractFunc extract[2]; /* libbrisel_tag, libbrisel_gst */
static const char *tool;

#define TONE "audiotestsrc num-buffers=10 samplesperbuffer=4410 ! " \
             "audio/x-raw,rate=44100,channels=1 ! audioconvert ! " \
             "audioresample ! "
#define UNTAGGED(name) name, NULL, NULL, NULL, 0, NULL, NULL, 1, TRUE, FALSE

/* Samples without tags; each test tags a copy of its own. */
static const TesselMedia samples[] = {
  { "plain.mp3", "lamemp3enc", TONE "lamemp3enc ! filesink location=%s",
    NULL, UNTAGGED ("plain.mp3") },
  { "plain.flac", "flacenc", TONE "flacenc ! filesink location=%s", NULL,
    UNTAGGED ("plain.flac") },
  { "plain.ogg", "vorbisenc oggmux",
    TONE "vorbisenc ! oggmux ! filesink location=%s", NULL,
    UNTAGGED ("plain.ogg") },
  { "plain.m4a", "avenc_aac mp4mux",
    TONE "avenc_aac ! mp4mux ! filesink location=%s", NULL,
    UNTAGGED ("plain.m4a") },
  { NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, 0, FALSE,
    FALSE },
};

/* A test's own folder, removed with everything in it. */
typedef struct
{
  gchar *dir;
} Folder;

static void
folder_setup (Folder *f, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  f->dir = g_dir_make_tmp ("tessel-cover-XXXXXX", &error);
  g_assert_no_error (error);
}

static void
remove_tree (const gchar *path)
{
  g_autoptr (GDir) dir = g_dir_open (path, 0, NULL);
  const gchar *entry;
  while (dir != NULL && (entry = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *child = g_build_filename (path, entry, NULL);
      if (g_file_test (child, G_FILE_TEST_IS_DIR)
          && !g_file_test (child, G_FILE_TEST_IS_SYMLINK))
        remove_tree (child);
      else
        g_unlink (child);
    }
  g_rmdir (path);
}

static void
folder_teardown (Folder *f, gconstpointer data)
{
  (void) data;
  remove_tree (f->dir);
  g_free (f->dir);
}

/* A picture of w by h pixels as "jpeg" or "png" bytes. */
static GBytes *
make_picture (const gchar *type, int w, int h)
{
  g_autoptr (GdkPixbuf) pixbuf
      = gdk_pixbuf_new (GDK_COLORSPACE_RGB, FALSE, 8, w, h);
  gdk_pixbuf_fill (pixbuf, 0x3366ccff);
  gchar *bytes = NULL;
  gsize size = 0;
  GError *error = NULL;
  g_assert_true (gdk_pixbuf_save_to_buffer (pixbuf, &bytes, &size, type,
                                            &error, NULL));
  g_assert_no_error (error);
  return g_bytes_new_take (bytes, size);
}

/* Copies sample into dir as name, tagged with artist and album (and the
 * title "Song"); returns its path (g_free it), or NULL with the test
 * skipped when the sample could not be made here. */
static gchar *
song_in (const gchar *dir, const gchar *sample, const gchar *name,
         const gchar *artist, const gchar *album)
{
  g_autofree gchar *from = g_build_filename (media_dir, sample, NULL);
  if (!g_file_test (from, G_FILE_TEST_EXISTS))
    {
      g_test_skip ("the sample's encoder is missing");
      return NULL;
    }
  gchar *path = g_build_filename (dir, name, NULL);
  gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (from, &bytes, &size, NULL));
  g_assert_true (g_file_set_contents (path, bytes, size, NULL));
  g_free (bytes);
  TesselMedia tags = { 0 };
  tags.title = "Song";
  tags.artist = artist;
  tags.album = album;
  g_assert_true (tessel_tag_write (path, &tags));
  return path;
}

/* Two songs of the album "Record" by "Singer" in dir, 1.mp3 and 2.mp3;
 * FALSE with the test skipped when they cannot be made here. */
static gboolean
two_songs (const gchar *dir, gchar **first, gchar **second)
{
  *first = song_in (dir, "plain.mp3", "1.mp3", "Singer", "Record");
  *second = song_in (dir, "plain.mp3", "2.mp3", "Singer", "Record");
  return *first != NULL && *second != NULL;
}

static void
add_picture (const gchar *path, GBytes *picture, const gchar *type,
             gboolean front)
{
  gsize size = 0;
  const guchar *data = g_bytes_get_data (picture, &size);
  g_autofree gchar *mime = g_strconcat ("image/", type, NULL);
  g_assert_true (tessel_tag_write_picture (path, data, size, mime, front));
}

static void
write_bytes (const gchar *dir, const gchar *name, GBytes *bytes, gsize keep)
{
  g_autofree gchar *path = g_build_filename (dir, name, NULL);
  gsize size = 0;
  const gchar *data = g_bytes_get_data (bytes, &size);
  g_assert_true (g_file_set_contents (path, data, MIN (keep, size), NULL));
}

static void
index_with (guint plugin, const gchar *path)
{
  MetaItem *list = extract[plugin] (path);
  g_assert_nonnull (list);
  meta_free_list (&list);
}

static gchar *
cover_path (const gchar *artist, const gchar *album)
{
  gchar *path = NULL;
  g_assert_true (media_art_get_path (artist, album, "album", &path));
  return path;
}

/* The album's cache file is a JPEG of w by h pixels. */
static void
assert_cover (const gchar *artist, const gchar *album, int w, int h)
{
  g_autofree gchar *path = cover_path (artist, album);
  gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (path, &bytes, &size, NULL));
  g_assert_cmpuint (size, >, 4);
  g_assert_cmpint ((guchar) bytes[0], ==, 0xff);
  g_assert_cmpint ((guchar) bytes[1], ==, 0xd8);
  g_free (bytes);
  GError *error = NULL;
  g_autoptr (GdkPixbuf) pixbuf = gdk_pixbuf_new_from_file (path, &error);
  g_assert_no_error (error);
  g_assert_cmpint (gdk_pixbuf_get_width (pixbuf), ==, w);
  g_assert_cmpint (gdk_pixbuf_get_height (pixbuf), ==, h);
}

/* The album has no cache file, and the cache holds nothing half-made: no
 * temporary file, no link to nothing. */
static void
assert_no_cover (const gchar *artist, const gchar *album)
{
  g_autofree gchar *path = cover_path (artist, album);
  g_assert_false (g_file_test (path, G_FILE_TEST_EXISTS));
  g_autofree gchar *cache
      = g_build_filename (g_get_user_cache_dir (), "media-art", NULL);
  g_autoptr (GDir) dir = g_dir_open (cache, 0, NULL);
  const gchar *entry;
  while (dir != NULL && (entry = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *file = g_build_filename (cache, entry, NULL);
      g_test_message ("in the cache: %s", entry);
      g_assert_true (g_str_has_suffix (entry, ".jpeg"));
      g_assert_true (g_file_test (file, G_FILE_TEST_IS_REGULAR));
    }
}

/* Embedded pictures */

typedef struct
{
  const gchar *sample;
  const gchar *type; /* of the pictures */
  gboolean typed;    /* the container marks a front cover */
  guint plugin;
} EmbedCase;

static const EmbedCase embed_cases[] = {
  { "plain.mp3", "jpeg", TRUE, 0 },  { "plain.flac", "jpeg", TRUE, 0 },
  { "plain.ogg", "jpeg", TRUE, 0 },  { "plain.m4a", "jpeg", FALSE, 0 },
  { "plain.flac", "png", TRUE, 0 },  { "plain.m4a", "png", FALSE, 0 },
  { "plain.mp3", "jpeg", TRUE, 1 },  { "plain.flac", "jpeg", TRUE, 1 },
  { "plain.ogg", "png", TRUE, 1 },   { "plain.m4a", "jpeg", FALSE, 1 },
};

/* The front cover wins over a picture ahead of it; a container without
 * picture types gives its first. */
static void
test_embedded (Folder *f, gconstpointer data)
{
  const EmbedCase *c = data;
  g_autofree gchar *name = g_strdup_printf ("song%s", strrchr (c->sample,
                                                                '.'));
  g_autofree gchar *song = song_in (f->dir, c->sample, name, "Singer",
                                    "Record");
  if (song == NULL)
    return;
  g_autoptr (GBytes) back = make_picture (c->type, 10, 10);
  g_autoptr (GBytes) front = make_picture (c->type, 24, 16);
  if (c->typed)
    add_picture (song, back, c->type, FALSE);
  add_picture (song, front, c->type, TRUE);
  index_with (c->plugin, song);
  assert_cover ("Singer", "Record", 24, 16);
  /* libmediaart compares names ignoring case. */
  g_autofree gchar *path = cover_path ("Singer", "Record");
  g_autofree gchar *other = cover_path ("SINGER", "record");
  g_assert_cmpstr (path, ==, other);
}

/* Images beside the song */

typedef struct
{
  const gchar *names[4]; /* images made: 24x16 first, then 10x10 */
  gboolean embedded;     /* the song also has a 30x30 front cover */
  int w, h;              /* the cover expected, 0 for none */
} FolderCase;

static const FolderCase folder_cases[] = {
  { { "Cover.JPG" }, FALSE, 24, 16 },
  { { "folder.png" }, FALSE, 24, 16 },
  { { "FRONT.jpeg" }, FALSE, 24, 16 },
  { { "cover.jpg", "album.jpg" }, FALSE, 24, 16 },
  { { "cover.png", "back.jpg" }, FALSE, 24, 16 },
  { { "cover.jpg" }, TRUE, 30, 30 },
  { { "covers.jpg", "cover.gif", "Album.PNG" }, FALSE, 10, 10 },
};

static void
test_folder (Folder *f, gconstpointer data)
{
  const FolderCase *c = data;
  g_autofree gchar *song = song_in (f->dir, "plain.mp3", "song.mp3",
                                    "Singer", "Record");
  if (song == NULL)
    return;
  for (guint i = 0; i < G_N_ELEMENTS (c->names) && c->names[i] != NULL; i++)
    {
      const gchar *ext = strrchr (c->names[i], '.') + 1;
      const gchar *type = g_ascii_strcasecmp (ext, "png") == 0 ? "png"
                                                               : "jpeg";
      g_autoptr (GBytes) image = make_picture (type, i == 0 ? 24 : 10,
                                               i == 0 ? 16 : 10);
      write_bytes (f->dir, c->names[i], image, G_MAXSIZE);
    }
  if (c->embedded)
    {
      g_autoptr (GBytes) front = make_picture ("jpeg", 30, 30);
      add_picture (song, front, "jpeg", TRUE);
    }
  index_with (0, song);
  if (c->w > 0)
    assert_cover ("Singer", "Record", c->w, c->h);
  else
    assert_no_cover ("Singer", "Record");
}

/* An image put beside the songs after the first of them was read is
 * found for the next song of the album: what a folder holds is only
 * remembered while it stays unchanged. */
static void
test_folder_later (Folder *f, gconstpointer data)
{
  const guint plugin = GPOINTER_TO_UINT (data);
  g_autofree gchar *first = NULL, *second = NULL;
  if (!two_songs (f->dir, &first, &second))
    return;
  /* The folder's time, which the image changes, in the past: a folder
   * changed twice within the clock's tick keeps one time. */
  struct utimbuf past = { time (NULL) - 100, time (NULL) - 100 };
  g_assert_cmpint (utime (f->dir, &past), ==, 0);
  index_with (plugin, first);
  assert_no_cover ("Singer", "Record");

  g_autoptr (GBytes) image = make_picture ("jpeg", 24, 16);
  write_bytes (f->dir, "cover.jpg", image, G_MAXSIZE);
  index_with (plugin, second);
  assert_cover ("Singer", "Record", 24, 16);
}

/* Pictures refused */

typedef enum
{
  DAMAGE_NONE,      /* an album without any picture */
  DAMAGE_TRUNCATED, /* the picture's second half is missing */
  DAMAGE_TOO_LARGE, /* one byte over the configured maximum file size */
  DAMAGE_NOT_IMAGE  /* bytes that are no picture */
} Damage;

typedef struct
{
  const gchar *type;
  Damage damage;
  gboolean beside; /* the picture lies beside the song, not in it */
} DamageCase;

static const DamageCase damage_cases[] = {
  { "jpeg", DAMAGE_NONE, FALSE },      { "jpeg", DAMAGE_TRUNCATED, FALSE },
  { "png", DAMAGE_TRUNCATED, FALSE },  { "jpeg", DAMAGE_TRUNCATED, TRUE },
  { "jpeg", DAMAGE_TOO_LARGE, FALSE }, { "png", DAMAGE_TOO_LARGE, TRUE },
  { "jpeg", DAMAGE_NOT_IMAGE, FALSE },
};

/* A refused picture leaves no cache file; in a song, the next picture
 * is taken instead.  The indexer goes on to the next album. */
static void
test_refused (Folder *f, gconstpointer data)
{
  const DamageCase *c = data;
  g_autofree gchar *song = song_in (f->dir, "plain.mp3", "song.mp3",
                                    "Singer", "Record");
  g_autofree gchar *next = song_in (f->dir, "plain.mp3", "next.mp3",
                                    "Singer", "Fine");
  if (song == NULL)
    return;
  static const char junk[] = "\xff\xd8 not a picture at all";
  g_autoptr (GBytes) whole = make_picture (c->type, 64, 48);
  const gsize size = g_bytes_get_size (whole);
  g_autoptr (GBytes) picture
      = c->damage == DAMAGE_TRUNCATED ? g_bytes_new_from_bytes (whole, 0,
                                                                size / 2)
        : c->damage == DAMAGE_NOT_IMAGE
            ? g_bytes_new_static (junk, sizeof junk - 1)
            : g_bytes_ref (whole);
  g_autoptr (GBytes) back = make_picture ("jpeg", 10, 10);
  gint32 saved = config.max_file_sz;
  if (c->damage == DAMAGE_TOO_LARGE)
    config.max_file_sz = (gint32) size - 1;
  gboolean fallback = c->damage != DAMAGE_NONE && !c->beside;
  if (c->damage != DAMAGE_NONE && c->beside)
    write_bytes (f->dir,
                 strcmp (c->type, "png") == 0 ? "cover.png" : "cover.jpg",
                 picture, G_MAXSIZE);
  if (fallback)
    {
      add_picture (song, back, "jpeg", FALSE);
      add_picture (song, picture, c->type, TRUE);
    }
  index_with (0, song);
  index_with (1, song);
  config.max_file_sz = saved;
  if (fallback)
    assert_cover ("Singer", "Record", 10, 10);
  else
    assert_no_cover ("Singer", "Record");

  g_autoptr (GBytes) fine = make_picture ("jpeg", 24, 16);
  add_picture (next, fine, "jpeg", TRUE);
  index_with (0, next);
  assert_cover ("Singer", "Fine", 24, 16);
}

/* Once per album: a song no newer than the album's cache file is not
 * read for a cover; a newer one is. */
static void
test_once_per_album (Folder *f, gconstpointer data)
{
  (void) data;
  g_autofree gchar *first = NULL, *second = NULL;
  if (!two_songs (f->dir, &first, &second))
    return;
  g_autoptr (GBytes) big = make_picture ("jpeg", 24, 16);
  g_autoptr (GBytes) small = make_picture ("jpeg", 10, 10);
  add_picture (first, big, "jpeg", TRUE);
  add_picture (second, small, "jpeg", TRUE);
  struct stat st;
  g_assert_cmpint (g_stat (first, &st), ==, 0);
  struct utimbuf older = { st.st_mtime - 100, st.st_mtime - 100 };
  struct utimbuf newer = { st.st_mtime + 100, st.st_mtime + 100 };

  index_with (0, first);
  assert_cover ("Singer", "Record", 24, 16);
  g_assert_cmpint (utime (second, &older), ==, 0);
  index_with (0, second);
  index_with (1, second);
  assert_cover ("Singer", "Record", 24, 16);
  g_assert_cmpint (utime (second, &newer), ==, 0);
  index_with (0, second);
  assert_cover ("Singer", "Record", 10, 10);
}

/* The album artist as the album list computes it. */
typedef struct
{
  const gchar *album_artist, *compilation;
  const gchar *stored_under;
} ArtistCase;

static const ArtistCase artist_cases[] = {
  { NULL, NULL, "Singer" },
  { "Band", NULL, "Band" },
  { NULL, "1", "Various Artists" },
  { "Band", "1", "Band" },
};

static void
test_album_artist (Folder *f, gconstpointer data)
{
  const ArtistCase *c = data;
  g_autofree gchar *song = song_in (f->dir, "plain.flac", "song.flac",
                                    "Singer", "Mix");
  if (song == NULL)
    return;
  g_assert_true (tessel_tag_write_album (song, c->album_artist, NULL,
                                         c->compilation, 4));
  g_autoptr (GBytes) front = make_picture ("jpeg", 24, 16);
  add_picture (song, front, "jpeg", TRUE);
  index_with (0, song);
  assert_cover (c->stored_under, "Mix", 24, 16);
  if (strcmp (c->stored_under, "Singer") != 0)
    {
      g_autofree gchar *artist_path = cover_path ("Singer", "Mix");
      g_assert_false (g_file_test (artist_path, G_FILE_TEST_EXISTS));
    }
}

/* The store: the cache file's path when there is one. */
static void
test_store_album_art (Folder *f, gconstpointer data)
{
  (void) data;
  MpLibraryStoreDatabase *store = mp_library_store_database_get_instance ();
  g_autofree gchar *song = song_in (f->dir, "plain.mp3", "song.mp3",
                                    "Singer", "Record");
  if (song == NULL)
    return;
  g_assert_null (mp_library_store_database_get_album_art (store, "Singer",
                                                          "Record", NULL));
  g_autoptr (GBytes) image = make_picture ("jpeg", 24, 16);
  write_bytes (f->dir, "cover.jpg", image, G_MAXSIZE);
  index_with (0, song);
  g_autofree gchar *expected = cover_path ("Singer", "Record");
  g_autofree gchar *art = mp_library_store_database_get_album_art (
      store, "SINGER", "record", NULL);
  g_assert_cmpstr (art, ==, expected);
  g_assert_null (mp_library_store_database_get_album_art (store, "Singer",
                                                          "Other", NULL));
  g_assert_null (
      mp_library_store_database_get_album_art (store, "Singer", "", NULL));
  /* Names stored as bytes that are not UTF-8 have no cover, and no
   * critical of libmediaart's. */
  g_assert_null (mp_library_store_database_get_album_art (
      store, "Singer", "Rec\xffrd", NULL));
  g_assert_null (mp_library_store_database_get_album_art (
      store, "Sing\xe9r", "Record", NULL));
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, "*album != NULL*");
  g_assert_null (
      mp_library_store_database_get_album_art (store, "Singer", NULL, NULL));
  g_test_assert_expected_messages ();
}

/* The command */

/* Puts a w by w cover into the cache for an album, as a plug-in would. */
static void
cache_cover (const gchar *dir, const gchar *artist, const gchar *album, int w)
{
  g_autofree gchar *song = g_build_filename (dir, "any.mp3", NULL);
  g_assert_true (g_file_set_contents (song, "", 0, NULL));
  g_autoptr (GFile) related = g_file_new_for_path (song);
  g_autoptr (GBytes) picture = make_picture ("jpeg", w, w);
  gsize size = 0;
  const guchar *data = g_bytes_get_data (picture, &size);
  GError *error = NULL;
  MediaArtProcess *process = media_art_process_new (&error);
  g_assert_no_error (error);
  g_assert_true (media_art_process_buffer (
      process, MEDIA_ART_ALBUM, MEDIA_ART_PROCESS_FLAGS_FORCE, related, data,
      size, "image/jpeg", artist, album, NULL, &error));
  g_assert_no_error (error);
  g_object_unref (process);
  g_autofree gchar *path = cover_path (artist, album);
  g_assert_true (g_file_test (path, G_FILE_TEST_IS_REGULAR));
}

/* Seeds the rows, and gives the command this test's cache: the isolated
 * folders are this process's alone, their variables point nowhere. */
static void
seed_songs (TesselFixture *fx, const char *values)
{
  g_setenv ("XDG_CACHE_HOME", g_get_user_cache_dir (), TRUE);
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  g_autofree gchar *sql = g_strconcat (
      "INSERT INTO Metadata (Filename, Title, Artist, Album, MIME, Length, "
      "Present) VALUES ",
      values, NULL);
  tessel_test_sql (fx->db, sql);
}

static void
test_tool_albums (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  seed_songs (fx, "('/m/1.mp3', 'One', 'Stay', 'Here', 'audio/mpeg', 60, 1),"
                  "('/m/2.mp3', 'Two', 'Bare', 'Plain', 'audio/mpeg', 60, 1)");
  cache_cover (fx->dir, "Stay", "Here", 12);
  gchar *out = NULL, *err = NULL;
  const char *table[] = { "albums", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, table, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==,
                   "ALBUM ARTIST  ALBUM  SONGS   LENGTH  ART\n"
                   "Bare          Plain      1  0:01:00  \n"
                   "Stay          Here       1  0:01:00  *\n");
  g_free (out);
  g_free (err);

  const char *json[] = { "albums", "--json", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, json, &out, &err), ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_assert_true (json_parser_load_from_data (parser, out, -1, NULL));
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 2);
  JsonObject *plain = json_array_get_object_element (rows, 0);
  JsonObject *here = json_array_get_object_element (rows, 1);
  g_assert_true (json_object_has_member (plain, "art"));
  g_assert_true (json_object_get_null_member (plain, "art"));
  g_autofree gchar *path = cover_path ("Stay", "Here");
  g_assert_cmpstr (json_object_get_string_member (here, "art"), ==, path);
  g_free (out);
  g_free (err);
}

/* prune --yes removes the covers of the albums left without rows, and
 * only those: not of an album that keeps a song, nor of one whose title
 * another album still has (libmediaart would take the cover that album
 * may share with it). */
static void
test_tool_prune (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  seed_songs (fx,
              "('/m/a.mp3', 'A', 'Gone', 'Away', 'audio/mpeg', 60, 0),"
              "('/m/b.mp3', 'B', 'Stay', 'Here', 'audio/mpeg', 60, 1),"
              "('/m/c.mp3', 'C', 'Gone too', 'Here', 'audio/mpeg', 60, 0),"
              "('/m/d.mp3', 'D', 'Half', 'Part', 'audio/mpeg', 60, 0),"
              "('/m/e.mp3', 'E', 'Half', 'Part', 'audio/mpeg', 60, 1)");
  cache_cover (fx->dir, "Gone", "Away", 12);
  cache_cover (fx->dir, "Stay", "Here", 14);
  cache_cover (fx->dir, "Gone too", "Here", 16);
  cache_cover (fx->dir, "Half", "Part", 18);

  gchar *out = NULL, *err = NULL;
  const char *prune[] = { "prune", "--yes", NULL };
  g_assert_cmpint (tessel_test_run_on (tool, fx, prune, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==, "3 absent rows removed\n1 album covers removed\n");
  g_assert_cmpstr (err, ==, "");
  g_free (out);
  g_free (err);

  g_autofree gchar *away = cover_path ("Gone", "Away");
  g_assert_false (g_file_test (away, G_FILE_TEST_EXISTS));
  assert_cover ("Stay", "Here", 14, 14);
  assert_cover ("Gone too", "Here", 16, 16);
  assert_cover ("Half", "Part", 18, 18);
}

static MetaExtractFunc
load_entry (const char *soname)
{
  void *plugin = dlopen (soname, RTLD_LAZY | RTLD_LOCAL);
  g_assert_nonnull (plugin);
  MetaExtractFunc entry = (MetaExtractFunc) dlsym (plugin, "get_metadata");
  g_assert_nonnull (entry);
  return entry;
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-brisel-cover");
  /* The isolated folders hide the system's MIME database, by which
   * gdk-pixbuf (ours and libmediaart's) tells images apart: keep it. */
  g_content_type_set_mime_dirs (NULL);
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, NULL);
  tool = tessel_test_tool_arg (argc, argv);
  config.max_file_sz = 5242880;
  extract[0] = load_entry ("libbrisel_tag.so.0");
  extract[1] = load_entry ("libbrisel_gst.so.0");

  GError *error = NULL;
  media_dir = g_dir_make_tmp ("tessel-cover-media-XXXXXX", &error);
  g_assert_no_error (error);
  tessel_media_make_table (samples, media_dir);

  static const char *const plugins[] = { "tag", "gst" };
  for (guint i = 0; i < G_N_ELEMENTS (embed_cases); i++)
    {
      const EmbedCase *c = &embed_cases[i];
      g_autofree gchar *path = g_strdup_printf (
          "/cover/embedded/%s/%s/%s", plugins[c->plugin],
          strrchr (c->sample, '.') + 1, c->type);
      g_test_add (path, Folder, c, folder_setup, test_embedded,
                  folder_teardown);
    }
  for (guint i = 0; i < G_N_ELEMENTS (folder_cases); i++)
    {
      const FolderCase *c = &folder_cases[i];
      g_autofree gchar *names = g_strjoinv ("+", (gchar **) c->names);
      g_autofree gchar *path = g_strdup_printf (
          "/cover/beside/%s%s", names, c->embedded ? "+embedded" : "");
      g_test_add (path, Folder, c, folder_setup, test_folder,
                  folder_teardown);
    }
  for (guint i = 0; i < G_N_ELEMENTS (plugins); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/cover/beside/added-after-first-song/%s", plugins[i]);
      g_test_add (path, Folder, GUINT_TO_POINTER (i), folder_setup,
                  test_folder_later, folder_teardown);
    }
  static const char *const damages[]
      = { "no-picture", "truncated", "too-large", "not-an-image" };
  for (guint i = 0; i < G_N_ELEMENTS (damage_cases); i++)
    {
      const DamageCase *c = &damage_cases[i];
      g_autofree gchar *path = g_strdup_printf (
          "/cover/refused/%s/%s/%s", damages[c->damage], c->type,
          c->beside ? "beside" : "embedded");
      g_test_add (path, Folder, c, folder_setup, test_refused,
                  folder_teardown);
    }
  for (guint i = 0; i < G_N_ELEMENTS (artist_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/cover/album-artist/%u-%s", i, artist_cases[i].stored_under);
      g_test_add (path, Folder, &artist_cases[i], folder_setup,
                  test_album_artist, folder_teardown);
    }
  g_test_add ("/cover/once-per-album", Folder, NULL, folder_setup,
              test_once_per_album, folder_teardown);
  g_test_add ("/cover/store/album-art", Folder, NULL, folder_setup,
              test_store_album_art, folder_teardown);
  TESSEL_TEST_ADD ("/cover/tool/albums-mark-and-json", test_tool_albums);
  TESSEL_TEST_ADD ("/cover/tool/prune-removes-gone-albums", test_tool_prune);
  int status = g_test_run ();
  remove_tree (media_dir);
  g_free (media_dir);
  return status;
}
