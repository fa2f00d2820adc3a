/* The word index beside Metadata: an FTS5 table without content of its own
 * (the words only, keyed by the row's rowid, so the file grows little),
 * kept in step by triggers, so that every writer of the table (the storage
 * calls, the trim, other processes, the user's own SQL) keeps it right
 * without knowing about it. */
#include "metadata_storage-private.h"
#include "metadata_storage_fts-private.h"
#include "metadata_storage_reader-private.h"

#define TRIGGER_INSERT STORAGE_SEARCH_TABLE "Insert"
#define TRIGGER_DELETE STORAGE_SEARCH_TABLE "Delete"
#define TRIGGER_UPDATE STORAGE_SEARCH_TABLE "Update"

/* The last component of a path or URL, in SQL: what remains after the
 * longest prefix that ends in '/'.  Only built-in functions, so that every
 * connection to the file, ours or not, can run the triggers. */
#define BASE_NAME(col)                                                        \
  "substr(" col ", length(rtrim(" col ", replace(" col ", '/', ''))) + 1)"

#define INDEXED_VALUES(row)                                                   \
  row ".rowid, " row ".Title, " row ".Artist, " row ".Album, " row            \
      ".Genre, " BASE_NAME (row ".Filename")

/* Words waiting for the index while a group of rows is stored: the
 * index takes its pending words as a new block at the end of every
 * statement that wrote to it, and a block per row costs more than storing
 * the row.  Both tables hold rows only inside the write transaction of
 * such a group, never in a committed state: a row in the group table
 * opens the group and turns the triggers to the pending table, and the
 * group's words go to the index in one statement before it commits.  The
 * mark is a table of its own because an insertion that reads its own
 * table must first copy what it reads into a temporary table, for every
 * row stored. */
#define PENDING_TABLE "MetadataPendingWords"
#define GROUP_TABLE "MetadataWordsGroup"
#define PENDING "EXISTS (SELECT 1 FROM " GROUP_TABLE ")"

/* The words of the row, as the index is given them when the row appears;
 * removing a row from an index without content needs exactly the values
 * it was added with, which is what OLD holds.  Either straight to the
 * index or, inside a group, to the pending words. */
#define ADD_ROW(row)                                                          \
  "INSERT INTO " STORAGE_SEARCH_TABLE " (rowid, Title, Artist, Album, "       \
  "Genre, Name) SELECT " INDEXED_VALUES (row) " WHERE NOT " PENDING ";"       \
  "INSERT INTO " PENDING_TABLE " (remove, docid, Title, Artist, Album, "      \
  "Genre, Name) SELECT 0, " INDEXED_VALUES (row) " WHERE " PENDING ";"
#define REMOVE_ROW(row)                                                       \
  "INSERT INTO " STORAGE_SEARCH_TABLE " (" STORAGE_SEARCH_TABLE ", rowid, "   \
  "Title, Artist, Album, Genre, Name) SELECT 'delete', " INDEXED_VALUES (    \
      row) " WHERE NOT " PENDING ";"                                          \
  "INSERT INTO " PENDING_TABLE " (remove, docid, Title, Artist, Album, "      \
  "Genre, Name) SELECT 1, " INDEXED_VALUES (row) " WHERE " PENDING ";"

/* Statements creating the index, in order, inside one transaction. */
static const char *const create_sql[] = {
  "CREATE VIRTUAL TABLE " STORAGE_SEARCH_TABLE " USING fts5 (Title, Artist, "
  "Album, Genre, Name, content = '', columnsize = 0, tokenize = 'unicode61 "
  "remove_diacritics 2')",
  "INSERT INTO " STORAGE_SEARCH_TABLE " (rowid, Title, Artist, Album, Genre, "
  "Name) SELECT " INDEXED_VALUES ("Metadata") " FROM Metadata",
  "CREATE TABLE " PENDING_TABLE " (remove INTEGER, docid INTEGER, Title, "
  "Artist, Album, Genre, Name)",
  "CREATE TABLE " GROUP_TABLE " (open INTEGER)",
  "CREATE TRIGGER " TRIGGER_INSERT " AFTER INSERT ON Metadata BEGIN " ADD_ROW (
      "new") " END",
  "CREATE TRIGGER " TRIGGER_DELETE
  " AFTER DELETE ON Metadata BEGIN " REMOVE_ROW ("old") " END",
  /* Any update, not only of the five columns: a row whose rowid changed
   * must move too.  Updates that leave the words as they were (presence,
   * play times, a file indexed again unchanged) cost only the test. */
  "CREATE TRIGGER " TRIGGER_UPDATE " AFTER UPDATE ON Metadata WHEN "
  "old.rowid IS NOT new.rowid OR old.Title IS NOT new.Title OR old.Artist "
  "IS NOT new.Artist OR old.Album IS NOT new.Album OR old.Genre IS NOT "
  "new.Genre OR old.Filename IS NOT new.Filename BEGIN " REMOVE_ROW (
      "old") " " ADD_ROW ("new") " END",
};

