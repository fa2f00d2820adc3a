/* The GStreamer extractor on real media: its entry point called directly,
 * and whole files indexed through the loader into rows. */
#include <dlfcn.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <glib/gstdio.h>

#include "tessel-media.h"
#include "tessel-test.h"

static gchar *media_dir;
static MetaExtractFunc extract;
static gchar *(*basename_of) (const gchar *);

/* The first item of key in list, or NULL. */
static MetaItem *
find (MetaItem *list, const gchar *key)
{
  for (; list != NULL; list = list->next)
    if (g_str_equal (list->key, key))
      return list;
  return NULL;
}

static gint
count_key (MetaItem *list, const gchar *key)
{
  gint n = 0;
  for (; list != NULL; list = list->next)
    n += g_str_equal (list->key, key);
  return n;
}

static gint32
int_value (MetaItem *item)
{
  gint32 v;
  g_assert_cmpint (item->type, ==, META_TYPE_INTEGER);
  memcpy (&v, item->value, sizeof v);
  return v;
}

static void
test_exports (void)
{
  g_assert_nonnull (extract);
  g_assert_nonnull (basename_of);
  g_assert_null (extract (NULL));
  g_assert_null (basename_of (NULL));
  g_autofree gchar *base = basename_of ("/a/b.mp3");
  g_assert_cmpstr (base, ==, "b.mp3");
  /* A relative name gets no common keys, and here nothing else either. */
  g_assert_null (extract ("no-such-relative-file.ogg"));
}

/* One file through the entry point: the keys it promises, head first
 * "Filename". */
static void
test_extract_file (gconstpointer data)
{
  const TesselMedia *m = data;
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *path = g_build_filename (media_dir, m->name, NULL);
  MetaItem *list = extract (path);
  g_assert_nonnull (list);
  g_assert_cmpstr (list->key, ==, "Filename");
  g_assert_cmpstr (list->value, ==, path);

  MetaItem *mime = find (list, "MIME");
  g_assert_nonnull (mime);
  g_assert_cmpstr (mime->value, ==, m->mime);
  g_assert_cmpint (count_key (list, "Title"), ==, 1);
  g_assert_cmpstr (find (list, "Title")->value, ==, m->title);

  MetaItem *artist = find (list, "Artist");
  g_assert_cmpstr (artist != NULL ? artist->value : NULL, ==, m->artist);
  MetaItem *album = find (list, "Album");
  g_assert_cmpstr (album != NULL ? album->value : NULL, ==, m->album);
  MetaItem *genre = find (list, "Genre");
  g_assert_cmpstr (genre != NULL ? genre->value : NULL, ==, m->genre);
  MetaItem *year = find (list, "Year");
  g_assert_cmpstr (year != NULL ? year->value : NULL, ==, m->year);
  g_assert_cmpint (count_key (list, "Year"), <=, 1);
  MetaItem *track = find (list, "Track");
  g_assert_cmpint (track != NULL ? int_value (track) : 0, ==, m->track);
  MetaItem *codec = find (list, "Codec");
  g_assert_cmpstr (codec != NULL ? codec->value : NULL, ==, m->codec);

  MetaItem *length = find (list, "Length");
  if (m->length < 0)
    g_assert_null (length);
  else
    {
      g_assert_nonnull (length);
      g_assert_cmpint (abs (int_value (length) - m->length), <=, 1);
      if (m->exact_length)
        g_assert_cmpint (int_value (length), ==, m->length);
    }
  MetaItem *bitrate = find (list, "Bitrate");
  if (m->bitrate)
    {
      g_assert_nonnull (bitrate);
      g_assert_cmpint (int_value (bitrate), >, 0);
    }
  if (m->length < 0)
    g_assert_null (bitrate);
  meta_free_list (&list);
}

/* A missing file cannot be decoded either: it still has its common
 * keys. */
static void
test_missing_file (void)
{
  g_autofree gchar *path = g_build_filename (media_dir, "missing.ogg", NULL);
  MetaItem *list = extract (path);
  g_assert_nonnull (list);
  g_assert_cmpstr (list->value, ==, path);
  g_assert_cmpstr (find (list, "Title")->value, ==, "missing.ogg");
  g_assert_null (find (list, "Length"));
  meta_free_list (&list);
}

/* A FIFO is never opened (that would block with no writer), nor is a
 * folder decoded: both get only their common keys, typed by name. */
static void
test_not_regular_files (void)
{
  g_autofree gchar *fifo = g_build_filename (media_dir, "pipe.ogg", NULL);
  g_autofree gchar *folder = g_build_filename (media_dir, "folder.mp3", NULL);
  g_assert_cmpint (mkfifo (fifo, 0600), ==, 0);
  g_assert_cmpint (g_mkdir (folder, 0700), ==, 0);
  const gchar *names[] = { fifo, folder };
  const gchar *titles[] = { "pipe.ogg", "folder.mp3" };
  for (guint i = 0; i < G_N_ELEMENTS (names); i++)
    {
      MetaItem *list = extract (names[i]);
      g_assert_nonnull (list);
      g_assert_cmpstr (list->value, ==, names[i]);
      g_assert_cmpstr (find (list, "Title")->value, ==, titles[i]);
      g_assert_nonnull (find (list, "MIME"));
      g_assert_null (find (list, "Length"));
      g_assert_null (find (list, "Codec"));
      meta_free_list (&list);
    }
  g_unlink (fifo);
  g_rmdir (folder);
}

