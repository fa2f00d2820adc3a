/* The length of an MPEG audio stream without a Xing, Info or VBRI header.
 *
 * Such a stream says nothing of its length: the first frame's bitrate
 * over the stream's size is right only at a constant bitrate, and a
 * decoder's estimate after a few frames is several percent off for a
 * variable one.  A few frames across the stream tell which it is; a
 * variable stream has its frame headers walked (four bytes read a frame),
 * and its frames times their samples over the sample rate is its length.
 *
 * Every byte is read through the plug-in's bounded readers, and no more
 * of a file than the configured mapping limit (meta_mmap) plus its last
 * bytes: a longer variable stream has the walked part's length scaled to
 * its whole size. */
#include "brisel_mpeg-private.h"
#include "brisel_gst.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

/* Bytes after the leading tags within which the first frame must start. */
constexpr guint64 first_frame_slack = 4096;
/* Frames that must follow the first one, in step, for it to count. */
constexpr int confirming_frames = 3;
/* Places across the stream whose frame's bitrate is compared with the
 * first one's. */
constexpr int bitrate_samples = 16;
/* The end of a file that may hold tags: ID3v1 (128 bytes) behind an APE
 * tag's footer (32 bytes). */
constexpr guint32 tail_size = 128 + 32;

/* kbit/s by [MPEG-1 or not][layer - 1][index]; index 0 is free format,
 * which this reader does not take (its frame size is not in the header). */
const guint16 bitrate_table[2][3][15] = {
  { { 0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448 },
    { 0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384 },
    { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 } },
  { { 0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256 },
    { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160 },
    { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160 } },
};

/* Hz by [version][index]: MPEG-1, MPEG-2, MPEG-2.5. */
const guint32 rate_table[3][3] = {
  { 44100, 48000, 32000 }, { 22050, 24000, 16000 }, { 11025, 12000, 8000 },
};

struct Frame
{
  guint version = 0; /* 0: MPEG-1, 1: MPEG-2, 2: MPEG-2.5 */
  guint layer = 0;
  guint32 rate = 0;
  guint32 bitrate = 0; /* bits per second */
  guint32 length = 0;  /* bytes, header included */
  guint32 samples = 0;
  bool mono = false;
};

/* The bytes a scan may read: the file's first head_length bytes, of which
 * the audio lies in [start, end) (end is in file terms and may lie past
 * the head). */
struct Stream
{
  const guchar *head;
  guint32 head_length;
  guint64 start;
  guint64 end;

  /* Where a frame header may start and still be read. */
  guint64
  readable () const
  {
    return MIN (end, static_cast<guint64> (head_length));
  }
};

bool
same_stream (const Frame &a, const Frame &b)
{
  return a.version == b.version && a.layer == b.layer && a.rate == b.rate;
}

/* The frame whose header is at offset; false when there is none. */
bool
read_frame (const Stream &s, guint64 offset, Frame *frame)
{
  guint32 word;
  if (offset >= s.readable ()
      || !meta_ext_read_int_be (s.head, s.head_length,
                                static_cast<guint32> (offset), &word))
    return false;
  if ((word & 0xffe00000u) != 0xffe00000u)
    return false;
  const guint version_bits = (word >> 19) & 3;
  const guint layer_bits = (word >> 17) & 3;
  const guint bitrate_index = (word >> 12) & 15;
  const guint rate_index = (word >> 10) & 3;
  /* Reserved values, free format, and the reserved emphasis are taken
   * for a false sync. */
  if (version_bits == 1 || layer_bits == 0 || bitrate_index == 0
      || bitrate_index == 15 || rate_index == 3 || (word & 3) == 2)
    return false;

  Frame f;
  f.version = version_bits == 3 ? 0 : version_bits == 2 ? 1 : 2;
  f.layer = 4 - layer_bits;
  f.rate = rate_table[f.version][rate_index];
  f.bitrate = bitrate_table[f.version == 0 ? 0 : 1][f.layer - 1][bitrate_index]
              * 1000u;
  f.mono = ((word >> 6) & 3) == 3;
  const guint32 padding = (word >> 9) & 1;
  if (f.layer == 1)
    {
      f.samples = 384;
      f.length = (12 * f.bitrate / f.rate + padding) * 4;
    }
  else
    {
      /* MPEG-2 and 2.5 put half the samples in a layer III frame. */
      f.samples = f.layer == 3 && f.version != 0 ? 576 : 1152;
      f.length = f.samples / 8 * f.bitrate / f.rate + padding;
    }
  *frame = f;
  return true;
}

/* TRUE when the count frames after the one at offset follow it in step,
 * or the stream ends right behind it, or the readable bytes end first. */
