/* Searches with the caller's own SQL: rows written as text lines to a
 * stream (for the asynchronous search process), handed to a callback, or
 * turned into media resources. */
#include "metadata_storage-private.h"
#include "metadata_storage_reader-private.h"
#include "metadata_storage_search-private.h"
#include "metadata_storage_stream-private.h"
#include "mp_media_resource.h"
#include "tessel-private.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#define SEARCH_MAX_PAIRS 64

extern "C" int
storage_search_async (FILE *stream, const gchar *query)
{
  StorageLock lock;
  return storage_stream_rows (storage_db, stream, query, NULL);
}

/* One row of a synchronous search, kept until its callback has run. */
struct SearchRecord
{
  gchar *filename;
  gchar *keys[SEARCH_MAX_PAIRS + 1];
  gchar *values[SEARCH_MAX_PAIRS + 1];
};

static void
search_record_free (gpointer data)
{
  SearchRecord *record = static_cast<SearchRecord *> (data);
  if (record == NULL)
    return;
  g_free (record->filename);
  for (int i = 0; record->keys[i] != NULL; i++)
    {
      g_free (record->keys[i]);
      g_free (record->values[i]);
    }
  g_free (record);
}

static SearchRecord *
search_record_new (sqlite3_stmt *stmt, int columns)
{
  SearchRecord *record = g_new0 (SearchRecord, 1);
  int pairs = 0;
  for (int i = 0; i < columns && pairs < SEARCH_MAX_PAIRS; i++)
    {
      const char *name = NULL;
      const char *text = storage_named_value (stmt, i, &name);
      if (text == NULL)
        continue;
      record->keys[pairs] = g_strdup (name);
      record->values[pairs] = g_strdup (text);
      if (record->filename == NULL && strcmp (name, "Filename") == 0)
        record->filename = g_strdup (text);
      pairs++;
    }
  return record;
}

extern "C" int
storage_search_sync (const gchar *query, MetaSearchFunc callback,
                     gpointer user_data)
{
  if (query == NULL || callback == NULL)
    return 0;

  g_autoptr (GPtrArray) records = g_ptr_array_new_with_free_func (
      search_record_free);
  {
    /* Held only while rows are read: a callback may wait for another
     * thread that uses the library (an asynchronous search's). */
    StorageLock lock;
    StorageStmt stmt (storage_prepare_query (storage_db, query));
    if (!stmt)
      return 0;
    int columns = sqlite3_column_count (stmt.get ());
    StorageStep step;
    while ((step = storage_step_row (stmt.get (), records->len > 0))
           == STORAGE_STEP_ROW)
      g_ptr_array_add (records, search_record_new (stmt.get (), columns));
    if (step == STORAGE_STEP_FAILED)
      return 0;
    /* The statement is finalized here, before the first callback, so that
     * callbacks may use the storage layer themselves. */
  }

  for (guint i = 0; i < records->len; i++)
    {
      SearchRecord *record
          = static_cast<SearchRecord *> (g_ptr_array_index (records, i));
      callback (record->filename, record->keys, record->values, user_data,
                -1);
      /* Released right after its call: the callback copies what it keeps. */
      search_record_free (record);
      records->pdata[i] = NULL;
    }
  callback (NULL, NULL, NULL, user_data, -1);
  return 1;
}

gboolean
storage_get_gvalue (GValue *value, int type, const gchar *text)
{
  GType wanted;
  switch (type)
    {
    case SQLITE_INTEGER:
      wanted = G_TYPE_INT;
      break;
    case SQLITE_FLOAT:
      wanted = G_TYPE_FLOAT;
      break;
    case SQLITE_TEXT:
      wanted = G_TYPE_STRING;
      break;
    default:
      g_return_val_if_reached (FALSE);
    }
  if (G_VALUE_TYPE (value) != wanted)
    {
      if (G_IS_VALUE (value))
        g_value_unset (value);
      g_value_init (value, wanted);
    }
  switch (type)
    {
    case SQLITE_INTEGER:
      {
        gint64 number = g_ascii_strtoll (text, NULL, 10);
        g_value_set_int (value, static_cast<gint> (
                                    CLAMP (number, G_MININT, G_MAXINT)));
        break;
      }
    case SQLITE_FLOAT:
      g_value_set_float (value,
                         static_cast<gfloat> (g_ascii_strtod (text, NULL)));
      break;
    default:
      g_value_set_static_string (value, text);
    }
  return TRUE;
}

/* How one result column reaches a resource, worked out once per query:
 * the property is looked up by name here rather than for every row. */
