/* Read-only connections of their own to the library's database file, for
 * work that runs on another thread beside the library's connection: in
 * write-ahead logging a reader never waits for the writer, nor the
 * writer for it.  Not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_READER_PRIVATE_H
#define TESSEL_METADATA_STORAGE_READER_PRIVATE_H

#include <glib.h>
#include <sqlite3.h>

/* Opens file read-only with the library's busy timeout and the functions
 * of its own that the library's queries call (the word index's rank
 * function).  NULL when file cannot be opened.  The connection takes no
 * storage lock: it belongs to the caller, who uses it from one thread at
 * a time and closes it with storage_reader_close. */
G_GNUC_INTERNAL sqlite3 *storage_reader_open (const gchar *file);
G_GNUC_INTERNAL void storage_reader_close (sqlite3 *db);

/* storage_search_sync_objects_list on a reader connection. */
G_GNUC_INTERNAL gboolean storage_reader_objects_list (sqlite3 *db,
                                                      const gchar *filter,
                                                      GList **objects_list);

/* Makes the word index's rank function known to db; FALSE when this
 * SQLite has no FTS5. */
G_GNUC_INTERNAL gboolean storage_search_register_rank (sqlite3 *db);

#endif /* TESSEL_METADATA_STORAGE_READER_PRIVATE_H */