bool
frames_follow (const Stream &s, guint64 offset, const Frame &frame, int count)
{
  Frame f = frame;
  for (int i = 0; i < count; i++)
    {
      offset += f.length;
      if (offset == s.end || offset >= s.readable ())
        return offset <= s.end;
      Frame next;
      if (!read_frame (s, offset, &next) || !same_stream (next, frame))
        return false;
      f = next;
    }
  return true;
}

/* The first frame at or after from and before limit that is in step with
 * like (any, when like is NULL) and is followed by count more. */
bool
find_frame (const Stream &s, guint64 from, guint64 limit, const Frame *like,
            int count, guint64 *offset, Frame *frame)
{
  limit = MIN (limit, s.readable ());
  for (guint64 o = from; o < limit; o++)
    {
      guchar byte;
      if (!meta_ext_read_char (s.head, s.head_length,
                               static_cast<guint32> (o), &byte)
          || byte != 0xff)
        continue;
      Frame f;
      if (!read_frame (s, o, &f) || (like != NULL && !same_stream (f, *like))
          || !frames_follow (s, o, f, count))
        continue;
      *offset = o;
      *frame = f;
      return true;
    }
  return false;
}

/* Where the audio starts: behind the ID3v2 tags at the front. */
guint64
skip_id3v2 (const guchar *head, guint32 head_length)
{
  guint64 offset = 0;
  gchar header[11];
  while (offset < head_length
         && meta_ext_read_string (head, head_length,
                                  static_cast<guint32> (offset), header, 10)
         && memcmp (header, "ID3", 3) == 0)
    {
      guint32 size = 0;
      for (int i = 6; i < 10; i++)
        {
          const guchar byte = static_cast<guchar> (header[i]);
          if (byte & 0x80)
            return offset; /* not a tag's size: no tag */
          size = size << 7 | byte;
        }
      /* Version 2.4 may put a copy of the header behind the tag. */
      const bool footer = header[3] == 4 && (header[5] & 0x10) != 0;
      offset += 10 + static_cast<guint64> (size) + (footer ? 10 : 0);
    }
  return offset;
}

/* Whether text lies at pos of the file, of which tail holds the last
 * tail_length bytes. */
bool
tail_has (const guchar *tail, guint32 tail_length, guint64 file_size,
          guint64 pos, const gchar *text)
{
  const guint64 tail_start = file_size - tail_length;
  const gsize n = strlen (text);
  gchar found[9];
  if (pos < tail_start || n >= sizeof found)
    return false;
  return meta_ext_read_string (tail, tail_length,
                               static_cast<guint32> (pos - tail_start), found,
                               static_cast<guint32> (n))
         && memcmp (found, text, n) == 0;
}

/* The little-endian 32-bit number at pos of the file, or 0. */
guint32
tail_le32 (const guchar *tail, guint32 tail_length, guint64 file_size,
           guint64 pos)
{
  const guint64 tail_start = file_size - tail_length;
  guint32 value = 0;
  if (pos < tail_start
      || !meta_ext_read_int (tail, tail_length,
                             static_cast<guint32> (pos - tail_start), &value))
    return 0;
  return GUINT32_FROM_LE (value);
}

/* Where the audio ends: before an ID3v1 tag at the very end and an APE
 * tag before that (or at the very end). */
guint64
audio_end (const guchar *tail, guint32 tail_length, guint64 file_size,
           guint64 start)
{
  guint64 end = file_size;
  if (end - start >= 128
      && tail_has (tail, tail_length, file_size, end - 128, "TAG"))
    end -= 128;
  if (end - start >= 32
      && tail_has (tail, tail_length, file_size, end - 32, "APETAGEX"))
    {
      /* The size counts the items and the footer; a header, when the
       * flags say there is one, comes on top. */
      const guint32 size = tail_le32 (tail, tail_length, file_size, end - 20);
      const guint32 flags = tail_le32 (tail, tail_length, file_size, end - 12);
      const guint64 total = size + ((flags & 0x80000000u) ? 32u : 0u);
      if (total >= 32 && total <= end - start)
        end -= total;
    }
  return end;
}

/* Whether the frame at offset is a Xing, Info or VBRI header rather than
 * audio. */
bool
is_vbr_header (const Stream &s, guint64 offset, const Frame &f)
{
  const guint64 side_info = f.version == 0 ? (f.mono ? 17 : 32)
                                           : (f.mono ? 9 : 17);
  const guint64 xing = offset + 4 + side_info;
  const guint64 vbri = offset + 4 + 32;
  auto code_at = [&s] (guint64 at, const gchar *code) {
    return at < s.head_length
           && meta_read_fourcc (s.head, s.head_length, code,
                                static_cast<guint32> (at));
  };
  return code_at (xing, "Xing") || code_at (xing, "Info")
         || code_at (vbri, "VBRI");
}

