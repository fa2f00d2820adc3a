/* Tessel library configuration: which plug-in handles which extension, and
 * the two size limits. */
#ifndef TESSEL_METADATA_CONF_H
#define TESSEL_METADATA_CONF_H

#include <glib.h>

#include "tessel_export.h"

G_BEGIN_DECLS

#define META_DEFAULT_MAX_FILE_SZ 5242880
#define META_DEFAULT_MAX_STORAGE_LIMIT 5000

/* One entry of the extension table. */
typedef struct
{
  gchar *libname; /* plug-in name without ".so.0"; may be NULL */
  gchar *ext;     /* extension without its dot, compared ignoring case */
} MetaLibEntry;

typedef struct
{
  MetaLibEntry **libconf; /* NULL-terminated, in file order; NULL if unloaded */
  gint32 max_file_sz;
  gint32 max_storage_limit;
} MetaConfig;

/* The process-wide configuration, filled by meta_load_lib_conf (). */
TESSEL_API extern MetaConfig config;

/**
 * meta_conf_set_path:
 * @path: (nullable) (type filename): the configuration file, or %NULL for
 *   the installed default
 */
/* Sets the file the next meta_load_lib_conf () reads; NULL restores the
 * installed default.  The string is copied. */
TESSEL_API void meta_conf_set_path (const gchar *path);

/**
 * meta_load_lib_conf:
 *
 * Reads the configuration file into config, appending its extension
 * entries to the table already loaded; limits still 0 at the end take
 * their defaults.  A file that cannot be opened changes nothing.
 *
 * Returns: 0, always: whether the file was read shows only in config
 *   (a table that stays %NULL, limits left as they were)
 */
TESSEL_API int meta_load_lib_conf (void);
TESSEL_API void meta_free_lib_conf (void);
/**
 * meta_reload_lib_conf:
 *
 * meta_free_lib_conf(), then meta_load_lib_conf(); the limits keep their
 * values where the file names none.
 *
 * Returns: 0, always, as meta_load_lib_conf()
 */
TESSEL_API int meta_reload_lib_conf (void);
/**
 * meta_get_libname:
 * @filename: (nullable): a file name
 *
 * Returns: (transfer full) (nullable): the plug-in configured for the
 *   extension, or %NULL
 */
TESSEL_API gchar *meta_get_libname (const gchar *filename);
TESSEL_API int meta_conf_has_recognized_extension (const gchar *filename);
TESSEL_API int meta_conf_get_max_file_sz (void);
TESSEL_API int meta_conf_get_max_storage_limit (void);
TESSEL_API void meta_print_lib_conf (void);

G_END_DECLS

#endif /* TESSEL_METADATA_CONF_H */
