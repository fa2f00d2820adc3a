/* Tessel storage: the one SQLite table "Metadata" that holds a row per
 * indexed file or stream URL.
 *
 * Calls return 1 for success and 0 for failure or refusal unless said
 * otherwise.  Keys are column names and must be plain SQL identifiers
 * (ASCII letters, digits and underscores, not starting with a digit); any
 * other key is refused with 0 before SQL is built from it.  No statement
 * longer than 2047 bytes is run. */
#ifndef TESSEL_METADATA_STORAGE_H
#define TESSEL_METADATA_STORAGE_H

#include <stdio.h>

#include <glib.h>

#include "metadata.h"
#include "tessel_export.h"

G_BEGIN_DECLS

/**
 * storage_set_path:
 * @path: (nullable) (type filename): the database file, or %NULL for the
 *   default, ".meta_storage" in the running user's home folder
 *
 * Sets the database file the next meta_init() opens.  The string is
 * copied.
 */
TESSEL_API void storage_set_path (const gchar *path);

/* Applications use the meta_ calls, which wrap the calls below and check
 * their arguments.  The introspection scanner does not see them: under the
 * Tessel namespace storage_init and meta_init would both be Tessel.init,
 * and a name conflict stops the scanner before any (skip) applies. */
#ifndef __GI_SCANNER__
TESSEL_API int storage_init (void);
TESSEL_API int storage_close (void);
TESSEL_API int storage_file_exists (const gchar *filename, gchar try_other,
                                    gchar **other_name);
TESSEL_API void storage_vacuum (int limit);

/* Storing records and presence */
TESSEL_API int storage_store (MetaItem *list, const gchar *filename,
                              gchar present);
TESSEL_API int storage_set_present (const gchar *filename);
TESSEL_API int storage_clear_present (const gchar *filename);
TESSEL_API int storage_path_clear_present (const gchar *path);
TESSEL_API int storage_read_size_lastmodified_present (const gchar *filename,
                                                       gint32 *size,
                                                       gint32 *lastmodified,
                                                       gchar *present);
TESSEL_API int storage_get_file_list (gchar ***list);
TESSEL_API int storage_delete_by_key (const gchar *key, MetaValue value);

/* Typed key access and arrays */
TESSEL_API int storage_read_text (const gchar *filename, const gchar *key,
                                  gchar **value);
TESSEL_API int storage_read_int (const gchar *filename, const gchar *key,
                                 gint32 *value);
TESSEL_API int storage_read_double (const gchar *filename, const gchar *key,
                                    gdouble *value);
TESSEL_API int storage_get_key_type (const gchar *filename, const gchar *key);
TESSEL_API int storage_write_int (const gchar *filename, const gchar *key,
                                  gint32 value);
TESSEL_API int storage_write_double (const gchar *filename, const gchar *key,
                                     gdouble value);
TESSEL_API int storage_write_text (const gchar *filename, const gchar *key,
                                   const gchar *value);
TESSEL_API int storage_write_array (const gchar *filename, const gchar *key,
                                    gint index, MetaValue value);
TESSEL_API int storage_read_array (const gchar *filename, const gchar *key,
                                   gint *index, void *value, MetaType *type);

/* Searching */
TESSEL_API int storage_search_async (FILE *stream, const gchar *query);
TESSEL_API int storage_search_sync (const gchar *query,
                                    MetaSearchFunc callback,
                                    gpointer user_data);
TESSEL_API gboolean storage_search_sync_objects_list (const gchar *filter,
                                                      GList **objects_list);

#endif /* __GI_SCANNER__ */

G_END_DECLS

#endif /* TESSEL_METADATA_STORAGE_H */
