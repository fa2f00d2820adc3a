/* The header-reading extractor libbrisel_tag on media made here: it agrees
 * with libbrisel_gst on every sample GStreamer can make, reads the headers
 * written by hand of the formats no encoder here writes, keeps the tags of
 * files damaged in the ways a memory card damages them, applies the tag
 * rules, and every extension the installed configuration gives it has a
 * sample. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include "metadata_conf.h"
#include "tessel-media.h"
#include "tessel-tag-write.h"
#include "tessel-test.h"

static gchar *media_dir;
static MetaExtractFunc tag_extract;
static MetaExtractFunc gst_extract;

#define TONE "audiotestsrc num-buffers=30 samplesperbuffer=4410 ! " \
             "audio/x-raw,rate=44100,channels=1 ! audioconvert ! " \
             "audioresample ! "
#define TAGS "taginject tags=\"title=\\\"Song\\\",artist=\\\"Singer\\\"," \
             "album=\\\"Record\\\",genre=Rock,track-number=(uint)4," \
             "date=(GDate)2011-02-03,datetime=(datetime)2011-02-03\" ! "
/* A sample carrying TAGS: title, artist, album, genre, track, year. */
#define TAGGED "Song", "Singer", "Record", "Rock", 4, "2011"

/* The audio formats the installed configuration gives libbrisel_tag,
 * beyond those of tessel_media[].  The MP4 and AIFF muxers drop stream
 * tags: a sample expecting tags its pipeline does not inject has them
 * written into the made file (MP4 atoms, AIFF's ID3v2 chunk, WavPack's
 * APE tag). */
static const TesselMedia extra_media[] = {
  { "tagged.mp2", "twolamemp2enc id3v2mux",
    TONE TAGS "twolamemp2enc ! id3v2mux ! filesink location=%s", NULL,
    TAGGED, NULL, 3, TRUE, FALSE },
  { "tagged.opus", "opusenc oggmux",
    TONE TAGS "opusenc ! oggmux ! filesink location=%s", NULL, TAGGED, NULL,
    3, FALSE, FALSE },
  { "tagged.oga", "vorbisenc oggmux",
    TONE TAGS "vorbisenc ! oggmux ! filesink location=%s", NULL, TAGGED,
    NULL, 3, FALSE, FALSE },
  { "tagged.spx", "speexenc oggmux",
    TONE TAGS "speexenc ! oggmux ! filesink location=%s", NULL, TAGGED, NULL,
    3, FALSE, FALSE },
  { "tagged.wav", "wavenc",
    TONE TAGS "wavenc ! filesink location=%s", NULL, "Song", "Singer",
    "Record", "Rock", 0, "2011", NULL, 3, TRUE, FALSE },
  /* The APE tag muxer warns of a fault of its own, which is fatal here:
   * the APE tag is written afterwards. */
  { "tagged.wv", "wavpackenc",
    TONE "wavpackenc ! filesink location=%s", NULL, TAGGED, NULL, 3, TRUE,
    FALSE },
  { "tagged.m4a", "avenc_aac mp4mux",
    TONE "avenc_aac ! mp4mux ! filesink location=%s", NULL, TAGGED, NULL, 3,
    TRUE, FALSE },
  { "lossless.m4b", "avenc_alac mp4mux",
    TONE "avenc_alac ! mp4mux ! filesink location=%s", NULL, TAGGED, NULL,
    3, TRUE, FALSE },
  /* ADTS carries its tags as an ID3v2 tag in front. */
  { "tagged.aac", "avenc_aac aacparse id3v2mux",
    TONE TAGS "avenc_aac ! aacparse ! audio/mpeg,stream-format=adts ! "
    "id3v2mux ! filesink location=%s", NULL, TAGGED, NULL, 3, TRUE, FALSE },
  { "plain.aac", "avenc_aac avmux_adts",
    TONE "avenc_aac ! avmux_adts ! filesink location=%s", NULL, "plain.aac",
    NULL, NULL, NULL, 0, NULL, NULL, 3, TRUE, FALSE },
  { "tagged.aiff", "avmux_aiff",
    TONE "avmux_aiff ! filesink location=%s", NULL, TAGGED, NULL, 3, TRUE,
    FALSE },
  { "plain.aiff", "avmux_aiff",
    TONE "avmux_aiff ! filesink location=%s", NULL, "plain.aiff", NULL, NULL,
    NULL, 0, NULL, NULL, 3, TRUE, FALSE },
  { "tagged.aif", "avmux_aiff",
    TONE "avmux_aiff ! filesink location=%s", NULL, TAGGED, NULL, 3, TRUE,
    FALSE },
  /* Variable bitrate and no Xing header: the header's length would be the
   * stream's size over its first frame's bitrate. */
  { "variable.mp3", "lamemp3enc",
    "audiotestsrc wave=pink-noise num-buffers=30 samplesperbuffer=4410 ! "
    "audio/x-raw,rate=44100,channels=1 ! audioconvert ! "
    "lamemp3enc target=quality quality=2 ! filesink location=%s", NULL,
    "variable.mp3", NULL, NULL, NULL, 0, NULL, NULL, 3, TRUE, FALSE },
  { NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, 0, FALSE,
    FALSE },
};

/* Samples whose tags GStreamer does not read, and why: their tags are
 * asserted through libbrisel_tag alone. */
static const struct
{
  const gchar *name;
  const gchar *reason;
} gst_untagged[] = {
  { "tagged.aac", "GStreamer's type finding takes a .aac file for ADTS by "
                  "its name and skips the ID3v2 tag in front unread" },
};

static MetaItem *
find (MetaItem *list, const gchar *key)
{
  for (; list != NULL; list = list->next)
    if (g_str_equal (list->key, key))
      return list;
  return NULL;
}

static const gchar *
text_of (MetaItem *list, const gchar *key)
{
  MetaItem *item = find (list, key);
  return item != NULL ? item->value : NULL;
}

/* The integer of key, or -1 without one. */
static gint32
int_of (MetaItem *list, const gchar *key)
{
  MetaItem *item = find (list, key);
  if (item == NULL)
    return -1;
  g_assert_cmpint (item->type, ==, META_TYPE_INTEGER);
  gint32 v;
  memcpy (&v, item->value, sizeof v);
  return v;
}

static gchar *
media_path (const gchar *name)
{
  return g_build_filename (media_dir, name, NULL);
}

/* Asserts the tags of list are those of m; the year only when
 * with_year. */
static void
assert_tags (MetaItem *list, const TesselMedia *m, gboolean with_year)
{
  g_assert_cmpstr (text_of (list, "Title"), ==, m->title);
  g_assert_cmpstr (text_of (list, "Artist"), ==, m->artist);
  g_assert_cmpstr (text_of (list, "Album"), ==, m->album);
  g_assert_cmpstr (text_of (list, "Genre"), ==, m->genre);
  if (with_year)
    g_assert_cmpstr (text_of (list, "Year"), ==, m->year);
  g_assert_cmpint (int_of (list, "Track"), ==, m->track > 0 ? m->track : -1);
}

/* Both plug-ins on one sample: the tags the sample carries, the same
 * common keys, lengths within a second of each other and of the truth;
 * the headers add the channels and the sample rate of audio. */
