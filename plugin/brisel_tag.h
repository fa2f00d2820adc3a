/* The extractor plug-in libbrisel_tag: the entry point get_metadata,
 * reading tags and audio properties from a file's headers.
 *
 * The plug-in does not link against libtessel: the list and configuration
 * calls it uses resolve at load time against the libtessel already in the
 * process. */
#ifndef BRISEL_TAG_H
#define BRISEL_TAG_H

#include <glib.h>

#include "metadata.h"

G_BEGIN_DECLS

#define BRISEL_TAG_API __attribute__ ((visibility ("default")))

/* The metadata list of one media file, the same keys as libbrisel_gst's
 * get_metadata gives plus "Channels" and "Frequency" (Hz) where the
 * headers tell them.  The caller releases it with meta_free_list (). */
BRISEL_TAG_API MetaItem *get_metadata (const gchar *filename);

G_END_DECLS

#endif /* BRISEL_TAG_H */