/* Whether frames at places spread over the readable audio all have the
 * bitrate of the first. */
bool
bitrate_constant (const Stream &s, guint64 first, const Frame &f)
{
  const guint64 span = s.readable () - first;
  for (int k = 1; k <= bitrate_samples; k++)
    {
      const guint64 from = first + span * k / (bitrate_samples + 1);
      const guint64 to = first + span * (k + 1) / (bitrate_samples + 1);
      guint64 at;
      Frame sample;
      if (find_frame (s, from, to, &f, 1, &at, &sample)
          && sample.bitrate != f.bitrate)
        return false;
    }
  return true;
}

gint32
clamp_bitrate (guint64 bits_per_second)
{
  return static_cast<gint32> (MIN (bits_per_second, G_MAXINT32));
}

} // namespace

gboolean
brisel_mpeg_scan (const guchar *head, guint32 head_length, guint64 file_size,
                  const guchar *tail, guint32 tail_length,
                  BriselMpegLength *out)
{
  if (head == NULL || out == NULL || head_length == 0
      || file_size < head_length || tail_length > file_size)
    return FALSE;
  Stream s = { head, head_length, skip_id3v2 (head, head_length), file_size };
  if (s.start >= file_size)
    return FALSE;
  if (tail != NULL)
    s.end = audio_end (tail, tail_length, file_size, s.start);

  guint64 first;
  Frame f;
  if (!find_frame (s, s.start, s.start + (s.start > 0 ? first_frame_slack : 1),
                   NULL, confirming_frames, &first, &f))
    return FALSE;

  BriselMpegLength result = {};
  result.has_vbr_header = is_vbr_header (s, first, f);
  if (result.has_vbr_header)
    {
      /* The header frame holds no audio. */
      first += f.length;
      if (!read_frame (s, first, &f))
        return FALSE;
    }
  const guint64 audio_bytes = s.end - first;

  if (bitrate_constant (s, first, f))
    {
      result.constant = TRUE;
      result.bitrate = clamp_bitrate (f.bitrate);
      result.milliseconds = static_cast<gint64> (audio_bytes * 8000
                                                 / f.bitrate);
      result.frames = static_cast<guint32> (MIN (
          audio_bytes * 8 * f.rate / f.bitrate / f.samples, G_MAXUINT32));
      *out = result;
      return TRUE;
    }

  guint64 samples = 0;
  guint64 offset = first;
  Frame frame;
  while (offset < s.readable ())
    {
      if (read_frame (s, offset, &frame) && same_stream (frame, f))
        {
          result.frames++;
          samples += frame.samples;
          offset += frame.length;
          continue;
        }
      /* Damage: on at the next frame in step with the stream. */
      if (!find_frame (s, offset + 1, s.readable (), &f, 1, &offset, &frame))
        break;
    }
  const guint64 walked = MIN (offset, s.readable ()) - first;
  if (result.frames == 0 || walked == 0)
    return FALSE;
  result.milliseconds = static_cast<gint64> (samples * 1000 / f.rate);
  result.bitrate = clamp_bitrate (walked * 8 * f.rate / samples);
  if (s.end > head_length)
    {
      result.extrapolated = TRUE;
      result.milliseconds = static_cast<gint64> (
          static_cast<double> (result.milliseconds) * audio_bytes / walked);
    }
  *out = result;
  return TRUE;
}

gboolean
brisel_mpeg_length (const gchar *filename, BriselMpegLength *out)
{
  struct stat st;
  if (filename == NULL || out == NULL || stat (filename, &st) != 0
      || !S_ISREG (st.st_mode))
    return FALSE;
  guint32 mapped = 0;
  guint32 reported_size = 0;
  guchar *head = meta_mmap (filename, &mapped, &reported_size);
  if (head == NULL)
    return FALSE;
  /* Sizes of 4 GiB and more are reported as G_MAXUINT32. */
  const guint64 file_size = reported_size == G_MAXUINT32 && st.st_size > 0
                                ? static_cast<guint64> (st.st_size)
                                : reported_size;

  guchar tail_bytes[tail_size];
  const guchar *tail = NULL;
  guint32 tail_length = static_cast<guint32> (MIN (file_size, tail_size));
  if (file_size <= mapped)
    tail = head + file_size - tail_length;
  else
    {
      int fd = open (filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0
          && pread (fd, tail_bytes, tail_length,
                    static_cast<off_t> (file_size - tail_length))
                 == static_cast<ssize_t> (tail_length))
        tail = tail_bytes;
      if (fd >= 0)
        close (fd);
    }
  gboolean found = brisel_mpeg_scan (head, mapped, file_size, tail,
                                     tail != NULL ? tail_length : 0, out);
  munmap (head, mapped);
  return found;
}
