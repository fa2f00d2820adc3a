/* libbrisel_tag's own readers of the headers the tag library refuses or
 * decodes too strictly: MP4 atoms, FLAC metadata blocks, Vorbis comments,
 * ID3v2 text frames, and the chunks of AIFF and WAV.  They take the first
 * value of a field, keep text that is not valid UTF-8 (each bad sequence
 * becomes U+FFFD), and read every value through the bounded byte readers
 * from blocks of a size checked against the bytes there are. */
#ifndef BRISEL_HEADERS_PRIVATE_H
#define BRISEL_HEADERS_PRIVATE_H

#include <glib.h>

#include <string>

/* The first value of each field a reader found, as UTF-8 and unparsed
 * ("3/12", "2019-01-02"); empty where it found none. */
struct BriselFields
{
  std::string title, artist, album, genre, date, track, album_artist, disc,
      compilation, comment;
};

/* What a reader found in a file's headers. */
struct BriselHeaders
{
  BriselFields fields;
  gint64 milliseconds = -1; /* -1: no length in the headers */
  gint32 bitrate = 0;       /* bits per second; 0: not told */
  gint32 channels = 0;
  gint32 frequency = 0;
  std::string codec; /* as the GStreamer extraction words it, or "" */
};

/* The bytes a reader may read: a buffer, or a file read with pread.  A
 * reader asks for blocks at offsets and gets them only when they lie
 * inside. */
class BriselSource
{
public:
  BriselSource (const guchar *data, guint64 length) noexcept
      : data_ (data), size_ (data != NULL ? length : 0)
  {
  }
  /* A file's bytes; valid () is false when it cannot be opened or is not
   * a regular file. */
  explicit BriselSource (const gchar *filename) noexcept;
  ~BriselSource ();
  BriselSource (const BriselSource &) = delete;
  BriselSource &operator= (const BriselSource &) = delete;

  bool
  valid () const noexcept
  {
    return data_ != NULL || fd_ >= 0;
  }
  guint64
  size () const noexcept
  {
    return size_;
  }
  /* Copies length bytes at offset into out, which then holds one zero
   * byte more (see BriselBlock).  FALSE when they do not all lie in the
   * source or cannot be read. */
  bool read (guint64 offset, guint32 length, std::string *out) const;

private:
  const guchar *data_ = NULL;
  guint64 size_ = 0;
  int fd_ = -1;
};

/* U+FFFD for each sequence of text that is not UTF-8 (the longest start
 * of a valid sequence counts as one), the rest as it is.  A NUL ends the
 * text. */
G_GNUC_INTERNAL std::string brisel_utf8_repair (const char *text,
                                                gsize length);

/* An MP4 (or QuickTime) file: moov's udta/meta/ilst items, or meta/ilst
 * straight in moov; the length of the sound track's mdhd, or of mvhd;
 * channels, sample rate and codec of the sound track's first sample
 * entry.  FALSE when the file does not start with an atom of an MP4 or
 * QuickTime file, or has no moov atom. */
G_GNUC_INTERNAL bool brisel_read_mp4 (const BriselSource &source,
                                      BriselHeaders *out);

/* A FLAC file (behind an ID3v2 tag or not): STREAMINFO, which is 34 bytes
 * whatever its block header says, and the first VORBIS_COMMENT block.
 * FALSE when there is no "fLaC" marker with a STREAMINFO block behind
 * it. */
G_GNUC_INTERNAL bool brisel_read_flac (const BriselSource &source,
                                       BriselHeaders *out);

/* A Vorbis comment block (vendor, then NAME=value entries, lengths
 * little-endian) of length bytes.  FALSE when it is cut before its
 * entries. */
G_GNUC_INTERNAL bool brisel_read_vorbis_comment (const guchar *data,
                                                 gsize length,
                                                 BriselFields *out);

/* The text frames of the ID3v2 tag (2.2 to 2.4) at offset: empty frames
 * are skipped, a frame that runs past the tag's end is read up to it.
 * FALSE when there is no tag there. */
G_GNUC_INTERNAL bool brisel_read_id3v2 (const BriselSource &source,
                                        guint64 offset, BriselFields *out);

/* The chunks of an AIFF or AIFC file (NAME, AUTH, ANNO as title, artist
 * and comment) and its "ID3 " chunk, or a WAV file's ID3 chunk, which
 * fill only what an ID3 chunk leaves empty.  FALSE when it is neither. */
G_GNUC_INTERNAL bool brisel_read_iff (const BriselSource &source,
                                      BriselFields *out);

#endif /* BRISEL_HEADERS_PRIVATE_H */
