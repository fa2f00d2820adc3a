/* Tags written into a made sample with the tag library, for containers
 * whose GStreamer muxer drops the stream's tags. */
#ifndef TESSEL_TAG_WRITE_H
#define TESSEL_TAG_WRITE_H

#include "tessel-media.h"

G_BEGIN_DECLS

/* Writes the title, artist, album, genre, track and year m expects into
 * the file at path, in the tag kind its container carries (MP4 atoms,
 * AIFF's ID3v2 chunk, ...).  TRUE when saved. */
gboolean tessel_tag_write (const gchar *path, const TesselMedia *m);

/* Writes an album artist, a disc number text ("2/3") and a compilation
 * flag text ("1") into the file at path, each left out when NULL, beside
 * the tags it has.  An MPEG file gets an ID3v2 tag of id3v2_version (3
 * or 4) and no other tag.  TRUE when saved. */
gboolean tessel_tag_write_album (const gchar *path, const gchar *album_artist,
                                 const gchar *disc, const gchar *compilation,
                                 gint id3v2_version);

/* Writes the NULL-terminated values as the several values of one property
 * (a tag library property name: "ARTIST", "ALBUM", ...) into the file at
 * path, beside the tags it has; an MPEG file as for
 * tessel_tag_write_album ().  TRUE when saved. */
gboolean tessel_tag_write_values (const gchar *path, const gchar *property,
                                  const gchar *const *values,
                                  gint id3v2_version);

/* Adds a picture of the given bytes to the file at path, beside the ones
 * it has, as its container carries pictures: an ID3v2 APIC frame (MPEG),
 * a picture block (FLAC), a METADATA_BLOCK_PICTURE comment (Ogg) or a
 * covr item (MP4, which has no picture types).  front makes it the front
 * cover, else another picture.  TRUE when saved. */
gboolean tessel_tag_write_picture (const gchar *path, const guchar *data,
                                   gsize size, const gchar *mime,
                                   gboolean front);

G_END_DECLS

#endif /* TESSEL_TAG_WRITE_H */
