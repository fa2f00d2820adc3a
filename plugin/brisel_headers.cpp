/* libbrisel_tag's own header readers, for what the tag library refuses to
 * open or drops: a layout it does not accept (an MP4 with bytes behind its
 * last atom, a FLAC STREAMINFO with a wrong block size), text that is not
 * valid UTF-8, ID3v2 frames it gives up at, and AIFF's text chunks.
 *
 * Every number is read through the plug-in's bounded readers from a block
 * fetched whole beforehand; a block is only fetched where the bytes are,
 * and never more than block_limit bytes of it. */
#include "brisel_headers-private.h"
#include "brisel_genre-private.h"
#include "brisel_gst.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace
{

/* The most bytes fetched for one atom, block, frame or chunk: cover art
 * and seek tables are skipped over, never read. */
constexpr guint32 block_limit = 1 << 20;
/* The most atoms of one level walked: a file of tiny atoms would
 * otherwise cost a read every eight bytes. */
constexpr int atom_limit = 4096;
/* A file's window: the header of most files, or their trailing tags and
 * last pages, in one read; its start is a multiple of window_align. */
constexpr gsize window_size = 16 << 10;
constexpr gsize window_align = 4 << 10;
/* The memory of a file's windows, kept for the next file this thread
 * reads: freeing 64 KiB at once makes the allocator gather all its small
 * free blocks, which the tag library leaves by the thousand. */
thread_local std::unique_ptr<char[]> spare_windows;

/* A fetched block.  The readers refuse a value that ends on a buffer's
 * last byte; a std::string keeps a NUL behind its bytes, so the readers
 * are given one byte more than the block holds and accept exactly the
 * values inside it. */
class Block
{
public:
  explicit Block (const std::string &bytes)
      : p_ (reinterpret_cast<const guchar *> (bytes.data ())),
        n_ (static_cast<guint32> (bytes.size ()))
  {
  }
  guint32
  size () const
  {
    return n_;
  }
  const guchar *
  at (guint32 offset) const
  {
    return p_ + offset;
  }
  bool
  u8 (guint32 offset, guint32 *v) const
  {
    guchar c;
    if (offset >= n_ || !meta_ext_read_char (p_, n_, offset, &c))
      return false;
    *v = c;
    return true;
  }
  bool
  be16 (guint32 offset, guint32 *v) const
  {
    guint16 s;
    if (!meta_ext_read_short_be (p_, n_ + 1, offset, &s))
      return false;
    *v = s;
    return true;
  }
  bool
  be32 (guint32 offset, guint32 *v) const
  {
    return meta_ext_read_int_be (p_, n_ + 1, offset, v) == 1;
  }
  bool
  be64 (guint32 offset, guint64 *v) const
  {
    return meta_ext_read_int64_be (p_, n_ + 1, offset, v) == 1;
  }
  bool
  le32 (guint32 offset, guint32 *v) const
  {
    guint32 raw;
    if (!meta_ext_read_int (p_, n_ + 1, offset, &raw))
      return false;
    *v = GUINT32_FROM_LE (raw);
    return true;
  }
  bool
  code (guint32 offset, const char *fourcc) const
  {
    return meta_read_fourcc (p_, n_ + 1, fourcc, offset) == 1;
  }
  /* The bytes [offset, offset + length) as text, cut to the block. */
  std::string
  text (guint32 offset, guint32 length) const
  {
    if (offset >= n_)
      return std::string ();
    return brisel_utf8_repair (reinterpret_cast<const char *> (p_ + offset),
                               MIN (length, n_ - offset));
  }

private:
  const guchar *p_;
  guint32 n_;
};

/* Sets field to value when field is still empty. */
void
fill (std::string *field, const std::string &value)
{
  if (field->empty ())
    *field = value;
}

/* The length of a sequence whose first byte is lead, or 0 when no
 * sequence starts so; *low and *high bound its second byte. */
int
sequence_length (guchar lead, guchar *low, guchar *high)
{
  *low = 0x80;
  *high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf)
    return 2;
  if (lead >= 0xe0 && lead <= 0xef)
    {
      /* No overlong forms, no surrogates. */
      if (lead == 0xe0)
        *low = 0xa0;
      if (lead == 0xed)
        *high = 0x9f;
      return 3;
    }
  if (lead >= 0xf0 && lead <= 0xf4)
    {
      if (lead == 0xf0)
        *low = 0x90;
      if (lead == 0xf4)
        *high = 0x8f;
      return 4;
    }
  return 0;
}

