/* A seam for tests of the ID3 extractor: not part of the plug-in's
 * interface and not exported from it.  Tests that compile the extractor
 * into their own program set the hook to make the extraction fail at a
 * chosen point. */
#ifndef BRISEL_ID3_TESTING_H
#define BRISEL_ID3_TESTING_H

#include <glib.h>

/* Called with the key before each tag item is added; may throw. */
G_GNUC_INTERNAL extern void (*brisel_id3_testing_frame_hook) (const char *key);

#endif /* BRISEL_ID3_TESTING_H */
