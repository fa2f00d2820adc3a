/* Searches with the caller's own SQL: rows written as text lines to a
 * stream (for the asynchronous search process), handed to a callback, or
 * turned into media resources. */
#include "metadata_storage-private.h"
#include "metadata_storage_search-private.h"
#include "mp_media_resource.h"
#include "tessel-private.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#define SEARCH_MAX_PAIRS 64

enum StepOutcome
{
  STEP_ROW,
  STEP_DONE,
  STEP_FAILED
};

/* One step to the next row.  A busy database is stepped again, five
 * repeats at most for each row; a row that only arrives on the last
 * allowed step counts as a failure, as the query is then considered
 * stuck. */
static StepOutcome
step_row (sqlite3_stmt *stmt)
{
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      int rc = sqlite3_step (stmt);
      if (rc == SQLITE_DONE)
        return STEP_DONE;
      if (rc == SQLITE_ROW)
        return attempt < STORAGE_ATTEMPTS - 1 ? STEP_ROW : STEP_FAILED;
      if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE)
        return STEP_FAILED;
    }
  return STEP_FAILED;
}

/* Compiles the caller's query.  Text after the first statement, other than
 * blanks and comments, makes the query refused: it would otherwise be
 * silently dropped. */
static sqlite3_stmt *
prepare_query (const char *query)
{
  if (storage_db == NULL || query == NULL)
    return NULL;
  sqlite3_stmt *stmt = NULL;
  const char *tail = NULL;
  if (sqlite3_prepare_v2 (storage_db, query, -1, &stmt, &tail) != SQLITE_OK
      || stmt == NULL)
    {
      sqlite3_finalize (stmt);
      return NULL;
    }
  if (tail != NULL && *tail != '\0')
    {
      sqlite3_stmt *second = NULL;
      int rc = sqlite3_prepare_v2 (storage_db, tail, -1, &second, NULL);
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

/* The named value of column i of the current row, or NULL when the column
 * takes no part: NULL or blob, empty name, or empty text.  Both texts are
 * borrowed from the statement until the next step. */
static const char *
named_value (sqlite3_stmt *stmt, int i, const char **name)
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

extern "C" int
storage_search_async (FILE *stream, const gchar *query)
{
  if (stream == NULL || query == NULL)
    return 0;
  StorageStmt stmt (prepare_query (query));
  if (!stmt)
    return 0;

  g_autoptr (GString) line = g_string_new (NULL);
  int columns = sqlite3_column_count (stmt.get ());
  for (;;)
    {
      StepOutcome outcome = step_row (stmt.get ());
      if (outcome == STEP_DONE)
        return 1;
      if (outcome == STEP_FAILED)
        return 0;

      g_string_truncate (line, 0);
      for (int i = 0; i < columns; i++)
        {
          const char *name = NULL;
          const char *text = named_value (stmt.get (), i, &name);
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
        return 0;
    }
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
      const char *text = named_value (stmt, i, &name);
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
    StorageStmt stmt (prepare_query (query));
    if (!stmt)
      return 0;
    int columns = sqlite3_column_count (stmt.get ());
    StepOutcome outcome;
    while ((outcome = step_row (stmt.get ())) == STEP_ROW)
      g_ptr_array_add (records, search_record_new (stmt.get (), columns));
    if (outcome == STEP_FAILED)
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

GValue *
storage_get_gvalue (int type, const gchar *text)
{
  GValue *value = g_new0 (GValue, 1);
  switch (type)
    {
    case SQLITE_INTEGER:
      {
        gint64 number = g_ascii_strtoll (text, NULL, 10);
        g_value_init (value, G_TYPE_INT);
        g_value_set_int (value, static_cast<gint> (
                                    CLAMP (number, G_MININT, G_MAXINT)));
        break;
      }
    case SQLITE_FLOAT:
      g_value_init (value, G_TYPE_FLOAT);
      g_value_set_float (value,
                         static_cast<gfloat> (g_ascii_strtod (text, NULL)));
      break;
    case SQLITE_TEXT:
      g_value_init (value, G_TYPE_STRING);
      g_value_set_string (value, text);
      break;
    default:
      g_free (value);
      g_return_val_if_reached (NULL);
    }
  return value;
}

static void
gvalue_free (GValue *value)
{
  g_value_unset (value);
  g_free (value);
}

/* How one result column reaches a resource, worked out once per query:
 * the property is looked up by name here rather than for every row. */
struct ColumnPlan
{
  gchar *name;          /* NULL for a column without a name */
  GParamSpec *pspec;    /* NULL when no plain property can take it */
  GObjectSetPropertyFunc set_property;
};

static void
plan_columns (sqlite3_stmt *stmt, int columns, ColumnPlan *plan)
{
  GObjectClass *klass
      = G_OBJECT_CLASS (g_type_class_ref (MP_TYPE_MEDIA_RESOURCE));
  for (int i = 0; i < columns; i++)
    {
      const char *name = sqlite3_column_name (stmt, i);
      plan[i] = ColumnPlan{ NULL, NULL, NULL };
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

extern "C" gboolean
storage_search_sync_objects_list (const gchar *filter, GList **objects_list)
{
  g_return_val_if_fail ((objects_list != NULL) && (*objects_list == NULL),
                        FALSE);
  g_return_val_if_fail (filter != NULL, FALSE);

  StorageStmt stmt (prepare_query (filter));
  if (!stmt)
    return FALSE;
  int columns = sqlite3_column_count (stmt.get ());
  ColumnPlan *plan = g_new (ColumnPlan, MAX (columns, 1));
  plan_columns (stmt.get (), columns, plan);

  GList *objects = NULL;
  gboolean blob = FALSE;
  StepOutcome outcome = STEP_DONE;
  while (!blob && (outcome = step_row (stmt.get ())) == STEP_ROW)
    {
      MpMediaResource *resource = mp_media_resource_new ();
      objects = g_list_prepend (objects, resource);
      for (int i = 0; i < columns; i++)
        {
          int type = sqlite3_column_type (stmt.get (), i);
          if (type == SQLITE_NULL || plan[i].name == NULL)
            continue;
          const char *text = reinterpret_cast<const char *> (
              sqlite3_column_text (stmt.get (), i));
          if (text == NULL || *text == '\0')
            continue;
          GValue *value = storage_get_gvalue (type, text);
          if (value == NULL)
            {
              blob = TRUE;
              break;
            }
          apply_column (G_OBJECT (resource), &plan[i], value);
          gvalue_free (value);
        }
    }

  for (int i = 0; i < columns; i++)
    g_free (plan[i].name);
  g_free (plan);
  stmt.reset ();

  if (blob || outcome == STEP_FAILED)
    {
      g_list_free_full (objects, g_object_unref);
      if (blob)
        g_return_val_if_reached (FALSE);
      return FALSE;
    }
  *objects_list = g_list_reverse (objects);
  return TRUE;
}

sqlite3 *storage_inherited_db;

int
storage_open_search_connection (void)
{
  const char *file
      = storage_db != NULL ? sqlite3_db_filename (storage_db, "main") : NULL;
  if (file == NULL || *file == '\0')
    return 0;
  sqlite3 *db = NULL;
  if (sqlite3_open_v2 (file, &db, SQLITE_OPEN_READWRITE, NULL) != SQLITE_OK)
    {
      sqlite3_close (db);
      return 0;
    }
  sqlite3_busy_timeout (db, STORAGE_BUSY_TIMEOUT_MS);
  /* The inherited handle is kept as it is: closing it here could undo
   * state the parent's connection still relies on. */
  storage_inherited_db = storage_db;
  storage_db = db;
  return 1;
}
