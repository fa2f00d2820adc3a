/* Bounded byte readers, byte-order helpers and the size-limited file
 * mapping that format parsers built on the plug-in use.
 *
 * Every reader checks its bounds in 64-bit arithmetic, so an offset near
 * the top of the 32-bit range cannot wrap around and pass the check. */
#include "brisel_gst.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "metadata_conf.h"

namespace
{

/* Whether width bytes at offset lie inside a buffer of length bytes, by
 * the readers' strict rule: the value may not end on the buffer's last
 * byte (offset + width < length). */
bool
read_fits (guint32 length, guint32 offset, guint64 width) noexcept
{
  return static_cast<guint64> (offset) + width < length;
}

/* Reads a T at offset, stored in host order or, with big_endian, most
 * significant byte first; *out is untouched when the read is refused. */
template <typename T>
int
read_value (const guchar *buf, guint32 length, guint32 offset, T *out,
            bool big_endian) noexcept
{
  if (buf == NULL || out == NULL || !read_fits (length, offset, sizeof (T)))
    return 0;
  guchar bytes[sizeof (T)];
  memcpy (bytes, buf + offset, sizeof (T));
  if (big_endian && get_endianness () == 0)
    for (gsize i = 0; i < sizeof (T) / 2; i++)
      std::swap (bytes[i], bytes[sizeof (T) - 1 - i]);
  memcpy (out, bytes, sizeof (T));
  return 1;
}

} // namespace

extern "C" int
meta_ext_read_char (const guchar *buf, guint32 length, guint32 offset,
                    guchar *out)
{
  if (buf == NULL || out == NULL || offset >= length)
    return 0;
  *out = buf[offset];
  return 1;
}

extern "C" int
meta_ext_read_short (const guchar *buf, guint32 length, guint32 offset,
                     guint16 *out)
{
  return read_value (buf, length, offset, out, false);
}

extern "C" int
meta_ext_read_int (const guchar *buf, guint32 length, guint32 offset,
                   guint32 *out)
{
  return read_value (buf, length, offset, out, false);
}

extern "C" int
meta_ext_read_short_be (const guchar *buf, guint32 length, guint32 offset,
                        guint16 *out)
{
  return read_value (buf, length, offset, out, true);
}

extern "C" int
meta_ext_read_int_be (const guchar *buf, guint32 length, guint32 offset,
                      guint32 *out)
{
  return read_value (buf, length, offset, out, true);
}

extern "C" int
meta_ext_read_int64_be (const guchar *buf, guint32 length, guint32 offset,
                        guint64 *out)
{
  return read_value (buf, length, offset, out, true);
}

extern "C" int
meta_ext_read_string (const guchar *buf, guint32 length, guint32 offset,
                      gchar *out, guint32 count)
{
  if (buf == NULL || out == NULL || !read_fits (length, offset, count))
    return 0;
  memcpy (out, buf + offset, count);
  out[count] = '\0';
  return 1;
}

extern "C" int
meta_read_fourcc (const guchar *buf, guint32 length, const gchar *code,
                  guint32 offset)
{
  if (buf == NULL || code == NULL || !read_fits (length, offset, 4))
    return 0;
  return memcmp (buf + offset, code, 4) == 0 ? 1 : 0;
}

extern "C" int
get_endianness (void)
{
  const guint32 one = 1;
  guchar first;
  memcpy (&first, &one, 1);
  return first == 1 ? 0 : 1;
}

extern "C" void
be_to_le_short (guint16 *value)
{
  if (value != NULL)
    *value = GUINT16_SWAP_LE_BE (*value);
}

extern "C" void
be_to_le_int (guint32 *value)
{
  if (value != NULL)
    *value = GUINT32_SWAP_LE_BE (*value);
}

/* The limit comes from the libtessel loaded in the process; a negative
 * configured value compares as a huge unsigned one, that is no limit.
 *
 * Sizes are handled in 64 bits: a file of 4 GiB or more would otherwise
 * have its size cut to the low 32 bits and be mapped short (or, cut to
 * 0, be taken for an empty file).  Such a file reports G_MAXUINT32 through
 * the size output, the largest size that output can carry. */
extern "C" guchar *
meta_mmap (const gchar *path, guint32 *mapped_length, guint32 *file_size)
{
  if (path == NULL || mapped_length == NULL)
    return NULL;

  /* Non-blocking, so that a FIFO without a writer cannot hold the caller:
   * it opens at once and is refused below as an empty file. */
  int fd = open (path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return NULL;

  struct stat st;
  if (fstat (fd, &st) != 0)
    {
      close (fd);
      return NULL;
    }

  const guint64 size = st.st_size > 0 ? static_cast<guint64> (st.st_size) : 0;
  const guint32 reported
      = size > G_MAXUINT32 ? G_MAXUINT32 : static_cast<guint32> (size);
  *mapped_length = reported;
  if (file_size != NULL)
    *file_size = reported;

  if (size == 0)
    {
      close (fd);
      return NULL;
    }

  const guint32 limit = static_cast<guint32> (meta_conf_get_max_file_sz ());
  if (size > limit)
    *mapped_length = limit;

  void *map = MAP_FAILED;
  if (*mapped_length > 0)
    map = mmap (NULL, *mapped_length, PROT_READ, MAP_PRIVATE, fd, 0);
  close (fd);
  if (map == MAP_FAILED || map == NULL)
    {
      *mapped_length = 0;
      return NULL;
    }
  return static_cast<guchar *> (map);
}
