/* The GStreamer extraction both extractor plug-ins share: a media file's
 * tags, duration and bitrate read with a pipeline that goes no further
 * than pre-roll, and the keys every file gets (name, title, MIME type).
 *
 * Every list node is made by libtessel's own append calls, resolved when
 * libtessel loads the plug-in, so that libtessel also releases them. */
#include "brisel_gst_extract-private.h"
#include "brisel_cover-private.h"
#include "brisel_gst.h"
#include "brisel_mpeg-private.h"
#include "metadata_conf.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include <gio/gio.h>
#include <gst/gst.h>
#include <gst/tag/tag.h>

/* The longest a pipeline may take to pre-roll before its bus is read. */
#define BRISEL_PREROLL_TIMEOUT (5 * GST_SECOND)
/* While pre-roll is awaited, how often (microseconds) the pipeline is
 * checked for threads still at work, and after how many checks in a row
 * that find none it is given up. */
#define BRISEL_IDLE_CHECK_INTERVAL (50 * G_TIME_SPAN_MILLISECOND)
#define BRISEL_IDLE_CHECKS 3
/* "No bitrate seen". */
#define BRISEL_NO_BITRATE G_MAXUINT32

/* What one extraction has found so far. */
struct StreamState
{
  MetaItem *list = NULL;
  gboolean title_found = FALSE;
  gboolean year_found = FALSE;
  guint32 audio_bitrate = BRISEL_NO_BITRATE;
  guint32 other_bitrate = BRISEL_NO_BITRATE;
  guint32 audio_nominal_bitrate = BRISEL_NO_BITRATE;
  guint32 other_nominal_bitrate = BRISEL_NO_BITRATE;
  /* What the frame walk found of an MPEG audio stream without a Xing
   * header, where the parser could only estimate: -1 when nothing. */
  gint64 walked_seconds = -1;
  gint32 walked_bitrate = -1;
  BriselCover *cover = NULL; /* NULL: covers are not looked for */
};

/* Marks the sinks this plug-in attaches to audio streams, so that their
 * bitrate counts as an audio element's. */
static const gchar audio_sink_key[] = "brisel-audio-sink";

/* Which tag feeds which key.  Older decoders posted the "WM/..." names;
 * GStreamer 1.x posts its standard names for the same data, so both are
 * listed. */
enum class KeyKind
{
  TEXT,
  NUMBER,
  YEAR
};

struct TagKey
{
  const char *tag;
  const char *key;
  KeyKind kind;
};

static const TagKey tag_keys[] = {
  { "video-codec", "Codec", KeyKind::TEXT },
  { "audio-codec", "Codec", KeyKind::TEXT },
  { "artist", "Artist", KeyKind::TEXT },
  { "title", "Title", KeyKind::TEXT },
  { "WM/AlbumTitle", "Album", KeyKind::TEXT },
  { "WM/Genre", "Genre", KeyKind::TEXT },
  { "WM/TrackNumber", "Track", KeyKind::NUMBER },
  { "WM/Year", "Year", KeyKind::YEAR },
  { GST_TAG_ALBUM, "Album", KeyKind::TEXT },
  { GST_TAG_GENRE, "Genre", KeyKind::TEXT },
  { GST_TAG_TRACK_NUMBER, "Track", KeyKind::NUMBER },
  { GST_TAG_DATE_TIME, "Year", KeyKind::YEAR },
  { GST_TAG_DATE, "Year", KeyKind::YEAR },
  { GST_TAG_ALBUM_ARTIST, "AlbumArtist", KeyKind::TEXT },
  { "WM/AlbumArtist", "AlbumArtist", KeyKind::TEXT },
  { GST_TAG_ALBUM_VOLUME_NUMBER, "Disc", KeyKind::NUMBER },
  { "WM/PartOfSet", "Disc", KeyKind::NUMBER },
};

/* Reads a number as atoi does (leading blanks, a sign, digits up to the
 * first non-digit; none give 0), saturating instead of overflowing. */
static gint32
decimal_value (const gchar *text)
{
  long long v = strtoll (text, NULL, 10);
  return static_cast<gint32> (CLAMP (v, G_MININT32, G_MAXINT32));
}

/* The value at index of a tag as text (g_free it), or NULL.  Dates become
 * their four-digit year, the only part of them the row keeps.  A date
 * with a time of day is a container's creation stamp (Matroska's DateUTC,
 * the MP4 movie header's creation time), which muxers set to the moment
 * of muxing: it gives no text, so that no "Year" comes of it.  Release
 * and recording dates are tagged as a year or a date. */
