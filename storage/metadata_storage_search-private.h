/* Search routines shared inside libtessel; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H
#define TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H

#include <glib-object.h>

#include "metadata.h"

/* A new GValue for a column of SQLite storage class type (1 integer, 2
 * floating point, 3 text) whose value SQLite renders as text: G_TYPE_INT,
 * G_TYPE_FLOAT or G_TYPE_STRING.  Integers beyond the range of an int are
 * clamped to it.  A blob (or any other class) has no conversion: critical,
 * NULL.  Release the value with g_value_unset and g_free. */
G_GNUC_INTERNAL GValue *storage_get_gvalue (int type, const gchar *text);

/* The file of the open database, for a search process to open; NULL when
 * none is open (or it lives in memory). */
G_GNUC_INTERNAL const char *storage_search_database (void);

/* meta_search_columns on the storage connection. */
G_GNUC_INTERNAL int storage_search_columns (const gchar *query,
                                            MetaColumnsFunc callback,
                                            gpointer user_data,
                                            GError **error);

#endif /* TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H */