static void
test_agree (gconstpointer data)
{
  const TesselMedia *m = data;
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *path = media_path (m->name);
  MetaItem *tag = tag_extract (path);
  MetaItem *gst = gst_extract (path);
  g_assert_cmpstr (tag->key, ==, "Filename");
  g_assert_cmpstr (tag->value, ==, path);
  const gchar *ext = strrchr (m->name, '.');
  assert_tags (tag, m, TRUE);
  const gchar *untagged = NULL;
  for (guint i = 0; i < G_N_ELEMENTS (gst_untagged); i++)
    if (g_str_equal (gst_untagged[i].name, m->name))
      untagged = gst_untagged[i].reason;
  if (untagged != NULL)
    g_test_message ("tags not compared: %s", untagged);
  else
    assert_tags (gst, m, TRUE);
  g_assert_cmpstr (text_of (tag, "MIME"), ==, text_of (gst, "MIME"));

  gint32 tag_length = int_of (tag, "Length");
  gint32 gst_length = int_of (gst, "Length");
  if (m->length < 0)
    g_assert_cmpint (tag_length, ==, -1);
  else
    {
      g_assert_cmpint (abs (tag_length - gst_length), <=, 1);
      g_assert_cmpint (abs (tag_length - m->length), <=, 1);
    }
  if (m->bitrate)
    g_assert_cmpint (int_of (tag, "Bitrate"), >, 0);
  /* What only the headers tell: every sample is mono; ADTS, which the
   * tag library does not read, goes through GStreamer. */
  if (m->length >= 0 && strstr (".ogg.oga.mp3.mp2.flac.wav.opus.spx.wv.m4a"
                                ".m4b.aif.aiff", ext) != NULL)
    {
      g_assert_cmpint (int_of (tag, "Channels"), ==, 1);
      gint32 rate = int_of (tag, "Frequency");
      g_assert_true (rate == 8000 || rate == 44100 || rate == 48000);
    }
  meta_free_list (&tag);
  meta_free_list (&gst);
}

/* Samples the headers describe whole: the plug-in opens them once.  The
 * others are opened again by the frame walk (MPEG audio without a Xing
 * header) or by GStreamer. */
static const gchar *const opened_once[] = {
  "tagged.ogg", "plain.ogg", "tagged.flac", "plain.wav", "tagged.opus",
  "tagged.oga", "tagged.spx", "tagged.wav", "tagged.wv", "tagged.m4a",
  "lossless.m4b", "tagged.aiff", "plain.aiff", "tagged.aif",
};

/* The plug-in only reads a sample: it never opens it for writing, which a
 * file watcher would take for a change when the file is closed, and opens
 * one the headers describe whole just once. */
static void
test_read_only (gconstpointer data)
{
  const TesselMedia *m = data;
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *path = media_path (m->name);
  int watch = inotify_init1 (IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0)
    {
      g_test_skip ("inotify is not available here");
      return;
    }
  g_assert_cmpint (inotify_add_watch (watch, path,
                                      IN_OPEN | IN_CLOSE_WRITE
                                          | IN_CLOSE_NOWRITE | IN_MODIFY),
                   >=, 0);
  MetaItem *list = tag_extract (path);
  g_assert_nonnull (list);
  meta_free_list (&list);

  guint opened = 0, closed = 0, written = 0;
  union
  {
    struct inotify_event event;
    char bytes[4096];
  } buffer;
  ssize_t n;
  while ((n = read (watch, &buffer, sizeof buffer)) > 0)
    for (const char *at = buffer.bytes; at < buffer.bytes + n;)
      {
        const struct inotify_event *e = (const struct inotify_event *) at;
        opened += (e->mask & IN_OPEN) != 0;
        closed += (e->mask & IN_CLOSE_NOWRITE) != 0;
        written += (e->mask & (IN_CLOSE_WRITE | IN_MODIFY)) != 0;
        at += sizeof *e + e->len;
      }
  close (watch);
  g_assert_cmpuint (written, ==, 0);
  g_assert_cmpuint (opened, >=, 1);
  g_assert_cmpuint (closed, ==, opened);
  for (guint i = 0; i < G_N_ELEMENTS (opened_once); i++)
    if (g_str_equal (m->name, opened_once[i]))
      g_assert_cmpuint (opened, ==, 1);
}

/* Ways a file gets damaged, given where its tags end. */
typedef enum
{
  DAMAGE_HEADER_ONLY,     /* the tags and nothing behind them */
  DAMAGE_AFTER_TAGS,      /* cut a few bytes into the audio */
  DAMAGE_MID_AUDIO,       /* cut halfway through the audio */
  DAMAGE_ZEROED_FRAMES,   /* the middle half of the audio zeroed */
} Damage;

static const gchar *const damage_names[] = {
  "header-only", "after-tags", "mid-audio", "zeroed-frames",
};

/* Where the tags of a sample end: ID3v2 by its header's size, FLAC by its
 * last metadata block, Ogg by its last page before the audio (granule
 * position 0).  0 when not found. */
static gsize
tags_end (const guchar *data, gsize size)
{
  if (size > 10 && memcmp (data, "ID3", 3) == 0)
    return 10 + ((data[6] & 0x7f) << 21 | (data[7] & 0x7f) << 14
                 | (data[8] & 0x7f) << 7 | (data[9] & 0x7f));
  if (size > 4 && memcmp (data, "fLaC", 4) == 0)
    {
      gsize at = 4;
      while (at + 4 <= size)
        {
          gboolean last = (data[at] & 0x80) != 0;
          at += 4 + (data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3]);
          if (last)
            return at;
        }
      return 0;
    }
  gsize at = 0;
  gsize end = 0;
  while (at + 27 <= size && memcmp (data + at, "OggS", 4) == 0)
    {
      gboolean header_page = TRUE;
      for (int i = 6; i < 14; i++)
        header_page &= data[at + i] == 0;
      if (!header_page)
        break;
      gsize segments = data[at + 26];
      gsize length = 27 + segments;
      for (gsize i = 0; i < segments && at + 27 + i < size; i++)
        length += data[at + 27 + i];
      at += length;
      end = at;
    }
  return end;
}

typedef struct
{
  const gchar *name; /* a sample of tessel_media[] */
  Damage damage;
} DamageCase;

/* A damaged copy of a tagged sample keeps its title and artist, and
 * nothing crashes. */
static void
test_damaged (gconstpointer data)
{
  const DamageCase *c = data;
  const TesselMedia *m = NULL;
  for (const TesselMedia *i = tessel_media; i->name != NULL; i++)
    if (g_str_equal (i->name, c->name))
      m = i;
  g_assert_nonnull (m);
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *path = media_path (m->name);
  g_autofree gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (path, &bytes, &size, NULL));
  gsize end = tags_end ((const guchar *) bytes, size);
  g_assert_cmpuint (end, >, 0);
  g_assert_cmpuint (end, <, size);
  gsize audio = size - end;
  switch (c->damage)
    {
    case DAMAGE_HEADER_ONLY:
      size = end;
      break;
    case DAMAGE_AFTER_TAGS:
      size = end + MIN (audio / 2, 64);
      break;
    case DAMAGE_MID_AUDIO:
      size = end + audio / 2;
      break;
    case DAMAGE_ZEROED_FRAMES:
      memset (bytes + end + audio / 4, 0, audio / 2);
      break;
    }
  g_autofree gchar *name = g_strdup_printf ("%s-%s", damage_names[c->damage],
                                            m->name);
  g_autofree gchar *damaged = media_path (name);
  g_assert_true (g_file_set_contents (damaged, bytes, size, NULL));

  MetaItem *list = tag_extract (damaged);
  g_assert_cmpstr (text_of (list, "Filename"), ==, damaged);
  g_assert_cmpstr (text_of (list, "Title"), ==, m->title);
  g_assert_cmpstr (text_of (list, "Artist"), ==, m->artist);
  g_assert_cmpstr (text_of (list, "Album"), ==, m->album);
  g_assert_nonnull (find (list, "MIME"));
  if (c->damage == DAMAGE_ZEROED_FRAMES)
    g_assert_cmpint (abs (int_of (list, "Length") - m->length), <=, 1);
  meta_free_list (&list);
  g_unlink (damaged);
}

