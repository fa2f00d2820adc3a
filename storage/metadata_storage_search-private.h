/* Search routines shared inside libtessel; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H
#define TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H

#include <glib-object.h>

/* A new GValue for a column of SQLite storage class type (1 integer, 2
 * floating point, 3 text) whose value SQLite renders as text: G_TYPE_INT,
 * G_TYPE_FLOAT or G_TYPE_STRING.  Integers beyond the range of an int are
 * clamped to it.  A blob (or any other class) has no conversion: critical,
 * NULL.  Release the value with g_value_unset and g_free. */
G_GNUC_INTERNAL GValue *storage_get_gvalue (int type, const gchar *text);

/* For a freshly forked search process: opens a connection of its own to
 * the database file the process had open, with the same busy timeout, and
 * makes it the storage connection.  The inherited connection belongs to the
 * parent and is left alone (neither used nor closed).  1 or 0. */
G_GNUC_INTERNAL int storage_open_search_connection (void);

/* In a search process, the connection inherited from the parent. */
G_GNUC_INTERNAL extern struct sqlite3 *storage_inherited_db;

/* Escaping of the search result line: TAB, newline and backslash inside a
 * name or value are written as "\t", "\n" and "\\", so that a value holding
 * them cannot split the line.  unescape undoes it in place. */
G_GNUC_INTERNAL void storage_search_escape (GString *line, const char *text);
G_GNUC_INTERNAL void storage_search_unescape (char *text);

#endif /* TESSEL_METADATA_STORAGE_SEARCH_PRIVATE_H */
