/* libFuzzer target: libbrisel_tag's own header readers (MP4 atoms, FLAC
 * blocks, Vorbis comments, ID3v2 frames, AIFF and WAV chunks) on the
 * fuzzer's bytes held in memory, each reader on the same bytes.
 *
 * Beyond "no crash, no bad memory access, no leak": every text a reader
 * gives is valid UTF-8, and a length it finds is not negative but for
 * the -1 of none. */
#include <stdlib.h>

#include <vector>

#include "brisel_headers-private.h"

static void
check (const BriselFields &f)
{
  const std::string *texts[] = { &f.title, &f.artist, &f.album,
                                 &f.genre, &f.date, &f.track,
                                 &f.album_artist, &f.disc, &f.compilation,
                                 &f.comment };
  for (const std::string *t : texts)
    if (!g_utf8_validate (t->data (), static_cast<gssize> (t->size ()), NULL))
      abort ();
}

static void
check (const BriselHeaders &h)
{
  check (h.fields);
  if (h.milliseconds < -1 || h.bitrate < 0 || h.channels < 0
      || h.frequency < 0)
    abort ();
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  /* A copy of the input's own size, so that a read past it is caught. */
  std::vector<guchar> bytes (data, data + size);
  const BriselSource source (bytes.data (), bytes.size ());

  BriselHeaders mp4, flac;
  brisel_read_mp4 (source, &mp4);
  check (mp4);
  brisel_read_flac (source, &flac);
  check (flac);

  BriselFields comment, id3, iff;
  brisel_read_vorbis_comment (bytes.data (), bytes.size (), &comment);
  check (comment);
  brisel_read_id3v2 (source, 0, &id3);
  check (id3);
  brisel_read_iff (source, &iff);
  check (iff);

  const std::string repaired = brisel_utf8_repair (
      reinterpret_cast<const char *> (bytes.data ()), bytes.size ());
  if (!g_utf8_validate (repaired.data (),
                        static_cast<gssize> (repaired.size ()), NULL))
    abort ();
  return 0;
}