static gchar *
tag_value_text (const GstTagList *tags, const gchar *tag, guint index)
{
  if (gst_tag_get_type (tag) == G_TYPE_STRING)
    {
      const gchar *text = NULL;
      if (!gst_tag_list_peek_string_index (tags, tag, index, &text))
        return NULL;
      return g_strdup (text);
    }
  const GValue *value = gst_tag_list_get_value_index (tags, tag, index);
  if (value == NULL)
    return NULL;
  if (G_VALUE_HOLDS (value, G_TYPE_DATE))
    {
      const GDate *date = static_cast<const GDate *> (g_value_get_boxed (value));
      if (date == NULL || !g_date_valid (date))
        return NULL;
      return g_strdup_printf ("%04u", g_date_get_year (date));
    }
  if (G_VALUE_HOLDS (value, GST_TYPE_DATE_TIME))
    {
      GstDateTime *dt = static_cast<GstDateTime *> (g_value_get_boxed (value));
      if (dt == NULL || !gst_date_time_has_year (dt)
          || gst_date_time_has_time (dt))
        return NULL;
      return g_strdup_printf ("%04d", gst_date_time_get_year (dt));
    }
  return g_strdup_value_contents (value);
}

/* Visits one tag of the collected list and prepends the key it maps to.
 * Only a tag's first, non-empty value is used. */
static void
print_tag (const GstTagList *tags, const gchar *tag, gpointer user_data) noexcept
{
  StreamState *state = static_cast<StreamState *> (user_data);
  MetaItem **list = &state->list;
  if (tags == NULL)
    return;
  g_autofree gchar *text = tag_value_text (tags, tag, 0);
  if (text == NULL || *text == '\0')
    return;

  for (const TagKey &entry : tag_keys)
    {
      if (g_ascii_strcasecmp (tag, entry.tag) != 0)
        continue;
      switch (entry.kind)
        {
        case KeyKind::NUMBER:
          *list = meta_list_append_int (entry.key, decimal_value (text), *list);
          break;
        case KeyKind::YEAR:
          /* A file may carry both a date and a date-time: one "Year". */
          if (state->year_found)
            return;
          state->year_found = TRUE;
          *list = meta_list_append_text (entry.key, text, *list);
          break;
        case KeyKind::TEXT:
          *list = meta_list_append_text (entry.key, text, *list);
          if (strcmp (entry.key, "Title") == 0)
            state->title_found = TRUE;
          break;
        }
      return;
    }
}

/* Whether a private frame GStreamer keeps as it was read says
 * "compilation": an ID3v2 TCMP frame (header, text encoding, then the
 * text, which a byte-order mark or UTF-16's zero bytes may precede) or an
 * MP4 cpil atom (header, a data atom's header, its type and locale, then
 * a one-byte flag).  *found tells whether the frame was one of them. */
static gboolean
private_frame_compilation (GstSample *sample, gboolean *found)
{
  GstBuffer *buffer = gst_sample_get_buffer (sample);
  GstMapInfo map;
  if (buffer == NULL || !gst_buffer_map (buffer, &map, GST_MAP_READ))
    return FALSE;
  const guchar *data = map.data;
  const guint32 size = static_cast<guint32> (MIN (map.size, G_MAXUINT32));
  guchar flag = 0;
  gboolean says = FALSE;
  if (meta_read_fourcc (data, size, "TCMP", 0))
    {
      *found = TRUE;
      for (guint32 at = 11; meta_ext_read_char (data, size, at, &flag); at++)
        if (flag != 0x00 && flag != 0xff && flag != 0xfe)
          {
            says = g_ascii_isdigit (flag) && flag != '0';
            break;
          }
    }
  else if (meta_read_fourcc (data, size, "cpil", 4)
           && meta_read_fourcc (data, size, "data", 12))
    {
      *found = TRUE;
      says = meta_ext_read_char (data, size, 24, &flag) && flag != 0;
    }
  gst_buffer_unmap (buffer, &map);
  return says;
}

/* Whether the tags say the file belongs to a compilation.  GStreamer has
 * no tag of its own for it: a Vorbis comment COMPILATION arrives as an
 * extended comment, ID3v2's TCMP and MP4's cpil as private frames. */
