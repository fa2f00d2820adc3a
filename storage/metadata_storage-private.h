/* Routines the storage units share; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_PRIVATE_H
#define TESSEL_METADATA_STORAGE_PRIVATE_H

#include <memory>
#include <string>
#include <vector>

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

/* Prepares sql and takes its first step, retrying while busy.  Returns
 * the step's result: SQLITE_ROW or SQLITE_DONE with *stmt prepared (the
 * caller steps on and finalizes it), or the failure with nothing open. */
G_GNUC_INTERNAL int storage_query_rows (const char *sql, sqlite3_stmt **stmt);

/* Runs one statement that returns no rows, six attempts while the database
 * is busy.  Text holding more than one statement is refused.  1 or 0. */
G_GNUC_INTERNAL int storage_exec_retry (const char *sql);

/* Makes sure the column key exists, adding it with the declared type for
 * kind (1 integer, 2 floating point, 3 text).  1 or 0. */
G_GNUC_INTERNAL int storage_ensure_column (const gchar *key, int kind);

/* The same path on the other memory card: the first path component that
 * is exactly "mmc1" or "mmc2" of an absolute local path, swapped for the
 * other.  NULL for any other name (a URL, "mmc10", "mmc2-backup").
 * g_free the result. */
G_GNUC_INTERNAL gchar *storage_card_swapped_name (const gchar *filename);

/* Tells the trim's cached row count about a statement of this connection
 * that changed the number of named rows by named_rows (0 for one that
 * changed none); changes_before is sqlite3_total_changes64 () taken just
 * before the statement.  The cache stays valid only when nothing else
 * changed rows in between. */
G_GNUC_INTERNAL void storage_row_count_changed (sqlite3_int64 changes_before,
                                                int named_rows);

/* The connection lock.  The process has one connection, and what a call
 * reads from it (its transaction state, the last error's text, the row
 * count kept for the trim) belongs to that call only while no other
 * thread runs statements on it.  Every exported call that uses the
 * connection holds this lock for its statements; it is recursive, so a
 * call may use another.  Calls release it before they call back into
 * the application. */
G_GNUC_INTERNAL void storage_lock (void);
G_GNUC_INTERNAL void storage_unlock (void);

class StorageLock
{
public:
  StorageLock () { storage_lock (); }
  ~StorageLock () { release (); }
  /* Lets go before the end of the scope, ahead of calls back. */
  void
  release ()
  {
    if (held)
      storage_unlock ();
    held = false;
  }
  StorageLock (const StorageLock &) = delete;
  StorageLock &operator= (const StorageLock &) = delete;

private:
  bool held = true;
};

/* Finalizes every kept statement not in use: before the connection
 * closes. */
G_GNUC_INTERNAL void storage_statements_forget (void);

/* Steps a kept statement, again while the database is busy (six steps at
 * most, each after the busy timeout): the step's result. */
G_GNUC_INTERNAL int storage_statement_step (sqlite3_stmt *stmt);

/* Steps a kept statement that returns no rows to its end: 1 or 0. */
G_GNUC_INTERNAL int storage_statement_run (sqlite3_stmt *stmt);

/* The values of a statement, in parameter order, as the composed text
 * would have written them: integers with "%d", floating-point values as
 * the six decimals of "%f" stand for, text as it would stand in an
 * escaped literal. */
class StorageValues
{
public:
  void add_int (gint64 number);
  /* FALSE for infinities and NaN, which have no literal. */
  gboolean add_real (double number);
  void add_text (const gchar *text);
  /* A list node's value; text cut at 255 bytes.  FALSE for a type
   * without a literal. */
  gboolean add_item (const gchar *value, const MetaType *type);
  /* TRUE when shape, with every parameter written as its literal, fits
   * the statement buffer: what would not have fit is refused still. */
  gboolean fits (const std::string &shape) const;
  gboolean bind (sqlite3_stmt *stmt) const;

private:
  struct Value
  {
    int kind;
    gint64 number;
    double real;
    std::string text;
  };
  static gsize literal_length (const Value &v);
  std::vector<Value> values;
};

/* The statement of shape (one statement, values as "?" parameters) with
 * values bound, for one use.  It is compiled once and kept on the
 * connection; SQLite compiles it again by itself when the schema has
 * changed (a column added).  stmt is NULL when the text with the values
 * written in would not fit the statement buffer, or does not compile.
 * Reset and unbound when released. */
class StorageBound
{
public:
  StorageBound (const std::string &shape, const StorageValues &values);
  ~StorageBound () { release (); }
  void release () noexcept;
  StorageBound (const StorageBound &) = delete;
  StorageBound &operator= (const StorageBound &) = delete;
  sqlite3_stmt *stmt = NULL;

private:
  gboolean kept = FALSE;
};

/* storage_store for a list an extractor plug-in made of the file: on an
 * update, every column that extractors fill and the list lacks is
 * cleared (where the table has it), so the row says what the file says
 * now.  Other columns keep their values. */
G_GNUC_INTERNAL int storage_store_extracted (MetaItem *list,
                                             const gchar *filename,
                                             gchar present);

/* A write transaction around several statements that belong together:
 * BEGIN IMMEDIATE takes the write lock first (waiting as any statement
 * does), so that what is looked up cannot change before it is written.
 * begin returns 1 when it began a transaction, 2 when the calling
 * thread's own transaction is open already (the work becomes part of
 * it), 0 when it could not begin, also when another thread's transaction
 * is open.  Unless it returns 0 it holds the connection lock until end,
 * which must then be called: end commits (commit TRUE) or rolls back what
 * begin began and returns 1 when the work stands, else 0. */
G_GNUC_INTERNAL int storage_write_begin (void);
G_GNUC_INTERNAL int storage_write_end (int begun, gboolean commit);

/* storage_write_begin for a group of rows stored together: in a
 * transaction it begins, the word index takes the group's words at its
 * end in one go, rather than a row at a time. */
G_GNUC_INTERNAL int storage_write_begin_group (void);

/* The size of the write-ahead log, in pages, at which SQLite checkpoints
 * by default. */
#define STORAGE_WAL_CHECKPOINT_PAGES 1000

/* An indexing pass begins (running TRUE) or ends: while one runs, the
 * connection's commits do not checkpoint; the pass calls
 * storage_checkpoint_if_due between its groups. */
G_GNUC_INTERNAL void storage_indexing_pass (gboolean running);

/* A passive checkpoint when the log has grown to half the automatic
 * limit, outside any transaction. */
G_GNUC_INTERNAL void storage_checkpoint_if_due (void);

/* The absolute name of the open database file, for watching it from a
 * connection of one's own; NULL while closed or for a database without a
 * file.  g_free the result. */
G_GNUC_INTERNAL gchar *storage_database_file (void);

#endif /* TESSEL_METADATA_STORAGE_PRIVATE_H */
