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

G_END_DECLS

#endif /* TESSEL_TAG_WRITE_H */