static gboolean
says_compilation (const GstTagList *tags)
{
  const gchar *comment;
  for (guint i = 0; gst_tag_list_peek_string_index (
           tags, GST_TAG_EXTENDED_COMMENT, i, &comment);
       i++)
    if (g_ascii_strncasecmp (comment, "COMPILATION=", 12) == 0)
      return decimal_value (comment + 12) != 0;
  for (const gchar *tag : { "private-id3v2-frame", "private-qt-tag" })
    {
      const GValue *value;
      for (guint i = 0;
           (value = gst_tag_list_get_value_index (tags, tag, i)) != NULL;
           i++)
        {
          if (!G_VALUE_HOLDS (value, GST_TYPE_SAMPLE))
            break;
          gboolean found = FALSE;
          gboolean says = private_frame_compilation (
              GST_SAMPLE (g_value_get_boxed (value)), &found);
          if (found)
            return says;
        }
    }
  return FALSE;
}

/* TRUE when the element that posted a message handles audio: its factory
 * class says so, or it is a sink this plug-in put on an audio stream. */
static gboolean
posted_by_audio_element (GstMessage *message)
{
  GstObject *source = GST_MESSAGE_SRC (message);
  if (source == NULL || !GST_IS_ELEMENT (source))
    return FALSE;
  if (g_object_get_data (G_OBJECT (source), audio_sink_key) != NULL)
    return TRUE;
  GstElementFactory *factory = gst_element_get_factory (GST_ELEMENT (source));
  if (factory == NULL)
    return FALSE;
  const gchar *klass = gst_element_factory_get_metadata (
      factory, GST_ELEMENT_METADATA_KLASS);
  return klass != NULL && strstr (klass, "Audio") != NULL;
}

/* Sets *slot from the unsigned tag of tags when there is one. */
static void
take_bitrate (GstTagList *tags, const gchar *tag, guint32 *slot)
{
  guint value;
  if (gst_tag_list_get_uint (tags, tag, &value))
    *slot = value;
  gst_tag_list_remove_tag (tags, tag);
}

/* Takes one TAG message: keeps its bitrates aside and merges the other
 * tags into *collected, where earlier values win. */
static void
collect_tag_message (GstMessage *message, GstTagList **collected,
                     StreamState *state)
{
  GstTagList *tags = NULL;
  gst_message_parse_tag (message, &tags);
  /* The message keeps a reference of its own. */
  tags = gst_tag_list_make_writable (tags);
  gboolean audio = posted_by_audio_element (message);
  take_bitrate (tags, GST_TAG_BITRATE,
                audio ? &state->audio_bitrate : &state->other_bitrate);
  take_bitrate (tags, GST_TAG_NOMINAL_BITRATE,
                audio ? &state->audio_nominal_bitrate
                      : &state->other_nominal_bitrate);
  if (*collected == NULL)
    *collected = tags;
  else
    {
      GstTagList *merged = gst_tag_list_merge (*collected, tags,
                                               GST_TAG_MERGE_KEEP);
      gst_tag_list_unref (*collected);
      gst_tag_list_unref (tags);
      *collected = merged;
    }
}

/* Drains the bus without blocking, collecting tags.  Stops at EOS or
 * ERROR. */
static void
message_loop (GstElement *pipeline, GstTagList **collected,
              StreamState *state)
{
  g_autoptr (GstBus) bus = gst_element_get_bus (pipeline);
  g_return_if_fail (bus != NULL);

  GstMessage *message;
  while ((message = gst_bus_pop (bus)) != NULL)
    {
      GstMessageType type = GST_MESSAGE_TYPE (message);
      if (type == GST_MESSAGE_TAG)
        collect_tag_message (message, collected, state);
      gst_message_unref (message);
      if (type == GST_MESSAGE_EOS || type == GST_MESSAGE_ERROR)
        break;
    }
}

/* Gives every stream decodebin exposes a sink of its own: under GStreamer
 * 1.x a pipeline only reaches PAUSED once its streams are consumed, and
 * only then are tags and duration known. */
