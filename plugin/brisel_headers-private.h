/* libbrisel_tag's own readers of the headers the tag library refuses or
 * decodes too strictly: MP4 atoms, FLAC metadata blocks, Vorbis comments,
 * ID3v2 text frames, and the chunks of AIFF and WAV.  They take the first
 * value of a field, keep text that is not valid UTF-8 (each bad sequence
 * becomes U+FFFD), and read every value through the bounded byte readers
 * from blocks of a size checked against the bytes there are. */
#ifndef BRISEL_HEADERS_PRIVATE_H
#define BRISEL_HEADERS_PRIVATE_H

#include <glib.h>

#include <sys/stat.h>

#include <memory>
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

/* The bytes a reader may read: a buffer, or a file opened once, read-only
 * and without blocking.  A reader asks for blocks at offsets and gets them
 * only when they lie inside.  A file's small reads are served from a few
 * windows of its bytes kept here, so that the tag library (which reads
 * through one of these), our own readers and the MIME sniffing share one
 * read of the same header; larger blocks (pictures) are read as asked.
 * One thread at a time. */
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
  /* The opened file's status as it was when opened; all zero for a
   * buffer or a file that could not be opened. */
  const struct stat &
  status () const noexcept
  {
    return status_;
  }
  /* Copies length bytes at offset into out, which then holds one zero
   * byte more (see BriselBlock).  FALSE when they do not all lie in the
   * source or cannot be read. */
  bool read (guint64 offset, guint32 length, std::string *out) const;
  /* Copies up to length bytes at offset into out and returns how many:
   * fewer at the end of the source or when the file fails to read. */
  gsize read_at (guint64 offset, gsize length, void *out) const noexcept;
  /* The length bytes at offset where they can be had without copying:
   * a buffer's, or a file's small blocks in a window read for them.
   * NULL when they do not all lie in the source, are more than a window
   * holds, or cannot be read.  Valid until the next read. */
  const char *peek (guint64 offset, gsize length) const noexcept;

private:
  /* Where a window of the file starts, and how many bytes it holds. */
  struct Window
  {
    guint64 start = 0;
    gsize length = 0;
  };
  gsize read_file (guint64 offset, gsize length, void *out) const noexcept;

  const guchar *data_ = NULL;
  guint64 size_ = 0;
  int fd_ = -1;
  struct stat status_ = {};
  mutable Window windows_[4];
  mutable std::unique_ptr<char[]> window_bytes_; /* of every window */
  mutable guint next_window_ = 0;
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

/* The field of out a Vorbis comment's name (length bytes, ASCII case
 * ignored) stands for, or NULL: TITLE, ARTIST, ALBUM, GENRE, DATE,
 * TRACKNUMBER, ALBUMARTIST, DISCNUMBER, COMPILATION or COMMENT. */
G_GNUC_INTERNAL std::string *brisel_vorbis_field (BriselFields *out,
                                                  const char *name,
                                                  gsize length);

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