/* Removes what an earlier, unfinished or outdated index left. */
static const char *const drop_sql[] = {
  "DROP TRIGGER IF EXISTS " TRIGGER_INSERT,
  "DROP TRIGGER IF EXISTS " TRIGGER_DELETE,
  "DROP TRIGGER IF EXISTS " TRIGGER_UPDATE,
  "DROP TABLE IF EXISTS " PENDING_TABLE,
  "DROP TABLE IF EXISTS " GROUP_TABLE,
};

/* How many of the index's tables and triggers the file holds: 0 to
 * OBJECTS.  Triggers of an older index, which wrote every row's words
 * straight to the index or marked a group in the pending table itself, do
 * not count: the index is then built anew with these. */
#define OBJECTS 6
static int
objects_present (void)
{
  sqlite3_stmt *raw = NULL;
  if (!storage_query_first_row (
          "SELECT count(*) FROM sqlite_master WHERE (type = 'table' AND name "
          "IN ('" STORAGE_SEARCH_TABLE "', '" PENDING_TABLE "', '"
          GROUP_TABLE "')) OR (type = 'trigger' AND tbl_name = 'Metadata' "
          "AND name IN ('" TRIGGER_INSERT "', '" TRIGGER_DELETE "', '"
          TRIGGER_UPDATE "') AND sql LIKE '%" GROUP_TABLE "%')",
          &raw))
    return -1;
  int count = sqlite3_column_int (raw, 0);
  sqlite3_finalize (raw);
  return count;
}

/* TRUE when the file lists the index's table, readable or not. */
static gboolean
table_listed (void)
{
  sqlite3_stmt *raw = NULL;
  if (!storage_query_first_row ("SELECT name FROM sqlite_master WHERE type = "
                                "'table' AND name = '" STORAGE_SEARCH_TABLE
                                "'",
                                &raw))
    return FALSE;
  sqlite3_finalize (raw);
  return TRUE;
}

/* TRUE when the index's table exists and this SQLite can read it. */
static gboolean
index_readable (void)
{
  sqlite3_stmt *raw = NULL;
  int rc = sqlite3_prepare_v2 (
      storage_db, "SELECT rowid FROM " STORAGE_SEARCH_TABLE " LIMIT 0", -1,
      &raw, NULL);
  sqlite3_finalize (raw);
  return rc == SQLITE_OK;
}

/* Runs statements in order inside one write transaction; all or none. */
static gboolean
run_transaction (const char *const *sql, gsize count)
{
  if (!storage_exec_retry ("BEGIN IMMEDIATE"))
    return FALSE;
  for (gsize i = 0; i < count; i++)
    if (!storage_exec_retry (sql[i]))
      {
        storage_exec_retry ("ROLLBACK");
        return FALSE;
      }
  if (storage_exec_retry ("COMMIT"))
    return TRUE;
  storage_exec_retry ("ROLLBACK");
  return FALSE;
}

/* How well the current row matches, for ORDER BY (lower is better): for
 * every word of the query the weight of the best column holding it.
 * Unlike bm25 it looks at the current row only, not at every row holding
 * each word, which keeps a query with a common word fast; and it needs no
 * column lengths, which the index does not keep (one table less to write
 * for every row stored). */
static void
find_rank (const Fts5ExtensionApi *api, Fts5Context *fts,
           sqlite3_context *ctx, int n_args, sqlite3_value **args) noexcept
{
  (void) n_args;
  (void) args;
  /* Title, Artist, Album, Genre, Name: the index's column order. */
  static const double weights[] = { 10.0, 6.0, 4.0, 2.0, 1.0 };
  int phrases = api->xPhraseCount (fts);
  int hits = 0;
  if (phrases <= 0 || api->xInstCount (fts, &hits) != SQLITE_OK)
    {
      sqlite3_result_double (ctx, 0.0);
      return;
    }
  g_autofree double *best = g_new0 (double, phrases);
  for (int i = 0; i < hits; i++)
    {
      int phrase = 0, column = 0, offset = 0;
      if (api->xInst (fts, i, &phrase, &column, &offset) != SQLITE_OK
          || phrase < 0 || phrase >= phrases || column < 0
          || column >= static_cast<int> (G_N_ELEMENTS (weights)))
        continue;
      best[phrase] = MAX (best[phrase], weights[column]);
    }
  double score = 0;
  for (int p = 0; p < phrases; p++)
    score += best[p];
  sqlite3_result_double (ctx, -score);
}