static void
on_pad_added (GstElement *decodebin, GstPad *pad, gpointer user_data) noexcept
{
  (void) decodebin;
  GstElement *pipeline = GST_ELEMENT (user_data);
  GstElement *sink = gst_element_factory_make ("fakesink", NULL);
  if (sink == NULL)
    return;
  g_object_set (sink, "sync", FALSE, NULL);

  g_autoptr (GstCaps) caps = gst_pad_get_current_caps (pad);
  if (caps == NULL)
    caps = gst_pad_query_caps (pad, NULL);
  if (caps != NULL && gst_caps_get_size (caps) > 0
      && g_str_has_prefix (gst_structure_get_name (
                               gst_caps_get_structure (caps, 0)),
                           "audio/"))
    g_object_set_data (G_OBJECT (sink), audio_sink_key,
                       GINT_TO_POINTER (1));

  if (!gst_bin_add (GST_BIN (pipeline), sink))
    {
      gst_object_unref (sink);
      return;
    }
  g_autoptr (GstPad) sinkpad = gst_element_get_static_pad (sink, "sink");
  gst_pad_link (pad, sinkpad);
  gst_element_sync_state_with_parent (sink);
}

/* Visits the source pads of element in order until visit returns TRUE;
 * FALSE when none did. */
static gboolean
find_src_pad (GstElement *element, gboolean (*visit) (GstPad *, gpointer),
              gpointer data)
{
  gboolean found = FALSE;
  g_autoptr (GstIterator) pads = gst_element_iterate_src_pads (element);
  GValue item = G_VALUE_INIT;
  while (!found && gst_iterator_next (pads, &item) == GST_ITERATOR_OK)
    {
      found = visit (GST_PAD (g_value_get_object (&item)), data);
      g_value_reset (&item);
    }
  g_value_unset (&item);
  return found;
}

static gboolean
pad_duration (GstPad *pad, gpointer data)
{
  gint64 *duration = static_cast<gint64 *> (data);
  return gst_pad_query_duration (pad, GST_FORMAT_TIME, duration)
         && *duration >= 0;
}

/* The duration in whole seconds from the first source pad of decodebin
 * that answers, else from the pipeline; FALSE when nobody knows it. */
static gboolean
query_length (GstElement *pipeline, GstElement *decodebin, gint64 *seconds)
{
  gint64 duration = -1;
  gboolean found = find_src_pad (decodebin, pad_duration, &duration);
  if (!found)
    found = gst_element_query_duration (pipeline, GST_FORMAT_TIME, &duration)
            && duration >= 0;
  if (found)
    *seconds = duration / GST_SECOND;
  return found;
}

/* Prepends "Resolution" (WIDTHxHEIGHT), "Fps" (frames a second, rounded;
 * none for a variable rate) and "PixelAspectRatio" (a pixel's width over
 * its height) from the caps of a pad, when it carries video; FALSE for
 * any other pad. */
static gboolean
pad_video_properties (GstPad *pad, gpointer data)
{
  MetaItem **list = static_cast<MetaItem **> (data);
  g_autoptr (GstCaps) caps = gst_pad_get_current_caps (pad);
  if (caps == NULL || gst_caps_get_size (caps) == 0)
    return FALSE;
  const GstStructure *video = gst_caps_get_structure (caps, 0);
  if (!g_str_has_prefix (gst_structure_get_name (video), "video/"))
    return FALSE;
  gint width, height, num, den;
  if (gst_structure_get_int (video, "width", &width)
      && gst_structure_get_int (video, "height", &height) && width > 0
      && height > 0)
    {
      g_autofree gchar *resolution = g_strdup_printf ("%dx%d", width,
                                                      height);
      *list = meta_list_append_text ("Resolution", resolution, *list);
    }
  if (gst_structure_get_fraction (video, "framerate", &num, &den) && num > 0
      && den > 0)
    *list = meta_list_append_int (
        "Fps",
        static_cast<gint32> ((static_cast<gint64> (num) + den / 2) / den),
        *list);
  if (gst_structure_get_fraction (video, "pixel-aspect-ratio", &num, &den)
      && num > 0 && den > 0)
    *list = meta_list_append_float (
        "PixelAspectRatio",
        static_cast<gfloat> (static_cast<gdouble> (num) / den), *list);
  return TRUE;
}

/* TRUE when no streaming thread of the pipeline is at work: every pad task
 * in it is paused or stopped. */