/* An ID3v2.4 text frame: identifier, size, no flags, UTF-8 text (several
 * values NUL-separated). */
static void
add_frame (GByteArray *tag, const gchar *id, const gchar *text, gsize length)
{
  guint32 size = length + 1;
  guint8 header[11] = { 0 };
  memcpy (header, id, 4);
  header[4] = (size >> 21) & 0x7f;
  header[5] = (size >> 14) & 0x7f;
  header[6] = (size >> 7) & 0x7f;
  header[7] = size & 0x7f;
  header[10] = 3;
  g_byte_array_append (tag, header, sizeof header);
  g_byte_array_append (tag, (const guint8 *) text, length);
}

typedef struct
{
  const gchar *name;
  const gchar *track;  /* TRCK, or NULL */
  const gchar *date;   /* TDRC, or NULL */
  const gchar *genre;  /* TCON, or NULL */
  gint v1_genre;       /* an ID3v1 tag with this genre number, or -1 */
  gint32 want_track;   /* -1: no "Track" */
  const gchar *want_year;
  const gchar *want_genre;
} TagCase;

/* The tag rules on MPEG audio under hand-made tags: the first of several
 * values, the number a track text starts with, the year of a date, the
 * ID3 genre rule, and ID3v1's Latin-1. */
static const TagCase tag_cases[] = {
  { "track-of-total", "3/12", "2019-01-02", "Jazz", -1, 3, "2019", "Jazz" },
  /* Decimal, not octal: "09" is nine. */
  { "zero-padded-track", "09/12", NULL, NULL, -1, 9, NULL, NULL },
  { "genre-reference", NULL, "1987", "(17)", -1, -1, "1987", "Rock" },
  { "genre-out-of-range", "7", NULL, "(200)", -1, 7, NULL, NULL },
  { "v1-fills-genre", NULL, NULL, NULL, 8, -1, NULL, "Jazz" },
  { "v1-out-of-range", NULL, NULL, NULL, 200, -1, NULL, NULL },
};

static void
test_tag_rules (gconstpointer data)
{
  const TagCase *c = data;
  const TesselMedia *mp3 = &tessel_media[2];
  g_assert_cmpstr (mp3->name, ==, "tagged.mp3");
  if (!tessel_media_available (mp3, media_dir))
    return;
  g_autofree gchar *source = media_path (mp3->name);
  g_autofree gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (source, &bytes, &size, NULL));
  gsize audio = tags_end ((const guchar *) bytes, size);

  GByteArray *file = g_byte_array_new ();
  GByteArray *frames = g_byte_array_new ();
  add_frame (frames, "TPE1", "First\0Second", 12);
  if (c->track != NULL)
    add_frame (frames, "TRCK", c->track, strlen (c->track));
  if (c->date != NULL)
    add_frame (frames, "TDRC", c->date, strlen (c->date));
  if (c->genre != NULL)
    add_frame (frames, "TCON", c->genre, strlen (c->genre));
  guint8 header[10] = { 'I', 'D', '3', 4, 0, 0 };
  header[6] = (frames->len >> 21) & 0x7f;
  header[7] = (frames->len >> 14) & 0x7f;
  header[8] = (frames->len >> 7) & 0x7f;
  header[9] = frames->len & 0x7f;
  g_byte_array_append (file, header, sizeof header);
  g_byte_array_append (file, frames->data, frames->len);
  g_byte_array_append (file, (const guint8 *) bytes + audio, size - audio);
  if (c->v1_genre >= 0)
    {
      guint8 v1[128] = { 'T', 'A', 'G' };
      /* "Café" in Latin-1. */
      memcpy (v1 + 3, "Caf\xe9", 4);
      v1[127] = (guint8) c->v1_genre;
      g_byte_array_append (file, v1, sizeof v1);
    }
  g_byte_array_unref (frames);
  g_autofree gchar *name = g_strdup_printf ("%s.mp3", c->name);
  g_autofree gchar *path = media_path (name);
  g_assert_true (g_file_set_contents (path, (const gchar *) file->data,
                                      file->len, NULL));
  g_byte_array_unref (file);

  MetaItem *list = tag_extract (path);
  g_assert_cmpstr (text_of (list, "Artist"), ==, "First");
  g_assert_cmpint (int_of (list, "Track"), ==, c->want_track);
  g_assert_cmpstr (text_of (list, "Year"), ==, c->want_year);
  g_assert_cmpstr (text_of (list, "Genre"), ==, c->want_genre);
  g_assert_cmpstr (text_of (list, "Title"), ==,
                   c->v1_genre >= 0 ? "Caf\xc3\xa9" : name);
  g_assert_cmpint (abs (int_of (list, "Length") - mp3->length), <=, 1);
  meta_free_list (&list);
  g_unlink (path);
}

/* Files the headers do not describe: a misnamed Ogg file is handed to
 * GStreamer, which finds its tags and length; bytes nobody reads, and a
 * missing file, still get their common keys. */
static void
test_hand_over (void)
{
  const TesselMedia *ogg = &tessel_media[0];
  g_assert_cmpstr (ogg->name, ==, "tagged.ogg");
  if (!tessel_media_available (ogg, media_dir))
    return;
  g_autofree gchar *source = media_path (ogg->name);
  g_autofree gchar *misnamed = media_path ("misnamed.mp3");
  g_autofree gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (source, &bytes, &size, NULL));
  g_assert_true (g_file_set_contents (misnamed, bytes, size, NULL));
  MetaItem *list = tag_extract (misnamed);
  g_assert_cmpstr (text_of (list, "Title"), ==, ogg->title);
  g_assert_cmpint (abs (int_of (list, "Length") - ogg->length), <=, 1);
  meta_free_list (&list);
  g_unlink (misnamed);

  g_autofree gchar *corrupt = media_path ("corrupt.mp3");
  g_autofree gchar *missing = media_path ("missing.flac");
  const gchar *names[] = { corrupt, missing };
  for (guint i = 0; i < G_N_ELEMENTS (names); i++)
    {
      list = tag_extract (names[i]);
      g_assert_cmpstr (list->key, ==, "Filename");
      g_assert_cmpstr (list->value, ==, names[i]);
      g_autofree gchar *base = g_path_get_basename (names[i]);
      g_assert_cmpstr (text_of (list, "Title"), ==, base);
      g_assert_nonnull (find (list, "MIME"));
      g_assert_null (find (list, "Length"));
      g_assert_null (find (list, "Artist"));
      meta_free_list (&list);
    }
  g_assert_null (tag_extract (NULL));
  g_assert_null (tag_extract ("relative.ogg"));
}

