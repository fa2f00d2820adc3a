/* tessel search: the rows of any SQL query on the Metadata table. */
#include "tessel.h"

#include <string.h>

#include <sqlite3.h>

#include <json-glib/json-glib.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "metadata.h"

namespace
{

/* One cell: its storage class (META_TYPE_NONE for NULL) and text. */
struct Cell
{
  gint type = META_TYPE_NONE;
  std::string text;
};
using Row = std::vector<Cell>;

/* The columns and rows of one search, gathered by its callbacks.  An
 * asynchronous search calls back on its own thread, hence the lock: a
 * POSIX one, which ThreadSanitizer understands. */
struct Results
{
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  std::vector<std::string> names;
  std::vector<Row> rows;
  bool ended = false;
  gchar *failure = nullptr; /* why an asynchronous search failed */
};

/* The synchronous search: every column with its type, NULLs included. */
void
collect_columns (gint columns, const gchar *const *names, const gint *types,
                 const gchar *const *values, gpointer user_data) noexcept
{
  auto results = static_cast<Results *> (user_data);
  try
    {
      if (values == NULL)
        {
          for (gint i = 0; i < columns; i++)
            results->names.emplace_back (names[i]);
          return;
        }
      Row row (columns);
      for (gint i = 0; i < columns; i++)
        if (values[i] != NULL)
          row[i] = Cell{ types[i], values[i] };
      results->rows.push_back (std::move (row));
    }
  catch (...)
    {
      /* Out of memory: the row is lost, the search goes on. */
    }
}

/* The class a value written as text had: the asynchronous search carries
 * only text, so a number is known by its look (SQLite's own writing). */
gint
text_type (const gchar *text)
{
  if (text == NULL || *text == '\0')
    return META_TYPE_TEXT;
  gchar *end = NULL;
  g_ascii_strtoll (text, &end, 10);
  if (*end == '\0' && !g_ascii_isspace (*text) && *text != '+')
    return META_TYPE_INTEGER;
  g_ascii_strtod (text, &end);
  if (*end == '\0' && !g_ascii_isspace (*text) && *text != '+'
      && strchr (text, '.') != NULL)
    return META_TYPE_FLOAT;
  return META_TYPE_TEXT;
}

/* The asynchronous search hands over text pairs without its NULL and
 * empty columns: a column is placed by its name in the order names first
 * appear, and every value counts as text. */
void
collect (const gchar *filename, gchar **keys, gchar **values,
         gpointer user_data, gint search_id) noexcept
{
  (void) filename;
  (void) search_id;
  auto results = static_cast<Results *> (user_data);
  pthread_mutex_lock (&results->lock);
  try
    {
      if (keys == NULL)
        {
          GError *error = NULL;
          if (!meta_search_end_status (&error))
            results->failure = g_strdup (error->message);
          g_clear_error (&error);
          results->ended = true;
        }
      else
        {
          Row row (results->names.size ());
          for (int i = 0; keys[i] != NULL; i++)
            {
              size_t c = 0;
              while (c < results->names.size ()
                     && (results->names[c] != keys[i]
                         || row[c].type != META_TYPE_NONE))
                c++;
              if (c == results->names.size ())
                {
                  results->names.emplace_back (keys[i]);
                  row.emplace_back ();
                }
              row[c] = Cell{ text_type (values[i]),
                             values[i] != NULL ? values[i] : "" };
            }
          results->rows.push_back (std::move (row));
        }
    }
  catch (...)
    {
      /* Out of memory: the row is lost, the search goes on. */
    }
  pthread_cond_signal (&results->cond);
  pthread_mutex_unlock (&results->lock);
}

struct SqliteClose
{
  void
  operator() (sqlite3 *db) const noexcept
  {
    sqlite3_close (db);
  }
};

/* Whether every statement of sql only reads and yields rows, as SQLite
 * judges it on a read-only connection of its own: the library's search
 * runs whatever it is given, and this command only prints rows.  A
 * statement without result columns (BEGIN, or ATTACH, which creates a
 * file) has no rows to print and is refused too.  FALSE after one line on
 * stderr. */
gboolean
only_reads (const char *path, const char *sql)
{
  sqlite3 *raw = NULL;
  int rc = sqlite3_open_v2 (path, &raw, SQLITE_OPEN_READONLY, NULL);
  std::unique_ptr<sqlite3, SqliteClose> db (raw);
  if (rc != SQLITE_OK)
    {
      tessel_error ("search: cannot read '%s': %s", path,
                    sqlite3_errmsg (raw));
      return FALSE;
    }
  sqlite3_busy_timeout (raw, 500);
  for (const char *rest = sql; rest != NULL && *rest != '\0';)
    {
      sqlite3_stmt *stmt = NULL;
      if (sqlite3_prepare_v2 (raw, rest, -1, &stmt, &rest) != SQLITE_OK)
        {
          tessel_error ("search: the query failed: %s", sqlite3_errmsg (raw));
          return FALSE;
        }
      if (stmt == NULL) /* only blanks or a comment */
        continue;
      gboolean reads = sqlite3_stmt_readonly (stmt) != 0
                       && sqlite3_column_count (stmt) > 0;
      g_autofree gchar *shown = tessel_display_text (sqlite3_sql (stmt));
      g_strstrip (shown);
      sqlite3_finalize (stmt);
      if (!reads)
        {
          tessel_error ("search: refused: '%s' is not a read-only query "
                        "(search only prints rows)",
                        shown);
          return FALSE;
        }
    }
  return TRUE;
}

bool
is_number (gint type)
{
  return type == META_TYPE_INTEGER || type == META_TYPE_FLOAT;
}

void
print_table (const Results &results)
{
  size_t columns = results.names.size ();
  std::vector<const char *> header;
  for (const std::string &n : results.names)
    header.push_back (n.c_str ());
  /* A column of numbers (NULLs aside) is aligned to the right. */
  g_autofree gboolean *right = g_new0 (gboolean, MAX (columns, 1));
  for (size_t c = 0; c < columns; c++)
    {
      bool numbers = false, other = false;
      for (const Row &row : results.rows)
        if (c < row.size () && row[c].type != META_TYPE_NONE)
          (is_number (row[c].type) ? numbers : other) = true;
      right[c] = numbers && !other;
    }
  g_autoptr (GPtrArray) cells = g_ptr_array_new_with_free_func (
      reinterpret_cast<GDestroyNotify> (g_strfreev));
  for (const Row &row : results.rows)
    {
      gchar **line = g_new0 (gchar *, columns + 1);
      for (size_t c = 0; c < columns; c++)
        line[c] = g_strdup (c < row.size () ? row[c].text.c_str () : "");
      g_ptr_array_add (cells, line);
    }
  tessel_print_table_aligned (stdout, header.data (), columns, cells, right);
}

void
print_json (const Results &results)
{
  g_autoptr (JsonBuilder) builder = json_builder_new ();
  json_builder_begin_array (builder);
  for (const Row &row : results.rows)
    {
      json_builder_begin_object (builder);
      for (size_t c = 0; c < results.names.size (); c++)
        {
          json_builder_set_member_name (builder, results.names[c].c_str ());
          const Cell cell = c < row.size () ? row[c] : Cell ();
          if (cell.type == META_TYPE_INTEGER)
            json_builder_add_int_value (
                builder, g_ascii_strtoll (cell.text.c_str (), NULL, 10));
          else if (cell.type == META_TYPE_FLOAT)
            json_builder_add_double_value (
                builder, g_ascii_strtod (cell.text.c_str (), NULL));
          else if (cell.type == META_TYPE_TEXT)
            json_builder_add_string_value (builder, cell.text.c_str ());
          else
            json_builder_add_null_value (builder);
        }
      json_builder_end_object (builder);
    }
  json_builder_end_array (builder);
  tessel_print_json (builder);
}

} // namespace

