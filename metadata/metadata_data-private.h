/* How the library reaches its exported data objects; not part of the
 * public ABI. */
#ifndef TESSEL_METADATA_DATA_PRIVATE_H
#define TESSEL_METADATA_DATA_PRIVATE_H

#include "metadata.h"
#include "metadata_conf.h"

/* config, search_lock and search_ids stay exported, but the library never
 * reaches them by those names: a reference by name binds to the first
 * definition in the process, and an application's own global of the same
 * name (an int config of its own) would then be taken for the library's.
 * These point at the library's own objects; when the program was linked
 * against the exported ones, at the program's copies (a copy relocation
 * moves an exported object into the program, and the program and the
 * library must then share the copy).  They are chosen once, while the
 * library is loaded. */
G_GNUC_INTERNAL extern MetaConfig *tessel_config;
G_GNUC_INTERNAL extern pthread_mutex_t *tessel_search_lock;
G_GNUC_INTERNAL extern MetaSearchSlot *tessel_search_ids;

#define search_lock (*tessel_search_lock)
#define search_ids (tessel_search_ids)

#endif /* TESSEL_METADATA_DATA_PRIVATE_H */
