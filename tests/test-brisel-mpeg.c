/* The length of MPEG audio without a Xing header: the frame walk compiled
 * in and asked directly, and both plug-ins' "Length" through their entry
 * points, against the frames GStreamer's own parser counts in the same
 * file.  The samples are made here by lamemp3enc, which writes no Xing
 * header unless xingmux follows it. */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <glib/gstdio.h>
#include <gst/gst.h>

#include "brisel_mpeg-private.h"
#include "metadata_conf.h"
#include "tessel-media.h"
#include "tessel-test.h"

static gchar *media_dir;
static MetaExtractFunc tag_extract;
static MetaExtractFunc gst_extract;

#define NOISE(seconds, rate)                                                  \
  "audiotestsrc wave=pink-noise num-buffers=" #seconds "0 "                   \
  "samplesperbuffer=" #rate "0 ! audio/x-raw,rate=" #rate "00,channels=1 ! "  \
  "audioconvert ! "

/* What is put behind the audio of a sample. */
typedef enum
{
  TRAIL_NONE,
  TRAIL_ID3V1,
  TRAIL_APE_AND_ID3V1, /* an APE tag of 100 KB, then ID3v1 */
} Trail;

typedef struct
{
  const gchar *name;
  const gchar *elements;
  const gchar *pipeline;
  Trail trail;
  gboolean constant; /* the walk should find a constant bitrate */
  gint seconds;      /* about how long it is */
} MpegCase;

static const MpegCase mpeg_cases[] = {
  { "variable.mp3", "lamemp3enc id3v2mux",
    NOISE (8, 441) "lamemp3enc target=quality quality=2 ! id3v2mux ! "
                   "filesink location=%s",
    TRAIL_NONE, FALSE, 8 },
  /* Three minutes, as the example of a length several percent off. */
  { "three-minutes.mp3", "lamemp3enc",
    NOISE (186, 441) "lamemp3enc target=quality quality=4 "
                     "encoding-engine-quality=fast ! filesink location=%s",
    TRAIL_NONE, FALSE, 186 },
  { "variable-tagged-end.mp3", "lamemp3enc id3v2mux",
    NOISE (6, 441) "lamemp3enc target=quality quality=2 ! id3v2mux ! "
                   "filesink location=%s",
    TRAIL_APE_AND_ID3V1, FALSE, 6 },
  /* MPEG-2 layer III: half the samples in a frame. */
  { "variable-mpeg2.mp3", "lamemp3enc",
    NOISE (7, 220) "audioresample ! audio/x-raw,rate=22050 ! "
                   "lamemp3enc target=quality quality=2 ! filesink location=%s",
    TRAIL_ID3V1, FALSE, 7 },
  { "constant.mp3", "lamemp3enc id3v2mux",
    NOISE (9, 441) "lamemp3enc target=bitrate cbr=true bitrate=128 ! "
                   "id3v2mux ! filesink location=%s",
    TRAIL_APE_AND_ID3V1, TRUE, 9 },
  { "constant.mp2", "twolamemp2enc",
    NOISE (5, 441) "twolamemp2enc bitrate=96 ! filesink location=%s",
    TRAIL_ID3V1, TRUE, 5 },
};

