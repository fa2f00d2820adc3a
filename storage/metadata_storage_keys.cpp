/* Typed reads and writes of one key of one row, and arrays of values kept
 * in a text column as "MT_ARRAY|type|element|element|...|". */
#include "metadata_storage-private.h"
#include "metadata_storage_values-private.h"
#include "tessel-private.h"

#include <string.h>

#define ARRAY_PREFIX "MT_ARRAY|"
#define ARRAY_BAR '|'

/* The value of key in the row of filename: stmt is on the row when found
 * is TRUE, which it is not when either is NULL, the key names no column,
 * the row is missing or the database is busy. */
struct KeyRow
{
  KeyRow (const gchar *filename, const gchar *key)
      : name (filename),
        query (filename != NULL && storage_column_exists (key)
                   ? std::string ("SELECT ") + key
                         + " FROM Metadata WHERE Filename=?"
                   : std::string (),
               name.values),
        found (query.stmt != NULL
               && storage_statement_step (query.stmt) == SQLITE_ROW),
        stmt (query.stmt)
  {
  }

  struct Name
  {
    explicit Name (const gchar *filename) { values.add_text (filename); }
    StorageValues values;
  } name;
  StorageBound query;
  const gboolean found;
  sqlite3_stmt *const stmt;
};

extern "C" int
storage_read_text (const gchar *filename, const gchar *key, gchar **value)
{
  StorageLock lock;
  if (value == NULL)
    return 0;
  KeyRow row (filename, key);
  if (!row.found)
    return 0;
  if (sqlite3_column_type (row.stmt, 0) == SQLITE_TEXT)
    *value = g_strndup (
        reinterpret_cast<const gchar *> (sqlite3_column_text (row.stmt, 0)),
        sqlite3_column_bytes (row.stmt, 0));
  else
    *value = NULL;
  return 1;
}

extern "C" int
storage_read_int (const gchar *filename, const gchar *key, gint32 *value)
{
  StorageLock lock;
  if (value == NULL)
    return 0;
  KeyRow row (filename, key);
  if (!row.found || sqlite3_column_type (row.stmt, 0) != SQLITE_INTEGER)
    return 0;
  /* A wider stored integer is read as its low 32 bits. */
  *value = sqlite3_column_int (row.stmt, 0);
  return 1;
}

extern "C" int
storage_read_double (const gchar *filename, const gchar *key, gdouble *value)
{
  StorageLock lock;
  if (value == NULL)
    return 0;
  KeyRow row (filename, key);
  if (!row.found || sqlite3_column_type (row.stmt, 0) != SQLITE_FLOAT)
    return 0;
  *value = sqlite3_column_double (row.stmt, 0);
  return 1;
}

/* TRUE when text is in array form: "MT_ARRAY|" directly followed by a
 * decimal integer (blanks and a sign before its digits allowed, as a
 * scanf "%d" reads it); the integer, clamped to int, goes to *type. */
static gboolean
array_type (const gchar *text, gint *type)
{
  if (text == NULL || !g_str_has_prefix (text, ARRAY_PREFIX))
    return FALSE;
  const gchar *start = text + strlen (ARRAY_PREFIX);
  gchar *end = NULL;
  gint64 number = g_ascii_strtoll (start, &end, 10);
  if (end == start || !g_ascii_isdigit (end[-1]))
    return FALSE;
  if (type != NULL)
    *type = static_cast<gint> (CLAMP (number, G_MININT, G_MAXINT));
  return TRUE;
}

static gsize
count_bars (const gchar *text)
{
  gsize bars = 0;
  for (const gchar *p = text; *p != '\0'; p++)
    if (*p == ARRAY_BAR)
      bars++;
  return bars;
}

/* The number of elements: every element is followed by a bar, and two bars
 * belong to the head.  A head without its second bar holds nothing. */
static gint
array_length (const gchar *text)
{
  gsize bars = count_bars (text);
  return bars < 2 ? 0 : static_cast<gint> (MIN (bars - 2, (gsize) G_MAXINT));
}

/* The position of the n-th bar (counting from 1) in text, or NULL. */
static const gchar *
nth_bar (const gchar *text, gint n)
{
  for (const gchar *p = text; *p != '\0'; p++)
    if (*p == ARRAY_BAR && --n == 0)
      return p;
  return NULL;
}

extern "C" int
storage_get_key_type (const gchar *filename, const gchar *key)
{
  StorageLock lock;
  KeyRow row (filename, key);
  if (!row.found)
    return META_TYPE_NONE;
  switch (sqlite3_column_type (row.stmt, 0))
    {
    case SQLITE_INTEGER:
      return META_TYPE_INTEGER;
    case SQLITE_FLOAT:
      return META_TYPE_FLOAT;
    case SQLITE_TEXT:
      return array_type (reinterpret_cast<const gchar *> (
                             sqlite3_column_text (row.stmt, 0)),
                         NULL)
                 ? META_TYPE_ARRAY
                 : META_TYPE_TEXT;
    default:
      return META_TYPE_NONE;
    }
}

/* Runs "UPDATE Metadata SET key = ? WHERE Filename = ?" with value on an
 * existing row, first adding the column with the declared type for kind
 * when it is missing.  Writers never create rows. */
static int
write_value (const gchar *filename, const gchar *key, int kind,
             StorageValues value)
{
  if (filename == NULL || !storage_key_is_identifier (key))
    return 0;
  value.add_text (filename);
  std::string shape = std::string ("UPDATE Metadata SET ") + key
                      + " = ? WHERE Filename = ?";
  /* What would not fit adds no column either. */
  if (!value.fits (shape) || !storage_file_exists (filename, 0, NULL)
      || !storage_ensure_column (key, kind))
    return 0;
  StorageBound bound (shape, value);
  return bound.stmt != NULL && storage_statement_run (bound.stmt);
}

