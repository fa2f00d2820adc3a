/* The row stepping and the result lines of a search, shared by libtessel
 * and the search helper program; not part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_STREAM_PRIVATE_H
#define TESSEL_METADATA_STORAGE_STREAM_PRIVATE_H

#include <stdio.h>

#include <glib.h>
#include <sqlite3.h>

#define STORAGE_BUSY_TIMEOUT_MS 500
#define STORAGE_ATTEMPTS 6

enum StorageStep
{
  STORAGE_STEP_ROW,
  STORAGE_STEP_DONE,
  STORAGE_STEP_FAILED
};

/* One step to the next row.  Only a busy or locked database is stepped
 * again (six steps at most), and only while no row of the statement has
 * been delivered (delivered FALSE): SQLite starts a statement over after a
 * failure, so a retry after a row would deliver the first rows a second
 * time.  Every other failure ends the search. */
G_GNUC_INTERNAL StorageStep storage_step_row (sqlite3_stmt *stmt,
                                              gboolean delivered);

/* Compiles one statement of db, again while the database is busy (six
 * attempts).  Text after it, other than blanks and
 * comments, makes the query refused: it would otherwise be silently
 * dropped.  NULL on any failure. */
G_GNUC_INTERNAL sqlite3_stmt *storage_prepare_query (sqlite3 *db,
                                                     const char *query);

/* The named value of column i of the current row, or NULL when the column
 * takes no part: NULL or blob, empty name, or empty text.  Both texts are
 * borrowed from the statement until the next step. */
G_GNUC_INTERNAL const char *storage_named_value (sqlite3_stmt *stmt, int i,
                                                 const char **name);

/* Runs query on db and writes one result line per row to stream, flushed
 * at once.  1 after the last row, 0 on failure (the lines written stay
 * written), with *reason (when reason is not NULL) set to a new text
 * saying why: g_free it. */
G_GNUC_INTERNAL int storage_stream_rows (sqlite3 *db, FILE *stream,
                                         const char *query, gchar **reason);

/* Why the last statement of db failed, as a new text (g_free it): SQLite's
 * message, or the refusal of a text holding more than one statement. */
G_GNUC_INTERNAL gchar *storage_failure_reason (sqlite3 *db);

/* Escaping of the search result line: TAB, newline and backslash inside a
 * name or value are written as "\t", "\n" and "\\", so that a value holding
 * them cannot split the line.  unescape undoes it in place. */
G_GNUC_INTERNAL void storage_search_escape (GString *line, const char *text);
G_GNUC_INTERNAL void storage_search_unescape (char *text);

#endif /* TESSEL_METADATA_STORAGE_STREAM_PRIVATE_H */
