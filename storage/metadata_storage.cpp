/* The storage connection, the table and its growth, the existence test
 * and the trim; plus the statement routines every storage call shares. */
#include "metadata_storage-private.h"
#include "metadata_storage_fts-private.h"
#include "metadata_conf.h"
#include "tessel-private.h"

#include <string.h>

#define STORAGE_DEFAULT_PATH "/home/user/.meta_storage"

/* The table's own statement; existing database files were created with
 * exactly this text, so it never changes. */
static const char create_table_sql[]
    = "CREATE TABLE Metadata ( Filename varchar(256) primary key, Album "
      "varchar(64), Title varchar(64), Year varchar(10), Publisher "
      "varchar(64), Artist varchar(64), Genre varchar(64), Track int(3), "
      "Bitrate int(12), Length int(12), MIME varchar(64), Resolution "
      "varchar(64), Fps int(12), Codec varchar(64), PixelAspectRatio decimal "
      "(5,10), Channels int(5), Frequency int(12), AccessTime int(15), "
      "Present int(1), UPnP int(1), UDN varchar(20), Filesize int(15), "
      "LastModification int(15), AddedTime int(15), isPlaylist int(1), "
      "isStream int(1))";

sqlite3 *storage_db;
static gchar *storage_path;

extern "C" void
storage_set_path (const gchar *path)
{
  g_free (storage_path);
  storage_path = g_strdup (path);
}

gboolean
storage_key_is_identifier (const gchar *key)
{
  if (key == NULL || !(g_ascii_isalpha (key[0]) || key[0] == '_'))
    return FALSE;
  for (const gchar *p = key + 1; *p != '\0'; p++)
    if (!(g_ascii_isalnum (*p) || *p == '_'))
      return FALSE;
  return TRUE;
}

StorageSql
storage_compose (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  StorageSql sql (sqlite3_vmprintf (format, args));
  va_end (args);
  if (sql && strlen (sql.get ()) >= STORAGE_STATEMENT_SIZE)
    sql.reset ();
  return sql;
}

/* Prepares exactly one statement; text after it (a second statement) makes
 * the whole text refused. */
static sqlite3_stmt *
prepare_single (const char *sql)
{
  sqlite3_stmt *stmt = NULL;
  const char *tail = NULL;
  if (storage_db == NULL || sql == NULL
      || sqlite3_prepare_v2 (storage_db, sql, -1, &stmt, &tail) != SQLITE_OK
      || stmt == NULL)
    {
      sqlite3_finalize (stmt);
      return NULL;
    }
  while (tail != NULL && g_ascii_isspace (*tail))
    tail++;
  if (tail != NULL && *tail != '\0')
    {
      sqlite3_finalize (stmt);
      return NULL;
    }
  return stmt;
}

int
storage_query_first_row (const char *sql, sqlite3_stmt **out)
{
  *out = NULL;
  StorageStmt stmt (prepare_single (sql));
  if (!stmt)
    return 0;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      int rc = sqlite3_step (stmt.get ());
      if (rc == SQLITE_ROW)
        {
          *out = stmt.release ();
          return 1;
        }
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
        return 0;
      sqlite3_reset (stmt.get ());
    }
  return 0;
}

/* Runs sql until it is done; the SQLite result of the last attempt. */
static int
exec_with_attempts (const char *sql)
{
  StorageStmt stmt (prepare_single (sql));
  if (!stmt)
    {
      /* Preparing takes the schema lock, so a busy database can already
       * refuse here; report it as busy so that callers retry. */
      int code = storage_db != NULL ? sqlite3_errcode (storage_db) : SQLITE_MISUSE;
      return code == SQLITE_BUSY ? SQLITE_BUSY : SQLITE_ERROR;
    }
  int rc;
  while ((rc = sqlite3_step (stmt.get ())) == SQLITE_ROW)
    ;
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int
storage_exec_retry (const char *sql)
{
  if (sql == NULL)
    return 0;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      int rc = exec_with_attempts (sql);
      if (rc == SQLITE_OK)
        return 1;
      if (rc != SQLITE_BUSY)
        return 0;
    }
  return 0;
}

