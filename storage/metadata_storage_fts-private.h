/* The word index beside the table Metadata, that lets a player find rows
 * by the words of their title, artist, album, genre and file name.  Not
 * part of the public ABI. */
#ifndef TESSEL_METADATA_STORAGE_FTS_PRIVATE_H
#define TESSEL_METADATA_STORAGE_FTS_PRIVATE_H

#include <glib.h>

G_BEGIN_DECLS

/* The index's table; its rowid is the rowid of the row in Metadata. */
#define STORAGE_SEARCH_TABLE "MetadataSearch"

/* The connection's FTS5 function that orders the rows found, best first:
 * STORAGE_SEARCH_RANK (STORAGE_SEARCH_TABLE) in ORDER BY. */
#define STORAGE_SEARCH_RANK "tessel_find_rank"

/* Makes sure the open database holds the index and the triggers that keep
 * it in step with Metadata, creating them and indexing every existing row
 * in one transaction when any of them is missing.  A database that cannot
 * take the index (read-only, busy, a table Metadata without the columns it
 * reads, an SQLite without FTS5) is left as it was, without any trigger
 * that would make its statements on Metadata fail.  Also registers
 * STORAGE_SEARCH_RANK on the connection.  FALSE when the index cannot be
 * searched afterwards; the connection is usable either way. */
G_GNUC_INTERNAL gboolean storage_ensure_search_index (void);

/* Inside a write transaction this connection began: the rows stored until
 * group_end put their words off to then, and group_end (index TRUE) hands
 * them to the index in one statement.  group_end runs before the
 * transaction ends; FALSE when the words could not be indexed, and the
 * transaction must then be rolled back (as it must be with index FALSE,
 * which only forgets the group). */
G_GNUC_INTERNAL void storage_search_index_group_begin (void);
G_GNUC_INTERNAL gboolean storage_search_index_group_end (gboolean index);

/* For a search through the index that failed (failed TRUE) or found
 * nothing: damaged blocks of the index can do either.  Checks the whole
 * index, unless the search did not fail and this connection has checked
 * it already (an index of a few blocks is checked at every open); a
 * damaged index is built anew from the table, with a GLib warning.  TRUE
 * when it was built anew, so that the search is worth running again. */
G_GNUC_INTERNAL gboolean storage_search_index_repair (gboolean failed);

/* The text a person typed as an FTS5 query for the index: every word (a
 * run of letters, digits and their combining marks) as a quoted prefix
 * term, all of them required; everything else only separates words, so no
 * character has a meaning of its own in the query.  NULL (for g_free) when
 * text is NULL or holds no word. */
G_GNUC_INTERNAL gchar *storage_search_match_expression (const gchar *text);

G_END_DECLS

#endif /* TESSEL_METADATA_STORAGE_FTS_PRIVATE_H */
