/* The length of an MPEG audio stream (MP3, MP2) that carries no Xing,
 * Info or VBRI header, found by walking its frame headers: both
 * extractor plug-ins use it, so that neither has to estimate. */
#ifndef BRISEL_MPEG_PRIVATE_H
#define BRISEL_MPEG_PRIVATE_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct
{
  gint64 milliseconds; /* the stream's playing time */
  gint32 bitrate;      /* average bits per second */
  guint32 frames;      /* frames counted, or reckoned at a constant rate */
  gboolean constant;   /* every frame sampled had the first one's bitrate */
  gboolean extrapolated; /* the audio ran past the bytes read: the length
                          * is the walked part's, scaled to the rest */
  gboolean has_vbr_header; /* the first frame is a Xing, Info or VBRI
                            * header, which tells the length itself */
} BriselMpegLength;

/* Reads an MPEG audio stream from its bytes: head holds the file's first
 * head_length bytes (or all of it), tail its last tail_length bytes;
 * file_size is the whole file's.  The stream starts right at the front,
 * or behind one or more ID3v2 tags (up to 4 KiB of padding or junk may
 * follow them), and ends before an APE tag and an ID3v1 tag.  With a
 * constant bitrate the length is the audio's size over it; otherwise the
 * frames are counted, times their samples over the sample rate.  FALSE
 * (and *out untouched) when the bytes are not such a stream: no run of
 * four frames that agree in version, layer and sample rate at its
 * start, or a free-format stream.  Never reads outside the buffers. */
G_GNUC_INTERNAL gboolean brisel_mpeg_scan (const guchar *head,
                                           guint32 head_length,
                                           guint64 file_size,
                                           const guchar *tail,
                                           guint32 tail_length,
                                           BriselMpegLength *out);

/* brisel_mpeg_scan on a file, of which at most the configured max_file_sz
 * bytes are mapped (meta_mmap) and the last bytes are read.  FALSE for a
 * NULL name, a file that is not regular or cannot be read, and what
 * brisel_mpeg_scan refuses. */
G_GNUC_INTERNAL gboolean brisel_mpeg_length (const gchar *filename,
                                             BriselMpegLength *out);

G_END_DECLS

#endif /* BRISEL_MPEG_PRIVATE_H */