struct ColumnPlan
{
  gchar *name;          /* NULL for a column without a name */
  GParamSpec *pspec;    /* NULL when no plain property can take it */
  GObjectSetPropertyFunc set_property;
  /* The column's value in the current row; kept from row to row, which
   * mostly spares setting up its type again. */
  GValue value;
};

static void
plan_columns (sqlite3_stmt *stmt, int columns, ColumnPlan *plan)
{
  GObjectClass *klass
      = G_OBJECT_CLASS (g_type_class_ref (MP_TYPE_MEDIA_RESOURCE));
  for (int i = 0; i < columns; i++)
    {
      const char *name = sqlite3_column_name (stmt, i);
      plan[i] = ColumnPlan{ NULL, NULL, NULL, G_VALUE_INIT };
      if (name == NULL || *name == '\0')
        continue;
      plan[i].name = g_strdup (name);
      GParamSpec *pspec = g_object_class_find_property (klass, name);
      if (pspec == NULL || !(pspec->flags & G_PARAM_WRITABLE)
          || (pspec->flags & G_PARAM_CONSTRUCT_ONLY))
        continue;
      GObjectClass *owner
          = G_OBJECT_CLASS (g_type_class_peek (pspec->owner_type));
      if (owner == NULL || owner->set_property == NULL)
        continue;
      plan[i].pspec = pspec;
      plan[i].set_property = owner->set_property;
    }
  g_type_class_unref (klass);
}

/* Sets a column's value on a new resource.  The usual case goes straight
 * to the property handler with the value converted and validated as GLib
 * would; anything unusual (no such property, no conversion, out of range)
 * goes through g_object_set_property so that GLib reports it in its own
 * words.  Nobody can be listening for notifications on a resource this
 * young, so skipping them changes nothing. */
static void
apply_column (GObject *object, const ColumnPlan *column, const GValue *value)
{
  if (column->pspec != NULL && G_VALUE_TYPE (value) == column->pspec->value_type
      && g_param_value_is_valid (column->pspec, value))
    {
      column->set_property (object, column->pspec->param_id, value,
                            column->pspec);
      return;
    }
  if (column->pspec != NULL)
    {
      GValue converted = G_VALUE_INIT;
      g_value_init (&converted, column->pspec->value_type);
      gboolean usable;
      if (G_VALUE_TYPE (value) == column->pspec->value_type)
        {
          g_value_copy (value, &converted);
          usable = TRUE;
        }
      else
        usable = g_value_type_transformable (G_VALUE_TYPE (value),
                                             column->pspec->value_type)
                 && g_value_transform (value, &converted);
      if (usable && !g_param_value_validate (column->pspec, &converted))
        {
          column->set_property (object, column->pspec->param_id, &converted,
                                column->pspec);
          g_value_unset (&converted);
          return;
        }
      g_value_unset (&converted);
    }
  g_object_set_property (object, column->name, value);
}

/* The object search on db, whose user holds what it needs to use it.
 * *blob tells a failure for a value without conversion, which the caller
 * reports as its own critical. */
static gboolean
objects_list_on (sqlite3 *db, const gchar *filter, GList **objects_list,
                 gboolean *blob)
{
  *blob = FALSE;
  StorageStmt stmt (storage_prepare_query (db, filter));
  if (!stmt)
    return FALSE;
  int columns = sqlite3_column_count (stmt.get ());
  ColumnPlan *plan = g_new (ColumnPlan, MAX (columns, 1));
  plan_columns (stmt.get (), columns, plan);

  GList *objects = NULL;
  StorageStep step = STORAGE_STEP_DONE;
  while (!*blob
         && (step = storage_step_row (stmt.get (), objects != NULL))
                == STORAGE_STEP_ROW)
    {
      MpMediaResource *resource = mp_media_resource_new ();
      objects = g_list_prepend (objects, resource);
      GObject *object = G_OBJECT (resource);
      for (int i = 0; i < columns; i++)
        {
          int type = sqlite3_column_type (stmt.get (), i);
          if (type == SQLITE_NULL || plan[i].name == NULL)
            continue;
          const char *text = reinterpret_cast<const char *> (
              sqlite3_column_text (stmt.get (), i));
          if (text == NULL || *text == '\0')
            continue;
          if (!storage_get_gvalue (&plan[i].value, type, text))
            {
              *blob = TRUE;
              break;
            }
          apply_column (object, &plan[i], &plan[i].value);
        }
    }

  for (int i = 0; i < columns; i++)
    {
      g_free (plan[i].name);
      if (G_IS_VALUE (&plan[i].value))
        g_value_unset (&plan[i].value);
    }
  g_free (plan);
  stmt.reset ();

  if (*blob || step == STORAGE_STEP_FAILED)
    {
      g_list_free_full (objects, g_object_unref);
      return FALSE;
    }
  *objects_list = g_list_reverse (objects);
  return TRUE;
}

