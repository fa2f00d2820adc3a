/* The storage connection, the table and its growth, the existence test
 * and the trim; plus the statement routines every storage call shares. */
#include "metadata_storage-private.h"
#include "metadata_storage_fts-private.h"
#include "metadata_storage_path-private.h"
#include "metadata_conf.h"
#include "tessel-private.h"

#include <string.h>


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
static void forget_row_count (void);

/* A GRecMutex in static storage needs no initialisation. */
static GRecMutex connection_lock;
/* Under connection_lock: how deep the holding thread's calls are nested,
 * and the thread whose transaction is open on the connection (NULL when
 * none is, or before the call that opened it has ended). */
static guint lock_depth;
static GThread *transaction_owner;

void
storage_lock (void)
{
  g_rec_mutex_lock (&connection_lock);
  lock_depth++;
}

void
storage_unlock (void)
{
  /* A transaction still open when a thread's outermost call ends (the
   * application's own BEGIN, run as a search) is that thread's. */
  if (--lock_depth == 0)
    {
      if (storage_db == NULL || sqlite3_get_autocommit (storage_db))
        transaction_owner = NULL;
      else if (transaction_owner == NULL)
        transaction_owner = g_thread_self ();
    }
  g_rec_mutex_unlock (&connection_lock);
}

extern "C" void
storage_set_path (const gchar *path)
{
  StorageLock lock;
  g_free (storage_path);
  storage_path = g_strdup (path);
}

/* Words SQL reads as values where a column name could stand: a key
 * spelled like one would select, compare or delete by a constant. */
static const char *const literal_words[] = {
  "TRUE", "FALSE", "NULL", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP",
};

gboolean
storage_key_is_identifier (const gchar *key)
{
  if (key == NULL || !(g_ascii_isalpha (key[0]) || key[0] == '_'))
    return FALSE;
  for (const gchar *p = key + 1; *p != '\0'; p++)
    if (!(g_ascii_isalnum (*p) || *p == '_'))
      return FALSE;
  for (const char *word : literal_words)
    if (g_ascii_strcasecmp (key, word) == 0)
      return FALSE;
  return TRUE;
}