/* Appends the case's tags to the file at path. */
static void
append_trail (const gchar *path, Trail trail)
{
  if (trail == TRAIL_NONE)
    return;
  g_autoptr (GByteArray) bytes = g_byte_array_new ();
  if (trail == TRAIL_APE_AND_ID3V1)
    {
      /* One item of 100000 bytes, as a cover would be, then the footer:
       * counted as audio it would make seconds. */
      const guint32 value_size = 100000;
      guint8 item[8 + 6] = { 0 };
      memcpy (item, &value_size, 4); /* little-endian hosts only */
      memcpy (item + 8, "Cover", 6);
      g_byte_array_append (bytes, item, sizeof item);
      g_autofree guint8 *value = g_malloc0 (value_size);
      memset (value, 0xff, value_size); /* full of frame syncs */
      g_byte_array_append (bytes, value, value_size);
      guint8 footer[32] = "APETAGEX";
      guint32 fields[] = { 2000, sizeof item + value_size + 32, 1, 0 };
      memcpy (footer + 8, fields, sizeof fields);
      g_byte_array_append (bytes, footer, sizeof footer);
    }
  guint8 v1[128] = "TAG";
  memset (v1 + 3, 0xff, 30); /* a title of frame syncs */
  g_byte_array_append (bytes, v1, sizeof v1);
  FILE *f = fopen (path, "ab");
  g_assert_nonnull (f);
  g_assert_cmpuint (fwrite (bytes->data, 1, bytes->len, f), ==, bytes->len);
  fclose (f);
}

/* What GStreamer's parser finds in a file: its frames, one buffer each,
 * and their summed durations. */
typedef struct
{
  guint frames;
  GstClockTime duration;
} Parsed;

static GstPadProbeReturn
count_frame (GstPad *pad, GstPadProbeInfo *info, gpointer data)
{
  (void) pad;
  Parsed *parsed = data;
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER (info);
  parsed->frames++;
  parsed->duration += GST_BUFFER_DURATION (buffer);
  return GST_PAD_PROBE_OK;
}