/* Ends the list of values at a NUL: the first value of a field is its
 * text up to the first NUL. */
gsize
up_to_nul (const char *text, gsize length)
{
  const void *nul = memchr (text, '\0', length);
  return nul != NULL ? static_cast<gsize> (static_cast<const char *> (nul)
                                           - text)
                     : length;
}

/* ISO-8859-1 as UTF-8, up to a NUL. */
std::string
latin1 (const guchar *text, gsize length)
{
  std::string out;
  for (gsize i = 0; i < length && text[i] != 0; i++)
    {
      if (text[i] < 0x80)
        out += static_cast<char> (text[i]);
      else
        {
          out += static_cast<char> (0xc0 | text[i] >> 6);
          out += static_cast<char> (0x80 | (text[i] & 0x3f));
        }
    }
  return out;
}

/* UTF-16 (big-endian unless little) as UTF-8, up to a NUL; an unpaired
 * surrogate becomes U+FFFD. */
std::string
utf16 (const guchar *text, gsize length, bool little)
{
  std::string out;
  auto unit = [&] (gsize i) {
    return little ? text[i] | text[i + 1] << 8 : text[i] << 8 | text[i + 1];
  };
  for (gsize i = 0; i + 1 < length; i += 2)
    {
      gunichar c = unit (i);
      if (c == 0)
        break;
      if (c >= 0xd800 && c <= 0xdbff && i + 3 < length
          && unit (i + 2) >= 0xdc00 && unit (i + 2) <= 0xdfff)
        {
          c = 0x10000 + ((c - 0xd800) << 10) + (unit (i + 2) - 0xdc00);
          i += 2;
        }
      else if (c >= 0xd800 && c <= 0xdfff)
        c = 0xfffd;
      gchar utf8[6];
      out.append (utf8, g_unichar_to_utf8 (c, utf8));
    }
  return out;
}

/* An atom: its type, and where its contents lie in the file. */
struct Atom
{
  char type[5] = "";
  guint64 start = 0; /* contents */
  guint64 end = 0;
};

/* The atom at offset inside [offset, end), or FALSE when its header is
 * not one.  A size of 0 runs to end; a size past end is cut to it. */
bool
read_atom (const BriselSource &source, guint64 offset, guint64 end,
           Atom *atom)
{
  std::string bytes;
  if (offset + 8 > end || !source.read (offset, 8, &bytes))
    return false;
  const Block header (bytes);
  guint32 size32 = 0;
  header.be32 (0, &size32);
  memcpy (atom->type, header.at (4), 4);
  guint64 size = size32;
  guint64 header_size = 8;
  if (size32 == 1)
    {
      std::string wide;
      guint64 size64 = 0;
      if (offset + 16 > end || !source.read (offset + 8, 8, &wide)
          || !Block (wide).be64 (0, &size64))
        return false;
      size = size64;
      header_size = 16;
    }
  else if (size32 == 0)
    size = end - offset;
  if (size < header_size)
    return false;
  atom->start = offset + header_size;
  atom->end = size > end - offset ? end : offset + size;
  return true;
}

/* The first child of type among the atoms of [start, end). */
bool
find_atom (const BriselSource &source, guint64 start, guint64 end,
           const char *type, Atom *found)
{
  Atom atom;
  int walked = 0;
  for (guint64 at = start;
       walked++ < atom_limit && read_atom (source, at, end, &atom);
       at = atom.end)
    if (memcmp (atom.type, type, 4) == 0)
      {
        *found = atom;
        return true;
      }
  return false;
}

/* The atom at a path of types below [start, end), e.g. "mdia/minf". */
bool
find_path (const BriselSource &source, guint64 start, guint64 end,
           const char *path, Atom *found)
{
  Atom atom = { "", start, end };
  for (const char *type = path; *type != '\0';
       type += type[4] == '/' ? 5 : 4)
    if (!find_atom (source, atom.start, atom.end, type, &atom))
      return false;
  *found = atom;
  return true;
}