/* FTS5 functions belong to a connection, not to the file. */
gboolean
storage_search_register_rank (sqlite3 *db)
{
  fts5_api *api = NULL;
  sqlite3_stmt *raw = NULL;
  if (sqlite3_prepare_v2 (db, "SELECT fts5(?1)", -1, &raw, NULL)
      == SQLITE_OK)
    {
      sqlite3_bind_pointer (raw, 1, &api, "fts5_api_ptr", NULL);
      sqlite3_step (raw);
    }
  sqlite3_finalize (raw);
  return api != NULL
         && api->xCreateFunction (api, STORAGE_SEARCH_RANK, NULL, find_rank,
                                  NULL)
                == SQLITE_OK;
}

static gboolean
register_rank (void)
{
  return storage_search_register_rank (storage_db);
}

/* Drops whatever is left of the index and builds it anew from the rows,
 * in one transaction.  With from_damage the index's blocks are first
 * replaced by those of an empty index: SQLite cannot even drop an index
 * whose list of segments it cannot read. */
static gboolean
build_index (gboolean from_damage)
{
  static const char *const empty_sql[] = {
    "DELETE FROM " STORAGE_SEARCH_TABLE "_data",
    "DELETE FROM " STORAGE_SEARCH_TABLE "_idx",
    /* The averages and the list of segments of an index without rows. */
    "INSERT INTO " STORAGE_SEARCH_TABLE "_data (id, block) VALUES (1, X''), "
    "(10, X'00000000000000')",
  };
  const char *sql[G_N_ELEMENTS (empty_sql) + G_N_ELEMENTS (drop_sql) + 1
                  + G_N_ELEMENTS (create_sql)];
  gsize n = 0;
  if (from_damage)
    for (const char *s : empty_sql)
      sql[n++] = s;
  for (const char *s : drop_sql)
    sql[n++] = s;
  sql[n++] = "DROP TABLE IF EXISTS " STORAGE_SEARCH_TABLE;
  for (const char *s : create_sql)
    sql[n++] = s;
  return run_transaction (sql, n);
}

/* Whether the index was checked whole on this connection. */
static gboolean index_checked;

/* An index of at most this many blocks is checked whole at every open: a
 * few milliseconds.  A larger one is checked when a search first meets
 * it. */
#define CHEAP_CHECK_BLOCKS 256

/* TRUE when the index holds at most CHEAP_CHECK_BLOCKS blocks. */
static gboolean
index_small (void)
{
  sqlite3_stmt *raw = NULL;
  if (!storage_query_first_row (
          "SELECT count(*) FROM (SELECT 1 FROM " STORAGE_SEARCH_TABLE
          "_data LIMIT " G_STRINGIFY (CHEAP_CHECK_BLOCKS) " + 1)",
          &raw))
    return FALSE;
  gboolean small = sqlite3_column_int (raw, 0) <= CHEAP_CHECK_BLOCKS;
  sqlite3_finalize (raw);
  return small;
}

/* Checks every block of the index; when one is damaged, builds the index
 * anew from the table and says so.  TRUE when it was built anew. */
static gboolean
repair_if_damaged (void)
{
  int rc = sqlite3_exec (storage_db,
                         "INSERT INTO " STORAGE_SEARCH_TABLE " ("
                         STORAGE_SEARCH_TABLE ") VALUES ('integrity-check')",
                         NULL, NULL, NULL);
  /* A busy or read-only database is checked again next time. */
  if (rc == SQLITE_OK || (rc & 0xff) == SQLITE_CORRUPT)
    index_checked = TRUE;
  if ((rc & 0xff) != SQLITE_CORRUPT || !build_index (TRUE))
    return FALSE;
  const char *file = sqlite3_db_filename (storage_db, "main");
  g_warning ("The word index of the database %s was damaged; it has been "
             "rebuilt from the table Metadata",
             file != NULL && *file != '\0' ? file : "in memory");
  return TRUE;
}

