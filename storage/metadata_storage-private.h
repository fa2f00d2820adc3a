/* Routines the storage units share; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_PRIVATE_H
#define TESSEL_METADATA_STORAGE_PRIVATE_H

#include <memory>

#include <sqlite3.h>

#include "metadata_storage.h"
#include "metadata_storage_stream-private.h"

#define STORAGE_STATEMENT_SIZE 2048

/* The one connection of the process; NULL while closed. */
G_GNUC_INTERNAL extern sqlite3 *storage_db;

struct StorageSqlFree
{
  void operator() (char *p) const noexcept { sqlite3_free (p); }
};
struct StorageStmtFinalize
{
  void operator() (sqlite3_stmt *s) const noexcept { sqlite3_finalize (s); }
};
using StorageSql = std::unique_ptr<char, StorageSqlFree>;
using StorageStmt = std::unique_ptr<sqlite3_stmt, StorageStmtFinalize>;

/* TRUE when key may enter a statement as a bare column name. */
G_GNUC_INTERNAL gboolean storage_key_is_identifier (const gchar *key);

/* TRUE when key is an identifier naming a column of Metadata.  The rowid
 * SQLite gives every table is no column of ours: without this test a key
 * "rowid" would read, write and delete by it. */
G_GNUC_INTERNAL gboolean storage_column_exists (const gchar *key);

/* Formats a statement with SQLite's printf (use %Q for text values and file
 * names: it writes an escaped single-quoted literal).  Returns NULL when the
 * text, terminator included, does not fit the statement buffer. */
G_GNUC_INTERNAL StorageSql storage_compose (const char *format, ...);

/* Prepares sql and steps to its first row, retrying while busy.  1 with
 * *stmt open on the row (the caller finalizes it), or 0 with nothing open. */
G_GNUC_INTERNAL int storage_query_first_row (const char *sql,
                                             sqlite3_stmt **stmt);

/* Runs one statement that returns no rows, six attempts while the database
 * is busy.  Text holding more than one statement is refused.  1 or 0. */
G_GNUC_INTERNAL int storage_exec_retry (const char *sql);

/* Makes sure the column key exists, adding it with the declared type for
 * kind (1 integer, 2 floating point, 3 text).  1 or 0. */
G_GNUC_INTERNAL int storage_ensure_column (const gchar *key, int kind);

#endif /* TESSEL_METADATA_STORAGE_PRIVATE_H */
