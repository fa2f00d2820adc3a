/* Search routines shared inside libtessel; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H
#define TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H

#include <glib-object.h>
#include <sqlite3.h>

#include "metadata.h"

/* Sets value (zero-filled, as G_VALUE_INIT, or holding a value of this
 * function) to a column of SQLite storage class type (1 integer, 2
 * floating point, 3 text) whose value SQLite renders as text:
 * G_TYPE_INT, G_TYPE_FLOAT or G_TYPE_STRING, the string borrowing text
 * (g_value_set_static_string), so that it lasts no longer than text.
 * Integers beyond the range of an int are clamped to it.  A blob (or any
 * other class) has no conversion: critical, FALSE, value left alone.
 * Release value with g_value_unset. */
G_GNUC_INTERNAL gboolean storage_get_gvalue (GValue *value, int type,
                                             const gchar *text);

/* The file of the open database, for a search process to open; NULL when
 * none is open (or it lives in memory). */
G_GNUC_INTERNAL const char *storage_search_database (void);

/* TRUE when no two rows of Metadata on db (NULL: the library's own
 * connection) can be alike: every row has a file name, and a unique index
 * of the file names alone keeps them apart as the column compares them.
 * FALSE also when that cannot be told (no such table, a failed look). */
G_GNUC_INTERNAL gboolean storage_file_names_unique (sqlite3 *db);

/* meta_search_columns on the storage connection. */
G_GNUC_INTERNAL int storage_search_columns (const gchar *query,
                                            MetaColumnsFunc callback,
                                            gpointer user_data,
                                            GError **error);

/* The same for the rows of a query the object search could make
 * resources of: a blob, which no resource takes, fails it (0, no call,
 * error set) rather than reading as a NULL. */
G_GNUC_INTERNAL int storage_search_object_columns (const gchar *query,
                                                   MetaColumnsFunc callback,
                                                   gpointer user_data,
                                                   GError **error);

#endif /* TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H */
