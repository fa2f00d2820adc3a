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

/* Prepends "MIME" (by name and first bytes), "Title" (the base name,
 * unless title_found) and "Filename" to list and returns the new head.
 * A relative name gets none of them: list is returned as it is. */
G_GNUC_INTERNAL MetaItem *brisel_add_common_keys (const gchar *filename,
                                                  gboolean title_found,
                                                  MetaItem *list);

G_END_DECLS

#endif /* BRISEL_GST_EXTRACT_PRIVATE_H */