int
storage_ensure_column (const gchar *key, int kind)
{
  if (!storage_key_is_identifier (key))
    return 0;
  StorageSql probe = storage_compose ("SELECT %s FROM Metadata", key);
  if (!probe)
    return 0;
  /* The column exists exactly when the query compiles; stepping to a row
   * would wrongly add a column to an empty table. */
  if (StorageStmt (prepare_single (probe.get ())))
    return 1;

  const char *type;
  switch (kind)
    {
    case 1:
      type = "int(12)";
      break;
    case 2:
      type = "decimal(5,10)";
      break;
    case 3:
      type = "varchar(256)";
      break;
    default:
      return 0;
    }
  StorageSql alter = storage_compose ("ALTER TABLE Metadata ADD %s %s", key,
                                      type);
  return alter ? storage_exec_retry (alter.get ()) : 0;
}

/* TRUE when the open database holds the table Metadata. */
static gboolean
table_exists (void)
{
  sqlite3_stmt *raw = NULL;
  if (!storage_query_first_row ("SELECT name FROM sqlite_master WHERE "
                                "type = 'table' AND name = 'Metadata'",
                                &raw))
    return FALSE;
  sqlite3_finalize (raw);
  return TRUE;
}

extern "C" int
storage_init (void)
{
  if (storage_db != NULL)
    storage_close ();

  sqlite3 *db = NULL;
  int rc = sqlite3_open (storage_path != NULL ? storage_path
                                               : STORAGE_DEFAULT_PATH,
                         &db);
  if (rc != SQLITE_OK)
    {
      sqlite3_close (db);
      return 0;
    }
  sqlite3_busy_timeout (db, STORAGE_BUSY_TIMEOUT_MS);
  storage_db = db;

  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      rc = exec_with_attempts (create_table_sql);
      if (rc != SQLITE_BUSY)
        break;
    }
  /* An existing table is opened as it is.  Anything else that kept the
   * table from being created (a file that is no database, a read-only
   * folder) leaves the library without a usable table: report it. */
  if (rc == SQLITE_OK || (rc != SQLITE_BUSY && table_exists ()))
    {
      /* Without the word index the database still works; only finding by
       * words fails. */
      storage_ensure_search_index ();
      return 1;
    }
  sqlite3_close (storage_db);
  storage_db = NULL;
  return 0;
}

extern "C" int
storage_close (void)
{
  int rc = sqlite3_close (storage_db);
  if (rc == SQLITE_OK)
    storage_db = NULL;
  return rc;
}

/* TRUE when a row has exactly this Filename. */
static gboolean
row_exists (const gchar *filename)
{
  StorageSql sql = storage_compose (
      "SELECT Filename FROM Metadata WHERE Filename=%Q", filename);
  sqlite3_stmt *raw = NULL;
  if (!sql || !storage_query_first_row (sql.get (), &raw))
    return FALSE;
  sqlite3_finalize (raw);
  return TRUE;
}

/* The same path on the other memory card: the digit after the first "mmc"
 * swapped between 1 and 2.  NULL when the name has no such place. */
static gchar *
card_swapped_name (const gchar *filename)
{
  const gchar *mmc = strstr (filename, "mmc");
  if (mmc == NULL || strlen (mmc) < 4)
    return NULL;
  gchar *other = g_strdup (filename);
  gchar *digit = other + (mmc - filename) + 3;
  if (*digit == '1')
    *digit = '2';
  else if (*digit == '2')
    *digit = '1';
  else
    {
      g_free (other);
      return NULL;
    }
  return other;
}

extern "C" int
storage_file_exists (const gchar *filename, gchar try_other,
                     gchar **other_name)
{
  if (filename == NULL)
    return 0;
  if (row_exists (filename))
    return 1;
  if (!try_other)
    return 0;
  g_autofree gchar *other = card_swapped_name (filename);
  if (other == NULL || !row_exists (other))
    return 0;
  if (other_name != NULL)
    *other_name = static_cast<gchar *> (g_steal_pointer (&other));
  return 1;
}

extern "C" void
storage_vacuum (int limit)
{
  if (limit < 0)
    limit = 0;
  sqlite3_stmt *raw = NULL;
  sqlite3_int64 count = 0;
  if (storage_query_first_row ("SELECT count(Filename) FROM Metadata", &raw))
    {
      count = sqlite3_column_int64 (raw, 0);
      sqlite3_finalize (raw);
    }
  /* The limit is a threshold for cleaning up, not a cap: every absent row
   * without UPnP and every UPnP = 0 row goes at once. */
  if (count > limit)
    storage_exec_retry ("DELETE FROM Metadata WHERE Present = 0 AND UPnP "
                        "ISNULL OR UPnP = 0");
}