int
tessel_cmd_search (int argc, char **argv)
{
  gboolean json = FALSE;
  gboolean async = FALSE;
  gint priority = 10;
  const GOptionEntry entries[] = {
    { "json", 0, 0, G_OPTION_ARG_NONE, &json,
      "Print the rows as a JSON array of objects", NULL },
    { "async", 0, 0, G_OPTION_ARG_NONE, &async,
      "Run the query in a search process of its own", NULL },
    { "priority", 0, 0, G_OPTION_ARG_INT, &priority,
      "Nice value of the search process with --async (default 10)", "N" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (!tessel_parse (&argc, &argv, entries, "\"SQL\"",
                     "Run one SQL query on the Metadata table and print "
                     "its rows, one column per\nresult column in the query's "
                     "order; NULL is an empty cell (null in JSON).\nA "
                     "statement that is not a read-only query (one that "
                     "would write, or has\nno rows to print) is refused "
                     "with exit status 1.",
                     &common))
    return 2;
  if (argc != 2)
    {
      tessel_error (argc < 2 ? "search: a query is needed"
                             : "search: give the query as one argument");
      return 2;
    }
  /* Checked once the library has opened the database, which a
   * read-only connection cannot do for a write-ahead log. */
  if (!tessel_open (&common))
    return 1;
  if (!only_reads (tessel_database_path (&common), argv[1]))
    {
      meta_destruct ();
      return 1;
    }

  Results results;
  int status = 0;
  if (async)
    {
      if (meta_search_async (priority, argv[1], collect, &results) != 0)
        {
          tessel_error ("search: cannot start an asynchronous search");
          status = 1;
        }
      else
        {
          pthread_mutex_lock (&results.lock);
          while (!results.ended)
            pthread_cond_wait (&results.cond, &results.lock);
          pthread_mutex_unlock (&results.lock);
          /* The slot is freed once the search process is reaped; wait for
           * it so that no child outlives the command. */
          for (;;)
            {
              pthread_mutex_lock (&search_lock);
              bool running = search_ids[0].state != -1;
              pthread_mutex_unlock (&search_lock);
              if (!running)
                break;
              g_usleep (1000);
            }
          if (results.failure != nullptr)
            {
              tessel_error ("search: the query failed: %s", results.failure);
              status = 1;
            }
        }
    }
  else
    {
      GError *error = NULL;
      if (!meta_search_columns (argv[1], collect_columns, &results, &error))
        {
          tessel_error ("search: the query failed: %s",
                        error != NULL ? error->message : argv[1]);
          g_clear_error (&error);
          status = 1;
        }
    }

  if (status == 0)
    {
      if (json)
        print_json (results);
      else if (!results.names.empty ())
        print_table (results);
    }
  g_free (results.failure);
  meta_destruct ();
  return status;
}