extern "C" int
storage_write_int (const gchar *filename, const gchar *key, gint32 value)
{
  StorageLock lock;
  StorageValues number;
  number.add_int (value);
  return write_value (filename, key, META_TYPE_INTEGER, number);
}

/* The value goes in as C's "%lf" writes it (six decimals); the column's
 * affinity then decides the stored type, so 2.0 in a decimal or int column
 * is kept as the integer 2. */
extern "C" int
storage_write_double (const gchar *filename, const gchar *key, gdouble value)
{
  StorageLock lock;
  StorageValues number;
  if (!number.add_real (value))
    return 0;
  return write_value (filename, key, META_TYPE_FLOAT, number);
}

extern "C" int
storage_write_text (const gchar *filename, const gchar *key,
                    const gchar *value)
{
  StorageLock lock;
  StorageValues text;
  text.add_text (value);
  return write_value (filename, key, META_TYPE_TEXT, text);
}

/* The element text of value: "%d", "%f" of the float widened to double, or
 * the text with every bar turned into a blank.  NULL for a tag that is not
 * an element type or a float without a literal. */
static gchar *
element_text (const MetaValue *value)
{
  switch (storage_value_tag (&value->type))
    {
    case META_TYPE_INTEGER:
      {
        gint32 number;
        memcpy (&number, value->value, sizeof number);
        return g_strdup_printf ("%d", number);
      }
    case META_TYPE_FLOAT:
      {
        gfloat number;
        memcpy (&number, value->value, sizeof number);
        char text[STORAGE_REAL_SIZE];
        return storage_format_real (number, text) ? g_strdup (text) : NULL;
      }
    case META_TYPE_TEXT:
      {
        gchar *text = storage_value_text (value->value);
        g_strdelimit (text, "|", ' ');
        return text;
      }
    default:
      return NULL;
    }
}

/* Inserts value before element index of the array in key, or appends it
 * when index is negative or past the end; a key holding no text (NULL, or
 * a number) gets a new one-element array.  0, nothing written, for a text
 * that is no array, an element of another type, or a statement that would
 * not fit. */
extern "C" int
storage_write_array (const gchar *filename, const gchar *key, gint index,
                     MetaValue value)
{
  StorageLock lock;
  if (filename == NULL || !storage_key_is_identifier (key))
    return 0;
  if (!storage_file_exists (filename, 0, NULL)
      || !storage_ensure_column (key, META_TYPE_TEXT))
    return 0;
  g_autofree gchar *current = NULL;
  if (!storage_read_text (filename, key, &current))
    return 0;
  g_autofree gchar *element = element_text (&value);
  if (element == NULL)
    return 0;

  g_autofree gchar *updated = NULL;
  if (current == NULL)
    updated = g_strdup_printf (ARRAY_PREFIX "%d|%s|",
                               storage_value_tag (&value.type), element);
  else
    {
      gint type;
      /* A head without its second bar would take the element into the
       * type field. */
      if (!array_type (current, &type) || type != storage_value_tag (&value.type)
          || count_bars (current) < 2)
        return 0;
      gint length = array_length (current);
      if (index >= 0 && index < length)
        {
          const gchar *cut = nth_bar (current, index + 2);
          updated = g_strdup_printf ("%.*s|%s|%s", (int) (cut - current),
                                     current, element, cut + 1);
        }
      else
        updated = g_strconcat (current, element, "|", NULL);
    }
  return storage_write_text (filename, key, updated);
}

/* Converts the element text [start, end) by the element type into the
 * 256-byte value area. */
static void
store_element (const gchar *start, const gchar *end, gint type, void *value)
{
  g_autofree gchar *text = g_strndup (start, end - start);
  switch (type)
    {
    case META_TYPE_INTEGER:
      {
        /* Base 10 from the start of the element; a wider number keeps its
         * low 32 bits. */
        gint32 number = static_cast<gint32> (
            static_cast<guint32> (g_ascii_strtoll (text, NULL, 10)));
        memcpy (value, &number, sizeof number);
        break;
      }
    case META_TYPE_FLOAT:
      {
        gfloat number = static_cast<gfloat> (g_ascii_strtod (text, NULL));
        memcpy (value, &number, sizeof number);
        break;
      }
    case META_TYPE_TEXT:
      tessel_text_to_value (static_cast<gchar *> (value), text);
      break;
    default:
      break;
    }
}

/* Reads element *index of the array in key into value, clamping *index
 * into the array and storing it back; with value NULL, *index receives the
 * element count instead.  *type receives the element type.  0 when the key
 * holds no array, and when an element is asked of an array that has
 * none. */
extern "C" int
storage_read_array (const gchar *filename, const gchar *key, gint *index,
                    void *value, MetaType *type)
{
  StorageLock lock;
  if (index == NULL || type == NULL)
    return 0;
  g_autofree gchar *text = NULL;
  gint element_type;
  if (!storage_read_text (filename, key, &text)
      || !array_type (text, &element_type))
    return 0;
  gint length = array_length (text);
  /* Any number may stand in the head; copy it rather than convert it to
   * the enum. */
  static_assert (sizeof (MetaType) == sizeof (gint), "MetaType is an int");
  memcpy (type, &element_type, sizeof element_type);
  if (value == NULL)
    {
      *index = length;
      return 1;
    }
  if (length == 0)
    return 0;
  gint wanted = CLAMP (*index, 0, length - 1);
  *index = wanted;
  const gchar *start = nth_bar (text, wanted + 2) + 1;
  const gchar *end = strchr (start, ARRAY_BAR);
  store_element (start, end, element_type, value);
  return 1;
}