extern "C" gboolean
storage_search_sync_objects_list (const gchar *filter, GList **objects_list)
{
  g_return_val_if_fail ((objects_list != NULL) && (*objects_list == NULL),
                        FALSE);
  g_return_val_if_fail (filter != NULL, FALSE);
  StorageLock lock;
  gboolean blob;
  if (objects_list_on (storage_db, filter, objects_list, &blob))
    return TRUE;
  if (blob)
    g_return_val_if_reached (FALSE);
  return FALSE;
}

gboolean
storage_reader_objects_list (sqlite3 *db, const gchar *filter,
                             GList **objects_list)
{
  gboolean blob;
  if (objects_list_on (db, filter, objects_list, &blob))
    return TRUE;
  if (blob)
    g_return_val_if_reached (FALSE);
  return FALSE;
}

/* The unique indexes of the file names alone, each with its collation,
 * and whether a row has no file name: such rows can be alike in every
 * column.  Names apart under an index's collation are apart under the
 * column's own (which DISTINCT and "=" use) when both are the same, or
 * when the column's is BINARY, which tells apart any two names another
 * collation does. */
static const char unique_names[]
    = "SELECT x.coll, EXISTS (SELECT 1 FROM Metadata WHERE Filename IS "
      "NULL) FROM pragma_index_list ('Metadata') AS l, pragma_index_xinfo "
      "(l.name) AS x WHERE l.\"unique\" AND NOT l.partial AND x.key AND "
      "x.name = 'Filename' COLLATE NOCASE AND (SELECT count (*) FROM "
      "pragma_index_info (l.name)) = 1";

/* Whether the rows of unique_names, stepped once already (first is the
 * result of that step), tell names unique on db. */
static gboolean
names_unique (sqlite3 *db, sqlite3_stmt *stmt, int first)
{
  const char *column = NULL;
  if (sqlite3_table_column_metadata (db, NULL, "Metadata", "Filename", NULL,
                                     &column, NULL, NULL, NULL)
      != SQLITE_OK)
    return FALSE;
  gboolean unique = FALSE;
  for (int rc = first; !unique && rc == SQLITE_ROW; rc = sqlite3_step (stmt))
    {
      const char *index
          = reinterpret_cast<const char *> (sqlite3_column_text (stmt, 0));
      unique = sqlite3_column_int (stmt, 1) == 0
               && (g_ascii_strcasecmp (column, "BINARY") == 0
                   || (index != NULL
                       && g_ascii_strcasecmp (column, index) == 0));
    }
  return unique;
}

gboolean
storage_file_names_unique (sqlite3 *db)
{
  if (db != NULL)
    {
      StorageStmt stmt (storage_prepare_query (db, unique_names));
      return stmt
             && names_unique (db, stmt.get (),
                              storage_statement_step (stmt.get ()));
    }
  /* Asked before every listing of a whole kind: kept compiled on the
   * library's connection, where compiling costs more than running. */
  StorageLock lock;
  StorageBound kept (unique_names, StorageValues ());
  return kept.stmt != NULL
         && names_unique (storage_db, kept.stmt,
                          storage_statement_step (kept.stmt));
}

const char *
storage_search_database (void)
{
  StorageLock lock;
  const char *file
      = storage_db != NULL ? sqlite3_db_filename (storage_db, "main") : NULL;
  return file != NULL && *file != '\0' ? file : NULL;
}

/* The size of a row of meta_search_columns kept until its call, in one
 * block: the pointers to its texts (NULL for a NULL or a blob) and a NULL
 * after them, their types, then the texts. */
static gsize
columns_row_size (int columns, gsize text_bytes)
{
  return sizeof (gchar *) * (columns + 1) + sizeof (gint) * columns
         + text_bytes;
}

/* What a row of meta_search_columns holds before it is kept: its texts
 * (NULL for a NULL or a blob) and their types.  Room reused from row to
 * row. */
struct ColumnsScratch
{
  std::vector<const char *> texts;
  std::vector<gsize> sizes; /* with the NUL */
  std::vector<gint> types;
};

/* The current row of stmt in one block (columns_row_size), which g_free
 * releases; NULL for a row holding a blob when refuse_blobs is set. */