static gboolean
pipeline_idle (GstElement *pipeline)
{
  gboolean idle = TRUE;
  g_autoptr (GstIterator) elements
      = gst_bin_iterate_recurse (GST_BIN (pipeline));
  GValue element = G_VALUE_INIT;
  while (idle && gst_iterator_next (elements, &element) == GST_ITERATOR_OK)
    {
      g_autoptr (GstIterator) pads = gst_element_iterate_pads (
          GST_ELEMENT (g_value_get_object (&element)));
      GValue pad = G_VALUE_INIT;
      while (idle && gst_iterator_next (pads, &pad) == GST_ITERATOR_OK)
        {
          GstPad *p = GST_PAD (g_value_get_object (&pad));
          GST_OBJECT_LOCK (p);
          GstTask *task = GST_PAD_TASK (p);
          if (task != NULL && gst_task_get_state (task) == GST_TASK_STARTED)
            idle = FALSE;
          GST_OBJECT_UNLOCK (p);
          g_value_reset (&pad);
        }
      g_value_unset (&pad);
      g_value_reset (&element);
    }
  g_value_unset (&element);
  return idle;
}

/* What ends a wait on the pipeline's bus. */
enum class WaitEnd
{
  PREROLLED,     /* the pipeline's own ASYNC_DONE */
  DURATION_KNOWN /* a DURATION_CHANGED from any element */
};

/* Pops the pipeline's bus until the wanted end, an error, the end of the
 * stream or the deadline (monotonic time), collecting the tags posted
 * meanwhile.  A demuxer that fails on a damaged file posts its error from
 * a streaming thread and leaves a state change pending, so the bus, not
 * the state, tells of it at once.  The decoder bin can also swallow the
 * error of an element it is still setting up, after which nothing ever
 * moves: a pipeline whose threads all stay paused for a few checks is
 * given up.  TRUE when the wanted end came, or the stream ended (which
 * completes pre-roll on the way). */
static gboolean
wait_on_bus (GstElement *pipeline, WaitEnd end, gint64 deadline,
             GstTagList **collected, StreamState *state)
{
  g_autoptr (GstBus) bus = gst_element_get_bus (pipeline);
  if (bus == NULL)
    return FALSE;
  const GstMessageType wanted = static_cast<GstMessageType> (
      (end == WaitEnd::PREROLLED ? GST_MESSAGE_ASYNC_DONE
                                 : GST_MESSAGE_DURATION_CHANGED)
      | GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_TAG);
  gint64 remaining;
  int idle_checks = 0;
  while ((remaining = deadline - g_get_monotonic_time ()) > 0)
    {
      g_autoptr (GstMessage) message = gst_bus_timed_pop_filtered (
          bus, MIN (remaining, BRISEL_IDLE_CHECK_INTERVAL) * GST_USECOND,
          wanted);
      if (message == NULL)
        {
          idle_checks = pipeline_idle (pipeline) ? idle_checks + 1 : 0;
          if (idle_checks >= BRISEL_IDLE_CHECKS)
            return FALSE;
          continue;
        }
      switch (GST_MESSAGE_TYPE (message))
        {
        case GST_MESSAGE_TAG:
          collect_tag_message (message, collected, state);
          break;
        case GST_MESSAGE_ERROR:
          return FALSE;
        case GST_MESSAGE_ASYNC_DONE:
          /* Only the pipeline's own message ends its pre-roll. */
          if (GST_MESSAGE_SRC (message) == GST_OBJECT (pipeline))
            return TRUE;
          break;
        case GST_MESSAGE_EOS:
          return end == WaitEnd::DURATION_KNOWN
                 || gst_element_get_state (pipeline, NULL, NULL, 0)
                        == GST_STATE_CHANGE_SUCCESS;
        default:
          return TRUE;
        }
    }
  return FALSE;
}

/* Waits for a pipeline set to PAUSED to pre-roll.  TRUE when it did;
 * FALSE on an error, at the deadline, or when it cannot pre-roll at all (a
 * live source). */
static gboolean
wait_for_preroll (GstElement *pipeline, GstStateChangeReturn ret,
                  gint64 deadline, GstTagList **collected, StreamState *state)
{
  if (ret == GST_STATE_CHANGE_SUCCESS)
    return TRUE;
  if (ret != GST_STATE_CHANGE_ASYNC)
    return FALSE;
  return wait_on_bus (pipeline, WaitEnd::PREROLLED, deadline, collected,
                      state);
}

/* Parsers of streams without a length in their headers estimate it only
 * after some frames, more than pre-roll lets through.  Lets the pipeline
 * run, unsynchronised, until a duration is announced or the stream ends.
 * TRUE when either happened before the deadline. */