/* A video made here and what the first video stream's caps say of it. */
typedef struct
{
  TesselMedia media; /* name, elements, pipeline */
  const gchar *resolution;
  gint32 fps;
  gdouble pixel_aspect_ratio;
} VideoCase;

#define VIDEO_SOURCE(caps)                                                    \
  "videotestsrc num-buffers=15 ! video/x-raw,width=176,height=144," caps " ! "
#define VIDEO_MEDIA(name, elements, pipeline)                                 \
  { name, elements, pipeline, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL,    \
    0, FALSE, FALSE }

static const VideoCase video_cases[] = {
  { VIDEO_MEDIA ("theora.ogv", "videotestsrc theoraenc oggmux",
                 VIDEO_SOURCE ("framerate=25/1,pixel-aspect-ratio=12/11")
                 "theoraenc ! oggmux ! filesink location=%s"),
    "176x144", 25, 12.0 / 11.0 },
  { VIDEO_MEDIA ("vp8.webm", "videotestsrc vp8enc webmmux",
                 VIDEO_SOURCE ("framerate=30000/1001")
                 "vp8enc ! webmmux ! filesink location=%s"),
    "176x144", 30, 1.0 },
  { VIDEO_MEDIA ("h264.mp4", "videotestsrc x264enc mp4mux",
                 VIDEO_SOURCE ("framerate=24/1")
                 "x264enc ! mp4mux ! filesink location=%s"),
    "176x144", 24, 1.0 },
};

/* The video properties of the first video stream; and no "Year" from the
 * date a muxer stamps a fresh file with (WebM's DateUTC, MP4's creation
 * time). */
static void
test_video_properties (gconstpointer data)
{
  const VideoCase *c = data;
  if (!tessel_media_available (&c->media, media_dir))
    return;
  g_autofree gchar *path = g_build_filename (media_dir, c->media.name, NULL);
  MetaItem *list = extract (path);
  g_assert_null (find (list, "Year"));
  MetaItem *resolution = find (list, "Resolution");
  g_assert_nonnull (resolution);
  g_assert_cmpstr (resolution->value, ==, c->resolution);
  MetaItem *fps = find (list, "Fps");
  g_assert_nonnull (fps);
  g_assert_cmpint (int_value (fps), ==, c->fps);
  MetaItem *par = find (list, "PixelAspectRatio");
  g_assert_nonnull (par);
  g_assert_cmpint (par->type, ==, META_TYPE_FLOAT);
  gfloat ratio;
  memcpy (&ratio, par->value, sizeof ratio);
  g_assert_cmpfloat (fabs (ratio - c->pixel_aspect_ratio), <, 1e-4);
  meta_free_list (&list);
}

/* Every file of the media folder through meta_add_files_with_check and the
 * real plug-in: the rows hold what the files carry. */
