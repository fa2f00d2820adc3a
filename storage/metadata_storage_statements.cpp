/* Statements kept prepared on the connection, one per statement shape:
 * the text with every value as a parameter.  Compiling a statement costs
 * more than running it (an insertion compiles the word index's triggers
 * with it), and the shapes the storage calls use are few: the keys of a
 * row are, the values are not. */
#include "metadata_storage-private.h"
#include "metadata_storage_values-private.h"
#include "tessel-private.h"

#include <string>
#include <unordered_map>

namespace
{

/* Shapes come from the keys of the lists stored; a plug-in delivers a few
 * sets of keys, an application may make any number.  Past this many the
 * cache starts afresh rather than grow without bound. */
const gsize max_statements = 128;

struct Kept
{
  sqlite3_stmt *stmt;
  /* Handed out and not yet released: a call made while it is (the same
   * shape asked for again further down) gets a statement of its own. */
  gboolean in_use;
};

struct Cache
{
  sqlite3 *db = nullptr;
  std::unordered_map<std::string, Kept> statements;
};
Cache cache;

/* Compiles shape as exactly one statement, again while the schema is
 * busy.  NULL when it does not compile (a column the table lacks) or
 * holds more than one statement. */
sqlite3_stmt *
compile (const char *shape, unsigned int flags)
{
  sqlite3_stmt *stmt = NULL;
  const char *tail = NULL;
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS && rc == SQLITE_BUSY;
       attempt++)
    {
      sqlite3_finalize (stmt);
      stmt = NULL;
      rc = sqlite3_prepare_v3 (storage_db, shape, -1, flags, &stmt, &tail);
    }
  if (rc != SQLITE_OK || stmt == NULL || (tail != NULL && *tail != '\0'))
    {
      sqlite3_finalize (stmt);
      return NULL;
    }
  return stmt;
}

} // namespace

void
storage_statements_forget (void)
{
  /* A statement in use stays until it is released. */
  for (auto it = cache.statements.begin (); it != cache.statements.end ();)
    if (it->second.in_use)
      ++it;
    else
      {
        sqlite3_finalize (it->second.stmt);
        it = cache.statements.erase (it);
      }
}

int
storage_statement_step (sqlite3_stmt *stmt)
{
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < STORAGE_ATTEMPTS; attempt++)
    {
      rc = sqlite3_step (stmt);
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
        return rc;
      sqlite3_reset (stmt);
    }
  return rc;
}

int
storage_statement_run (sqlite3_stmt *stmt)
{
  int rc = storage_statement_step (stmt);
  while (rc == SQLITE_ROW)
    rc = sqlite3_step (stmt);
  return rc == SQLITE_DONE;
}

gsize
StorageValues::literal_length (const Value &v)
{
  switch (v.kind)
    {
    case SQLITE_INTEGER:
      {
        char digits[24];
        return g_snprintf (digits, sizeof digits, "%" G_GINT64_FORMAT,
                           v.number);
      }
    case SQLITE_FLOAT:
      return v.text.size ();
    case SQLITE_TEXT:
      {
        /* As %Q writes it: quoted, inner quotes doubled. */
        gsize length = v.text.size () + 2;
        for (char c : v.text)
          if (c == '\'')
            length++;
        return length;
      }
    default:
      return 4; /* NULL */
    }
}

void
StorageValues::add_int (gint64 number)
{
  values.push_back ({ SQLITE_INTEGER, number, 0, std::string () });
}

gboolean
StorageValues::add_real (double number)
{
  char text[STORAGE_REAL_SIZE];
  if (!storage_format_real (number, text))
    return FALSE;
  /* The value the "%f" literal stood for: six decimals, so a float's
   * binary tail is rounded away exactly as before. */
  values.push_back (
      { SQLITE_FLOAT, 0, g_ascii_strtod (text, NULL), std::string (text) });
  return TRUE;
}

void
StorageValues::add_text (const gchar *text)
{
  values.push_back (
      { SQLITE_TEXT, 0, 0, std::string (text != NULL ? text : "") });
}

gboolean
StorageValues::add_item (const gchar *value, const MetaType *type)
{
  switch (storage_value_tag (type))
    {
    case META_TYPE_INTEGER:
      {
        gint32 number;
        memcpy (&number, value, sizeof number);
        add_int (number);
        return TRUE;
      }
    case META_TYPE_FLOAT:
      {
        gfloat number;
        memcpy (&number, value, sizeof number);
        return add_real (number);
      }
    case META_TYPE_TEXT:
      {
        g_autofree gchar *text = storage_value_text (value);
        add_text (text);
        return TRUE;
      }
    default:
      return FALSE;
    }
}

gboolean
StorageValues::fits (const std::string &shape) const
{
  gsize length = shape.size ();
  for (const Value &v : values)
    length += literal_length (v) - 1;
  return length < STORAGE_STATEMENT_SIZE;
}

gboolean
StorageValues::bind (sqlite3_stmt *stmt) const
{
  if (stmt == NULL
      || sqlite3_bind_parameter_count (stmt)
             != static_cast<int> (values.size ()))
    return FALSE;
  int i = 1;
  for (const Value &v : values)
    {
      int rc;
      switch (v.kind)
        {
        case SQLITE_INTEGER:
          rc = sqlite3_bind_int64 (stmt, i, v.number);
          break;
        case SQLITE_FLOAT:
          rc = sqlite3_bind_double (stmt, i, v.real);
          break;
        default:
          rc = sqlite3_bind_text (stmt, i, v.text.c_str (),
                                  static_cast<int> (v.text.size ()),
                                  SQLITE_TRANSIENT);
          break;
        }
      if (rc != SQLITE_OK)
        return FALSE;
      i++;
    }
  return TRUE;
}

StorageBound::StorageBound (const std::string &shape,
                            const StorageValues &values)
{
  if (storage_db == NULL || shape.empty () || !values.fits (shape))
    return;
  if (cache.db != storage_db)
    {
      storage_statements_forget ();
      cache.db = storage_db;
    }
  auto found = cache.statements.find (shape);
  if (found != cache.statements.end () && !found->second.in_use)
    {
      stmt = found->second.stmt;
      found->second.in_use = TRUE;
      kept = TRUE;
    }
  else if (found != cache.statements.end ())
    stmt = compile (shape.c_str (), 0);
  else
    {
      /* A shape that did not compile is not kept: it is compiled again
       * next time, when the column it names may have been added. */
      stmt = compile (shape.c_str (), SQLITE_PREPARE_PERSISTENT);
      if (stmt == NULL)
        return;
      if (cache.statements.size () >= max_statements)
        storage_statements_forget ();
      cache.statements.emplace (shape, Kept{ stmt, TRUE });
      kept = TRUE;
    }
  if (stmt != NULL && !values.bind (stmt))
    release ();
}

void
StorageBound::release () noexcept
{
  if (stmt == NULL)
    return;
  if (!kept)
    sqlite3_finalize (stmt);
  else
    {
      /* A kept statement holds no lock and no value of the call. */
      sqlite3_reset (stmt);
      sqlite3_clear_bindings (stmt);
      auto found = cache.statements.find (sqlite3_sql (stmt));
      if (found != cache.statements.end () && found->second.stmt == stmt)
        found->second.in_use = FALSE;
    }
  stmt = NULL;
  kept = FALSE;
}
