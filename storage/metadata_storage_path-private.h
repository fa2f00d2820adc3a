/* The default database file, shared by the library and the tessel
 * command's messages. */
#ifndef METADATA_STORAGE_PATH_PRIVATE_H
#define METADATA_STORAGE_PATH_PRIVATE_H

#include <glib.h>

/* ".meta_storage" in the home folder of the user running the program
 * (HOME when it is set): on the device "/home/user/.meta_storage".  A new
 * string; g_free it. */
static inline gchar *
storage_default_path (void)
{
  return g_build_filename (g_get_home_dir (), ".meta_storage", NULL);
}

#endif /* METADATA_STORAGE_PATH_PRIVATE_H */
