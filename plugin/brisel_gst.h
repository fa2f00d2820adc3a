/* The extractor plug-in libbrisel_gst: the entry point get_metadata, the
 * ID3 extractor and the bounded byte readers for format parsers.
 *
 * The plug-in does not link against libtessel: the list and configuration
 * calls it uses resolve at load time against the libtessel already in the
 * process. */
#ifndef BRISEL_GST_H
#define BRISEL_GST_H

#include <glib.h>

#include "metadata.h"

G_BEGIN_DECLS

#define BRISEL_API __attribute__ ((visibility ("default")))

/* GStreamer extraction (get_metadata and its helpers) */
BRISEL_API MetaItem *get_metadata (const gchar *filename);
BRISEL_API gchar *meta_get_basename (const gchar *filename);

/* ID3 extraction, byte readers and file mapping: declared below this line
 * by the ID3 unit. */

/* Reads the file's ID3v2 and ID3v1 tags and its MPEG audio header into a
 * new metadata list: "Bitrate" (bits per second) and "Length" (seconds)
 * from the header, then "Album", "Genre", "Title", "Artist", "Publisher",
 * "Track" and "Year" in the tag's frame order; ID3v1 fills only the keys
 * the ID3v2 frames lack; "Title" falls back to the file's base name.
 * NULL for a NULL name; otherwise the list holds at least "Title".  The
 * caller releases it with meta_free_list (). */
BRISEL_API MetaItem *meta_ext_id3 (const gchar *filename);

/* Bounded readers: each reads a value at offset inside buf of length
 * bytes and returns 1, or returns 0 and leaves the output untouched.  A
 * read of width w is accepted only when offset + w < length (the value may
 * not end on the buffer's last byte); the one-byte reader accepts
 * offset < length.  A NULL buffer or output gives 0.  No alignment is
 * required.  The _be readers convert from big-endian to host order. */
BRISEL_API int meta_ext_read_char (const guchar *buf, guint32 length,
                                   guint32 offset, guchar *out);
BRISEL_API int meta_ext_read_short (const guchar *buf, guint32 length,
                                    guint32 offset, guint16 *out);
BRISEL_API int meta_ext_read_int (const guchar *buf, guint32 length,
                                  guint32 offset, guint32 *out);
BRISEL_API int meta_ext_read_short_be (const guchar *buf, guint32 length,
                                       guint32 offset, guint16 *out);
BRISEL_API int meta_ext_read_int_be (const guchar *buf, guint32 length,
                                     guint32 offset, guint32 *out);
BRISEL_API int meta_ext_read_int64_be (const guchar *buf, guint32 length,
                                       guint32 offset, guint64 *out);
/* Copies count bytes and writes a NUL at out[count]: out must hold
 * count + 1 bytes. */
BRISEL_API int meta_ext_read_string (const guchar *buf, guint32 length,
                                     guint32 offset, gchar *out,
                                     guint32 count);
/* 1 when the four bytes at offset equal code exactly (case matters), 0
 * when they differ, the read is refused, or buf or code is NULL. */
BRISEL_API int meta_read_fourcc (const guchar *buf, guint32 length,
                                 const gchar *code, guint32 offset);

/* 0 on a little-endian host, 1 on a big-endian host. */
BRISEL_API int get_endianness (void);
/* Reverse the bytes of the value in place; NULL has no effect. */
BRISEL_API void be_to_le_short (guint16 *value);
BRISEL_API void be_to_le_int (guint32 *value);

/* Maps the first bytes of the file read-only: at most the configured
 * max_file_sz (meta_conf_get_max_file_sz ()).  Stores the number of bytes
 * mapped in *mapped_length and the file's size in *file_size (file_size
 * may be NULL; sizes of 4 GiB or more report G_MAXUINT32).  Returns NULL
 * for a NULL path or mapped_length, a file that cannot be opened, an
 * empty file or a failed mapping (then *mapped_length is 0).  The caller
 * releases the mapping with munmap (address, *mapped_length). */
BRISEL_API guchar *meta_mmap (const gchar *path, guint32 *mapped_length,
                              guint32 *file_size);

G_END_DECLS

#endif /* BRISEL_GST_H */
