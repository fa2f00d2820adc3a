/* Small media files made at test time with GStreamer's own elements, with
 * known tags and lengths. */
#ifndef TESSEL_MEDIA_H
#define TESSEL_MEDIA_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct
{
  const gchar *name;     /* file name inside the media folder */
  const gchar *elements; /* elements it needs, blank-separated */
  const gchar *pipeline; /* "%s" stands for the output file; NULL: written */
  const gchar *mime;     /* expected MIME type */
  const gchar *title;    /* expected "Title" */
  const gchar *artist;   /* expected "Artist", or NULL */
  const gchar *album;    /* expected "Album", or NULL */
  const gchar *genre;    /* expected "Genre", or NULL */
  gint track;            /* expected "Track", or 0 for none */
  const gchar *year;     /* expected "Year", or NULL */
  const gchar *codec;    /* expected "Codec", or NULL for none */
  gint length;           /* expected "Length" in seconds, or -1 for none */
  gboolean bitrate;      /* a "Bitrate" is expected */
  gboolean exact_length; /* "Length" is exactly length, not just near */
} TesselMedia;

/* The media every end-to-end test uses, ended by an entry without name. */
extern const TesselMedia tessel_media[];

/* Points GStreamer at a registry file of this test program's own in the
 * build directory; call first thing in main (). */
void tessel_media_use_own_registry (const gchar *program);

/* Makes every file of tessel_media[] whose elements exist in dir.  Returns
 * the number made. */
guint tessel_media_make (const gchar *dir);
/* The same for the files of another table made by pipeline. */
guint tessel_media_make_table (const TesselMedia *table, const gchar *dir);

/* TRUE when the file of m exists in dir; otherwise marks the running test
 * skipped and returns FALSE. */
gboolean tessel_media_available (const TesselMedia *m, const gchar *dir);

G_END_DECLS

#endif /* TESSEL_MEDIA_H */
