/* A realistic mixed corpus for the indexing benchmarks: COUNT distinct
 * tagged files in folders artist/album/, in five formats (MP3 with an
 * Info header, Ogg Vorbis, FLAC, M4A and Opus), of three lengths each.
 *   bench-corpus DIR COUNT
 * Fifteen short base files are encoded once with GStreamer into DIR/base;
 * every corpus file is a copy of one of them given tags of its own with
 * the tag library, which takes a millisecond where encoding takes a
 * second.  The corpus goes to DIR/corpus-COUNT, made under a temporary
 * name and renamed when whole, so a run that was cut short is made again;
 * an existing corpus is kept.  Prints the corpus folder. */
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include <glib.h>
#include <glib/gstdio.h>

#include "tessel-media.h"
#include "tessel-tag-write.h"

namespace
{

#define SOURCE(tenths)                                                        \
  "audiotestsrc wave=pink-noise num-buffers=" #tenths                         \
  " samplesperbuffer=4410 ! audio/x-raw,rate=44100,channels=2 ! "             \
  "audioconvert ! "
#define MP3 "lamemp3enc target=quality quality=6 ! xingmux ! filesink location=%s"
#define OGG "vorbisenc quality=0.2 ! oggmux ! filesink location=%s"
#define FLAC "flacenc ! filesink location=%s"
#define M4A "avenc_aac ! mp4mux ! filesink location=%s"
#define OPUS "audioresample ! opusenc ! oggmux ! filesink location=%s"

#define BASE(name, elements, tenths, encode)                                  \
  { name, "audiotestsrc audioconvert " elements, SOURCE (tenths) encode,      \
    NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, -1, FALSE, FALSE }

const TesselMedia bases[] = {
  BASE ("a.mp3", "lamemp3enc xingmux", 20, MP3),
  BASE ("b.mp3", "lamemp3enc xingmux", 35, MP3),
  BASE ("c.mp3", "lamemp3enc xingmux", 50, MP3),
  BASE ("a.ogg", "vorbisenc oggmux", 20, OGG),
  BASE ("b.ogg", "vorbisenc oggmux", 35, OGG),
  BASE ("c.ogg", "vorbisenc oggmux", 50, OGG),
  BASE ("a.flac", "flacenc", 10, FLAC),
  BASE ("b.flac", "flacenc", 15, FLAC),
  BASE ("c.flac", "flacenc", 20, FLAC),
  BASE ("a.m4a", "avenc_aac mp4mux", 20, M4A),
  BASE ("b.m4a", "avenc_aac mp4mux", 35, M4A),
  BASE ("c.m4a", "avenc_aac mp4mux", 50, M4A),
  BASE ("a.opus", "audioresample opusenc oggmux", 20, OPUS),
  BASE ("b.opus", "audioresample opusenc oggmux", 35, OPUS),
  BASE ("c.opus", "audioresample opusenc oggmux", 50, OPUS),
  { NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, -1, FALSE,
    FALSE },
};

const char *const genres[]
    = { "Rock", "Jazz", "Pop", "Folk", "Classical", "Blues", "Électronique" };

gboolean
copy_file (const gchar *from, const gchar *to)
{
  gchar *data = NULL;
  gsize length = 0;
  if (!g_file_get_contents (from, &data, &length, NULL))
    return FALSE;
  gboolean ok = g_file_set_contents (to, data, length, NULL);
  g_free (data);
  return ok;
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc != 3 || atoi (argv[2]) < 1)
    {
      fprintf (stderr, "usage: bench-corpus DIR COUNT\n");
      return 2;
    }
  const int count = atoi (argv[2]);
  g_autofree gchar *corpus
      = g_strdup_printf ("%s/corpus-%d", argv[1], count);
  if (g_file_test (corpus, G_FILE_TEST_IS_DIR))
    {
      printf ("%s\n", corpus);
      return 0;
    }

  g_autofree gchar *base_dir = g_build_filename (argv[1], "base", NULL);
  g_mkdir_with_parents (base_dir, 0755);
  g_autofree gchar *registry
      = g_build_filename (argv[1], "gst-registry.bin", NULL);
  g_setenv ("GST_REGISTRY", registry, FALSE);
  std::vector<const TesselMedia *> made;
  for (const TesselMedia *m = bases; m->name != NULL; m++)
    {
      g_autofree gchar *path = g_build_filename (base_dir, m->name, NULL);
      const TesselMedia one[] = { *m, bases[G_N_ELEMENTS (bases) - 1] };
      if (!g_file_test (path, G_FILE_TEST_EXISTS))
        tessel_media_make_table (one, base_dir);
      if (g_file_test (path, G_FILE_TEST_EXISTS))
        made.push_back (m);
    }
  if (made.empty ())
    {
      fprintf (stderr, "bench-corpus: no encoder made a file\n");
      return 1;
    }

  g_autofree gchar *part = g_strconcat (corpus, ".part", NULL);
  for (int i = 0; i < count; i++)
    {
      /* Each base in turn; 12 songs an album, 4 albums an artist. */
      const TesselMedia *base = made[i % made.size ()];
      g_autofree gchar *base_path
          = g_build_filename (base_dir, base->name, NULL);
      int album = i / 12, artist = album / 4;
      g_autofree gchar *artist_name
          = g_strdup_printf ("Artist %d", artist + 1);
      g_autofree gchar *album_name = g_strdup_printf (
          "%s of %s", album % 2 ? "Songs" : "Tales", artist_name);
      g_autofree gchar *title
          = g_strdup_printf ("Song %d of '%s'", i % 12 + 1, album_name);
      g_autofree gchar *year = g_strdup_printf ("%d", 1960 + album % 60);
      g_autofree gchar *folder
          = g_strdup_printf ("%s/%s/%s", part, artist_name, album_name);
      g_mkdir_with_parents (folder, 0755);
      g_autofree gchar *path = g_strdup_printf (
          "%s/%02d %s%s", folder, i % 12 + 1, title, strrchr (base->name, '.'));
      TesselMedia tags = *base;
      tags.title = title;
      tags.artist = artist_name;
      tags.album = album_name;
      tags.genre = genres[artist % G_N_ELEMENTS (genres)];
      tags.track = i % 12 + 1;
      tags.year = year;
      if (!copy_file (base_path, path) || !tessel_tag_write (path, &tags))
        {
          fprintf (stderr, "bench-corpus: cannot write %s\n", path);
          return 1;
        }
    }
  if (g_rename (part, corpus) != 0)
    {
      fprintf (stderr, "bench-corpus: cannot rename %s\n", part);
      return 1;
    }
  printf ("%s\n", corpus);
  return 0;
}
