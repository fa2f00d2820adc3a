/* Searching internals the front end shares; not part of the public ABI. */
#ifndef TESSEL_METADATA_SEARCH_PRIVATE_H
#define TESSEL_METADATA_SEARCH_PRIVATE_H

#include <glib.h>

/* Marks every search slot free, except one held by a running search. */
G_GNUC_INTERNAL void meta_search_reset_slots (void);

#endif /* TESSEL_METADATA_SEARCH_PRIVATE_H */