static gchar **
columns_row_new (sqlite3_stmt *stmt, int columns, gboolean refuse_blobs,
                 ColumnsScratch &scratch)
{
  std::vector<const char *> &texts = scratch.texts;
  texts.assign (columns, NULL);
  scratch.sizes.resize (columns);
  scratch.types.assign (columns, 0);
  gsize bytes = 0;
  for (int i = 0; i < columns; i++)
    {
      /* Taken before the text, which converts the value. */
      int type = sqlite3_column_type (stmt, i);
      if (type == SQLITE_BLOB && refuse_blobs)
        return NULL;
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT
          && type != SQLITE_TEXT)
        continue;
      texts[i] = reinterpret_cast<const char *> (sqlite3_column_text (stmt, i));
      if (texts[i] == NULL)
        continue;
      scratch.types[i] = type;
      /* The text up to its first NUL, as a C string reads it. */
      scratch.sizes[i] = strlen (texts[i]) + 1;
      bytes += scratch.sizes[i];
    }
  auto values = static_cast<gchar **> (
      g_malloc (columns_row_size (columns, bytes)));
  auto types = reinterpret_cast<gint *> (values + columns + 1);
  auto next = reinterpret_cast<gchar *> (types + columns);
  for (int i = 0; i < columns; i++)
    {
      values[i] = NULL;
      types[i] = 0;
      if (texts[i] == NULL)
        continue;
      values[i]
          = static_cast<gchar *> (memcpy (next, texts[i], scratch.sizes[i]));
      next += scratch.sizes[i];
      types[i] = scratch.types[i];
    }
  values[columns] = NULL;
  return values;
}

/* meta_search_columns on the library's connection.  With refuse_blobs a
 * blob fails the search, as it fails the object search, rather than
 * reading as a NULL. */
static int
search_columns (const gchar *query, gboolean refuse_blobs,
                MetaColumnsFunc callback, gpointer user_data, GError **error)
{
  /* Also keeps the reason of a failure this call's own. */
  StorageLock lock;
  StorageStmt stmt (storage_prepare_query (storage_db, query));
  if (!stmt)
    {
      g_autofree gchar *reason = storage_failure_reason (storage_db);
      g_set_error_literal (error, META_ERROR, META_ERROR_FAILED, reason);
      return 0;
    }
  int columns = sqlite3_column_count (stmt.get ());
  g_autoptr (GPtrArray) names = g_ptr_array_new_with_free_func (g_free);
  for (int i = 0; i < columns; i++)
    {
      const char *name = sqlite3_column_name (stmt.get (), i);
      g_ptr_array_add (names, g_strdup (name != NULL ? name : ""));
    }
  g_ptr_array_add (names, NULL);

  g_autoptr (GPtrArray) rows = g_ptr_array_new_with_free_func (g_free);
  ColumnsScratch scratch;
  gboolean blob = FALSE;
  StorageStep step;
  while (!blob
         && (step = storage_step_row (stmt.get (), rows->len > 0))
                == STORAGE_STEP_ROW)
    {
      gchar **row
          = columns_row_new (stmt.get (), columns, refuse_blobs, scratch);
      blob = row == NULL;
      if (!blob)
        g_ptr_array_add (rows, row);
    }
  gboolean done = !blob && step == STORAGE_STEP_DONE;
  if (blob)
    g_set_error_literal (error, META_ERROR, META_ERROR_FAILED,
                         "a value of the query is a blob");
  else if (!done)
    {
      g_autofree gchar *reason = storage_failure_reason (storage_db);
      g_set_error_literal (error, META_ERROR, META_ERROR_FAILED, reason);
    }
  /* Finished before the first call, so that calls may use the storage
   * layer themselves. */
  stmt.reset ();
  lock.release ();
  if (!done)
    return 0;

  auto header = reinterpret_cast<const gchar *const *> (names->pdata);
  callback (columns, header, NULL, NULL, user_data);
  for (guint r = 0; r < rows->len; r++)
    {
      auto values = static_cast<gchar **> (rows->pdata[r]);
      callback (columns, header,
                reinterpret_cast<const gint *> (values + columns + 1),
                values, user_data);
      /* Each row is released after its call rather than all at the end. */
      g_free (values);
      rows->pdata[r] = NULL;
    }
  return 1;
}

int
storage_search_columns (const gchar *query, MetaColumnsFunc callback,
                        gpointer user_data, GError **error)
{
  return search_columns (query, FALSE, callback, user_data, error);
}

int
storage_search_object_columns (const gchar *query, MetaColumnsFunc callback,
                               gpointer user_data, GError **error)
{
  return search_columns (query, TRUE, callback, user_data, error);
}