static Parsed
parse_frames (const gchar *path)
{
  Parsed parsed = { 0, 0 };
  g_autofree gchar *description = g_strdup_printf (
      "filesrc location=\"%s\" ! mpegaudioparse name=parse ! fakesink", path);
  GstElement *pipeline = gst_parse_launch (description, NULL);
  g_assert_nonnull (pipeline);
  GstElement *parse = gst_bin_get_by_name (GST_BIN (pipeline), "parse");
  GstPad *src = gst_element_get_static_pad (parse, "src");
  gst_pad_add_probe (src, GST_PAD_PROBE_TYPE_BUFFER, count_frame, &parsed,
                     NULL);
  gst_object_unref (src);
  gst_object_unref (parse);
  gst_element_set_state (pipeline, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus (pipeline);
  GstMessage *m = gst_bus_timed_pop_filtered (
      bus, 60 * GST_SECOND, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
  g_assert_nonnull (m);
  g_assert_cmpint (GST_MESSAGE_TYPE (m), ==, GST_MESSAGE_EOS);
  gst_message_unref (m);
  gst_object_unref (bus);
  gst_element_set_state (pipeline, GST_STATE_NULL);
  gst_object_unref (pipeline);
  return parsed;
}

static gint32
length_of (MetaItem *list)
{
  for (; list != NULL; list = list->next)
    if (g_str_equal (list->key, "Length"))
      {
        gint32 v;
        g_assert_cmpint (list->type, ==, META_TYPE_INTEGER);
        memcpy (&v, list->value, sizeof v);
        return v;
      }
  return -1;
}

/* The path of a case's sample, or NULL when it could not be made (the
 * test is then skipped). */
static gchar *
sample_path (const MpegCase *c)
{
  gchar *path = g_build_filename (media_dir, c->name, NULL);
  if (g_file_test (path, G_FILE_TEST_IS_REGULAR))
    return path;
  g_test_skip ("GStreamer elements missing");
  g_free (path);
  return NULL;
}

/* The walk counts the frames the parser counts; at a constant bitrate it
 * reckons them from the size instead, within one. */
static void
test_walk (gconstpointer data)
{
  const MpegCase *c = data;
  g_autofree gchar *path = sample_path (c);
  if (path == NULL)
    return;
  Parsed parsed = parse_frames (path);
  g_assert_cmpuint (parsed.frames, >, 0);

  BriselMpegLength walked;
  g_assert_true (brisel_mpeg_length (path, &walked));
  g_test_message ("%s: %u frames, %" G_GINT64_FORMAT " ms; parser %u, %"
                  G_GUINT64_FORMAT " ms", c->name, walked.frames,
                  walked.milliseconds, parsed.frames,
                  parsed.duration / GST_MSECOND);
  g_assert_cmpint (walked.constant, ==, c->constant);
  g_assert_false (walked.extrapolated);
  g_assert_false (walked.has_vbr_header);
  if (c->constant)
    g_assert_cmpint (abs ((gint) walked.frames - (gint) parsed.frames), <=, 1);
  else
    g_assert_cmpuint (walked.frames, ==, parsed.frames);
  gint64 parsed_ms = (gint64) (parsed.duration / GST_MSECOND);
  g_assert_cmpint (llabs (walked.milliseconds - parsed_ms), <, 100);
  g_assert_cmpint (llabs (walked.milliseconds - c->seconds * 1000), <, 1000);
  g_assert_cmpint (walked.bitrate, >, 0);
}

/* Both plug-ins store the frames' length, within one second. */
static void
test_plugin_length (gconstpointer data)
{
  const MpegCase *c = data;
  g_autofree gchar *path = sample_path (c);
  if (path == NULL)
    return;
  Parsed parsed = parse_frames (path);
  gint64 truth = (gint64) (parsed.duration / GST_SECOND);
  MetaExtractFunc plugins[] = { tag_extract, gst_extract };
  for (guint i = 0; i < G_N_ELEMENTS (plugins); i++)
    {
      MetaItem *list = plugins[i] (path);
      gint32 length = length_of (list);
      g_test_message ("%s: plug-in %u gives %d s, the frames %" G_GINT64_FORMAT
                      " s", c->name, i, length, truth);
      g_assert_cmpint (llabs (length - truth), <=, 1);
      meta_free_list (&list);
    }
}

/* A stream longer than the mapping limit is walked as far as the limit
 * and its length scaled to the rest. */
static void
test_walk_capped (void)
{
  const MpegCase *c = &mpeg_cases[1];
  g_autofree gchar *path = sample_path (c);
  if (path == NULL)
    return;
  Parsed parsed = parse_frames (path);
  const gint saved = config.max_file_sz;
  config.max_file_sz = 300000;
  BriselMpegLength walked;
  gboolean found = brisel_mpeg_length (path, &walked);
  config.max_file_sz = saved;
  g_assert_true (found);
  g_assert_true (walked.extrapolated);
  g_assert_cmpuint (walked.frames, <, parsed.frames / 2);
  gint64 parsed_ms = (gint64) (parsed.duration / GST_MSECOND);
  /* Noise is alike throughout: the scaled length is close. */
  g_assert_cmpint (llabs (walked.milliseconds - parsed_ms), <, parsed_ms / 50);
}

/* Bytes that are not an MPEG stream, or only a damaged start of one. */
typedef struct
{
  const gchar *name;
  const guint8 *bytes;
  gsize size;
} Hostile;

static const guint8 one_frame[] = { 0xff, 0xfb, 0x90, 0x64 };
/* A tag whose size runs past the end, on nothing. */
static const guint8 endless_tag[] = { 'I', 'D', '3', 4, 0, 0, 0x7f, 0x7f, 0x7f,
                                      0x7f, 0xff, 0xfb, 0x90, 0x64 };
/* Free format (bitrate index 0) repeated: no frame size to walk by. */
static const guint8 free_format[] = { 0xff, 0xfb, 0x00, 0x64, 0xff, 0xfb,
                                      0x00, 0x64, 0xff, 0xfb, 0x00, 0x64 };
static const guint8 syncs[] = { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };
/* An APE footer claiming more than the file. */
static const guint8 huge_ape[] = { 0xff, 0xfb, 0x90, 0x64, 'A', 'P', 'E',
                                   'T', 'A', 'G', 'E', 'X', 0xd0, 0x07, 0,
                                   0, 0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0,
                                   0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0 };

static const Hostile hostile[] = {
  { "one-frame-header", one_frame, sizeof one_frame },
  { "tag-past-the-end", endless_tag, sizeof endless_tag },
  { "free-format", free_format, sizeof free_format },
  { "all-syncs", syncs, sizeof syncs },
  { "ape-footer-past-the-start", huge_ape, sizeof huge_ape },
};

static void
test_hostile (gconstpointer data)
{
  const Hostile *h = data;
  /* Copied to the heap so that the sanitizer sees every byte read
   * outside. */
  g_autofree guint8 *copy = g_memdup2 (h->bytes, h->size);
  BriselMpegLength out = { .milliseconds = -7 };
  for (guint32 tail = 0; tail <= h->size; tail++)
    g_assert_false (brisel_mpeg_scan (copy, (guint32) h->size, h->size,
                                      copy + h->size - tail, tail, &out));
  g_assert_cmpint (out.milliseconds, ==, -7);
  g_assert_false (brisel_mpeg_scan (NULL, 0, 0, NULL, 0, &out));
  g_assert_false (brisel_mpeg_length (NULL, &out));
  g_assert_false (brisel_mpeg_length (media_dir, &out));
}

static MetaExtractFunc
load_entry (const gchar *soname)
{
  void *plugin = dlopen (soname, RTLD_LAZY | RTLD_LOCAL);
  if (plugin == NULL)
    g_error ("cannot load %s: %s", soname, dlerror ());
  MetaExtractFunc f = (MetaExtractFunc) dlsym (plugin, "get_metadata");
  g_assert_nonnull (f);
  return f;
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-brisel-mpeg");
  g_test_init (&argc, &argv, NULL);
  gst_init (NULL, NULL);
  /* The plug-ins and the walk map at most this much, as installed. */
  config.max_file_sz = 5242880;
  tag_extract = load_entry ("libbrisel_tag.so.0");
  gst_extract = load_entry ("libbrisel_gst.so.0");

  GError *error = NULL;
  media_dir = g_dir_make_tmp ("tessel-mpeg-XXXXXX", &error);
  g_assert_no_error (error);
  TesselMedia made[G_N_ELEMENTS (mpeg_cases) + 1] = { 0 };
  for (guint i = 0; i < G_N_ELEMENTS (mpeg_cases); i++)
    {
      made[i].name = mpeg_cases[i].name;
      made[i].elements = mpeg_cases[i].elements;
      made[i].pipeline = mpeg_cases[i].pipeline;
    }
  tessel_media_make_table (made, media_dir);
  for (guint i = 0; i < G_N_ELEMENTS (mpeg_cases); i++)
    {
      const MpegCase *c = &mpeg_cases[i];
      g_autofree gchar *path = g_build_filename (media_dir, c->name, NULL);
      if (g_file_test (path, G_FILE_TEST_IS_REGULAR))
        append_trail (path, c->trail);
      g_autofree gchar *walk = g_strdup_printf ("/mpeg/walk/%s", c->name);
      g_test_add_data_func (walk, c, test_walk);
      g_autofree gchar *plugin = g_strdup_printf ("/mpeg/plugin-length/%s",
                                                  c->name);
      g_test_add_data_func (plugin, c, test_plugin_length);
    }
  g_test_add_func ("/mpeg/walk/capped-by-max-file-sz", test_walk_capped);
  for (guint i = 0; i < G_N_ELEMENTS (hostile); i++)
    {
      g_autofree gchar *path = g_strdup_printf ("/mpeg/hostile/%s",
                                                hostile[i].name);
      g_test_add_data_func (path, &hostile[i], test_hostile);
    }
  int status = g_test_run ();

  for (guint i = 0; i < G_N_ELEMENTS (mpeg_cases); i++)
    {
      g_autofree gchar *path = g_build_filename (media_dir, mpeg_cases[i].name,
                                                 NULL);
      g_unlink (path);
    }
  g_rmdir (media_dir);
  g_free (media_dir);
  return status;
}