/* Little-endian integers of the crafted headers; bytes up to 8. */
static void
put (GByteArray *file, guint64 value, guint bytes)
{
  for (guint i = 0; i < bytes; i++)
    {
      guint8 byte = (value >> (8 * i)) & 0xff;
      g_byte_array_append (file, &byte, 1);
    }
}

static void
put_text (GByteArray *file, const gchar *text)
{
  g_byte_array_append (file, (const guint8 *) text, strlen (text));
}

/* The values of TAGGED as APE tag items, or ASF attribute names. */
static const gchar *const tagged_items[][3] = {
  { "Title", NULL, "Song" },  { "Artist", NULL, "Singer" },
  { "Album", "WM/AlbumTitle", "Record" }, { "Genre", "WM/Genre", "Rock" },
  { "Track", "WM/TrackNumber", "4" }, { "Year", "WM/Year", "2011" },
};

/* An APE tag, version 2.0: its items, then the footer by which readers
 * find it from the end of the file. */
static void
put_ape_tag (GByteArray *file)
{
  guint start = file->len;
  for (guint i = 0; i < G_N_ELEMENTS (tagged_items); i++)
    {
      put (file, strlen (tagged_items[i][2]), 4);
      put (file, 0, 4); /* flags: UTF-8 text */
      g_byte_array_append (file, (const guint8 *) tagged_items[i][0],
                           strlen (tagged_items[i][0]) + 1);
      put_text (file, tagged_items[i][2]);
    }
  guint items = file->len - start;
  put_text (file, "APETAGEX");
  put (file, 2000, 4);
  put (file, items + 32, 4); /* items and footer */
  put (file, G_N_ELEMENTS (tagged_items), 4);
  put (file, 0, 4);
  put (file, 0, 8);
}

/* Monkey's Audio 3.99, descriptor and header: two frames of 73728 and
 * 70272 blocks at 48 kHz make 3 s of mono.  No frame data. */
static void
craft_ape (GByteArray *file)
{
  put_text (file, "MAC ");
  put (file, 3990, 2);
  put (file, 0, 2);
  put (file, 52, 4);           /* descriptor bytes */
  put (file, 24, 4);           /* header bytes */
  put (file, 8, 4);            /* seek table bytes, a word a frame */
  put (file, 0, 4);            /* WAV header bytes: none stored */
  put (file, 0, 8);            /* frame data bytes, low and high words */
  put (file, 0, 4);            /* terminating bytes */
  put (file, 0, 8);            /* MD5 of the audio */
  put (file, 0, 8);
  put (file, 2000, 2);         /* compression level: normal */
  put (file, 0, 2);            /* format flags */
  put (file, 73728, 4);        /* blocks a frame */
  put (file, 70272, 4);        /* blocks of the final frame */
  put (file, 2, 4);            /* frames */
  put (file, 16, 2);           /* bits a sample */
  put (file, 1, 2);            /* channels */
  put (file, 48000, 4);        /* sample rate */
  put (file, file->len + 8, 4); /* seek table: where the frames would be */
  put (file, file->len + 4, 4);
  put_ape_tag (file);
}

/* Musepack stream version 7: 126 frames of 1152 samples at 48 kHz, a
 * little over 3 s; the version is always stereo.  No frame data. */
static void
craft_mpc (GByteArray *file)
{
  put_text (file, "MP+");
  put (file, 0x07, 1);         /* stream version 7.0 */
  put (file, 126, 4);          /* frames */
  put (file, 1 << 16, 4);      /* sample rate 1 (48 kHz), no other flag */
  put (file, 0, 8);            /* title and album peak and gain */
  put (file, 0, 4);            /* not gapless */
  put (file, 0, 4);            /* encoder version, unknown */
  put_ape_tag (file);
}

/* A GUID as ASF stores it: the first three groups little-endian. */
static void
put_guid (GByteArray *file, const gchar *guid)
{
  guint a, b, c, d[8];
  g_assert_cmpint (sscanf (guid, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a,
                           &b, &c, &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                           &d[6], &d[7]), ==, 11);
  put (file, a, 4);
  put (file, b, 2);
  put (file, c, 2);
  for (guint i = 0; i < 8; i++)
    put (file, d[i], 1);
}

/* Starts an ASF object; end_object () fills in its size. */
static guint
begin_object (GByteArray *file, const gchar *guid)
{
  guint start = file->len;
  put_guid (file, guid);
  put (file, 0, 8);
  return start;
}

static void
end_object (GByteArray *file, guint start)
{
  guint64 size = file->len - start;
  for (guint i = 0; i < 8; i++)
    file->data[start + 16 + i] = (size >> (8 * i)) & 0xff;
}

/* ASCII as ASF's UTF-16LE, with its terminator. */
static void
put_utf16 (GByteArray *file, const gchar *text)
{
  for (gsize i = 0; i <= strlen (text); i++)
    put (file, (guchar) text[i], 2);
}

/* An ASF header and nothing behind it: file properties with a play
 * duration of 3 s, one audio stream of WMA version 2 (format tag 0x0161)
 * in stereo at 44.1 kHz, the content description (title, author) and
 * the extended one (album, genre, track, year). */
static void
craft_asf (GByteArray *file)
{
  guint header = begin_object (file, "75B22630-668E-11CF-A6D9-00AA0062CE6C");
  put (file, 4, 4);            /* objects */
  put (file, 0x0201, 2);       /* reserved bytes 1 and 2 */

  guint object = begin_object (file, "8CABDCA1-A947-11CF-8EE4-00C00C205365");
  put (file, 0, 8);            /* file id */
  put (file, 0, 8);
  put (file, 0, 8);            /* file size: not known */
  put (file, 0, 8);            /* creation date */
  put (file, 0, 8);            /* data packets */
  put (file, 30000000, 8);     /* play duration, 100 ns units */
  put (file, 30000000, 8);     /* send duration */
  put (file, 0, 8);            /* preroll, ms */
  put (file, 2, 4);            /* flags: seekable */
  put (file, 3200, 4);         /* packet sizes, least and most */
  put (file, 3200, 4);
  put (file, 128000, 4);       /* bitrate at most */
  end_object (file, object);

  object = begin_object (file, "B7DC0791-A9B7-11CF-8EE6-00C00C205365");
  put_guid (file, "F8699E40-5B4D-11CF-A8FD-00805F5C442B"); /* audio */
  put_guid (file, "20FB5700-5B55-11CF-A8FD-00805F5C442B"); /* no ECC */
  put (file, 0, 8);            /* time offset */
  put (file, 18, 4);           /* type-specific bytes: WAVEFORMATEX */
  put (file, 0, 4);            /* error correction bytes */
  put (file, 1, 2);            /* stream number 1 */
  put (file, 0, 4);
  put (file, 0x0161, 2);       /* format tag: WMA version 2 */
  put (file, 2, 2);            /* channels */
  put (file, 44100, 4);        /* samples a second */
  put (file, 16000, 4);        /* bytes a second: 128 kbit/s */
  put (file, 2973, 2);         /* block align */
  put (file, 16, 2);           /* bits a sample */
  put (file, 0, 2);            /* extra bytes */
  end_object (file, object);

  object = begin_object (file, "75B22633-668E-11CF-A6D9-00AA0062CE6C");
  put (file, 2 * (strlen (tagged_items[0][2]) + 1), 2);
  put (file, 2 * (strlen (tagged_items[1][2]) + 1), 2);
  put (file, 0, 6);            /* copyright, description, rating */
  put_utf16 (file, tagged_items[0][2]);
  put_utf16 (file, tagged_items[1][2]);
  end_object (file, object);

  object = begin_object (file, "D2D0A440-E307-11D2-97F0-00A0C95EA850");
  put (file, G_N_ELEMENTS (tagged_items) - 2, 2);
  for (guint i = 2; i < G_N_ELEMENTS (tagged_items); i++)
    {
      put (file, 2 * (strlen (tagged_items[i][1]) + 1), 2);
      put_utf16 (file, tagged_items[i][1]);
      put (file, 0, 2);        /* a UTF-16LE string */
      put (file, 2 * (strlen (tagged_items[i][2]) + 1), 2);
      put_utf16 (file, tagged_items[i][2]);
    }
  end_object (file, object);
  end_object (file, header);
}

