/* The GStreamer extraction both extractor plug-ins share: libbrisel_gst
 * uses it for every file, libbrisel_tag for the files whose headers do not
 * tell it enough. */
#ifndef BRISEL_GST_EXTRACT_PRIVATE_H
#define BRISEL_GST_EXTRACT_PRIVATE_H

#include <glib.h>

#include "metadata.h"

class BriselCover;

G_BEGIN_DECLS

/* Pre-rolls filename and prepends its mapped tags, "Length" and "Bitrate"
 * onto *list.  Adds nothing for a NULL name, a file that is not regular or
 * cannot be pre-rolled, or when GStreamer cannot start.  When cover is
 * given and the album the tags name wants one, the image tags are offered
 * to it.  TRUE when a "Title" was among the tags.  Not reentrant. */
G_GNUC_INTERNAL gboolean brisel_gst_read_stream (const gchar *filename,
                                                 MetaItem **list,
                                                 BriselCover *cover);

/* Bytes read from the start of a file to sniff its MIME type, at most. */
#define BRISEL_SNIFF_SIZE 4096

/* How many of a file's first bytes the MIME sniffing reads:
 * BRISEL_SNIFF_SIZE, or the configured mapping limit when lower. */
G_GNUC_INTERNAL gsize brisel_sniff_size (void);

/* Prepends "MIME" (by name and first bytes), "Title" (the base name,
 * unless title_found) and "Filename" to list and returns the new head.
 * head holds the file's first head_length bytes, brisel_sniff_size () of
 * them or the whole file when it is shorter; with a NULL head they are
 * read from the file.  A relative name gets none of the keys: list is
 * returned as it is. */
G_GNUC_INTERNAL MetaItem *brisel_add_common_keys (const gchar *filename,
                                                  gboolean title_found,
                                                  const guchar *head,
                                                  gsize head_length,
                                                  MetaItem *list);

G_END_DECLS

#endif /* BRISEL_GST_EXTRACT_PRIVATE_H */
