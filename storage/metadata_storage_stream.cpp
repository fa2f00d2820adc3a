/* Stepping through the rows of the caller's query and writing them as
 * result lines.  Built into libtessel and into the search helper, which
 * runs a search in a process of its own. */
#include "metadata_storage_stream-private.h"

#include <string.h>

StorageStep
storage_step_row (sqlite3_stmt *stmt, gboolean delivered)
{
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      int rc = sqlite3_step (stmt);
      if (rc == SQLITE_ROW)
        return STORAGE_STEP_ROW;
      if (rc == SQLITE_DONE)
        return STORAGE_STEP_DONE;
      if (delivered || (rc != SQLITE_BUSY && rc != SQLITE_LOCKED))
        return STORAGE_STEP_FAILED;
    }
  return STORAGE_STEP_FAILED;
}

sqlite3_stmt *
storage_prepare_query (sqlite3 *db, const char *query)
{
  if (db == NULL || query == NULL)
    return NULL;
  sqlite3_stmt *stmt = NULL;
  const char *tail = NULL;
  int rc = SQLITE_BUSY;
  /* Compiling reads the schema, so a busy database can refuse already
   * here; nothing has been delivered yet. */
  for (int attempt = 0;
       attempt < STORAGE_ATTEMPTS && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
       attempt++)
    rc = sqlite3_prepare_v2 (db, query, -1, &stmt, &tail);
  if (rc != SQLITE_OK || stmt == NULL)
    {
      sqlite3_finalize (stmt);
      return NULL;
    }
  if (tail != NULL && *tail != '\0')
    {
      sqlite3_stmt *second = NULL;
      int rc = sqlite3_prepare_v2 (db, tail, -1, &second, NULL);
      bool more = rc != SQLITE_OK || second != NULL;
      sqlite3_finalize (second);
      if (more)
        {
          sqlite3_finalize (stmt);
          return NULL;
        }
    }
  return stmt;
}

const char *
storage_named_value (sqlite3_stmt *stmt, int i, const char **name)
{
  /* The storage class must be read before the text conversion. */
  int type = sqlite3_column_type (stmt, i);
  if (type != SQLITE_INTEGER && type != SQLITE_FLOAT && type != SQLITE_TEXT)
    return NULL;
  *name = sqlite3_column_name (stmt, i);
  const char *text
      = reinterpret_cast<const char *> (sqlite3_column_text (stmt, i));
  if (*name == NULL || **name == '\0' || text == NULL || *text == '\0')
    return NULL;
  return text;
}

void
storage_search_escape (GString *line, const char *text)
{
  for (const char *p = text; *p != '\0'; p++)
    switch (*p)
      {
      case '\t':
        g_string_append (line, "\\t");
        break;
      case '\n':
        g_string_append (line, "\\n");
        break;
      case '\\':
        g_string_append (line, "\\\\");
        break;
      default:
        g_string_append_c (line, *p);
        break;
      }
}

void
storage_search_unescape (char *text)
{
  char *out = text;
  for (const char *p = text; *p != '\0'; p++)
    {
      if (*p == '\\' && p[1] != '\0')
        {
          char next = p[1];
          if (next == 't' || next == 'n' || next == '\\')
            {
              *out++ = next == 't' ? '\t' : next == 'n' ? '\n' : '\\';
              p++;
              continue;
            }
        }
      *out++ = *p;
    }
  *out = '\0';
}

gchar *
storage_failure_reason (sqlite3 *db)
{
  if (db == NULL)
    return g_strdup ("no database is open");
  /* A refused second statement leaves no error of SQLite's behind. */
  if (sqlite3_errcode (db) == SQLITE_OK)
    return g_strdup ("the query holds more than one statement");
  return g_strdup (sqlite3_errmsg (db));
}

int
storage_stream_rows (sqlite3 *db, FILE *stream, const char *query,
                     gchar **reason)
{
  if (stream == NULL || query == NULL)
    return 0;
  sqlite3_stmt *stmt = storage_prepare_query (db, query);
  if (stmt == NULL)
    {
      if (reason != NULL)
        *reason = storage_failure_reason (db);
      return 0;
    }

  GString *line = g_string_new (NULL);
  int columns = sqlite3_column_count (stmt);
  gboolean delivered = FALSE;
  int result = 0;
  for (;;)
    {
      StorageStep step = storage_step_row (stmt, delivered);
      if (step != STORAGE_STEP_ROW)
        {
          result = step == STORAGE_STEP_DONE;
          if (!result && reason != NULL)
            *reason = storage_failure_reason (db);
          break;
        }
      /* A row that makes no line still counts: stepping it again would
       * start the statement over. */
      delivered = TRUE;
      g_string_truncate (line, 0);
      for (int i = 0; i < columns; i++)
        {
          const char *name = NULL;
          const char *text = storage_named_value (stmt, i, &name);
          if (text == NULL)
            continue;
          storage_search_escape (line, name);
          g_string_append_c (line, '\t');
          storage_search_escape (line, text);
          g_string_append_c (line, '\t');
        }
      if (line->len == 0)
        continue;
      g_string_append_c (line, '\n');
      /* One write per row, flushed at once, so the reader sees each row as
       * it is produced.  Nobody reading any more ends the search. */
      if (fwrite (line->str, 1, line->len, stream) != line->len
          || fflush (stream) != 0)
        {
          if (reason != NULL)
            *reason = g_strdup ("the results could not be written");
          break;
        }
    }
  g_string_free (line, TRUE);
  sqlite3_finalize (stmt);
  return result;
}