static gboolean
ensure_index (void)
{
  index_checked = FALSE;
  if (storage_db == NULL)
    return FALSE;
  int present = objects_present ();
  if (present < 0)
    return FALSE;
  gboolean readable = present > 0 && index_readable ();
  if (present == OBJECTS && readable)
    {
      if (index_small ())
        repair_if_damaged ();
      return TRUE;
    }

  if (!readable && table_listed ())
    {
      /* Made by an SQLite with FTS5, opened by one without: the triggers
       * would make every change of Metadata fail.  They go; the next open
       * by an SQLite that has FTS5 builds the index anew. */
      run_transaction (drop_sql, G_N_ELEMENTS (drop_sql));
      return FALSE;
    }

  /* Missing, or only partly there (the table Metadata was dropped and made
   * anew, or the triggers were removed): whatever is left may not match
   * the rows any more, so it is built again from the rows. */
  if (build_index (FALSE))
    {
      index_checked = TRUE;
      return TRUE;
    }
  /* Triggers left without their table (someone dropped it) would make
   * every change of Metadata fail. */
  if (present > 0)
    run_transaction (drop_sql, G_N_ELEMENTS (drop_sql));
  return FALSE;
}

gboolean
storage_ensure_search_index (void)
{
  return ensure_index () && register_rank ();
}

/* Whether this connection's open transaction stores a group. */
static gboolean group_open;

void
storage_search_index_group_begin (void)
{
  /* Without the index (or its pending table) there is nothing to put off:
   * the insertion fails and the rows go through the triggers, if any. */
  group_open = sqlite3_exec (storage_db,
                             "INSERT INTO " GROUP_TABLE " DEFAULT VALUES",
                             NULL, NULL, NULL)
               == SQLITE_OK;
}

gboolean
storage_search_index_group_end (gboolean index)
{
  if (!group_open)
    return TRUE;
  group_open = FALSE;
  return index
         && storage_exec_retry (
             "INSERT INTO " STORAGE_SEARCH_TABLE " (" STORAGE_SEARCH_TABLE
             ", rowid, Title, Artist, Album, Genre, Name) SELECT CASE WHEN "
             "remove THEN 'delete' END, docid, Title, Artist, Album, Genre, "
             "Name FROM " PENDING_TABLE " ORDER BY rowid")
         && storage_exec_retry ("DELETE FROM " PENDING_TABLE)
         && storage_exec_retry ("DELETE FROM " GROUP_TABLE);
}

gboolean
storage_search_index_repair (gboolean failed)
{
  if (storage_db == NULL || (index_checked && !failed))
    return FALSE;
  return repair_if_damaged () && register_rank ();
}

/* Letters, digits and private-use characters make words, as they do for
 * the index's tokenizer; combining marks belong to the word they are in
 * (the tokenizer drops them with the accents). */
static gboolean
is_word_char (gunichar c, gboolean *counts)
{
  switch (g_unichar_type (c))
    {
    case G_UNICODE_LOWERCASE_LETTER:
    case G_UNICODE_MODIFIER_LETTER:
    case G_UNICODE_OTHER_LETTER:
    case G_UNICODE_TITLECASE_LETTER:
    case G_UNICODE_UPPERCASE_LETTER:
    case G_UNICODE_DECIMAL_NUMBER:
    case G_UNICODE_LETTER_NUMBER:
    case G_UNICODE_OTHER_NUMBER:
    case G_UNICODE_PRIVATE_USE:
      *counts = TRUE;
      return TRUE;
    case G_UNICODE_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
    case G_UNICODE_NON_SPACING_MARK:
      return TRUE;
    default:
      return FALSE;
    }
}

gchar *
storage_search_match_expression (const gchar *text)
{
  if (text == NULL)
    return NULL;
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  GString *query = g_string_new (NULL);
  const gchar *p = valid;
  while (*p != '\0')
    {
      const gchar *start = p;
      gboolean counts = FALSE;
      while (*p != '\0' && is_word_char (g_utf8_get_char (p), &counts))
        p = g_utf8_next_char (p);
      if (counts)
        {
          /* A word holds no quote, so the quoting cannot be ended early;
           * the trailing star makes it a prefix. */
          if (query->len > 0)
            g_string_append_c (query, ' ');
          g_string_append_c (query, '"');
          g_string_append_len (query, start, p - start);
          g_string_append (query, "\"*");
        }
      if (p == start)
        p = g_utf8_next_char (p);
    }
  if (query->len == 0)
    {
      g_string_free (query, TRUE);
      return NULL;
    }
  return g_string_free (query, FALSE);
}