static gboolean
wait_for_duration (GstElement *pipeline, gint64 deadline,
                   GstTagList **collected, StreamState *state)
{
  if (gst_element_set_state (pipeline, GST_STATE_PLAYING)
      == GST_STATE_CHANGE_FAILURE)
    return FALSE;
  return wait_on_bus (pipeline, WaitEnd::DURATION_KNOWN, deadline, collected,
                      state);
}

/* Offers the pictures of the image tags to cover, the front cover
 * marked as such. */
static void
offer_images (const GstTagList *tags, BriselCover *cover)
{
  const GValue *value;
  for (guint i = 0;
       !cover->has_front ()
       && (value = gst_tag_list_get_value_index (tags, GST_TAG_IMAGE, i))
              != NULL;
       i++)
    {
      if (!G_VALUE_HOLDS (value, GST_TYPE_SAMPLE))
        break;
      GstSample *sample = GST_SAMPLE (g_value_get_boxed (value));
      GstBuffer *buffer = gst_sample_get_buffer (sample);
      const GstStructure *info = gst_sample_get_info (sample);
      const GValue *type = info != NULL ? gst_structure_get_value (
                               info, "image-type")
                                        : NULL;
      const bool front = type != NULL && G_VALUE_HOLDS_ENUM (type)
                         && g_value_get_enum (type)
                                == GST_TAG_IMAGE_TYPE_FRONT_COVER;
      GstMapInfo map;
      if (buffer == NULL || !gst_buffer_map (buffer, &map, GST_MAP_READ))
        continue;
      cover->offer (map.data, map.size, front);
      gst_buffer_unmap (buffer, &map);
    }
}

/* Collects tags, "Length" and "Bitrate" of filename onto state->list.
 * Nothing is added when the file cannot be pre-rolled. */
static void
extract_stream_info (const gchar *filename, StreamState *state)
{
  MetaItem **list = &state->list;
  GstElement *pipeline = gst_pipeline_new (NULL);
  GstElement *source = gst_element_factory_make ("filesrc", "source");
  GstElement *decodebin = gst_element_factory_make ("decodebin", "decodebin");
  if (pipeline == NULL || source == NULL || decodebin == NULL)
    {
      /* Without these elements nothing can be decoded; the common keys
       * still describe the file. */
      if (source != NULL)
        gst_object_unref (gst_object_ref_sink (source));
      if (decodebin != NULL)
        gst_object_unref (gst_object_ref_sink (decodebin));
      if (pipeline != NULL)
        gst_object_unref (pipeline);
      return;
    }
  gst_bin_add_many (GST_BIN (pipeline), source, decodebin, NULL);
  gst_element_link (source, decodebin);
  g_object_set (source, "location", filename, NULL);
  g_signal_connect (decodebin, "pad-added", G_CALLBACK (on_pad_added),
                    pipeline);

  gint64 deadline = g_get_monotonic_time ()
                    + BRISEL_PREROLL_TIMEOUT / GST_USECOND;
  GstStateChangeReturn ret = gst_element_set_state (pipeline,
                                                    GST_STATE_PAUSED);
  GstTagList *collected = NULL;
  gboolean prerolled
      = wait_for_preroll (pipeline, ret, deadline, &collected, state);
  /* A pipeline that failed on the way still gives the tags its demuxer
   * read before the damage: only the length needs the pre-roll. */
  if (ret != GST_STATE_CHANGE_FAILURE && ret != GST_STATE_CHANGE_NO_PREROLL)
    {
      message_loop (pipeline, &collected, state);
      /* A walked MPEG stream needs no estimate from its parser. */
      gint64 seconds = state->walked_seconds;
      gboolean have_length
          = seconds >= 0
            || (prerolled
                && (query_length (pipeline, decodebin, &seconds)
                    || (wait_for_duration (pipeline, deadline, &collected,
                                           state)
                        && query_length (pipeline, decodebin, &seconds))));
      if (collected != NULL)
        {
          gst_tag_list_foreach (collected, print_tag, state);
          if (says_compilation (collected))
            *list = meta_list_append_int ("Compilation", 1, *list);
          if (state->cover != NULL && state->cover->want (filename, *list))
            offer_images (collected, state->cover);
        }
      if (prerolled)
        find_src_pad (decodebin, pad_video_properties, list);
      if (have_length)
        *list = meta_list_append_int (
            "Length", static_cast<gint32> (CLAMP (seconds, 0, G_MAXINT32)),
            *list);
      /* A container's or video element's bitrate describes the whole
       * stream, so it wins over an audio decoder's; a measured bitrate
       * wins over the encoder's nominal one. */
      guint32 bitrate = state->walked_bitrate >= 0
                            ? static_cast<guint32> (state->walked_bitrate)
                            : BRISEL_NO_BITRATE;
      for (guint32 candidate :
           { state->other_bitrate, state->audio_bitrate,
             state->other_nominal_bitrate, state->audio_nominal_bitrate })
        if (bitrate == BRISEL_NO_BITRATE)
          bitrate = candidate;
      if (bitrate != BRISEL_NO_BITRATE)
        *list = meta_list_append_int (
            "Bitrate", static_cast<gint32> (MIN (bitrate, G_MAXINT32)),
            *list);
    }

  if (collected != NULL)
    gst_tag_list_unref (collected);
  gst_element_set_state (pipeline, GST_STATE_NULL);
  gst_object_unref (pipeline);
}

