/* Storing a metadata list as a row, the presence flag, and the whole-row
 * services: size and modification time, the list of stored names, and
 * deletion by a key's value. */
#include "metadata_storage-private.h"
#include "metadata_storage_values-private.h"
#include "metadata_conf.h"
#include "tessel-private.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

gboolean
storage_format_real (double value, char buffer[STORAGE_REAL_SIZE])
{
  if (!isfinite (value))
    return FALSE;
  g_ascii_formatd (buffer, STORAGE_REAL_SIZE, "%f", value);
  return TRUE;
}

gchar *
storage_value_text (const gchar *value)
{
  return g_strndup (value, tessel_text_cut (value, META_VALUE_SIZE - 1));
}

/* Where a row stands: found, certainly missing, or unknown because the
 * database could not be read (kept locked by another process, or the
 * statement would not fit the buffer). */
enum class RowLookup
{
  FOUND,
  MISSING,
  UNKNOWN
};

/* TRUE when something exists at path in the file system.  Only "no such
 * file" counts as missing: a file that cannot be looked at may still be
 * there. */
static gboolean
file_exists (const gchar *path)
{
  struct stat st;
  return lstat (path, &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

/* Where the row of filename is: found under that name, or (with *other set
 * to the name) under the other card's name of a file that no longer exists
 * there.  A file on the other card that still exists is a file of its own,
 * with a row of its own.  Both names are looked up by one statement.
 * UNKNOWN when the database could not be read (kept locked by another
 * process, or the statement would not fit the buffer): storing must not
 * take "could not look" for "not there" and insert a second row. */
static RowLookup
find_row (const gchar *filename, gchar **other)
{
  g_autofree gchar *swapped = storage_card_swapped_name (filename);
  StorageValues names;
  names.add_text (filename);
  if (swapped != NULL)
    {
      names.add_text (filename);
      names.add_text (swapped);
    }
  StorageBound query (swapped != NULL
                          ? "SELECT Filename = ? FROM Metadata WHERE "
                            "Filename IN (?, ?)"
                          : "SELECT 1 FROM Metadata WHERE Filename=?",
                      names);
  gboolean own = FALSE, swapped_found = FALSE;
  int rc = query.stmt != NULL ? storage_statement_step (query.stmt)
                              : SQLITE_ERROR;
  for (; rc == SQLITE_ROW; rc = sqlite3_step (query.stmt))
    {
      if (sqlite3_column_int (query.stmt, 0))
        own = TRUE;
      else
        swapped_found = TRUE;
    }
  if (rc != SQLITE_DONE)
    return RowLookup::UNKNOWN;
  if (own)
    return RowLookup::FOUND;
  if (!swapped_found || file_exists (swapped))
    return RowLookup::MISSING;
  *other = static_cast<gchar *> (g_steal_pointer (&swapped));
  return RowLookup::FOUND;
}

/* TRUE when the list carries the row's name. */
static gboolean
list_has_filename (const MetaItem *list)
{
  for (const MetaItem *item = list; item != NULL; item = item->next)
    if (g_ascii_strcasecmp (item->key, "Filename") == 0
        && storage_value_tag (&item->type) == META_TYPE_TEXT)
      return TRUE;
  return FALSE;
}

/* TRUE when an earlier node of the list already names this column (column
 * names compare without regard to ASCII case). */
static gboolean
key_seen_before (const MetaItem *list, const MetaItem *item)
{
  for (const MetaItem *p = list; p != item; p = p->next)
    if (g_ascii_strcasecmp (p->key, item->key) == 0)
      return TRUE;
  return FALSE;
}

/* The nodes of list that go into the statement: a key that occurs again
 * further down the chain keeps its first value (the one added last), for
 * an insertion and an update alike; "Present" always comes from the
 * caller's flag.  FALSE when a key is not a plain identifier: no SQL is
 * built from it. */
static gboolean
list_keys_usable (const MetaItem *list)
{
  for (const MetaItem *item = list; item != NULL; item = item->next)
    if (!storage_key_is_identifier (item->key))
      return FALSE;
  return TRUE;
}

static gboolean
item_is_stored (const MetaItem *list, const MetaItem *item)
{
  return g_ascii_strcasecmp (item->key, "Present") != 0
         && !key_seen_before (list, item);
}

/* The columns an extractor plug-in fills from what it finds in the file,
 * and nothing else writes: when a file is indexed again its new list
 * stands for all of them, so that a tag the file no longer carries does
 * not outlive it.  Columns of the row's life in the library (AccessTime,
 * PlayCount, any key an application adds) are not here.  A key a plug-in
 * starts to deliver belongs here too. */
static const char *const extracted_keys[] = {
  "Title", "Artist", "Album", "AlbumArtist", "Genre", "Year", "Track",
  "Disc", "Compilation", "Publisher", "Length", "Bitrate", "MIME", "Codec",
  "Channels", "Frequency", "Resolution", "Fps", "PixelAspectRatio",
};

/* TRUE when the list has a node of key (compared as column names are). */
static gboolean
list_has_key (const MetaItem *list, const gchar *key)
{
  for (const MetaItem *item = list; item != NULL; item = item->next)
    if (g_ascii_strcasecmp (item->key, key) == 0)
      return TRUE;
  return FALSE;
}

/* Appends "k = NULL, " for every extracted column the table has and the
 * list lacks.  A column the table does not have holds nothing to clear,
 * and naming it would make the whole update fail. */
static void
append_cleared_keys (std::string &assignments, const MetaItem *list)
{
  for (const char *key : extracted_keys)
    if (!list_has_key (list, key) && storage_column_exists (key))
      assignments.append (key).append (" = NULL, ");
}

/* A statement's shape and the values of its parameters. */
struct Statement
{
  std::string shape;
  StorageValues values;
};

/* "UPDATE Metadata SET k = ?, ..., Present = p WHERE Filename = ?" with
 * the list's values and target.  FALSE when a value has no literal.
 * replace: the extracted columns the list lacks are cleared. */
static gboolean
compose_update (const MetaItem *list, const gchar *target, gchar present,
                gboolean replace, Statement *out)
{
  out->shape = "UPDATE Metadata SET ";
  for (const MetaItem *item = list; item != NULL; item = item->next)
    {
      if (!item_is_stored (list, item))
        continue;
      out->shape.append (item->key).append (" = ?, ");
      if (!out->values.add_item (item->value, &item->type))
        return FALSE;
    }
  if (replace)
    append_cleared_keys (out->shape, list);
  out->shape.append (present ? "Present = 1" : "Present = 0");
  out->shape.append (" WHERE Filename = ?");
  out->values.add_text (target);
  return TRUE;
}

/* "INSERT INTO Metadata (k,...,Present,AddedTime) VALUES (?,...,p,?)",
 * the last value the time now.  FALSE as for the update.  A list that
 * carries its own AddedTime keeps it. */
static gboolean
compose_insert (const MetaItem *list, gchar present, Statement *out)
{
  std::string columns, values;
  gboolean has_added_time = FALSE;
  for (const MetaItem *item = list; item != NULL; item = item->next)
    {
      if (!item_is_stored (list, item))
        continue;
      if (g_ascii_strcasecmp (item->key, "AddedTime") == 0)
        has_added_time = TRUE;
      columns.append (item->key).append (",");
      values.append ("?,");
      if (!out->values.add_item (item->value, &item->type))
        return FALSE;
    }
  columns.append ("Present");
  values.append (present ? "1" : "0");
  if (!has_added_time)
    {
      /* Seconds since the epoch, kept 64-bit so that times after 2038 do
       * not wrap. */
      columns.append (",AddedTime");
      values.append (",?");
      out->values.add_int (g_get_real_time () / G_USEC_PER_SEC);
    }
  out->shape = "INSERT INTO Metadata (" + columns + ") VALUES (" + values
               + ")";
  return TRUE;
}

/* Runs the update or insertion for filename inside the open write
 * transaction; replace as for compose_update.  1 when it ran. */
static int
store_row (MetaItem *list, const gchar *filename, gchar present,
           gboolean replace)
{
  g_autofree gchar *other = NULL;
  RowLookup found
      = filename != NULL ? find_row (filename, &other) : RowLookup::MISSING;
  Statement statement;
  gboolean composed = FALSE;
  int named_rows = 0;
  switch (found)
    {
    case RowLookup::FOUND:
      /* The list's Filename renames a row found under the other card's
       * name to the name the card has now. */
      composed = compose_update (list, other != NULL ? other : filename,
                                 present, replace, &statement);
      break;
    case RowLookup::MISSING:
      /* A row without a name is one that nothing finds again. */
      if (!list_has_filename (list))
        return 0;
      storage_vacuum (meta_conf_get_max_storage_limit ());
      composed = compose_insert (list, present, &statement);
      named_rows = 1;
      break;
    case RowLookup::UNKNOWN:
    default:
      return 0;
    }
  if (!composed)
    return 0;
  StorageBound bound (statement.shape, statement.values);
  sqlite3_int64 changes = sqlite3_total_changes64 (storage_db);
  if (bound.stmt == NULL || !storage_statement_run (bound.stmt))
    return 0;
  storage_row_count_changed (changes, named_rows);
  return 1;
}

/* The lookup and the update or insertion form one write transaction: two
 * processes storing the same card's file under both its names cannot both
 * find no row and both insert.  A list without a Filename item updates an
 * existing row but never inserts one. */
static int
store_list (MetaItem *list, const gchar *filename, gchar present,
            gboolean replace)
{
  StorageLock lock;
  if (!list_keys_usable (list))
    return 0;
  /* A list node holds at most 255 bytes of a name: a longer one would be
   * stored cut short, under a name that is not the file's and may be
   * another file's, and never found again by its own.  Refuse it. */
  if (filename != NULL && strlen (filename) >= META_VALUE_SIZE)
    return 0;
  int begun = storage_write_begin ();
  if (!begun)
    return 0;
  return storage_write_end (begun,
                            store_row (list, filename, present, replace));
}

/* Writes the keys of the list and leaves every other column as it was. */
extern "C" int
storage_store (MetaItem *list, const gchar *filename, gchar present)
{
  return store_list (list, filename, present, FALSE);
}

int
storage_store_extracted (MetaItem *list, const gchar *filename,
                         gchar present)
{
  return store_list (list, filename, present, TRUE);
}

extern "C" int
storage_set_present (const gchar *filename)
{
  StorageLock lock;
  if (filename == NULL || !storage_file_exists (filename, 0, NULL))
    return 0;
  return storage_write_int (filename, "Present", 1);
}

extern "C" int
storage_clear_present (const gchar *filename)
{
  StorageLock lock;
  if (filename == NULL || !storage_file_exists (filename, 0, NULL))
    return 0;
  return storage_write_int (filename, "Present", 0);
}

/* Marks absent every row whose name begins with path, compared as SQL LIKE
 * does: ASCII letters without regard to case, and "%" or "_" in path act
 * as wildcards.  So /media/mmc1 also takes /media/mmc10/... and
 * /MEDIA/MMC1/... */
extern "C" int
storage_path_clear_present (const gchar *path)
{
  StorageLock lock;
  if (path == NULL)
    return 0;
  StorageSql sql = storage_compose (
      "UPDATE Metadata SET Present = 0 WHERE Filename LIKE '%q%%'", path);
  return sql ? storage_exec_retry (sql.get ()) : 0;
}

extern "C" int
storage_read_size_lastmodified_present (const gchar *filename, gint32 *size,
                                        gint32 *lastmodified, gchar *present)
{
  StorageLock lock;
  if (filename == NULL || size == NULL || lastmodified == NULL
      || present == NULL)
    return 0;
  StorageValues name;
  name.add_text (filename);
  StorageBound query ("SELECT Filesize, LastModification, Present FROM "
                      "Metadata WHERE Filename=?",
                      name);
  if (query.stmt == NULL || storage_statement_step (query.stmt) != SQLITE_ROW)
    return 0;
  sqlite3_stmt *raw = query.stmt;
  /* Wider integers are read as their low 32 bits; a NULL column leaves the
   * caller's value as it was. */
  if (sqlite3_column_type (raw, 0) == SQLITE_INTEGER)
    *size = sqlite3_column_int (raw, 0);
  if (sqlite3_column_type (raw, 1) == SQLITE_INTEGER)
    *lastmodified = sqlite3_column_int (raw, 1);
  if (sqlite3_column_type (raw, 2) == SQLITE_INTEGER)
    *present = sqlite3_column_int64 (raw, 2) != 0 ? 1 : 0;
  return 1;
}

/* Fills *list, reallocated from its start with the C allocator, with a
 * copy of every stored name and a closing NULL (an empty table gives just
 * the NULL).  Rows stored without a name are passed over: a NULL entry
 * would end the array early and hide the names after it.  0 when the table
 * could not be read, so that a damaged table is not taken for an empty
 * one; a failure after the first row leaves the grown array with every
 * slot NULL, still the caller's to free. */
extern "C" int
storage_get_file_list (gchar ***list)
{
  StorageLock lock;
  if (list == NULL)
    return 0;
  StorageStmt stmt (storage_prepare_query (storage_db,
                                           "SELECT * FROM Metadata"));
  if (!stmt)
    return 0;

  gchar **names = *list;
  gsize count = 0;
  gboolean delivered = FALSE;
  StorageStep step;
  gboolean grown = TRUE;
  while (grown
         && (step = storage_step_row (stmt.get (), delivered))
                == STORAGE_STEP_ROW)
    {
      delivered = TRUE;
      const unsigned char *name = sqlite3_column_text (stmt.get (), 0);
      if (name == NULL)
        continue;
      gchar **bigger = static_cast<gchar **> (
          realloc (names, (count + 1) * sizeof *names));
      if (bigger == NULL)
        {
          grown = FALSE;
          break;
        }
      names = bigger;
      names[count++] = g_strdup (reinterpret_cast<const gchar *> (name));
    }
  if (grown && step == STORAGE_STEP_DONE)
    {
      gchar **bigger = static_cast<gchar **> (
          realloc (names, (count + 1) * sizeof *names));
      if (bigger != NULL)
        {
          bigger[count] = NULL;
          *list = bigger;
          return 1;
        }
    }
  for (gsize i = 0; i < count; i++)
    g_clear_pointer (&names[i], g_free);
  *list = names;
  return 0;
}

/* Deletes every row whose key column equals value.  A tag other than
 * integer, float or text makes an empty statement, which deletes nothing
 * and counts as run: 1. */
extern "C" int
storage_delete_by_key (const gchar *key, MetaValue value)
{
  StorageLock lock;
  if (!storage_column_exists (key))
    return 0;
  gint tag = storage_value_tag (&value.type);
  if (tag != META_TYPE_INTEGER && tag != META_TYPE_FLOAT
      && tag != META_TYPE_TEXT)
    return 1;
  StorageValues values;
  if (!values.add_item (value.value, &value.type))
    return 0;
  StorageBound bound (std::string ("DELETE FROM Metadata WHERE ") + key
                          + " = ?",
                      values);
  return bound.stmt != NULL && storage_statement_run (bound.stmt);
}