/* The contents of atom, when they are no more than block_limit bytes. */
bool
atom_contents (const BriselSource &source, const Atom &atom, std::string *out)
{
  return atom.end - atom.start <= block_limit
         && source.read (atom.start, static_cast<guint32> (atom.end
                                                           - atom.start),
                         out);
}

/* A duration of mvhd or mdhd in milliseconds, or -1. */
gint64
header_duration (const BriselSource &source, const Atom &atom)
{
  std::string bytes;
  if (!atom_contents (source, atom, &bytes))
    return -1;
  const Block b (bytes);
  guint32 version = 0, scale = 0;
  guint64 duration = 0;
  b.u8 (0, &version);
  if (version == 1)
    {
      if (!b.be32 (20, &scale) || !b.be64 (24, &duration))
        return -1;
    }
  else
    {
      guint32 d32 = 0;
      if (!b.be32 (12, &scale) || !b.be32 (16, &d32))
        return -1;
      duration = d32;
    }
  /* All ones stands for "not known". */
  if (scale == 0 || duration == G_MAXUINT64
      || (version != 1 && duration == G_MAXUINT32)
      || duration > G_MAXINT64 / 1000)
    return -1;
  return static_cast<gint64> (duration * 1000 / scale);
}

/* The codec name of a sample entry's format. */
std::string
mp4_codec (const char *format)
{
  if (memcmp (format, "mp4a", 4) == 0)
    return "MPEG-4 AAC audio";
  if (memcmp (format, "alac", 4) == 0)
    return "Apple lossless audio";
  return std::string ();
}

/* The sound track's length, channels, rate and codec. */
void
read_sound_track (const BriselSource &source, const Atom &moov,
                  BriselHeaders *out)
{
  Atom trak;
  int walked = 0;
  for (guint64 at = moov.start;
       walked++ < atom_limit && read_atom (source, at, moov.end, &trak);
       at = trak.end)
    {
      Atom hdlr, mdhd, stsd;
      std::string bytes;
      if (memcmp (trak.type, "trak", 4) != 0
          || !find_path (source, trak.start, trak.end, "mdia/hdlr", &hdlr)
          || !source.read (hdlr.start, MIN (hdlr.end - hdlr.start, 12),
                           &bytes)
          || !Block (bytes).code (8, "soun"))
        continue;
      if (find_path (source, trak.start, trak.end, "mdia/mdhd", &mdhd))
        out->milliseconds = header_duration (source, mdhd);
      if (find_path (source, trak.start, trak.end, "mdia/minf/stbl/stsd",
                     &stsd)
          && source.read (stsd.start, MIN (stsd.end - stsd.start, 44),
                          &bytes))
        {
          const Block b (bytes);
          guint32 channels = 0, rate = 0;
          if (b.size () >= 16)
            out->codec = mp4_codec (reinterpret_cast<const char *> (
                b.at (12)));
          if (b.be16 (32, &channels) && b.be32 (40, &rate))
            {
              out->channels = static_cast<gint32> (channels);
              out->frequency = static_cast<gint32> (rate >> 16);
            }
        }
      return;
    }
}

/* The first "data" atom's value of an ilst item as text: UTF-8 or UTF-16
 * text, or the number of an integer item (trkn and disk hold theirs after
 * two bytes, genre numbers stand for an ID3v1 genre). */
std::string
ilst_value (const BriselSource &source, const Atom &item)
{
  Atom data;
  std::string bytes;
  if (!find_atom (source, item.start, item.end, "data", &data)
      || !atom_contents (source, data, &bytes))
    return std::string ();
  const Block b (bytes);
  guint32 type = 0;
  if (!b.be32 (0, &type) || b.size () < 8)
    return std::string ();
  type &= 0xffffff;
  const guint32 length = b.size () - 8;
  const guchar *value = b.at (8);
  guint32 number = 0;
  if (type == 1)
    return b.text (8, length);
  if (type == 2)
    return utf16 (value, length, false);
  if (memcmp (item.type, "trkn", 4) == 0 || memcmp (item.type, "disk", 4) == 0)
    return b.be16 (10, &number) ? std::to_string (number) : std::string ();
  if (memcmp (item.type, "gnre", 4) == 0)
    return b.be16 (8, &number) && number > 0
               ? brisel_genre_from_number (static_cast<long> (number) - 1)
               : std::string ();
  if (length >= 1 && (type == 21 || type == 0) && b.u8 (8, &number))
    return std::to_string (number);
  return std::string ();
}