static void
test_index_media (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf",
                                "ogg libbrisel_gst\nogv libbrisel_gst\n"
                                "mp3 libbrisel_gst\nflac libbrisel_gst\n"
                                "wav libbrisel_gst\nm3u libbrisel_gst\n"));
  g_assert_cmpint (meta_init (), ==, 1);

  g_autoptr (GPtrArray) files = g_ptr_array_new_with_free_func (g_free);
  for (const TesselMedia *m = tessel_media; m->name != NULL; m++)
    {
      gchar *path = g_build_filename (media_dir, m->name, NULL);
      if (g_file_test (path, G_FILE_TEST_IS_REGULAR))
        g_ptr_array_add (files, path);
      else
        g_free (path);
    }
  guint n = files->len;
  g_ptr_array_add (files, NULL);
  g_assert_cmpint (meta_add_files_with_check ((gchar **) files->pdata, n,
                                              NULL, 0),
                   ==, 1);

  for (const TesselMedia *m = tessel_media; m->name != NULL; m++)
    {
      g_autofree gchar *path = g_build_filename (media_dir, m->name, NULL);
      if (!g_file_test (path, G_FILE_TEST_IS_REGULAR))
        continue;
      g_autofree gchar *where = g_strdup_printf (
          "FROM Metadata WHERE Filename = '%s'", path);
#define COL(name) g_strdup_printf ("SELECT " name " %s", where)
      g_autofree gchar *q_title = COL ("Title");
      g_autofree gchar *q_artist = COL ("Artist");
      g_autofree gchar *q_album = COL ("Album");
      g_autofree gchar *q_year = COL ("Year");
      g_autofree gchar *q_track = COL ("Track");
      g_autofree gchar *q_mime = COL ("MIME");
      g_autofree gchar *q_length = COL ("Length");
      g_autofree gchar *q_size = COL ("Filesize");
      g_autofree gchar *q_present = COL ("Present");
#undef COL
      g_autofree gchar *title = tessel_test_sql_text (fx->db, q_title);
      g_autofree gchar *artist = tessel_test_sql_text (fx->db, q_artist);
      g_autofree gchar *album = tessel_test_sql_text (fx->db, q_album);
      g_autofree gchar *year = tessel_test_sql_text (fx->db, q_year);
      g_autofree gchar *track = tessel_test_sql_text (fx->db, q_track);
      g_autofree gchar *mime = tessel_test_sql_text (fx->db, q_mime);
      g_autofree gchar *length = tessel_test_sql_text (fx->db, q_length);
      g_autofree gchar *size = tessel_test_sql_text (fx->db, q_size);
      g_autofree gchar *present = tessel_test_sql_text (fx->db, q_present);

      g_test_message ("%s: %s / %s / %s, %s s, %s", m->name, title, artist,
                      album, length, mime);
      g_assert_cmpstr (title, ==, m->title);
      g_assert_cmpstr (artist, ==, m->artist);
      g_assert_cmpstr (album, ==, m->album);
      g_assert_cmpstr (year, ==, m->year);
      if (m->track > 0)
        g_assert_cmpint (atoi (track), ==, m->track);
      else
        g_assert_null (track);
      g_assert_cmpstr (mime, ==, m->mime);
      if (m->length < 0)
        g_assert_null (length);
      else
        {
          g_assert_nonnull (length);
          g_assert_cmpint (abs (atoi (length) - m->length), <=, 1);
        }
      GStatBuf st;
      g_assert_cmpint (g_stat (path, &st), ==, 0);
      g_assert_cmpint (atoll (size), ==, (gint64) st.st_size);
      g_assert_cmpstr (present, ==, "1");
    }
  g_autofree gchar *rows = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpint (atoi (rows), ==, n);

  /* The video's properties become columns of its row. */
  g_autofree gchar *clip = g_build_filename (media_dir, "clip.ogv", NULL);
  if (g_file_test (clip, G_FILE_TEST_IS_REGULAR))
    {
      g_autofree gchar *q = g_strdup_printf (
          "SELECT Resolution || ' ' || Fps || ' ' || PixelAspectRatio "
          "FROM Metadata WHERE Filename = '%s'", clip);
      g_autofree gchar *video = tessel_test_sql_text (fx->db, q);
      g_assert_cmpstr (video, ==, "64x48 25 1");
    }
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-brisel-gst");
  g_test_init (&argc, &argv, NULL);

  /* The plug-in resolves libtessel's calls against this process, which
   * links libtessel; it is found through LD_LIBRARY_PATH like the loader
   * finds it. */
  void *plugin = dlopen ("libbrisel_gst.so.0", RTLD_LAZY | RTLD_LOCAL);
  if (plugin == NULL)
    g_error ("cannot load the plug-in: %s", dlerror ());
  extract = (MetaExtractFunc) dlsym (plugin, "get_metadata");
  basename_of = (gchar * (*) (const gchar *)) dlsym (plugin,
                                                     "meta_get_basename");

  GError *error = NULL;
  media_dir = g_dir_make_tmp ("tessel-media-XXXXXX", &error);
  g_assert_no_error (error);
  tessel_media_make (media_dir);

  g_test_add_func ("/brisel/exports", test_exports);
  for (const TesselMedia *m = tessel_media; m->name != NULL; m++)
    {
      g_autofree gchar *path = g_strdup_printf ("/brisel/extract/%s",
                                                m->name);
      g_test_add_data_func (path, m, test_extract_file);
    }
  TesselMedia videos[G_N_ELEMENTS (video_cases) + 1] = { 0 };
  for (guint i = 0; i < G_N_ELEMENTS (video_cases); i++)
    {
      videos[i] = video_cases[i].media;
      g_autofree gchar *path = g_strdup_printf ("/brisel/video/%s",
                                                video_cases[i].media.name);
      g_test_add_data_func (path, &video_cases[i], test_video_properties);
    }
  tessel_media_make_table (videos, media_dir);
  g_test_add_func ("/brisel/extract/missing-file", test_missing_file);
  g_test_add_func ("/brisel/extract/not-regular-files",
                   test_not_regular_files);
  g_test_add ("/brisel/index/rows-for-media", TesselFixture, NULL,
              tessel_fixture_setup, test_index_media,
              tessel_fixture_teardown);
  int status = g_test_run ();

  for (const TesselMedia *m = tessel_media; m->name != NULL; m++)
    {
      g_autofree gchar *path = g_build_filename (media_dir, m->name, NULL);
      g_unlink (path);
    }
  for (guint i = 0; i < G_N_ELEMENTS (video_cases); i++)
    {
      g_autofree gchar *path = g_build_filename (
          media_dir, video_cases[i].media.name, NULL);
      g_unlink (path);
    }
  g_rmdir (media_dir);
  g_free (media_dir);
  return status;
}