/* Formats without an encoder here, their headers written by hand. */
typedef struct
{
  const gchar *name;
  void (*craft) (GByteArray *file);
  gint32 channels;
  gint32 frequency;
} CraftedCase;

static const CraftedCase crafted[] = {
  { "crafted.wma", craft_asf, 2, 44100 },
  { "crafted.asf", craft_asf, 2, 44100 },
  { "crafted.ape", craft_ape, 1, 48000 },
  { "crafted.mpc", craft_mpc, 2, 48000 },
};

/* The header of a format no encoder here writes, and its tags: the tag
 * library reads both; cut short, it still gets its common keys.  Their
 * audio is not there to decode, so libbrisel_gst is only asked for its
 * common keys. */
static void
test_crafted (gconstpointer data)
{
  const CraftedCase *c = data;
  static const TesselMedia tagged = { "crafted", "", NULL, NULL, TAGGED,
                                      NULL, 3, FALSE, FALSE };
  GByteArray *file = g_byte_array_new ();
  c->craft (file);
  g_autofree gchar *path = media_path (c->name);
  const gsize sizes[] = { file->len, file->len / 2, 6 };
  for (guint i = 0; i < G_N_ELEMENTS (sizes); i++)
    {
      g_assert_true (g_file_set_contents (path, (const gchar *) file->data,
                                          sizes[i], NULL));
      MetaItem *tag = tag_extract (path);
      MetaItem *gst = gst_extract (path);
      g_assert_cmpstr (text_of (tag, "Filename"), ==, path);
      g_assert_cmpstr (text_of (gst, "Filename"), ==, path);
      g_assert_nonnull (find (tag, "MIME"));
      if (i == 0)
        {
          assert_tags (tag, &tagged, TRUE);
          g_assert_cmpint (int_of (tag, "Length"), ==, 3);
          g_assert_cmpint (int_of (tag, "Channels"), ==, c->channels);
          g_assert_cmpint (int_of (tag, "Frequency"), ==, c->frequency);
        }
      meta_free_list (&tag);
      meta_free_list (&gst);
    }
  g_byte_array_unref (file);
  g_unlink (path);
}

static gboolean
has_sample (const TesselMedia *table, const gchar *extension)
{
  for (const TesselMedia *m = table; m->name != NULL; m++)
    {
      const gchar *dot = strrchr (m->name, '.');
      if (dot != NULL && g_ascii_strcasecmp (dot + 1, extension) == 0)
        return TRUE;
    }
  return FALSE;
}

/* Every extension the installed configuration maps to libbrisel_tag has
 * a sample here, or a reason why not; video and playlists stay with
 * libbrisel_gst, and every common video extension is mapped to it. */
static void
test_installed_extensions (void)
{
  g_autofree gchar *conf = g_test_build_filename (
      G_TEST_DIST, "..", "data", "metadata_lib.conf", NULL);
  g_autofree gchar *text = NULL;
  g_assert_true (g_file_get_contents (conf, &text, NULL, NULL));
  g_auto (GStrv) lines = g_strsplit (text, "\n", -1);
  guint tag_extensions = 0;
  static const gchar *const video[] = { "ogv", "mp4", "m4v", "mov", "3gp",
                                        "mkv", "webm", "avi", "wmv", "mpg",
                                        "mpeg", "ts" };
  for (guint i = 0; i < G_N_ELEMENTS (video); i++)
    {
      g_autofree gchar *entry = g_strdup_printf ("\n%s libbrisel_gst\n",
                                                 video[i]);
      if (strstr (text, entry) == NULL)
        g_error ("'%s' is not mapped to libbrisel_gst", video[i]);
    }
  for (gchar **line = lines; *line != NULL; line++)
    {
      g_auto (GStrv) fields = g_strsplit (*line, " ", 2);
      if (fields[0] == NULL || fields[1] == NULL)
        continue;
      if (g_str_equal (fields[1], "libbrisel_gst"))
        {
          g_assert_false (has_sample (extra_media, fields[0]));
          continue;
        }
      if (!g_str_equal (fields[1], "libbrisel_tag"))
        continue;
      tag_extensions++;
      gboolean crafted_sample = FALSE;
      for (guint i = 0; i < G_N_ELEMENTS (crafted); i++)
        crafted_sample |= g_str_has_suffix (crafted[i].name, fields[0]);
      if (!crafted_sample && !has_sample (tessel_media, fields[0])
          && !has_sample (extra_media, fields[0]))
        g_error ("no sample for '%s'", fields[0]);
    }
  g_assert_cmpuint (tag_extensions, ==, 18);
}

/* A sample the test tags with an album artist, a disc and a compilation
 * flag, and what both plug-ins must read of them (-1: no item). */
typedef struct
{
  TesselMedia media; /* name, elements, pipeline */
  gint id3v2_version;
  const gchar *album_artist;
  const gchar *disc;
  const gchar *compilation;
  gint32 want_disc;
  gint32 want_compilation;
} AlbumCase;

#define ALBUM_MEDIA(name, elements, encoder)                                  \
  { name, elements, TONE encoder " ! filesink location=%s", NULL, NULL, NULL, \
    NULL, NULL, 0, NULL, NULL, 0, FALSE, FALSE }

static const AlbumCase album_cases[] = {
  { ALBUM_MEDIA ("album-v23.mp3", "lamemp3enc", "lamemp3enc"), 3,
    "Various Artists", "2/3", "1", 2, 1 },
  { ALBUM_MEDIA ("album-v24.mp3", "lamemp3enc", "lamemp3enc"), 4,
    "Ana \xc3\x96sterberg", "1", "0", 1, -1 },
  { ALBUM_MEDIA ("album.flac", "flacenc", "flacenc"), 0, "Flac Band",
    "2/3", "1", 2, 1 },
  { ALBUM_MEDIA ("album.ogg", "vorbisenc oggmux", "vorbisenc ! oggmux"), 0,
    "Ogg Band", "3", "1", 3, 1 },
  { ALBUM_MEDIA ("album.m4a", "avenc_aac mp4mux", "avenc_aac ! mp4mux"), 0,
    "Mp4 Band", "2/3", "1", 2, 1 },
};