/* The items of an ilst atom. */
void
read_ilst (const BriselSource &source, const Atom &ilst, BriselFields *out)
{
  static const struct
  {
    const char *type;
    std::string BriselFields::*field;
  } items[] = {
    { "\251nam", &BriselFields::title },
    { "\251ART", &BriselFields::artist },
    { "\251alb", &BriselFields::album },
    { "\251gen", &BriselFields::genre },
    { "gnre", &BriselFields::genre },
    { "\251day", &BriselFields::date },
    { "trkn", &BriselFields::track },
    { "aART", &BriselFields::album_artist },
    { "disk", &BriselFields::disc },
    { "cpil", &BriselFields::compilation },
    { "\251cmt", &BriselFields::comment },
  };
  Atom item;
  int walked = 0;
  for (guint64 at = ilst.start;
       walked++ < atom_limit && read_atom (source, at, ilst.end, &item);
       at = item.end)
    for (const auto &i : items)
      if (memcmp (item.type, i.type, 4) == 0 && (out->*i.field).empty ())
        out->*i.field = ilst_value (source, item);
}

/* The ilst of a meta atom, which is a full atom (four bytes of version
 * and flags ahead of its children) except in QuickTime's files. */
bool
meta_ilst (const BriselSource &source, const Atom &meta, Atom *ilst)
{
  std::string bytes;
  const guint64 skip = source.read (meta.start, MIN (meta.end - meta.start,
                                                     12), &bytes)
                               && Block (bytes).code (4, "hdlr")
                           ? 0
                           : 4;
  return find_atom (source, meta.start + skip, meta.end, "ilst", ilst);
}

/* The ID3v2 text frames and the fields they stand for, for 2.3 and 2.4
 * and for 2.2's three-letter identifiers. */
std::string *
id3v2_field (BriselFields *out, const char *id, bool v22)
{
  static const struct
  {
    const char *id;
    const char *id22;
    std::string BriselFields::*field;
  } frames[] = {
    { "TIT2", "TT2", &BriselFields::title },
    { "TPE1", "TP1", &BriselFields::artist },
    { "TALB", "TAL", &BriselFields::album },
    { "TCON", "TCO", &BriselFields::genre },
    { "TDRC", "TYE", &BriselFields::date },
    { "TYER", "TYE", &BriselFields::date },
    { "TRCK", "TRK", &BriselFields::track },
    { "TPE2", "TP2", &BriselFields::album_artist },
    { "TPOS", "TPA", &BriselFields::disc },
    { "TCMP", "TCP", &BriselFields::compilation },
  };
  for (const auto &f : frames)
    if (v22 ? memcmp (f.id22, id, 3) == 0 : memcmp (f.id, id, 4) == 0)
      return &(out->*f.field);
  return NULL;
}

/* A text frame's first value: its encoding byte, then the text. */
std::string
id3v2_text (const guchar *data, gsize length)
{
  if (length < 1)
    return std::string ();
  const guchar *text = data + 1;
  const gsize n = length - 1;
  switch (data[0])
    {
    case 0:
      return latin1 (text, n);
    case 1:
      /* A byte order mark says the order; big-endian without one. */
      if (n >= 2 && text[0] == 0xff && text[1] == 0xfe)
        return utf16 (text + 2, n - 2, true);
      if (n >= 2 && text[0] == 0xfe && text[1] == 0xff)
        return utf16 (text + 2, n - 2, false);
      return utf16 (text, n, false);
    case 2:
      return utf16 (text, n, false);
    case 3:
      return brisel_utf8_repair (reinterpret_cast<const char *> (text), n);
    default:
      return std::string ();
    }
}