gsize
brisel_sniff_size (void)
{
  gsize limit = BRISEL_SNIFF_SIZE;
  int max_file_sz = meta_conf_get_max_file_sz ();
  if (max_file_sz > 0 && static_cast<gsize> (max_file_sz) < limit)
    limit = static_cast<gsize> (max_file_sz);
  return limit;
}

/* Reads a file's first bytes for sniffing into head (BRISEL_SNIFF_SIZE
 * bytes of room) and returns how many. */
static gsize
read_head (const gchar *filename, guchar *head)
{
  gsize length = 0;
  /* Never blocks on a FIFO; only a regular file's bytes are read. */
  int fd = open (filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd >= 0)
    {
      struct stat st;
      if (fstat (fd, &st) == 0 && S_ISREG (st.st_mode))
        {
          ssize_t got = read (fd, head, brisel_sniff_size ());
          length = got > 0 ? static_cast<gsize> (got) : 0;
        }
      close (fd);
    }
  return length;
}

/* The MIME type of a file from its name and its first bytes, or NULL. */
static gchar *
sniff_mime_type (const gchar *filename, const guchar *head, gsize length)
{
  g_autofree gchar *type = g_content_type_guess (
      filename, length > 0 ? head : NULL, length, NULL);
  if (type == NULL)
    return NULL;
  return g_content_type_get_mime_type (type);
}

gboolean
brisel_gst_read_stream (const gchar *filename, MetaItem **list,
                        BriselCover *cover)
{
  /* Only regular files go through the pipeline: opening a FIFO would
   * block past any timeout, and folders or devices hold no media.  No
   * arguments are handed to GStreamer, so that no file name can be taken
   * for one of its options. */
  struct stat st;
  if (filename == NULL || stat (filename, &st) != 0 || !S_ISREG (st.st_mode)
      || !gst_init_check (NULL, NULL, NULL))
    return FALSE;
  StreamState state;
  state.list = *list;
  state.cover = cover;
  /* Without a Xing, Info or VBRI header the parser estimates the length
   * from the first frames; the walk counts them. */
  BriselMpegLength mpeg;
  if (brisel_mpeg_length (filename, &mpeg) && !mpeg.has_vbr_header)
    {
      state.walked_seconds = mpeg.milliseconds / 1000;
      state.walked_bitrate = mpeg.bitrate;
    }
  extract_stream_info (filename, &state);
  *list = state.list;
  return state.title_found;
}

MetaItem *
brisel_add_common_keys (const gchar *filename, gboolean title_found,
                        const guchar *head, gsize head_length, MetaItem *list)
{
  /* A relative name has no URI: the row could not be found again by it. */
  if (!g_path_is_absolute (filename))
    return list;
  guchar own_head[BRISEL_SNIFF_SIZE];
  if (head == NULL)
    {
      head_length = read_head (filename, own_head);
      head = own_head;
    }
  g_autofree gchar *mime = sniff_mime_type (
      filename, head, MIN (head_length, brisel_sniff_size ()));
  list = meta_list_append_text ("MIME", mime, list);
  if (!title_found)
    {
      g_autofree gchar *base = g_path_get_basename (filename);
      list = meta_list_append_text ("Title", base, list);
    }
  return meta_list_append_text ("Filename", filename, list);
}