/* Album artist, disc and compilation as both plug-ins read them. */
static void
test_album_keys (gconstpointer data)
{
  const AlbumCase *c = data;
  if (!tessel_media_available (&c->media, media_dir))
    return;
  g_autofree gchar *path = media_path (c->media.name);
  MetaExtractFunc plugins[] = { tag_extract, gst_extract };
  for (guint i = 0; i < G_N_ELEMENTS (plugins); i++)
    {
      MetaItem *list = plugins[i] (path);
      g_assert_cmpstr (text_of (list, "AlbumArtist"), ==, c->album_artist);
      g_assert_cmpint (int_of (list, "Disc"), ==, c->want_disc);
      g_assert_cmpint (int_of (list, "Compilation"), ==, c->want_compilation);
      meta_free_list (&list);
    }
}

/* A field of several values: the first is kept, in every container. */
typedef struct
{
  TesselMedia media; /* name, elements, pipeline */
  gint id3v2_version;
} MultiCase;

#define MULTI_MEDIA(name, elements, encoder)                                  \
  { name, elements, TONE encoder " ! filesink location=%s", NULL, NULL, NULL, \
    NULL, NULL, 0, NULL, NULL, 0, FALSE, FALSE }

static const MultiCase multi_cases[] = {
  { MULTI_MEDIA ("multi.flac", "flacenc", "flacenc"), 0 },
  { MULTI_MEDIA ("multi.ogg", "vorbisenc oggmux", "vorbisenc ! oggmux"), 0 },
  { MULTI_MEDIA ("multi.opus", "opusenc oggmux", "opusenc ! oggmux"), 0 },
  { MULTI_MEDIA ("multi.m4a", "avenc_aac mp4mux", "avenc_aac ! mp4mux"), 0 },
  { MULTI_MEDIA ("multi-v23.mp3", "lamemp3enc", "lamemp3enc"), 3 },
  { MULTI_MEDIA ("multi-v24.mp3", "lamemp3enc", "lamemp3enc"), 4 },
  { MULTI_MEDIA ("multi.wv", "wavpackenc", "wavpackenc"), 0 },
  { MULTI_MEDIA ("multi.wma", "avenc_wmav2 asfmux", "avenc_wmav2 ! asfmux"),
    0 },
};

static const gchar *const two_artists[] = { "First Artist", "Second Artist",
                                            NULL };
static const gchar *const two_albums[] = { "First Album", "Second Album",
                                           NULL };

static void
test_first_value (gconstpointer data)
{
  const MultiCase *c = data;
  if (!tessel_media_available (&c->media, media_dir))
    return;
  g_autofree gchar *path = media_path (c->media.name);
  MetaItem *list = tag_extract (path);
  g_assert_cmpstr (text_of (list, "Artist"), ==, "First Artist");
  g_assert_cmpstr (text_of (list, "Album"), ==, "First Album");
  meta_free_list (&list);
}

/* A made sample changed byte by byte, and what must be read of it (NULL:
 * no item; length -1: no "Length"). */
typedef struct
{
  const gchar *name;
  const gchar *source; /* a sample of extra_media[] or tessel_media[] */
  void (*patch) (GByteArray *file);
  const gchar *title;
  const gchar *artist;
  const gchar *comment;
  gint32 length;
  const gchar *codec; /* NULL: not asserted */
} PatchCase;

/* The offset of needle in file at or after from; fails the test when
 * there is none. */
static guint
offset_of (GByteArray *file, guint from, const gchar *needle)
{
  gsize n = strlen (needle);
  for (guint i = from; i + n <= file->len; i++)
    if (memcmp (file->data + i, needle, n) == 0)
      return i;
  g_error ("no '%s' in the sample", needle);
  return 0;
}

/* An MP4 whose audio track is of a codec no decoder knows. */
static void
patch_codec (GByteArray *file)
{
  memcpy (file->data + offset_of (file, offset_of (file, 0, "stsd"), "mp4a"),
          "zzzz", 4);
}

/* An atom behind the last one whose size is smaller than its header. */
static void
patch_trailing (GByteArray *file)
{
  g_byte_array_append (file, (const guint8 *) "\0\0\0\4free", 8);
}

/* STREAMINFO's block header says 0 bytes, or more than the file holds. */
static void
patch_streaminfo_zero (GByteArray *file)
{
  g_assert_cmpint (memcmp (file->data, "fLaC", 4), ==, 0);
  memset (file->data + 5, 0, 3);
}

static void
patch_streaminfo_huge (GByteArray *file)
{
  g_assert_cmpint (memcmp (file->data, "fLaC", 4), ==, 0);
  memset (file->data + 5, 0xff, 3);
}

/* AIFF's NAME, AUTH and ANNO chunks behind the sound (ANNO of odd size,
 * padded), the FORM size grown to hold them. */
static void
patch_text_chunks (GByteArray *file)
{
  static const gchar *const chunks[][2] = {
    { "NAME", "Chunk Song" }, { "AUTH", "Chunk Artist" },
    { "ANNO", "A note." },
  };
  for (guint i = 0; i < G_N_ELEMENTS (chunks); i++)
    {
      guint32 size = strlen (chunks[i][1]);
      guint8 header[8];
      memcpy (header, chunks[i][0], 4);
      for (int b = 0; b < 4; b++)
        header[4 + b] = (size >> (24 - 8 * b)) & 0xff;
      g_byte_array_append (file, header, sizeof header);
      put_text (file, chunks[i][1]);
      if (size & 1)
        g_byte_array_append (file, (const guint8 *) "", 1);
    }
  guint32 form = file->len - 8;
  for (int b = 0; b < 4; b++)
    file->data[4 + b] = (form >> (24 - 8 * b)) & 0xff;
}

/* Both: neither the tag library nor a decoder takes the file. */
static void
patch_codec_and_atom (GByteArray *file)
{
  patch_codec (file);
  patch_trailing (file);
}

static const PatchCase patch_cases[] = {
  { "unknown-codec.m4a", "tagged.m4a", patch_codec, "Song", "Singer", NULL, 3,
    NULL },
  { "bad-last-atom.m4b", "lossless.m4b", patch_trailing, "Song", "Singer",
    NULL, 3, "Apple lossless audio" },
  { "bad-last-atom.m4a", "tagged.m4a", patch_trailing, "Song", "Singer",
    NULL, 3, "MPEG-4 AAC audio" },
  { "bad-last-atom-unknown-codec.m4a", "tagged.m4a", patch_codec_and_atom,
    "Song", "Singer", NULL, 3, NULL },
  { "zero-streaminfo.flac", "tagged.flac", patch_streaminfo_zero, "Flac Song",
    "Flac Artist", NULL, 3, "Free Lossless Audio Codec (FLAC)" },
  { "huge-streaminfo.flac", "tagged.flac", patch_streaminfo_huge,
    "Flac Song", "Flac Artist", NULL, 3, "Free Lossless Audio Codec (FLAC)" },
  { "text-chunks.aiff", "plain.aiff", patch_text_chunks, "Chunk Song",
    "Chunk Artist", "A note.", 3, NULL },
  /* The ID3 chunk's tags win over the text chunks. */
  { "text-chunks-id3.aiff", "tagged.aiff", patch_text_chunks, "Song",
    "Singer", "A note.", 3, NULL },
};