/* Undoes unsynchronisation: every 0xff 0x00 loses its 0x00. */
std::string
resynchronise (const std::string &bytes)
{
  std::string out;
  for (gsize i = 0; i < bytes.size (); i++)
    {
      out += bytes[i];
      if (static_cast<guchar> (bytes[i]) == 0xff && i + 1 < bytes.size ()
          && bytes[i + 1] == '\0')
        i++;
    }
  return out;
}

/* A synchsafe number: seven bits a byte. */
guint32
synchsafe (guint32 value)
{
  return (value & 0x7f) | (value >> 1 & 0x3f80) | (value >> 2 & 0x1fc000)
         | (value >> 3 & 0xfe00000);
}

/* Whether four bytes can be a frame identifier. */
bool
frame_id (const guchar *id)
{
  for (int i = 0; i < 4; i++)
    if (!g_ascii_isupper (id[i]) && !g_ascii_isdigit (id[i]))
      return false;
  return true;
}

} // namespace

BriselSource::BriselSource (const gchar *filename) noexcept
{
  if (filename == NULL)
    return;
  /* Read-only: a file watcher takes the close of a file opened for
   * writing for a change.  Non-blocking: a FIFO must not hold the
   * caller. */
  int fd = open (filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return;
  if (fstat (fd, &status_) != 0 || !S_ISREG (status_.st_mode))
    {
      close (fd);
      status_ = {};
      return;
    }
  fd_ = fd;
  size_ = static_cast<guint64> (status_.st_size);
}

BriselSource::~BriselSource ()
{
  if (fd_ >= 0)
    close (fd_);
  if (spare_windows == nullptr)
    spare_windows = std::move (window_bytes_);
}

bool
BriselSource::read (guint64 offset, guint32 length, std::string *out) const
{
  if (!valid () || offset > size_ || length > size_ - offset)
    return false;
  out->resize (length);
  return read_at (offset, length, &(*out)[0]) == length;
}

gsize
BriselSource::read_at (guint64 offset, gsize length, void *out) const noexcept
{
  if (!valid () || offset >= size_)
    return 0;
  length = static_cast<gsize> (MIN (static_cast<guint64> (length),
                                    size_ - offset));
  const char *bytes = peek (offset, length);
  if (bytes == NULL)
    return read_file (offset, length, out);
  memcpy (out, bytes, length);
  return length;
}

const char *
BriselSource::peek (guint64 offset, gsize length) const noexcept
{
  if (!valid () || offset > size_ || length > size_ - offset)
    return NULL;
  if (data_ != NULL)
    return reinterpret_cast<const char *> (data_) + offset;
  if (length == 0)
    return "";
  if (length > window_size - window_align)
    return NULL;
  const guint count = G_N_ELEMENTS (windows_);
  for (guint i = 0; window_bytes_ != nullptr && i < count; i++)
    if (offset >= windows_[i].start
        && offset + length <= windows_[i].start + windows_[i].length)
      return window_bytes_.get () + i * window_size
             + (offset - windows_[i].start);

  if (window_bytes_ == nullptr)
    window_bytes_ = std::move (spare_windows);
  if (window_bytes_ == nullptr)
    window_bytes_.reset (new (std::nothrow) char[count * window_size]);
  if (window_bytes_ == nullptr)
    return NULL;
  /* A window from the block of offset on, or the file's last bytes: the
   * tag library looks for trailing tags and last pages from the end
   * backwards. */
  const guint i = next_window_++ % count;
  Window &w = windows_[i];
  char *bytes = window_bytes_.get () + i * window_size;
  w.start = size_ > window_size ? MIN (offset - offset % window_align,
                                       size_ - window_size)
                                : 0;
  w.length = read_file (w.start, static_cast<gsize> (MIN (size_ - w.start,
                                                          window_size)),
                        bytes);
  if (offset + length > w.start + w.length)
    return NULL;
  return bytes + (offset - w.start);
}

gsize
BriselSource::read_file (guint64 offset, gsize length, void *out) const noexcept
{
  gsize done = 0;
  while (done < length)
    {
      ssize_t n = pread (fd_, static_cast<char *> (out) + done, length - done,
                         static_cast<off_t> (offset + done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      done += static_cast<gsize> (n);
    }
  return done;
}

std::string
brisel_utf8_repair (const char *text, gsize length)
{
  if (text == NULL || length == 0)
    return std::string ();
  const guchar *s = reinterpret_cast<const guchar *> (text);
  length = up_to_nul (text, length);
  std::string out;
  out.reserve (length);
  for (gsize i = 0; i < length;)
    {
      if (s[i] < 0x80)
        {
          out += static_cast<char> (s[i++]);
          continue;
        }
      guchar low, high;
      const int n = sequence_length (s[i], &low, &high);
      int good = n > 0 ? 1 : 0;
      while (good > 0 && good < n && i + good < length
             && s[i + good] >= (good == 1 ? low : 0x80)
             && s[i + good] <= (good == 1 ? high : 0xbf))
        good++;
      if (n > 0 && good == n)
        out.append (text + i, n);
      else
        out += "\357\277\275";
      i += MAX (good, 1);
    }
  return out;
}

bool
brisel_read_mp4 (const BriselSource &source, BriselHeaders *out)
{
  static const char *const leading[] = { "ftyp", "moov", "mdat",
                                         "free", "skip", "wide" };
  Atom first, moov, mvhd, meta, ilst;
  bool mp4 = read_atom (source, 0, source.size (), &first);
  for (gsize i = 0; mp4 && i < G_N_ELEMENTS (leading); i++)
    if (memcmp (first.type, leading[i], 4) == 0)
      break;
    else if (i + 1 == G_N_ELEMENTS (leading))
      mp4 = false;
  if (!mp4 || !find_atom (source, 0, source.size (), "moov", &moov))
    return false;
  read_sound_track (source, moov, out);
  if (out->milliseconds < 0
      && find_atom (source, moov.start, moov.end, "mvhd", &mvhd))
    out->milliseconds = header_duration (source, mvhd);
  if ((find_path (source, moov.start, moov.end, "udta/meta", &meta)
       && meta_ilst (source, meta, &ilst))
      || (find_atom (source, moov.start, moov.end, "meta", &meta)
          && meta_ilst (source, meta, &ilst)))
    read_ilst (source, ilst, &out->fields);
  return true;
}

bool
brisel_read_flac (const BriselSource &source, BriselHeaders *out)
{
  std::string bytes;
  guint64 at = 0;
  if (source.read (0, 10, &bytes) && memcmp (bytes.data (), "ID3", 3) == 0)
    {
      guint32 size = 0;
      Block (bytes).be32 (6, &size);
      at = 10 + static_cast<guint64> (synchsafe (size));
    }
  if (!source.read (at, 8, &bytes) || memcmp (bytes.data (), "fLaC", 4) != 0
      || (bytes[4] & 0x7f) != 0)
    return false;
  at += 4;
  bool last = false;
  bool comment = false;
  for (int block = 0; !last && source.read (at, 4, &bytes); block++)
    {
      guint32 header = 0;
      Block (bytes).be32 (0, &header);
      last = (header & 0x80000000u) != 0;
      const guint32 type = header >> 24 & 0x7f;
      /* STREAMINFO is 34 bytes by definition; the size beside it is
       * sometimes written wrong. */
      const guint32 size = block == 0 ? 34 : header & 0xffffff;
      at += 4;
      if (block == 0)
        {
          if (type != 0 || !source.read (at, size, &bytes))
            return false;
          const Block info (bytes);
          guint32 word = 0, low = 0;
          info.be32 (10, &word);
          info.be32 (14, &low);
          const guint32 rate = word >> 12;
          const guint64 samples = static_cast<guint64> (word & 0xf) << 32
                                  | low;
          out->codec = "Free Lossless Audio Codec (FLAC)";
          out->channels = static_cast<gint32> ((word >> 9 & 7) + 1);
          out->frequency = static_cast<gint32> (rate);
          if (rate > 0 && samples > 0)
            out->milliseconds = static_cast<gint64> (samples * 1000 / rate);
        }
      else if (type == 4 && !comment && size <= block_limit
               && source.read (at, size, &bytes))
        comment = brisel_read_vorbis_comment (
            reinterpret_cast<const guchar *> (bytes.data ()), size,
            &out->fields);
      at += size;
    }
  if (out->milliseconds > 0 && at < source.size ())
    out->bitrate = static_cast<gint32> (MIN (
        (source.size () - at) * 8000 / out->milliseconds, G_MAXINT32));
  return true;
}

std::string *
brisel_vorbis_field (BriselFields *out, const char *name, gsize length)
{
  static const struct
  {
    const char *name;
    std::string BriselFields::*field;
  } fields[] = {
    { "TITLE", &BriselFields::title },
    { "ARTIST", &BriselFields::artist },
    { "ALBUM", &BriselFields::album },
    { "GENRE", &BriselFields::genre },
    { "DATE", &BriselFields::date },
    { "TRACKNUMBER", &BriselFields::track },
    { "ALBUMARTIST", &BriselFields::album_artist },
    { "DISCNUMBER", &BriselFields::disc },
    { "COMPILATION", &BriselFields::compilation },
    { "COMMENT", &BriselFields::comment },
  };
  for (const auto &f : fields)
    if (strlen (f.name) == length && g_ascii_strncasecmp (f.name, name,
                                                         length) == 0)
      return &(out->*f.field);
  return NULL;
}

bool
brisel_read_vorbis_comment (const guchar *data, gsize length,
                            BriselFields *out)
{
  if (data == NULL || length > block_limit)
    return false;
  const std::string bytes (reinterpret_cast<const char *> (data), length);
  const Block b (bytes);
  guint32 vendor = 0, count = 0;
  if (!b.le32 (0, &vendor) || vendor > b.size () - 4
      || !b.le32 (4 + vendor, &count))
    return false;
  guint64 at = 8 + static_cast<guint64> (vendor);
  for (guint32 i = 0; i < count && at < b.size (); i++)
    {
      guint32 size = 0;
      if (!b.le32 (static_cast<guint32> (at), &size)
          || size > b.size () - at - 4)
        break;
      const char *entry = reinterpret_cast<const char *> (b.at (
          static_cast<guint32> (at + 4)));
      const char *equals = static_cast<const char *> (memchr (entry, '=',
                                                              size));
      if (equals != NULL)
        {
          const gsize name = equals - entry;
          std::string *field = brisel_vorbis_field (out, entry, name);
          if (field != NULL && field->empty ())
            *field = brisel_utf8_repair (equals + 1, size - name - 1);
        }
      at += 4 + static_cast<guint64> (size);
    }
  return true;
}

bool
brisel_read_id3v2 (const BriselSource &source, guint64 offset,
                   BriselFields *out)
{
  std::string bytes;
  if (!source.read (offset, 10, &bytes) || memcmp (bytes.data (), "ID3", 3)
      != 0)
    return false;
  const Block header (bytes);
  guint32 version = 0, flags = 0, size = 0;
  header.u8 (3, &version);
  header.u8 (5, &flags);
  header.be32 (6, &size);
  if (version < 2 || version > 4)
    return false;
  /* A tag cut short by the file's end is read as far as it goes. */
  const guint64 there = source.size () - MIN (source.size (), offset + 10);
  const guint32 tag_size = static_cast<guint32> (MIN (
      MIN (synchsafe (size), there), static_cast<guint64> (block_limit)));
  std::string tag;
  if (!source.read (offset + 10, tag_size, &tag))
    return false;
  /* Up to 2.3, unsynchronisation covers the whole tag. */
  if (version < 4 && (flags & 0x80) != 0)
    tag = resynchronise (tag);
  const Block b (tag);
  guint32 at = 0;
  guint32 extended = 0;
  if ((flags & 0x40) != 0 && version > 2 && b.be32 (0, &extended))
    at = version == 4 ? synchsafe (extended) : extended + 4;

  const bool v22 = version == 2;
  const guint32 header_size = v22 ? 6 : 10;
  while (at < b.size () && at + header_size <= b.size ())
    {
      char id[5] = "";
      memcpy (id, b.at (at), v22 ? 3 : 4);
      /* Padding, or not a frame: the frames end here. */
      if (id[0] == '\0' || (!v22 && !frame_id (b.at (at))))
        break;
      guint32 frame_size = 0, frame_flags = 0;
      if (v22)
        {
          guint32 word = 0;
          b.be32 (at + 2, &word);
          frame_size = word & 0xffffff;
        }
      else
        {
          b.be32 (at + 4, &frame_size);
          b.be16 (at + 8, &frame_flags);
          if (version == 4)
            {
              /* Some writers put 2.3's plain sizes into 2.4 tags: the
               * plain reading wins where only it lands on a frame. */
              const guint32 plain = frame_size;
              frame_size = synchsafe (plain);
              const guint64 next = static_cast<guint64> (at) + 10;
              if (plain != frame_size
                  && !(next + frame_size + 4 <= b.size ()
                       && frame_id (b.at (static_cast<guint32> (next
                                                          + frame_size))))
                  && next + plain + 4 <= b.size ()
                  && frame_id (b.at (static_cast<guint32> (next + plain))))
                frame_size = plain;
            }
        }
      const guint32 start = at + header_size;
      /* A frame that runs past the tag's end is read up to it. */
      const guint32 length = MIN (frame_size, b.size () - start);
      at = start + length;
      /* 2.3: compressed or encrypted; 2.4: the same, or grouped. */
      const bool opaque = version == 3 ? (frame_flags & 0xc0) != 0
                                       : (frame_flags & 0x4c) != 0;
      std::string *field = id3v2_field (out, id, v22);
      if (field == NULL || !field->empty () || length == 0 || opaque)
        continue;
      std::string data (reinterpret_cast<const char *> (b.at (start)),
                        length);
      if (version == 4 && (frame_flags & 0x02) != 0)
        data = resynchronise (data);
      /* A data length indicator leads the frame's bytes. */
      if (version == 4 && (frame_flags & 0x01) != 0)
        data.erase (0, MIN (data.size (), static_cast<gsize> (4)));
      *field = id3v2_text (reinterpret_cast<const guchar *> (data.data ()),
                           data.size ());
      if (field == &out->genre && !field->empty ())
        *field = brisel_genre_from_text (*field);
    }
  return true;
}

bool
brisel_read_iff (const BriselSource &source, BriselFields *out)
{
  std::string bytes;
  if (!source.read (0, 12, &bytes))
    return false;
  const bool aiff = memcmp (bytes.data (), "FORM", 4) == 0
                    && (memcmp (bytes.data () + 8, "AIFF", 4) == 0
                        || memcmp (bytes.data () + 8, "AIFC", 4) == 0);
  const bool wav = memcmp (bytes.data (), "RIFF", 4) == 0
                   && memcmp (bytes.data () + 8, "WAVE", 4) == 0;
  if (!aiff && !wav)
    return false;
  /* The ID3 chunk comes first: the text chunks only fill what it leaves
   * empty. */
  BriselFields text;
  guint64 at = 12;
  while (at + 8 <= source.size () && source.read (at, 8, &bytes))
    {
      const Block header (bytes);
      guint32 size = 0;
      if (aiff)
        header.be32 (4, &size);
      else
        header.le32 (4, &size);
      const guint64 start = at + 8;
      const guint32 length = static_cast<guint32> (MIN (
          static_cast<guint64> (size), source.size () - start));
      if (header.code (0, "ID3 ") || header.code (0, "id3 "))
        brisel_read_id3v2 (source, start, out);
      else if (aiff && length <= block_limit)
        {
          std::string *field = header.code (0, "NAME")   ? &text.title
                               : header.code (0, "AUTH") ? &text.artist
                               : header.code (0, "ANNO") ? &text.comment
                                                         : NULL;
          std::string contents;
          if (field != NULL && source.read (start, length, &contents))
            fill (field, Block (contents).text (0, length));
        }
      /* Chunks are padded to an even size. */
      at = start + size + (size & 1);
    }
  fill (&out->title, text.title);
  fill (&out->artist, text.artist);
  fill (&out->comment, text.comment);
  return true;
}
