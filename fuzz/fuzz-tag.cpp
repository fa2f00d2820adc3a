/* libFuzzer target: libbrisel_tag's entry point get_metadata on a file
 * holding the fuzzer's bytes, under each name the tag library picks a
 * reader by; the MPEG frame walk on the same bytes, held in memory as its
 * first and last bytes, whatever the tag library makes of them; and the
 * picture check of album covers on them.  Embedded pictures of a file
 * with an album go through the cover search into a media-art cache in a
 * temporary folder (the seeds tests/fuzz make carry pictures).
 *
 * What is checked is our side: whatever the headers hold, the entry point
 * must not crash, let an exception out, read bad memory or leak, and its
 * list must hold "Filename" with the file's name.  Inputs the tag library
 * gives up on go to GStreamer, so a run may take up to the pre-roll
 * timeout: give -max_total_time. */
#include <string.h>

#include <vector>

#include "brisel_cover-private.h"
#include "brisel_mpeg-private.h"
#include "brisel_tag.h"
#include "fuzz-input.h"
#include "metadata_conf.h"

/* One input file per reader: the first byte of the input picks it. */
static const char *const templates[] = {
  "fuzz-tag-XXXXXX.mp3", "fuzz-tag-XXXXXX.ogg", "fuzz-tag-XXXXXX.flac",
  "fuzz-tag-XXXXXX.m4a", "fuzz-tag-XXXXXX.wma", "fuzz-tag-XXXXXX.wav",
  "fuzz-tag-XXXXXX.aiff", "fuzz-tag-XXXXXX.ape", "fuzz-tag-XXXXXX.wv",
  "fuzz-tag-XXXXXX.mpc", "fuzz-tag-XXXXXX.opus", "fuzz-tag-XXXXXX.spx",
};

/* The walk on bytes as a file would show them: the whole as its mapped
 * head, its last bytes as the tail.  A length it finds must be a sane
 * one. */
static void
walk_bytes (const uint8_t *data, size_t size)
{
  if (size == 0 || size > G_MAXUINT32)
    return;
  /* Copies, so that a read past either end is caught. */
  std::vector<guchar> head (data, data + size);
  const size_t tail_length = MIN (size, static_cast<size_t> (160));
  std::vector<guchar> tail (data + size - tail_length, data + size);
  BriselMpegLength found;
  if (!brisel_mpeg_scan (head.data (), static_cast<guint32> (size), size,
                         tail.data (), static_cast<guint32> (tail_length),
                         &found))
    return;
  if (found.milliseconds < 0 || found.bitrate <= 0
      || (!found.constant && found.frames == 0))
    abort ();
}

/* The picture check on a copy of the bytes, so that a read past the end
 * is caught; a whole picture starts as its kind says. */
static void
check_picture (const uint8_t *data, size_t size)
{
  std::vector<guchar> copy (data, data + size);
  BriselImage kind = brisel_image_kind (copy.data (), copy.size ());
  if ((kind == BriselImage::JPEG && (size < 4 || copy[0] != 0xff))
      || (kind == BriselImage::PNG && (size < 8 || copy[0] != 0x89)))
    abort ();
}

extern "C" int
LLVMFuzzerInitialize (int *argc, char ***argv)
{
  (void) argc;
  (void) argv;
  /* Covers go to a cache of the run's own, never the user's; the
   * configured limit bounds the pictures read. */
  static gchar *cache = g_dir_make_tmp ("fuzz-tag-cache-XXXXXX", NULL);
  if (cache == NULL)
    abort ();
  g_setenv ("XDG_CACHE_HOME", cache, TRUE);
  config.max_file_sz = 5242880;
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (size == 0)
    return 0;
  walk_bytes (data + 1, size - 1);
  check_picture (data + 1, size - 1);
  static gchar *paths[G_N_ELEMENTS (templates)];
  const size_t which = data[0] % G_N_ELEMENTS (templates);
  /* fuzz_input_write keeps one file; each reader gets a file of its own
   * by renaming that one under the reader's extension. */
  const gchar *input = fuzz_input_write ("fuzz-tag-XXXXXX", data + 1,
                                         size - 1);
  if (paths[which] == NULL)
    {
      int fd = g_file_open_tmp (templates[which], &paths[which], NULL);
      if (fd < 0)
        abort ();
      close (fd);
    }
  if (g_rename (input, paths[which]) != 0)
    abort ();

  MetaItem *list = get_metadata (paths[which]);
  bool named = false;
  for (MetaItem *i = list; i != NULL; i = i->next)
    if (strcmp (i->key, "Filename") == 0
        && strcmp (i->value, paths[which]) == 0)
      named = true;
  if (!named)
    abort ();
  meta_free_list (&list);
  /* Back under the name fuzz_input_write rewrites. */
  if (g_rename (paths[which], input) != 0)
    abort ();
  return 0;
}