static void
test_patched (gconstpointer data)
{
  const PatchCase *c = data;
  const TesselMedia *m = NULL;
  const TesselMedia *tables[] = { tessel_media, extra_media };
  for (guint t = 0; t < G_N_ELEMENTS (tables); t++)
    for (const TesselMedia *i = tables[t]; i->name != NULL; i++)
      if (g_str_equal (i->name, c->source))
        m = i;
  g_assert_nonnull (m);
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *source = media_path (m->name);
  g_autofree gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (source, &bytes, &size, NULL));
  GByteArray *file = g_byte_array_new ();
  g_byte_array_append (file, (const guint8 *) bytes, size);
  c->patch (file);
  g_autofree gchar *path = media_path (c->name);
  g_assert_true (g_file_set_contents (path, (const gchar *) file->data,
                                      file->len, NULL));
  g_byte_array_unref (file);

  MetaItem *list = tag_extract (path);
  g_assert_cmpstr (text_of (list, "Title"), ==, c->title);
  g_assert_cmpstr (text_of (list, "Artist"), ==, c->artist);
  g_assert_cmpstr (text_of (list, "Comment"), ==, c->comment);
  g_assert_cmpint (int_of (list, "Length"), ==, c->length);
  if (c->codec != NULL)
    g_assert_cmpstr (text_of (list, "Codec"), ==, c->codec);
  meta_free_list (&list);
  g_unlink (path);
}

/* An ID3v2 frame as it is stored: its header says declared bytes (-1: the
 * text's length and the encoding byte), then the encoding byte and the
 * text, none of them when the frame is empty. */
typedef struct
{
  const gchar *id;
  const gchar *text;
  gsize length;
  gint declared;
} FrameLayout;

/* Hand-made tags of quirks and bad text, in front of tagged.mp3's audio;
 * what must be read of them (a NULL title: the file's name). */
typedef struct
{
  const gchar *name;
  gint version;
  guint8 encoding;
  FrameLayout frames[3];
  const gchar *title;
  const gchar *artist;
  const gchar *album;
} Id3Case;

#define FFFD "\xef\xbf\xbd"
#define TEXT(s) s, sizeof s - 1

static const Id3Case id3_cases[] = {
  { "v23-two-values", 3, 0,
    { { "TPE1", TEXT ("First\0Second"), -1 }, { "TALB", TEXT ("Record"), -1 } },
    NULL, "First", "Record" },
  { "invalid-utf8", 4, 3,
    { { "TIT2", TEXT ("Caf\xe9 Song"), -1 },
      { "TPE1", TEXT ("Bad \xe2\x82x"), -1 },
      { "TALB", TEXT ("\xff\xc0\xafRecord"), -1 } },
    "Caf" FFFD " Song", "Bad " FFFD "x", FFFD FFFD FFFD "Record" },
  { "invalid-utf8-v23", 3, 3,
    { { "TPE1", TEXT ("Sing\xc3" "er"), -1 },
      { "TALB", TEXT ("Record \xed\xa0\x80"), -1 } },
    NULL, "Sing" FFFD "er", "Record " FFFD FFFD FFFD },
  { "empty-frame-first", 3, 0,
    { { "TIT2", TEXT (""), 0 }, { "TPE1", TEXT ("Singer"), -1 },
      { "TALB", TEXT ("Record"), -1 } },
    NULL, "Singer", "Record" },
  { "empty-frame-first-v24", 4, 3,
    { { "TCON", TEXT (""), 0 }, { "TPE1", TEXT ("Singer"), -1 },
      { "TALB", TEXT ("Record"), -1 } },
    NULL, "Singer", "Record" },
  { "cut-at-tag-end", 4, 3,
    { { "TPE1", TEXT ("Singer"), -1 }, { "TALB", TEXT ("Record"), 40 } },
    NULL, "Singer", "Record" },
  { "cut-at-tag-end-v23", 3, 0,
    { { "TIT2", TEXT ("Song"), -1 }, { "TPE1", TEXT ("Singer"), 300 } },
    "Song", "Singer", NULL },
};

/* One frame, in the frame format of version 3 or 4. */
static void
add_id3_frame (GByteArray *tag, gint version, guint8 encoding,
               const FrameLayout *frame)
{
  guint32 size = frame->declared >= 0 ? (guint32) frame->declared
                                      : frame->length + 1;
  guint8 header[10] = { 0 };
  memcpy (header, frame->id, 4);
  for (int b = 0; b < 4; b++)
    header[4 + b] = version == 4 ? (size >> (21 - 7 * b)) & 0x7f
                                 : (size >> (24 - 8 * b)) & 0xff;
  g_byte_array_append (tag, header, sizeof header);
  if (frame->declared == 0)
    return;
  g_byte_array_append (tag, &encoding, 1);
  g_byte_array_append (tag, (const guint8 *) frame->text, frame->length);
}

static void
test_id3v2_bytes (gconstpointer data)
{
  const Id3Case *c = data;
  const TesselMedia *mp3 = &tessel_media[2];
  if (!tessel_media_available (mp3, media_dir))
    return;
  g_autofree gchar *source = media_path (mp3->name);
  g_autofree gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (source, &bytes, &size, NULL));
  gsize audio = tags_end ((const guchar *) bytes, size);

  GByteArray *frames = g_byte_array_new ();
  for (guint i = 0; i < G_N_ELEMENTS (c->frames); i++)
    if (c->frames[i].id != NULL)
      add_id3_frame (frames, c->version, c->encoding, &c->frames[i]);
  GByteArray *file = g_byte_array_new ();
  guint8 header[10] = { 'I', 'D', '3', (guint8) c->version, 0, 0 };
  for (int b = 0; b < 4; b++)
    header[6 + b] = (frames->len >> (21 - 7 * b)) & 0x7f;
  g_byte_array_append (file, header, sizeof header);
  g_byte_array_append (file, frames->data, frames->len);
  g_byte_array_append (file, (const guint8 *) bytes + audio, size - audio);
  g_byte_array_unref (frames);
  g_autofree gchar *name = g_strdup_printf ("%s.mp3", c->name);
  g_autofree gchar *path = media_path (name);
  g_assert_true (g_file_set_contents (path, (const gchar *) file->data,
                                      file->len, NULL));
  g_byte_array_unref (file);

  MetaItem *list = tag_extract (path);
  g_assert_cmpstr (text_of (list, "Title"), ==,
                   c->title != NULL ? c->title : name);
  g_assert_cmpstr (text_of (list, "Artist"), ==, c->artist);
  g_assert_cmpstr (text_of (list, "Album"), ==, c->album);
  g_assert_cmpint (abs (int_of (list, "Length") - mp3->length), <=, 1);
  meta_free_list (&list);
  g_unlink (path);
}

/* A tenth of a second of tone: decodable files shorter than a second are
 * 0 seconds long. */
#define SHORT_TONE "audiotestsrc num-buffers=10 samplesperbuffer=441 ! " \
                   "audio/x-raw,rate=44100,channels=1 ! audioconvert ! "
#define SHORT_MEDIA(name, elements, encoder)                          \
  { name, elements, SHORT_TONE encoder " ! filesink location=%s",    \
    NULL, name, NULL, NULL, NULL, 0, NULL, NULL, 0, FALSE, TRUE }

