/* A hook of the asynchronous search for test programs only; not installed
 * and not part of the library's interface to applications. */
#ifndef TESSEL_METADATA_SEARCH_TESTING_H
#define TESSEL_METADATA_SEARCH_TESTING_H

#include <glib.h>

#include "tessel_export.h"

G_BEGIN_DECLS

/* Runs later asynchronous searches with the search helper at path instead
 * of the one the library finds itself; NULL goes back to that one. */
TESSEL_API void meta_search_testing_set_helper (const gchar *path);

G_END_DECLS

#endif /* TESSEL_METADATA_SEARCH_TESTING_H */
