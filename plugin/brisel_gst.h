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

G_END_DECLS

#endif /* BRISEL_GST_H */