static const TesselMedia short_media[] = {
  SHORT_MEDIA ("short.mp3", "lamemp3enc",
               "lamemp3enc target=bitrate cbr=true bitrate=64"),
  SHORT_MEDIA ("short-vbr.mp3", "lamemp3enc", "lamemp3enc"),
  SHORT_MEDIA ("short.ogg", "vorbisenc oggmux", "vorbisenc ! oggmux"),
  SHORT_MEDIA ("short.wav", "wavenc", "wavenc"),
  SHORT_MEDIA ("short.m4a", "avenc_aac mp4mux", "avenc_aac ! mp4mux"),
  { NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, 0, FALSE,
    FALSE },
};

static void
test_short (gconstpointer data)
{
  const TesselMedia *m = data;
  if (!tessel_media_available (m, media_dir))
    return;
  g_autofree gchar *path = media_path (m->name);
  MetaItem *list = tag_extract (path);
  g_assert_cmpstr (text_of (list, "Title"), ==, m->title);
  g_assert_cmpint (int_of (list, "Length"), ==, 0);
  meta_free_list (&list);
}

/* Makes the samples of the tables above and adds their tests. */
static void
add_odd_samples (void)
{
  for (guint i = 0; i < G_N_ELEMENTS (multi_cases); i++)
    {
      const MultiCase *c = &multi_cases[i];
      TesselMedia one[2] = { c->media };
      g_autofree gchar *path = media_path (c->media.name);
      if (tessel_media_make_table (one, media_dir) == 1)
        {
          g_assert_true (tessel_tag_write_values (path, "ARTIST", two_artists,
                                                  c->id3v2_version));
          g_assert_true (tessel_tag_write_values (path, "ALBUM", two_albums,
                                                  c->id3v2_version));
        }
      g_autofree gchar *test = g_strdup_printf ("/brisel-tag/first-value/%s",
                                                c->media.name);
      g_test_add_data_func (test, c, test_first_value);
    }
  for (guint i = 0; i < G_N_ELEMENTS (patch_cases); i++)
    {
      g_autofree gchar *test = g_strdup_printf ("/brisel-tag/patched/%s",
                                                patch_cases[i].name);
      g_test_add_data_func (test, &patch_cases[i], test_patched);
    }
  for (guint i = 0; i < G_N_ELEMENTS (id3_cases); i++)
    {
      g_autofree gchar *test = g_strdup_printf ("/brisel-tag/id3v2-bytes/%s",
                                                id3_cases[i].name);
      g_test_add_data_func (test, &id3_cases[i], test_id3v2_bytes);
    }
  tessel_media_make_table (short_media, media_dir);
  for (const TesselMedia *m = short_media; m->name != NULL; m++)
    {
      g_autofree gchar *test = g_strdup_printf ("/brisel-tag/short/%s",
                                                m->name);
      g_test_add_data_func (test, m, test_short);
    }
}

static MetaExtractFunc
load_entry (const gchar *soname)
{
  void *plugin = dlopen (soname, RTLD_LAZY | RTLD_LOCAL);
  if (plugin == NULL)
    g_error ("cannot load %s: %s", soname, dlerror ());
  MetaExtractFunc f = (MetaExtractFunc) dlsym (plugin, "get_metadata");
  if (f == NULL)
    g_error ("%s has no get_metadata", soname);
  return f;
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-brisel-tag");
  g_test_init (&argc, &argv, NULL);
  /* The plug-ins read no more of a file than libtessel's configuration
   * lets them map; this process stands in for the loader, which has it
   * loaded (an MPEG stream is only walked within the limit). */
  config.max_file_sz = 5242880;
  tag_extract = load_entry ("libbrisel_tag.so.0");
  gst_extract = load_entry ("libbrisel_gst.so.0");

  GError *error = NULL;
  media_dir = g_dir_make_tmp ("tessel-tag-XXXXXX", &error);
  g_assert_no_error (error);
  tessel_media_make (media_dir);
  tessel_media_make_table (extra_media, media_dir);
  for (const TesselMedia *m = extra_media; m->name != NULL; m++)
    {
      g_autofree gchar *path = media_path (m->name);
      if (m->artist != NULL && strstr (m->pipeline, "taginject") == NULL
          && g_file_test (path, G_FILE_TEST_EXISTS))
        g_assert_true (tessel_tag_write (path, m));
    }

  for (guint i = 0; i < G_N_ELEMENTS (album_cases); i++)
    {
      const AlbumCase *c = &album_cases[i];
      TesselMedia one[2] = { c->media };
      g_autofree gchar *path = media_path (c->media.name);
      if (tessel_media_make_table (one, media_dir) == 1)
        g_assert_true (tessel_tag_write_album (path, c->album_artist, c->disc,
                                               c->compilation,
                                               c->id3v2_version));
      g_autofree gchar *test = g_strdup_printf ("/brisel-tag/album-keys/%s",
                                                c->media.name);
      g_test_add_data_func (test, c, test_album_keys);
    }

  const TesselMedia *tables[] = { tessel_media, extra_media };
  for (guint t = 0; t < G_N_ELEMENTS (tables); t++)
    for (const TesselMedia *m = tables[t]; m->name != NULL; m++)
      {
        g_autofree gchar *path = g_strdup_printf ("/brisel-tag/agree/%s",
                                                  m->name);
        g_test_add_data_func (path, m, test_agree);
        g_autofree gchar *read_only = g_strdup_printf (
            "/brisel-tag/read-only/%s", m->name);
        g_test_add_data_func (read_only, m, test_read_only);
      }

  static DamageCase damage_cases[4 * 3];
  const gchar *damage_samples[] = { "tagged.mp3", "tagged.ogg",
                                    "tagged.flac" };
  guint n = 0;
  for (guint s = 0; s < G_N_ELEMENTS (damage_samples); s++)
    for (int d = DAMAGE_HEADER_ONLY; d <= DAMAGE_ZEROED_FRAMES; d++, n++)
      {
        damage_cases[n].name = damage_samples[s];
        damage_cases[n].damage = d;
        g_autofree gchar *path = g_strdup_printf (
            "/brisel-tag/damaged/%s/%s", damage_names[d], damage_samples[s]);
        g_test_add_data_func (path, &damage_cases[n], test_damaged);
      }
  for (guint i = 0; i < G_N_ELEMENTS (tag_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf ("/brisel-tag/rules/%s",
                                                tag_cases[i].name);
      g_test_add_data_func (path, &tag_cases[i], test_tag_rules);
    }
  for (guint i = 0; i < G_N_ELEMENTS (crafted); i++)
    {
      g_autofree gchar *path = g_strdup_printf ("/brisel-tag/crafted/%s",
                                                crafted[i].name);
      g_test_add_data_func (path, &crafted[i], test_crafted);
    }
  add_odd_samples ();
  g_test_add_func ("/brisel-tag/hand-over", test_hand_over);
  g_test_add_func ("/brisel-tag/installed-extensions",
                   test_installed_extensions);
  int status = g_test_run ();

  g_autoptr (GDir) dir = g_dir_open (media_dir, 0, NULL);
  const gchar *entry;
  while (dir != NULL && (entry = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *path = media_path (entry);
      g_unlink (path);
    }
  g_rmdir (media_dir);
  g_free (media_dir);
  return status;
}