gboolean
storage_column_exists (const gchar *key)
{
  if (storage_db == NULL || !storage_key_is_identifier (key))
    return FALSE;
  int primary = 0;
  if (sqlite3_table_column_metadata (storage_db, "main", "Metadata", key,
                                     NULL, NULL, NULL, &primary, NULL)
      != SQLITE_OK)
    return FALSE;
  /* SQLite answers for the table's own rowid under its three names as for
   * a primary-key column; one declared under such a name is not. */
  static const char *const rowid_names[] = { "rowid", "oid", "_rowid_" };
  for (const char *name : rowid_names)
    if (primary && g_ascii_strcasecmp (key, name) == 0)
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

int
storage_query_rows (const char *sql, sqlite3_stmt **out)
{
  *out = NULL;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      StorageStmt stmt (prepare_single (sql));
      int rc = stmt ? sqlite3_step (stmt.get ())
                    : storage_db != NULL ? sqlite3_errcode (storage_db)
                                         : SQLITE_MISUSE;
      if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        {
          *out = stmt.release ();
          return rc;
        }
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
        return rc;
    }
  return SQLITE_BUSY;
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
  if (storage_column_exists (key))
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

/* The rows the trim removes, as its DELETE and its index both name them.
 * SQL gives AND precedence over OR: every absent row without UPnP, and
 * every row whose UPnP is 0. */
#define TRIMMABLE_ROWS "Present = 0 AND UPnP ISNULL OR UPnP = 0"

/* What the library adds to a database beyond the table's own statement,
 * run in order on every open.  Each must be harmless to run again.  A
 * failure is no reason to refuse the database (a read-only file, a table
 * from elsewhere that lacks a column): the library then just works without
 * the addition.
 *
 * The trimmable-row index holds only the rows the trim would remove,
 * usually none: the trim's existence test and DELETE visit those rows
 * instead of the whole table, and inserting a present row costs it
 * nothing. */
static const char *const schema_additions[] = {
  "CREATE INDEX IF NOT EXISTS MetadataTrimmable ON Metadata (UPnP) WHERE "
  TRIMMABLE_ROWS,
};

/* The journal mode the open database reports, in lower case, or NULL. */
static gchar *
journal_mode (const char *pragma)
{
  sqlite3_stmt *raw = NULL;
  if (!storage_query_first_row (pragma, &raw))
    return NULL;
  StorageStmt stmt (raw);
  const unsigned char *mode = sqlite3_column_text (raw, 0);
  return mode != NULL ? g_ascii_strdown ((const gchar *) mode, -1) : NULL;
}

/* Pages in the write-ahead log after the last commit of this connection,
 * and how many indexing passes run on it. */
static int wal_pages;
static int indexing_passes;

/* SQLite's own automatic checkpoint runs in the commit that lets the log
 * grow past its limit: in whichever process's write comes then, maybe a
 * player's.  This hook does the same for the connection's own commits,
 * except while an indexing pass runs, which checkpoints between its
 * groups instead (storage_checkpoint_if_due), keeping the log short for
 * everyone. */
static int
note_wal_pages (void *data, sqlite3 *db, const char *name, int pages)
{
  (void) data;
  wal_pages = pages;
  if (indexing_passes == 0 && pages >= STORAGE_WAL_CHECKPOINT_PAGES)
    sqlite3_wal_checkpoint_v2 (db, name, SQLITE_CHECKPOINT_PASSIVE, NULL,
                               NULL);
  return SQLITE_OK;
}

void
storage_indexing_pass (gboolean running)
{
  StorageLock lock;
  indexing_passes += running ? 1 : -1;
}

void
storage_checkpoint_if_due (void)
{
  StorageLock lock;
  /* Half the automatic limit: the log never reaches the point where
   * another process's commit would checkpoint. */
  if (storage_db == NULL || wal_pages < STORAGE_WAL_CHECKPOINT_PAGES / 2
      || !sqlite3_get_autocommit (storage_db))
    return;
  /* Passive: it copies what no reader still needs and never waits for,
   * nor holds up, a writer. */
  sqlite3_wal_checkpoint_v2 (storage_db, NULL, SQLITE_CHECKPOINT_PASSIVE,
                             NULL, NULL);
  wal_pages = 0;
}

/* Waiting for another connection's lock, for at most the busy timeout.
 * SQLite's own timeout sleeps longer and longer between looks (up to
 * 100 ms): beside an indexer that commits a group of rows every few
 * milliseconds, a player's write would look only at moments when the
 * next group holds the lock again.  Looking every quarter of a
 * millisecond finds the gaps between groups. */
static int
wait_while_busy (void *data, int count) noexcept
{
  (void) data;
  static thread_local gint64 since;
  gint64 now = g_get_monotonic_time ();
  if (count == 0)
    since = now;
  if (now - since >= STORAGE_BUSY_TIMEOUT_MS * G_GINT64_CONSTANT (1000))
    return 0;
  g_usleep (250);
  return 1;
}

/* Opens path as the storage connection with the busy timeout.  FALSE with
 * nothing open on failure. */
static gboolean
open_connection (const char *path)
{
  sqlite3 *db = NULL;
  if (sqlite3_open (path, &db) != SQLITE_OK)
    {
      sqlite3_close (db);
      return FALSE;
    }
  sqlite3_busy_handler (db, wait_while_busy, NULL);
  wal_pages = 0;
  sqlite3_wal_hook (db, note_wal_pages, NULL);
  storage_db = db;
  return TRUE;
}

/* Puts the database in write-ahead logging, where readers and the writer
 * never wait for each other, with commits that need no sync: a crash of
 * the process loses nothing committed, a power loss at most the last
 * commits, and neither corrupts the file.  Where the log cannot work
 * (SQLite refuses the switch on a file system without shared memory, and
 * where the folder cannot take the -wal and -shm files, or another
 * process holds the database locked for long) the database keeps the
 * rollback journal; the next open tries again. */
static void
use_write_ahead_log (void)
{
  g_autofree gchar *mode = journal_mode ("PRAGMA journal_mode = WAL");
  if (g_strcmp0 (mode, "wal") == 0)
    storage_exec_retry ("PRAGMA synchronous = NORMAL");
}

extern "C" int
storage_init (void)
{
  StorageLock lock;
  if (storage_db != NULL)
    storage_close ();

  g_autofree gchar *path = storage_path != NULL ? g_strdup (storage_path)
                                                : storage_default_path ();
  if (!open_connection (path))
    return 0;
  use_write_ahead_log ();

  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS && rc == SQLITE_BUSY;
       attempt++)
    rc = exec_with_attempts (create_table_sql);
  /* An existing table is opened as it is.  Anything else that kept the
   * table from being created (a file that is no database, a read-only
   * folder) leaves the library without a usable table: report it. */
  if (rc == SQLITE_OK || (rc != SQLITE_BUSY && table_exists ()))
    {
      for (const char *addition : schema_additions)
        storage_exec_retry (addition);
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
  StorageLock lock;
  storage_statements_forget ();
  int rc = sqlite3_close (storage_db);
  if (rc == SQLITE_OK)
    storage_db = NULL;
  forget_row_count ();
  return rc;
}

/* TRUE when a row has exactly this Filename. */
static gboolean
row_exists (const gchar *filename)
{
  StorageValues name;
  name.add_text (filename);
  StorageBound query ("SELECT Filename FROM Metadata WHERE Filename=?", name);
  return query.stmt != NULL
         && storage_statement_step (query.stmt) == SQLITE_ROW;
}

gchar *
storage_card_swapped_name (const gchar *filename)
{
  if (filename == NULL || filename[0] != '/')
    return NULL;
  for (const gchar *p = strstr (filename, "/mmc"); p != NULL;
       p = strstr (p + 1, "/mmc"))
    {
      gchar digit = p[4];
      if ((digit == '1' || digit == '2') && (p[5] == '/' || p[5] == '\0'))
        {
          gchar *other = g_strdup (filename);
          other[p - filename + 4] = digit == '1' ? '2' : '1';
          return other;
        }
    }
  return NULL;
}

extern "C" int
storage_file_exists (const gchar *filename, gchar try_other,
                     gchar **other_name)
{
  if (filename == NULL)
    return 0;
  StorageLock lock;
  if (row_exists (filename))
    return 1;
  if (!try_other)
    return 0;
  g_autofree gchar *other = storage_card_swapped_name (filename);
  if (other == NULL || !row_exists (other))
    return 0;
  if (other_name != NULL)
    *other_name = static_cast<gchar *> (g_steal_pointer (&other));
  return 1;
}

/* The trim's row count, count(Filename), kept between calls: counting
 * walks the whole name index, which at a card's worth of rows costs more
 * than storing a row.  The count is valid for one connection while no
 * other connection has committed (data_version unchanged) and this one
 * has changed no row behind the cache's back (total_changes unchanged);
 * storing keeps it up to date through storage_row_count_changed. */
namespace
{
struct RowCount
{
  sqlite3 *db = nullptr;
  sqlite3_int64 count = 0;
  sqlite3_int64 data_version = 0;
  sqlite3_int64 total_changes = 0;
};
RowCount row_count;
} // namespace

/* A later connection may get the address of a closed one. */
static void
forget_row_count (void)
{
  row_count.db = nullptr;
}

/* The first value of the first row of a query without parameters, kept
 * prepared: the trim's tests run before every row is added.  SQLITE_ROW
 * with *value set, SQLITE_DONE for no row, or the failure. */
static int
kept_first_value (const char *sql, sqlite3_int64 *value)
{
  StorageBound bound (sql, StorageValues ());
  if (bound.stmt == NULL)
    return SQLITE_ERROR;
  int rc = storage_statement_step (bound.stmt);
  if (rc == SQLITE_ROW)
    *value = sqlite3_column_int64 (bound.stmt, 0);
  return rc;
}

/* PRAGMA data_version of the connection, or -1. */
static sqlite3_int64
data_version (void)
{
  sqlite3_int64 version = -1;
  return kept_first_value ("PRAGMA data_version", &version) == SQLITE_ROW
             ? version
             : -1;
}

/* The number of named rows as the cache knows it, when the cache is still
 * valid for the connection at this data version. */
static gboolean
cached_row_count (sqlite3_int64 version, sqlite3_int64 *count)
{
  if (version < 0 || row_count.db != storage_db
      || row_count.data_version != version
      || row_count.total_changes != sqlite3_total_changes64 (storage_db))
    return FALSE;
  *count = row_count.count;
  return TRUE;
}

/* Counts the named rows and keeps the count for version, read before
 * counting: a commit in between makes the next call count again, never
 * keeps a count that misses it.  FALSE when the table cannot be
 * counted. */
static gboolean
recount_rows (sqlite3_int64 version, sqlite3_int64 *count)
{
  forget_row_count ();
  if (version < 0
      || kept_first_value ("SELECT count(Filename) FROM Metadata", count)
             != SQLITE_ROW)
    return FALSE;
  row_count = { storage_db, *count, version,
                sqlite3_total_changes64 (storage_db) };
  return TRUE;
}

void
storage_row_count_changed (sqlite3_int64 changes_before, int named_rows)
{
  if (row_count.db != storage_db || storage_db == NULL
      || row_count.total_changes != changes_before)
    return;
  row_count.count += named_rows;
  row_count.total_changes = sqlite3_total_changes64 (storage_db);
}

/* TRUE unless the table certainly holds no row the trim would remove.
 * The trimmable-row index makes this a look at an index that is usually
 * empty. */
static gboolean
trimmable_rows_may_exist (void)
{
  sqlite3_int64 one;
  return kept_first_value ("SELECT 1 FROM Metadata WHERE " TRIMMABLE_ROWS
                           " LIMIT 1",
                           &one)
         != SQLITE_DONE;
}

/* The trim removes exactly the rows its DELETE selects whenever the table
 * holds more named rows than the limit.  Cheap tests come first: with a
 * valid cached count nothing more is read while the table is within the
 * limit, and without one the table is counted only when a trimmable row
 * exists at all. */
extern "C" void
storage_vacuum (int limit)
{
  if (limit < 0)
    limit = 0;
  StorageLock lock;
  if (storage_db == NULL)
    return;
  sqlite3_int64 version = data_version ();
  sqlite3_int64 count = 0;
  if (cached_row_count (version, &count))
    {
      if (count <= limit || !trimmable_rows_may_exist ())
        return;
    }
  else if (!trimmable_rows_may_exist () || !recount_rows (version, &count)
           || count <= limit)
    return;
  /* The limit is a threshold for cleaning up, not a cap: every absent row
   * without UPnP and every UPnP = 0 row goes at once.  The deleted rows
   * may include nameless ones, so the count is taken again next time. */
  storage_exec_retry ("DELETE FROM Metadata WHERE " TRIMMABLE_ROWS);
}

int
storage_write_begin (void)
{
  storage_lock ();
  int begun = 0;
  if (storage_db == NULL)
    begun = 0;
  /* Inside a transaction the calling thread opened, the work is part of
   * it (a transaction not yet owned was opened by this thread's current
   * call).  Another thread's would commit or roll back this work with its
   * own, at a moment of its choosing: refused. */
  else if (!sqlite3_get_autocommit (storage_db))
    begun = transaction_owner == NULL || transaction_owner == g_thread_self ()
                ? 2
                : 0;
  else if (storage_exec_retry ("BEGIN IMMEDIATE"))
    {
      transaction_owner = g_thread_self ();
      begun = 1;
    }
  if (begun == 0)
    storage_unlock ();
  return begun;
}

int
storage_write_begin_group (void)
{
  int begun = storage_write_begin ();
  if (begun == 1)
    storage_search_index_group_begin ();
  return begun;
}

int
storage_write_end (int begun, gboolean commit)
{
  if (begun == 0)
    return 0;
  int stands = commit;
  if (begun == 1)
    {
      stands = storage_search_index_group_end (commit) && commit
               && storage_exec_retry ("COMMIT");
      if (!stands)
        storage_exec_retry ("ROLLBACK");
    }
  storage_unlock ();
  return stands;
}

gchar *
storage_database_file (void)
{
  const char *name
      = storage_db != NULL ? sqlite3_db_filename (storage_db, "main") : NULL;
  return name != NULL && name[0] != '\0' ? g_strdup (name) : NULL;
}
