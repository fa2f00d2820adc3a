#include "tessel-media.h"

#include <glib/gstdio.h>
#include <gst/gst.h>

/* Three seconds of tone in tenths: 30 buffers of 4410 samples at 44.1 kHz.
 * The MP3 is encoded at a constant bitrate so that its length is known
 * from the first frames. */
#define TONE "audiotestsrc num-buffers=30 samplesperbuffer=4410 ! " \
             "audio/x-raw,rate=44100,channels=1 ! audioconvert ! "
#define OGG_TAGS "taginject tags=\"title=\\\"Ogg Song\\\",artist=\\\"Ogg " \
                 "Artist\\\",album=\\\"Ogg Album\\\",genre=Rock," \
                 "track-number=(uint)7,datetime=(datetime)2004-05-06\" ! "
#define MP3_TAGS "taginject tags=\"title=\\\"Mp3 Song\\\",artist=\\\"Mp3 " \
                 "Artist\\\",album=\\\"Mp3 Album\\\",genre=Jazz," \
                 "track-number=(uint)3,date=(GDate)1999-01-01\" ! "

const TesselMedia tessel_media[] = {
  { "tagged.ogg", "audiotestsrc taginject vorbisenc oggmux",
    TONE OGG_TAGS "vorbisenc ! oggmux ! filesink location=%s",
    "audio/x-vorbis+ogg", "Ogg Song", "Ogg Artist", "Ogg Album", "Rock", 7,
    "2004", "Vorbis", 3, TRUE, FALSE },
  { "plain.ogg", "audiotestsrc vorbisenc oggmux",
    TONE "vorbisenc ! oggmux ! filesink location=%s", "audio/x-vorbis+ogg",
    "plain.ogg", NULL, NULL, NULL, 0, NULL, "Vorbis", 3, TRUE, FALSE },
  { "tagged.mp3", "audiotestsrc taginject lamemp3enc id3v2mux",
    TONE "lamemp3enc target=bitrate cbr=true bitrate=64 ! " MP3_TAGS
         "id3v2mux ! filesink location=%s",
    "audio/mpeg", "Mp3 Song", "Mp3 Artist", "Mp3 Album", "Jazz", 3, "1999",
    "MPEG-1 Layer 3 (MP3)", 3, TRUE, FALSE },
  { "tagged.flac", "audiotestsrc taginject flacenc",
    TONE "taginject tags=\"title=\\\"Flac Song\\\",artist=\\\"Flac "
         "Artist\\\"\" ! flacenc ! filesink location=%s",
    "audio/flac", "Flac Song", "Flac Artist", NULL, NULL, 0, NULL,
    "Free Lossless Audio Codec (FLAC)", 3, FALSE, FALSE },
  /* 2.5 seconds: the length is truncated to whole seconds. */
  { "plain.wav", "audiotestsrc wavenc",
    "audiotestsrc num-buffers=25 samplesperbuffer=800 ! "
    "audio/x-raw,rate=8000,channels=1 ! wavenc ! filesink location=%s",
    "audio/x-wav", "plain.wav", NULL, NULL, NULL, 0, NULL,
    "Uncompressed 16-bit PCM audio", 2, TRUE, TRUE },
  { "clip.ogv", "videotestsrc theoraenc oggmux",
    "videotestsrc num-buffers=50 ! video/x-raw,width=64,height=48,"
    "framerate=25/1 ! theoraenc ! oggmux ! filesink location=%s",
    "video/ogg", "clip.ogv", NULL, NULL, NULL, 0, NULL, "Theora", 2, FALSE,
    FALSE },
  { "list.m3u", "", NULL, "audio/x-mpegurl", "list.m3u", NULL, NULL, NULL, 0,
    NULL, NULL, -1, FALSE, FALSE },
  { "corrupt.mp3", "", NULL, "audio/mpeg", "corrupt.mp3", NULL, NULL, NULL,
    0, NULL, NULL, -1, FALSE, FALSE },
  { NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, 0, FALSE,
    FALSE },
};

void
tessel_media_use_own_registry (const gchar *program)
{
  g_autofree gchar *name = g_strdup_printf ("gst-registry-%s.bin", program);
  const gchar *build = g_getenv ("G_TEST_BUILDDIR");
  g_autofree gchar *path = g_build_filename (build != NULL ? build : ".",
                                             name, NULL);
  g_setenv ("GST_REGISTRY", path, TRUE);
}

static gboolean
elements_exist (const gchar *elements)
{
  g_auto (GStrv) names = g_strsplit (elements, " ", -1);
  for (gchar **n = names; *n != NULL; n++)
    {
      if (**n == '\0')
        continue;
      g_autoptr (GstElementFactory) f = gst_element_factory_find (*n);
      if (f == NULL)
        return FALSE;
    }
  return TRUE;
}

/* Runs a pipeline to its end; TRUE when it ended without an error. */
static gboolean
run_pipeline (const gchar *description)
{
  g_autoptr (GError) error = NULL;
  GstElement *pipeline = gst_parse_launch (description, &error);
  if (pipeline == NULL || error != NULL)
    {
      if (pipeline != NULL)
        gst_object_unref (pipeline);
      return FALSE;
    }
  gst_element_set_state (pipeline, GST_STATE_PLAYING);
  g_autoptr (GstBus) bus = gst_element_get_bus (pipeline);
  GstMessage *m = gst_bus_timed_pop_filtered (
      bus, 30 * GST_SECOND, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
  gboolean ok = m != NULL && GST_MESSAGE_TYPE (m) == GST_MESSAGE_EOS;
  if (m != NULL)
    gst_message_unref (m);
  gst_element_set_state (pipeline, GST_STATE_NULL);
  gst_object_unref (pipeline);
  return ok;
}

guint
tessel_media_make (const gchar *dir)
{
  return tessel_media_make_table (tessel_media, dir);
}

guint
tessel_media_make_table (const TesselMedia *table, const gchar *dir)
{
  gst_init (NULL, NULL);
  guint made = 0;
  for (const TesselMedia *m = table; m->name != NULL; m++)
    {
      g_autofree gchar *path = g_build_filename (dir, m->name, NULL);
      gboolean ok;
      if (g_str_equal (m->name, "list.m3u"))
        {
          g_autofree gchar *text = g_strdup_printf (
              "#EXTM3U\n%s/tagged.mp3\n%s/plain.ogg\n", dir, dir);
          ok = g_file_set_contents (path, text, -1, NULL);
        }
      else if (g_str_equal (m->name, "corrupt.mp3"))
        {
          /* No decoder recognises this. */
          gchar junk[3000];
          for (gsize i = 0; i < sizeof junk; i++)
            junk[i] = (gchar) ((i * 7919u) >> 3);
          ok = g_file_set_contents (path, junk, sizeof junk, NULL);
        }
      else if (elements_exist (m->elements))
        {
          g_autofree gchar *quoted = g_strdup_printf ("\"%s\"", path);
          g_autofree gchar *description = g_strdup_printf (m->pipeline,
                                                           quoted);
          ok = run_pipeline (description);
          if (!ok)
            g_unlink (path);
        }
      else
        ok = FALSE;
      if (ok)
        made++;
    }
  return made;
}

gboolean
tessel_media_available (const TesselMedia *m, const gchar *dir)
{
  g_autofree gchar *path = g_build_filename (dir, m->name, NULL);
  if (g_file_test (path, G_FILE_TEST_IS_REGULAR))
    return TRUE;
  g_autofree gchar *why = g_strdup_printf (
      "%s could not be made (GStreamer elements missing: %s)", m->name,
      m->elements);
  g_test_skip (why);
  return FALSE;
}
