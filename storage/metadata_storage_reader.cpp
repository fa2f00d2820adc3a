/* Reader connections: a connection of one's own to the open database's
 * file, set up as the library's own is for reading. */
#include "metadata_storage_reader-private.h"
#include "metadata_storage_stream-private.h"

sqlite3 *
storage_reader_open (const gchar *file)
{
  if (file == NULL)
    return NULL;
  sqlite3 *db = NULL;
  if (sqlite3_open_v2 (file, &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK)
    {
      sqlite3_close (db);
      return NULL;
    }
  sqlite3_busy_timeout (db, STORAGE_BUSY_TIMEOUT_MS);
  /* Without it only finding by words fails, as on the library's own
   * connection. */
  storage_search_register_rank (db);
  return db;
}

void
storage_reader_close (sqlite3 *db)
{
  sqlite3_close (db);
}
